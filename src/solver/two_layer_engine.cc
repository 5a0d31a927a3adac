// The two-layer engine; see two_layer_engine.h for its design.
#include "solver/two_layer_engine.h"

#include "solver/row_kernels.h"

bool two_layer_keeps_no_sizes = false;

// Below this the engine keeps every size: reading the tour back then never solves again.
constexpr int64_t SMALL_TABLE_BYTES = int64_t{64} << 20;
// The kept sizes may take this fraction of the two buffers.
constexpr int64_t KEPT_SHARE = 16;

// The problem in hand: the whole one, or one restricted to the points of solve_points.
static const DistanceMatrix* whole_matrix = nullptr;  // the caller's
static const DistanceMatrix* matrix = nullptr;        // the one being solved
static DistanceMatrix restricted_matrix;
static uint64_t solve_points = 0;  // points of the problem in hand, as a mask of the whole's
static uint64_t whole_points = 0;  // every point of the whole problem but point 1
static int64_t n = 0;              // points other than point 1 in the problem in hand
static int64_t cell_bytes = 4;
static int64_t cut = 1;  // sizes from the cut up are kept whole
static TableBlock storage;
static char* layer_start[MAX_POINTS];

// The memory of the cut: the kept sizes, and the largest even and odd sizes below it.
struct Plan {
  int64_t kept;
  int64_t buffer[2];
};

static bool plan_for(int64_t points, int64_t bytes_per_cell, int64_t k_cut, Plan* plan) {
  *plan = {0, {0, 0}};
  for (int64_t k = 1; k < points; ++k) {
    const int64_t layer = layer_bytes(points, k, bytes_per_cell);
    if (layer < 0) return false;
    if (k >= k_cut) {
      if (__builtin_add_overflow(plan->kept, layer, &plan->kept)) return false;
    } else if (layer > plan->buffer[k & 1]) {
      plan->buffer[k & 1] = layer;
    }
  }
  return true;
}

static int64_t plan_total(const Plan& plan) {
  int64_t total;
  if (__builtin_add_overflow(plan.kept, plan.buffer[0], &total) ||
      __builtin_add_overflow(total, plan.buffer[1], &total)) {
    return -1;
  }
  return total;
}

int64_t two_layer_bytes(int64_t n_points, int64_t bytes_per_cell) {
  if (n_points < 2 || n_points - 1 > MAX_POINTS - 2) return -1;
  Plan plan;
  if (!plan_for(n_points - 1, bytes_per_cell, n_points - 1, &plan)) return -1;
  return plan_total(plan);
}

// The lowest cut that keeps the kept sizes small beside the buffers and fits the memory
// available; 0 when not even the buffers alone fit.
static int64_t choose_cut(int64_t points, int64_t bytes_per_cell, int64_t available) {
  int64_t chosen = 0;
  for (int64_t k_cut = two_layer_keeps_no_sizes ? points : 1; k_cut <= points; ++k_cut) {
    Plan plan;
    if (!plan_for(points, bytes_per_cell, k_cut, &plan)) continue;
    const int64_t total = plan_total(plan);
    if (total < 0 || total > available) continue;
    const int64_t buffers = plan.buffer[0] + plan.buffer[1];
    if (plan.kept <= SMALL_TABLE_BYTES || plan.kept <= buffers / KEPT_SHARE || k_cut == points) {
      chosen = k_cut;
      break;
    }
  }
  return chosen;
}

// Plans and creates the storage of the problem in hand and prepares its row kernels.
static void prepare_problem(int64_t bytes_per_cell) {
  cell_bytes = bytes_per_cell;
  cut = rows_supported(n, cell_bytes) ? choose_cut(n, cell_bytes, table_bytes_available()) : 0;
  Plan plan;
  if (cut == 0 || !plan_for(n, cell_bytes, cut, &plan) ||
      create_page_table(&storage, plan_total(plan)) != 0) {
    set_error_number(4);
    throw_at_line(LINE_COST_TABLE, MODULE_NAME);
  }
  char* next = static_cast<char*>(storage.cells);
  char* buffer[2] = {next, next + plan.buffer[0]};
  next += plan.buffer[0] + plan.buffer[1];
  for (int64_t k = 1; k < n; ++k) {
    if (k >= cut) {
      layer_start[k] = next;
      next += layer_bytes(n, k, cell_bytes);
    } else {
      layer_start[k] = buffer[k & 1];
    }
  }
  rows_prepare(matrix, cell_bytes);
}

void two_layer_prepare(const DistanceMatrix* distances, int64_t bytes_per_cell) {
  whole_matrix = distances;
  matrix = distances;
  n = distances->n - 1;
  whole_points = (uint64_t{1} << n) - 1;  // n <= 62
  solve_points = whole_points;
  prepare_problem(bytes_per_cell);
}

void two_layer_fill_first_size() {
  if (n >= 2) rows_fill_first_size(layer_start[1]);
}

void two_layer_fill_size(int64_t k) { rows_fill_size(k, layer_start[k - 1], layer_start[k]); }

bool two_layer_holds_size(int64_t k) {
  if (k == 0) return true;
  return k >= 1 && k < n && k >= cut - 2;
}

int64_t two_layer_cut() { return cut; }

// The mask of the problem in hand for a set of the whole one's points (within solve_points).
static uint64_t restricted_subset(uint64_t subset) {
  if (solve_points == whole_points) return subset;
  uint64_t restricted = 0;
  int bit = 0;
  for (uint64_t rest = solve_points; rest; rest &= rest - 1, ++bit) {
    if (subset & rest & (0 - rest)) restricted |= uint64_t{1} << bit;
  }
  return restricted;
}

PathCost two_layer_cost(uint64_t subset, int64_t end_point) {
  if (subset == 0) return distance(whole_matrix, end_point, 1);
  const uint64_t inside = restricted_subset(subset);
  const int64_t q = __builtin_popcountll(solve_points & ((uint64_t{1} << (end_point - 2)) - 1));
  const int64_t k = __builtin_popcountll(inside);
  const int64_t index = colex_rank(inside) * (n - k) + column_in_row(inside, q);
  return read_cell(layer_start[k], index, cell_bytes);
}

static void release_problem() {
  rows_release();
  free_table(&storage);
  free_table(&restricted_matrix.block);
}

// Solves the problem of point 1 and the points of subset, with no progress lines.
static void solve_restricted(uint64_t subset) {
  release_problem();
  const int64_t points = __builtin_popcountll(subset) + 1;
  if (create_table_2d(&restricted_matrix.block, 1, points, 1, points, sizeof(int64_t)) != 0) {
    throw_at_line(LINE_COST_TABLE, MODULE_NAME);
  }
  restricted_matrix.n = points;
  restricted_matrix.cells = static_cast<int64_t*>(restricted_matrix.block.cells);
  int64_t original[MAX_POINTS];  // the whole problem's point for each point of this one
  original[0] = 1;
  int64_t count = 1;
  for (uint64_t rest = subset; rest; rest &= rest - 1) original[count++] = __builtin_ctzll(rest) + 2;
  for (int64_t r = 0; r < points; ++r) {
    for (int64_t c = 0; c < points; ++c) {
      restricted_matrix.cells[r * points + c] =
          r == c ? 0 : distance(whole_matrix, original[r], original[c]);
    }
  }
  matrix = &restricted_matrix;
  n = points - 1;
  solve_points = subset;
  // Its own width: a part of the matrix may need narrower cells than the whole.
  prepare_problem(cell_bytes_for(matrix));
  two_layer_fill_first_size();
  for (int64_t k = 2; k < n; ++k) {
    two_layer_fill_size(k);
    poll_pending_signal();
  }
}

void two_layer_hold_size_below(uint64_t subset) {
  if ((subset & (subset - 1)) == 0) return;  // one point: the way back needs no size
  if ((subset & ~solve_points) != 0 || !two_layer_holds_size(__builtin_popcountll(subset) - 1)) {
    solve_restricted(subset);
  }
}

void two_layer_release() {
  release_problem();
  whole_matrix = nullptr;
  matrix = nullptr;
  n = 0;
  solve_points = 0;
  whole_points = 0;
}
