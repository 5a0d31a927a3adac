// The full-table engine; see full_table_engine.h.
#include "solver/full_table_engine.h"

#include "solver/row_kernels.h"

static int64_t n = 0;  // points other than point 1
static const DistanceMatrix* matrix = nullptr;
static int64_t cell_bytes = 4;
static TableBlock cost_block;
static char* layer_start[MAX_POINTS];  // line-aligned start of each layer 1..n-1

int64_t full_table_bytes(int64_t n_points, int64_t bytes_per_cell) {
  if (n_points < 2 || n_points - 1 > MAX_POINTS - 2) return -1;
  int64_t total = 0;
  for (int64_t k = 1; k < n_points - 1; ++k) {
    const int64_t layer = layer_bytes(n_points - 1, k, bytes_per_cell);
    if (layer < 0 || __builtin_add_overflow(total, layer, &total)) return -1;
  }
  return total;
}

void full_table_prepare(const DistanceMatrix* distances, int64_t bytes_per_cell) {
  matrix = distances;
  n = distances->n - 1;
  cell_bytes = bytes_per_cell;
  const int64_t bytes = full_table_bytes(distances->n, cell_bytes);
  if (bytes < 0 || !rows_supported(n, cell_bytes) ||
      create_table(&cost_block, 1, bytes + LINE_BYTES, 1) != 0) {
    set_error_number(4);
    throw_at_line(LINE_COST_TABLE, MODULE_NAME);
  }
  const uintptr_t address = reinterpret_cast<uintptr_t>(cost_block.cells);
  char* next = reinterpret_cast<char*>((address + LINE_BYTES - 1) & ~uintptr_t{LINE_BYTES - 1});
  for (int64_t k = 1; k < n; ++k) {
    layer_start[k] = next;
    next += layer_bytes(n, k, cell_bytes);
  }
  rows_prepare(distances, cell_bytes);
}

void full_table_fill_first_size() { rows_fill_first_size(layer_start[1]); }

void full_table_fill_size(int64_t k) { rows_fill_size(k, layer_start[k - 1], layer_start[k]); }

PathCost full_table_cost(uint64_t subset, int64_t end_point) {
  if (subset == 0) return distance(matrix, end_point, 1);
  const int64_t k = __builtin_popcountll(subset);
  const int64_t index = colex_rank(subset) * (n - k) + column_in_row(subset, end_point - 2);
  return read_cell(layer_start[k], index, cell_bytes);
}

void full_table_release() {
  rows_release();
  free_table(&cost_block);
}
