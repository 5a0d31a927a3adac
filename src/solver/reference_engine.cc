// The reference engine's tables and column computation.
#include "solver/reference_engine.h"

TableBlock CostTable;
TableBlock NextTable;

// Columns of CostTable and NextTable (N - 1); fixed while the tables exist.
static int64_t table_columns = 0;
// The matrix the current solve reads; set before any column computation runs.
static const DistanceMatrix* solve_matrix = nullptr;

static inline const int64_t* city_bits() { return static_cast<const int64_t*>(CityBit.cells); }

PathCost reference_cost(uint64_t subset, int64_t end_point) {
  if (subset == 0) return distance(solve_matrix, end_point, 1);
  return static_cast<int64_t*>(CostTable.cells)[(subset - 1) * table_columns + (end_point - 2)];
}

int64_t reference_next(uint64_t subset, int64_t end_point) {
  return static_cast<int8_t*>(NextTable.cells)[(subset - 1) * table_columns + (end_point - 2)];
}

void fill_column(int64_t n, int64_t a, int64_t k) {
  TableBlock list_block;
  if (create_table(&list_block, 1, n - 1, sizeof(int64_t)) != 0) {
    throw_at_line(LINE_CANDIDATE_LIST, MODULE_NAME);
  }
  int64_t* list = static_cast<int64_t*>(list_block.cells);  // list[i - 1] is list(i)
  int64_t count = 0;
  for (int64_t c = 2; c <= n; ++c) {
    if (c != a) list[count++] = c;
  }
  TableBlock combination_block;
  if (create_table(&combination_block, 1, k, sizeof(int64_t)) != 0) {
    free_table(&list_block);  // reachable from nowhere once the throw has left this frame
    set_error_number(4);
    throw_at_line(LINE_COMBINATION, MODULE_NAME);
  }
  int64_t* combination = static_cast<int64_t*>(combination_block.cells);
  for (int64_t i = 1; i <= k; ++i) combination[i - 1] = i;

  const int64_t* bit = city_bits();
  int64_t* cost = static_cast<int64_t*>(CostTable.cells);
  int8_t* next = static_cast<int8_t*>(NextTable.cells);
  const int64_t columns = table_columns;
  const DistanceMatrix* matrix = solve_matrix;
  int64_t steps = 0;
  do {
    int64_t subset = 0;
    for (int64_t i = 0; i < k; ++i) subset += bit[list[combination[i] - 1] - 2];
    int64_t best = COST_INFINITY;
    int64_t choice = 0;
    for (int64_t i = 0; i < k; ++i) {
      int64_t c = list[combination[i] - 1];
      int64_t e = distance(matrix, a, c) + cost[(subset - bit[c - 2] - 1) * columns + (c - 2)];
      if (e < best) {
        best = e;
        choice = c;
      }
    }
    cost[(subset - 1) * columns + (a - 2)] = best;
    next[(subset - 1) * columns + (a - 2)] = static_cast<int8_t>(choice);
    // A termination request ends the column early; the tables are abandoned with the run.
    if ((++steps & 1023) == 0 && pending_signal_error() != 0) break;
  } while (next_combination(combination, n - 2, k));

  free_table(&combination_block);
  free_table(&list_block);
}

void reference_prepare(const DistanceMatrix* matrix) {
  const int64_t n = matrix->n;
  const int64_t full_count = (int64_t{1} << (n - 1)) - 1;  // M
  table_columns = n - 1;
  solve_matrix = matrix;
  if (create_table_2d(&CostTable, 1, full_count, 2, n, sizeof(int64_t)) != 0) {
    throw_at_line(LINE_COST_TABLE, MODULE_NAME);
  }
  if (create_table_2d(&NextTable, 1, full_count, 2, n, sizeof(int8_t)) != 0) {
    throw_at_line(LINE_NEXT_TABLE, MODULE_NAME);
  }
}

void reference_fill_first_size() {
  const int64_t n = solve_matrix->n;
  const int64_t* bit = city_bits();
  int64_t* cost = static_cast<int64_t*>(CostTable.cells);
  int8_t* next = static_cast<int8_t*>(NextTable.cells);
  for (int64_t i = 2; i <= n; ++i) {
    for (int64_t j = 2; j <= n; ++j) {
      if (j == i) continue;
      cost[(bit[i - 2] - 1) * table_columns + (j - 2)] =
          distance(solve_matrix, j, i) + distance(solve_matrix, i, 1);
      next[(bit[i - 2] - 1) * table_columns + (j - 2)] = static_cast<int8_t>(i);
    }
  }
}

void reference_release() {
  free_table(&CostTable);
  free_table(&NextTable);
}
