// solve_tour and the reference engine: one column (end point) of one subset size at a time.
#include <cstdlib>

#include "driver/print.h"
#include "solver/fast_engine.h"
#include "solver/solver.h"

TableBlock CityBit;
TableBlock CostTable;
TableBlock NextTable;

SolverEngine solver_engine = ENGINE_FAST;

void (*inspect_solver_tables)(int64_t n) = nullptr;

// Columns of CostTable and NextTable (N - 1); fixed while the tables exist.
static int64_t table_columns = 0;

static inline int64_t* city_bits() { return static_cast<int64_t*>(CityBit.cells); }

static int64_t reference_cost(int64_t subset, int64_t end_point) {
  return static_cast<int64_t*>(CostTable.cells)[(subset - 1) * table_columns + (end_point - 2)];
}

static int64_t reference_next(int64_t subset, int64_t end_point) {
  return static_cast<int8_t*>(NextTable.cells)[(subset - 1) * table_columns + (end_point - 2)];
}

uint64_t path_cost_bound(const DistanceMatrix* matrix) {
  unsigned __int128 bound = 0;
  for (int64_t row = 1; row <= matrix->n; ++row) {
    uint64_t largest = 0;
    for (int64_t column = 1; column <= matrix->n; ++column) {
      if (column == row) continue;
      int64_t cost = distance(matrix, row, column);
      uint64_t magnitude = cost < 0 ? 0 - static_cast<uint64_t>(cost) : static_cast<uint64_t>(cost);
      if (magnitude > largest) largest = magnitude;
    }
    bound += largest;
    if (bound > UINT64_MAX) return UINT64_MAX;
  }
  return static_cast<uint64_t>(bound);
}

bool next_combination(int64_t* combination, int64_t m, int64_t k) {
  int64_t i = k;
  while (i >= 1 && combination[i - 1] >= m - k + i) --i;
  if (i < 1) return false;
  combination[i - 1]++;
  for (int64_t j = i + 1; j <= k; ++j) combination[j - 1] = combination[j - 2] + 1;
  return true;
}

// The matrix the current solve reads; set before any column computation runs.
static const DistanceMatrix* solve_matrix = nullptr;

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

// cost(S, j) as the closing step and the tests read it; the empty subset (N = 2) is the way
// back to point 1.
static int64_t engine_cost(const DistanceMatrix* matrix, int64_t subset, int64_t j) {
  if (solver_engine == ENGINE_FAST) return fast_cost(static_cast<uint64_t>(subset), j);
  if (subset == 0) return distance(matrix, j, 1);
  return reference_cost(subset, j);
}

static int64_t engine_next(int64_t subset, int64_t end_point) {
  if (solver_engine == ENGINE_FAST) return fast_next(static_cast<uint64_t>(subset), end_point);
  return reference_next(subset, end_point);
}

static void create_reference_tables(int64_t n, const DistanceMatrix* matrix) {
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

static void fill_reference_one_point_subsets(int64_t n, const DistanceMatrix* matrix) {
  const int64_t* bit = city_bits();
  int64_t* cost = static_cast<int64_t*>(CostTable.cells);
  int8_t* next = static_cast<int8_t*>(NextTable.cells);
  for (int64_t i = 2; i <= n; ++i) {
    for (int64_t j = 2; j <= n; ++j) {
      if (j == i) continue;
      cost[(bit[i - 2] - 1) * table_columns + (j - 2)] =
          distance(matrix, j, i) + distance(matrix, i, 1);
      next[(bit[i - 2] - 1) * table_columns + (j - 2)] = static_cast<int8_t>(i);
    }
  }
}

static void print_step(int64_t k) {
  print_text(CONSOLE, "Step");
  print_integer(CONSOLE, k);
  print_line_end(CONSOLE);
}

void solve_tour(int64_t n, int64_t start, const DistanceMatrix* matrix, Tour* tour) {
  if (create_table(&CityBit, 2, n, sizeof(int64_t)) != 0) {
    throw_at_line(LINE_CITY_BIT, MODULE_NAME);
  }
  int64_t* bit = city_bits();
  // Bit values past 2^62 are never used: no table for so many points can be created.
  for (int64_t c = 2; c <= n; ++c) bit[c - 2] = c - 2 < 63 ? int64_t{1} << (c - 2) : 0;

  // No table can be made for so many points (subsets are 64-bit masks): refused before the
  // bound check, which would read a matrix of billions of cells.
  if (n - 1 > 62) {
    set_error_number(4);
    throw_at_line(LINE_COST_TABLE, MODULE_NAME);
  }
  if (path_cost_bound(matrix) >= static_cast<uint64_t>(COST_INFINITY)) {
    throw_error(COST_OVERFLOW_ERROR, -1, nullptr);
  }

  const bool fast = solver_engine == ENGINE_FAST;
  if (fast) {
    fast_prepare(n, matrix);
  } else {
    create_reference_tables(n, matrix);
  }

  print_text(CONSOLE, "Step 1");
  print_line_end(CONSOLE);
  if (fast) {
    fast_fill_first_size();
  } else {
    fill_reference_one_point_subsets(n, matrix);
  }

  int64_t k = 2;
  for (; k <= n - 2; ++k) {
    print_step(k);
    if (fast) {
      fast_fill_size(k);
    } else {
      run_size_phase(n, k);
    }
    poll_pending_signal();
  }
  print_step(k);

  int64_t full = 0;
  for (int64_t c = 2; c <= n; ++c) full += bit[c - 2];
  int64_t best = COST_INFINITY;
  int64_t last = 0;
  for (int64_t j = 2; j <= n; ++j) {
    int64_t u = distance(matrix, 1, j) + engine_cost(matrix, full - bit[j - 2], j);
    if (u < best) {
      best = u;
      last = j;
    }
  }

  TableBlock path_block;
  if (create_table(&path_block, 0, n - 1, sizeof(int64_t)) != 0) {
    throw_at_line(LINE_PATH_TABLE, MODULE_NAME);
  }
  int64_t* path = static_cast<int64_t*>(path_block.cells);
  path[0] = 1;
  path[1] = last;
  int64_t subset = full - bit[last - 2];
  for (int64_t i = 2; subset != 0; ++i) {
    last = engine_next(subset, last);
    path[i] = last;
    subset -= bit[last - 2];
  }

  int64_t position = 0;
  for (int64_t p = 0; p < n; ++p) {
    if (path[p] == start) {
      position = p;
      break;
    }
  }
  if (start > n) start = n;
  if (start < 1) start = 1;
  for (int64_t i = 0; i < n; ++i) tour->points[i] = path[(i + position) % n];

  if (inspect_solver_tables) inspect_solver_tables(n);
  if (fast) {
    fast_release();
  } else {
    free_table(&CostTable);
    free_table(&NextTable);
  }
  free_table(&CityBit);
  print_text(CONSOLE, "End");
  print_line_end(CONSOLE);
  tour->points[n] = start;
  free_table(&path_block);
}

int64_t solver_cost(const DistanceMatrix* matrix, int64_t subset, int64_t end_point) {
  return engine_cost(matrix, subset, end_point);
}

int64_t solver_next(int64_t subset, int64_t end_point) { return engine_next(subset, end_point); }
