// solve_tour: picks an engine, runs the sizes and reads the tour back.
#include <algorithm>

#include "driver/print.h"
#include "platform/platform.h"
#include "solver/bounded_engine.h"
#include "solver/branch_and_cut_engine.h"
#include "solver/full_table_engine.h"
#include "solver/reference_engine.h"
#include "solver/row_kernels.h"
#include "solver/solver.h"
#include "solver/tour_bounds.h"
#include "solver/two_layer_engine.h"

TableBlock CityBit;

SolverEngine solver_engine = ENGINE_AUTOMATIC;
static SolverEngine engine_in_use = ENGINE_AUTOMATIC;

void (*inspect_solver_tables)(int64_t n) = nullptr;

// Up to this size the full table is chosen: its fresh memory costs little, and reading the
// tour back never solves again.
constexpr int64_t FULL_TABLE_PREFERRED_BYTES = int64_t{64} << 20;

SolverEngine solver_engine_in_use() { return engine_in_use; }

SolverProgress solver_progress;
void (*solver_progress_hook)() = nullptr;

void report_solver_progress() {
  if (solver_progress_hook) solver_progress_hook();
}

// The stop request. The interrupt flag and the deadline are written only between solves, the
// reason by whichever thread first sees the request, and accepting by the solving thread
// while no helper runs.
static const std::atomic<bool>* stop_interrupt = nullptr;
static double stop_deadline = 0;
static std::atomic<bool> stop_accepted{false};
static std::atomic<int32_t> stop_reason{0};
static std::atomic<double> stop_seen_at{0};
static PathCost stopped_lower_bound = 0;

// After a time limit, the engines may spend this long on the tour they hand back (a local
// search from what they have), well within the second the caller may wait.
constexpr double STOP_GRACE_SECONDS = 0.25;

void arm_solver_stop(const std::atomic<bool>* interrupt, double deadline) {
  stop_interrupt = interrupt;
  stop_deadline = deadline;
  stop_reason.store(0);
  stop_accepted.store(interrupt != nullptr || deadline > 0);
}

void disarm_solver_stop() {
  stop_accepted.store(false);
  stop_interrupt = nullptr;
  stop_deadline = 0;
}

bool solver_stop_requested() {
  if (!stop_accepted.load(std::memory_order_relaxed)) return false;
  if (stop_reason.load(std::memory_order_relaxed) != 0) return true;
  int32_t reason = 0;
  if (stop_interrupt && stop_interrupt->load(std::memory_order_relaxed)) {
    reason = STOP_INTERRUPT;
  } else if (stop_deadline > 0 && clock_seconds() >= stop_deadline) {
    reason = STOP_TIME_LIMIT;
  } else {
    return false;
  }
  int32_t none = 0;
  if (stop_reason.compare_exchange_strong(none, reason)) stop_seen_at.store(clock_seconds());
  return true;
}

bool solver_should_stop() { return solver_stop_requested() || pending_signal_error() != 0; }

bool solver_grace_over() {
  if (pending_signal_error() != 0) return true;
  if (stop_interrupt && stop_interrupt->load(std::memory_order_relaxed)) return true;
  const int32_t reason = stop_reason.load();
  if (reason == 0) return false;
  return reason != STOP_TIME_LIMIT || clock_seconds() >= stop_seen_at.load() + STOP_GRACE_SECONDS;
}

int32_t solver_stop_reason() { return stop_reason.load(std::memory_order_relaxed); }

PathCost solver_lower_bound() { return stopped_lower_bound; }

unsigned __int128 path_cost_bound(const DistanceMatrix* matrix) {
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
  }
  return bound;
}

bool next_combination(int64_t* combination, int64_t m, int64_t k) {
  int64_t i = k;
  while (i >= 1 && combination[i - 1] >= m - k + i) --i;
  if (i < 1) return false;
  combination[i - 1]++;
  for (int64_t j = i + 1; j <= k; ++j) combination[j - 1] = combination[j - 2] + 1;
  return true;
}

// Up to this many points every subset is filled: a second or two at most.
constexpr int64_t EXHAUSTIVE_POINTS = 28;
constexpr int64_t BOUNDED_SHARE_OF_TWO_LAYERS = 16;

// The program's choice: the full table while it is small, the two layers beyond, and the
// bounded engine where filling every subset would take long or not fit.
// The most memory the bounded engine's states take before the search takes over: near ties
// (flat costs, copies of points) fill memory with states, where the search remembers few.
constexpr int64_t BOUNDED_SEARCH_BUDGET = int64_t{512} << 20;
static bool bounded_gives_way_to_search = false;

static SolverEngine choose_engine(int64_t n, int64_t cell_bytes) {
  bounded_budget_bytes = 0;
  bounded_gives_way_to_search = false;
  if (solver_engine != ENGINE_AUTOMATIC) return solver_engine;
  const int64_t full = full_table_bytes(n, cell_bytes);
  if (full >= 0 && full <= FULL_TABLE_PREFERRED_BYTES && rows_supported(n - 1, cell_bytes)) {
    return ENGINE_FULL_TABLE;
  }
  const int64_t two = two_layer_bytes(n, cell_bytes);
  const bool two_layers_fit =
      two >= 0 && two <= table_bytes_available() && rows_supported(n - 1, cell_bytes);
  if (n <= EXHAUSTIVE_POINTS && two_layers_fit) return ENGINE_TWO_LAYER;
  // Where the two layers fit, the bounded engine gives way to them once its states take a
  // sixteenth of their memory: the problem is then one of those (many near ties) where the
  // bounds drop little, and filling every subset is the surer way.
  // Beyond them it gives way to the branch-and-cut search once its states pass a budget.
  bounded_budget_bytes = two_layers_fit ? two / BOUNDED_SHARE_OF_TWO_LAYERS
                                        : std::min(table_bytes_available() / 4, BOUNDED_SEARCH_BUDGET);
  bounded_gives_way_to_search = !two_layers_fit;
  return ENGINE_BOUNDED;
}

static void prepare(const DistanceMatrix* matrix, int64_t cell_bytes) {
  switch (engine_in_use) {
    case ENGINE_REFERENCE:
      // Its 64-bit cells would overflow.
      if (cell_bytes > 8) throw_error(COST_OVERFLOW_ERROR, -1, nullptr);
      reference_prepare(matrix);
      break;
    case ENGINE_FULL_TABLE: full_table_prepare(matrix, cell_bytes); break;
    case ENGINE_BOUNDED: bounded_prepare(matrix, cell_bytes); break;
    default: two_layer_prepare(matrix, cell_bytes); break;
  }
}

// False when the bounded engine gives way (see choose_engine).
static bool fill_first_size() {
  switch (engine_in_use) {
    case ENGINE_REFERENCE: reference_fill_first_size(); break;
    case ENGINE_FULL_TABLE: full_table_fill_first_size(); break;
    case ENGINE_BOUNDED: return bounded_fill_first_size();
    default: two_layer_fill_first_size(); break;
  }
  return true;
}

static bool fill_size(int64_t n, int64_t k) {
  switch (engine_in_use) {
    case ENGINE_REFERENCE: run_size_phase(n, k); break;
    case ENGINE_FULL_TABLE: full_table_fill_size(k); break;
    case ENGINE_BOUNDED: return bounded_fill_size(k);
    default: two_layer_fill_size(k); break;
  }
  return true;
}

PathCost solver_cost(uint64_t subset, int64_t end_point) {
  switch (engine_in_use) {
    case ENGINE_REFERENCE: return reference_cost(subset, end_point);
    case ENGINE_FULL_TABLE: return full_table_cost(subset, end_point);
    case ENGINE_BOUNDED: return bounded_cost(subset, end_point);
    default: return two_layer_cost(subset, end_point);
  }
}

// The matrix of the solve in progress.
static const DistanceMatrix* solve_matrix = nullptr;

// The engines without a table of choices: the lowest c in S attaining the least
// D(a, c) + cost(S - c, c), which is the choice the table would hold.
static int64_t next_by_costs(uint64_t subset, int64_t end_point) {
  PathCost best = 0;
  int64_t choice = 0;
  for (uint64_t rest = subset; rest; rest &= rest - 1) {
    const int64_t c = __builtin_ctzll(rest) + 2;
    const PathCost sum = distance(solve_matrix, end_point, c) +
                         solver_cost(subset & ~(uint64_t{1} << (c - 2)), c);
    if (choice == 0 || sum < best) {
      best = sum;
      choice = c;
    }
  }
  return choice;
}

int64_t solver_next(uint64_t subset, int64_t end_point) {
  switch (engine_in_use) {
    case ENGINE_REFERENCE: return reference_next(subset, end_point);
    case ENGINE_TWO_LAYER: two_layer_hold_size_below(subset); break;
    default: break;
  }
  return next_by_costs(subset, end_point);
}

static void release() {
  switch (engine_in_use) {
    case ENGINE_REFERENCE: reference_release(); break;
    case ENGINE_FULL_TABLE: full_table_release(); break;
    case ENGINE_BOUNDED: bounded_release(); break;
    default: two_layer_release(); break;
  }
}

static void release();

// The bounded engine gave way at size k: the two layers fill sizes 1..k again, silently (their
// "Step" lines have been printed), and go on from there.
static void fill_every_subset_instead(const DistanceMatrix* matrix, int64_t cell_bytes,
                                      int64_t k) {
  release();
  engine_in_use = ENGINE_TWO_LAYER;
  prepare(matrix, cell_bytes);
  fill_first_size();
  for (int64_t size = 2; size <= k; ++size) {
    fill_size(matrix->n, size);
    poll_pending_signal();
  }
}

static void print_step(int64_t k) {
  solver_progress.step = k;
  if (solver_progress_hook) return solver_progress_hook();
  print_text(CONSOLE, "Step");
  print_integer(CONSOLE, k);
  print_line_end(CONSOLE);
}

static void print_end() {
  if (solver_progress_hook) return;
  print_text(CONSOLE, "End");
  print_line_end(CONSOLE);
}

// The branch-and-cut engine solves the problems beyond the exhaustive engines, but for the
// symmetric ones up to this many points: there the bounded engine is faster (its spanning-
// tree bounds suit them), until its states pass their budget.
constexpr int64_t BOUNDED_POINTS = 64;

bool costs_symmetric(const DistanceMatrix* matrix) {
  for (int64_t i = 1; i <= matrix->n; ++i) {
    for (int64_t j = i + 1; j <= matrix->n; ++j) {
      if (distance(matrix, i, j) != distance(matrix, j, i)) return false;
    }
  }
  return true;
}

// Puts the tour from point 1 in path[0..n-1] into tour, starting at start.
static void rotate_into_tour(int64_t n, int64_t start, const int64_t* path, Tour* tour) {
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
  tour->points[n] = start;
}

// steps: the "Step" lines printed already.
static bool solve_by_branch_and_cut(int64_t n, int64_t start, const DistanceMatrix* matrix,
                                    Tour* tour, int64_t steps) {
  engine_in_use = ENGINE_BRANCH_AND_CUT;
  const bool finished = branch_and_cut_solve(matrix, print_step, steps);
  if (!finished) stopped_lower_bound = branch_and_cut_lower_bound();
  // Only now: an error in the search leaves no table behind.
  TableBlock path_block;
  if (create_table(&path_block, 0, n - 1, sizeof(int64_t)) != 0) {
    throw_at_line(LINE_PATH_TABLE, MODULE_NAME);
  }
  int64_t* path = static_cast<int64_t*>(path_block.cells);
  branch_and_cut_tour(path);
  rotate_into_tour(n, start, path, tour);
  free_table(&CityBit);
  print_end();
  free_table(&path_block);
  return finished;
}

// The bounded engine's states passed their budget at size k: the search takes over, with
// "Step" lines from k + 1.
static bool search_instead(int64_t n, int64_t start, const DistanceMatrix* matrix, Tour* tour,
                           int64_t k) {
  release();
  return solve_by_branch_and_cut(n, start, matrix, tour, k);
}

// A stop request ended the programme before its last size: the tables go, and the tour is
// the good tour of the bounded engine's bounds, with their lower bound (at most 64 points):
// those the bounded engine made, or new ones, improved while the grace after the stop lasts.
static bool stop_early(int64_t n, int64_t start, const DistanceMatrix* matrix, Tour* tour) {
  const bool prepared = engine_in_use == ENGINE_BOUNDED;
  release();
  free_table(&CityBit);
  solver_progress.phase = "bounds";
  report_solver_progress();
  if (!prepared) prepare_tour_bounds(matrix, solver_grace_over);
  const TourBounds& b = tour_bounds;
  const int64_t lower = b.lower_scaled / b.scale + (b.lower_scaled % b.scale > 0 ? 1 : 0);
  stopped_lower_bound = static_cast<PathCost>(lower) * (int64_t{1} << b.shift);
  rotate_into_tour(n, start, b.tour, tour);
  return false;
}

bool solve_tour(int64_t n, int64_t start, const DistanceMatrix* matrix, Tour* tour) {
  solver_progress = SolverProgress{"subsets", 0, false, 0, false, 0};
  stopped_lower_bound = 0;
  if (create_table(&CityBit, 2, n, sizeof(int64_t)) != 0) {
    throw_at_line(LINE_CITY_BIT, MODULE_NAME);
  }
  int64_t* bit = static_cast<int64_t*>(CityBit.cells);
  // Bit values past 2^62 are never used: no table for so many points can be created.
  for (int64_t c = 2; c <= n; ++c) bit[c - 2] = c - 2 < 63 ? int64_t{1} << (c - 2) : 0;

  if (solver_engine == ENGINE_BRANCH_AND_CUT ||
      (solver_engine == ENGINE_AUTOMATIC && n > EXHAUSTIVE_POINTS &&
       (n > BOUNDED_POINTS || !costs_symmetric(matrix)))) {
    return solve_by_branch_and_cut(n, start, matrix, tour, 0);
  }
  // Subsets are 64-bit masks of the points 2..N: refused before the cell width is chosen,
  // which would read a matrix of billions of cells.
  if (n > 64) {
    set_error_number(4);
    throw_at_line(LINE_COST_TABLE, MODULE_NAME);
  }
  const int64_t cell_bytes = cell_bytes_for(matrix);
  solve_matrix = matrix;
  engine_in_use = choose_engine(n, cell_bytes);
  if (engine_in_use == ENGINE_BOUNDED) {
    solver_progress.phase = "bounds";
    report_solver_progress();
  }
  prepare(matrix, cell_bytes);
  if (engine_in_use == ENGINE_BOUNDED) {
    const TourBounds& b = tour_bounds;
    const int64_t lower = b.lower_scaled / b.scale + (b.lower_scaled % b.scale > 0 ? 1 : 0);
    solver_progress = SolverProgress{
        "subsets", 0, true, b.upper, true, static_cast<PathCost>(lower) * (int64_t{1} << b.shift)};
  }

  print_step(1);
  if (!fill_first_size()) {
    if (bounded_gives_way_to_search) return search_instead(n, start, matrix, tour, 1);
    fill_every_subset_instead(matrix, cell_bytes, 1);
  }
  int64_t k = 2;
  for (; k <= n - 2; ++k) {
    print_step(k);
    if (!fill_size(n, k)) {
      if (bounded_gives_way_to_search) return search_instead(n, start, matrix, tour, k);
      fill_every_subset_instead(matrix, cell_bytes, k);
    }
    poll_pending_signal();
    if (solver_stop_requested()) return stop_early(n, start, matrix, tour);
  }
  // Every size the tour needs is filled: reading it back (which may solve again) must finish.
  if (solver_stop_requested()) return stop_early(n, start, matrix, tour);
  stop_accepted.store(false);
  print_step(k);
  if (inspect_solver_tables) inspect_solver_tables(n);

  uint64_t full = 0;
  for (int64_t c = 2; c <= n; ++c) full += static_cast<uint64_t>(bit[c - 2]);
  PathCost best = 0;
  int64_t last = 0;
  for (int64_t j = 2; j <= n; ++j) {
    const uint64_t others = full - static_cast<uint64_t>(bit[j - 2]);
    PathCost u = distance(matrix, 1, j) + solver_cost(others, j);
    if (last == 0 || u < best) {
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
  uint64_t subset = full - static_cast<uint64_t>(bit[last - 2]);
  for (int64_t i = 2; subset != 0; ++i) {
    last = solver_next(subset, last);
    path[i] = last;
    subset -= static_cast<uint64_t>(bit[last - 2]);
  }

  rotate_into_tour(n, start, path, tour);
  release();
  free_table(&CityBit);
  print_end();
  free_table(&path_block);
  return true;
}

void abandon_solve() {
  release();
  free_table(&CityBit);
  branch_and_cut_abandon();
  solve_matrix = nullptr;
}
