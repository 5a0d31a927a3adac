// The branch-and-cut engine; see branch_and_cut_engine.h for its design and why it is exact.
#include "solver/branch_and_cut_engine.h"

#include <cstddef>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "bounds/exact_bound.h"
#include "bounds/good_tour.h"
#include "bounds/subtour_lp.h"

BranchAndCutCounts branch_and_cut_counts;
int64_t branch_and_cut_bound_slack = 0;

// Cuts a node adds before it branches, and rounds of them; the root goes on until none.
constexpr int CUTS_PER_ROUND = 64;
constexpr int NODE_CUT_ROUNDS = 4;
constexpr int ROOT_CUT_ROUNDS = 200;
// Cuts the LP may hold per point before the slack ones go: each node adds cuts, and those of
// the subtrees the search has left only slow the LP down (kroA100: 1478 cuts, twice the time).
constexpr size_t DROP_CUTS_PER_POINT = 3;
// Memory the search needs for each arc, about: the costs, weights and flags, and the LP.
constexpr int64_t BYTES_PER_ARC = 256;
// Points as the search counts them (16-bit ends in the refuted states' keys).
constexpr int64_t MOST_POINTS = 65535;
// Refuted states remembered at most (about 100 bytes each).
constexpr size_t MOST_REFUTED_STATES = size_t{1} << 22;

// The solve in progress: reached from file scope, so that an error or an interrupt that
// leaves the search by a jump loses nothing, and never destroyed, because the thread that
// ends a run early calls exit while this one may still be searching.
namespace {
struct Search {
  int n = 0;
  int shift = 0;                 // t
  int64_t scale = 1;             // K
  const DistanceMatrix* matrix = nullptr;
  std::vector<int64_t> cut_cost;     // D_t, [i * n + j] over points 0..n-1
  std::vector<int64_t> scaled_cost;  // K D_t
  std::vector<uint8_t> allowed;
  SubtourLp lp;
  ExactDuals duals;
  std::vector<int> path;         // points 0..n-1, path[0] = 0
  std::vector<uint8_t> remaining;
  __int128 limit = 0;            // in D_t units; see the design
  bool met_tour = false;
  PathCost best_cost = 0;
  std::vector<int> best;
  __int128 path_cost = 0;        // cost_t of the path
  int64_t tours_taken = 0;       // complete tours met, for the refuted states
  // Refuted states: the points still to visit and the path's end, with the largest budget
  // B for which no completion of cost_t at most B exists.
  std::unordered_map<std::string, __int128> refuted;
  int64_t deepest = 0;           // the deepest path so far, for the steps
  // Each depth's working storage, here rather than on the stack: an interrupt leaves the
  // search by a jump, which would lose what the stack frames own.
  std::vector<std::string> key_at;
  std::vector<std::vector<int>> dropped_at;
  std::vector<std::vector<__int128>> child_at;
  void (*step)(int64_t) = nullptr;
  // For a solve that a stop request ends early: the cheapest tour met (the good tour or one
  // of the search), and the best lower bound on the optimum proven so far (cost units).
  bool stopped = false;
  bool has_incumbent = false;
  std::vector<int> incumbent;
  PathCost incumbent_cost = 0;
  bool has_lower = false;
  PathCost lower = 0;
};
Search& search = *new Search;
}  // namespace

// The state of the path: the points still to visit, and its end.
static void state_key(std::string* key) {
  const int n = search.n;
  key->assign((n + 7) / 8 + 2, '\0');
  for (int p = 0; p < n; ++p) {
    if (search.remaining[p]) (*key)[p / 8] = static_cast<char>((*key)[p / 8] | (1 << (p % 8)));
  }
  const int end = search.path.back();
  (*key)[key->size() - 2] = static_cast<char>(end & 0xFF);
  (*key)[key->size() - 1] = static_cast<char>(end >> 8);
}

static PathCost exact_cost(const std::vector<int>& order) {
  PathCost total = 0;
  const int n = search.n;
  for (int t = 0; t < n; ++t) {
    total += distance(search.matrix, order[t] + 1, order[(t + 1) % n] + 1);
  }
  return total;
}

static __int128 floor_shifted(PathCost cost) { return cost >> search.shift; }

static bool above_limit(__int128 bound) {
  return bound + branch_and_cut_bound_slack > search.limit * search.scale;
}

static void choose_cut_and_scale() {
  const int n = search.n;
  uint64_t largest = 0;
  for (int i = 1; i <= n; ++i) {
    for (int j = 1; j <= n; ++j) {
      if (i == j) continue;
      const int64_t c = distance(search.matrix, i, j);
      const uint64_t magnitude = c < 0 ? 0 - static_cast<uint64_t>(c) : static_cast<uint64_t>(c);
      if (magnitude > largest) largest = magnitude;
    }
  }
  // |D_t| <= 2^40 and K |D_t| < 2^42 (exact_bound.h).
  search.shift = 0;
  while ((largest >> search.shift) >= (uint64_t{1} << 40)) ++search.shift;
  const uint64_t cut_largest = (largest >> search.shift) + 1;
  search.scale = 1;
  while (search.scale < (int64_t{1} << 20) &&
         cut_largest * static_cast<uint64_t>(search.scale) * 2 <= (uint64_t{1} << 41)) {
    search.scale *= 2;
  }
  search.cut_cost.assign(static_cast<size_t>(n) * n, 0);
  search.scaled_cost.assign(static_cast<size_t>(n) * n, 0);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      if (i == j) continue;
      const int64_t cut = distance(search.matrix, i + 1, j + 1) >> search.shift;
      search.cut_cost[static_cast<size_t>(i) * n + j] = cut;
      search.scaled_cost[static_cast<size_t>(i) * n + j] = cut * search.scale;
    }
  }
}

// A new best tour or bound for whoever follows the progress.
static void note_tour(const std::vector<int>& order, PathCost cost) {
  if (search.has_incumbent && cost >= search.incumbent_cost) return;
  search.has_incumbent = true;
  search.incumbent = order;
  search.incumbent_cost = cost;
  solver_progress.has_upper = true;
  solver_progress.upper = cost;
  report_solver_progress();
}

// cost(T) >= 2^t cost_t(T) for every tour, so a bound B on cost_t gives 2^t B.
static void note_lower_bound(__int128 shifted) {
  const PathCost lower =
      static_cast<PathCost>(shifted) * (static_cast<PathCost>(1) << search.shift);
  if (search.has_lower && lower <= search.lower) return;
  search.has_lower = true;
  search.lower = lower;
  solver_progress.has_lower = true;
  solver_progress.lower = lower;
  report_solver_progress();
}

// Ends the work in hand when a stop request has come.
static bool stopping() {
  if (!search.stopped && solver_stop_requested()) search.stopped = true;
  return search.stopped;
}

static void build_lp() {
  std::vector<LpCut> cuts = search.lp.cuts;
  std::vector<double> cost(search.cut_cost.begin(), search.cut_cost.end());
  subtour_lp_create(&search.lp, search.n, cost.data(), search.allowed.data());
  subtour_lp_add_cuts(&search.lp, cuts);
}

// Solves the LP with up to rounds rounds of cuts, then rounds its duals.
static void solve_with_cuts(int rounds, bool at_node) {
  if (search.lp.cuts.size() > static_cast<size_t>(search.n) * DROP_CUTS_PER_POINT) {
    subtour_lp_drop_slack_cuts(&search.lp);
  }
  subtour_lp_solve(&search.lp);
  for (int round = 0; round < rounds && search.lp.optimal && !stopping(); ++round) {
    // At a node, a relaxation already a unit above the limit drops it: more cuts would only
    // cost solves (a fifth of the time on ftv70). The exact bound decides all the same.
    if (at_node && subtour_lp_objective(&search.lp) > static_cast<double>(search.limit) + 1) {
      break;
    }
    // Blossoms for asymmetric costs too: a directed tour, taken undirected, is a 2-matching
    // (ftv70: a quarter of the nodes, a third of the time).
    if (subtour_lp_separate(&search.lp, CUTS_PER_ROUND, true) == 0) break;
    subtour_lp_solve(&search.lp);
    report_solver_progress();
  }
  ++branch_and_cut_counts.nodes;
  exact_duals_from_lp(&search.duals, &search.lp, search.scaled_cost.data(), search.scale);
}

// The LP's solution as a cycle cover, patched into a tour; empty when it is not one.
static std::vector<int> cycle_cover_tour() {
  const int n = search.n;
  std::vector<int> successor(n, -1), predecessor(n, -1);
  for (size_t column = 0; column < search.lp.x.size(); ++column) {
    if (search.lp.x[column] < 0.5) continue;
    const int i = search.lp.column_tail[column], j = search.lp.column_head[column];
    if (successor[i] >= 0 || predecessor[j] >= 0) return {};
    successor[i] = j;
    predecessor[j] = i;
  }
  for (int p = 0; p < n; ++p) {
    if (successor[p] < 0) return {};
  }
  return patch_cycles(n, search.cut_cost.data(), successor);
}

static void take_tour(const std::vector<int>& order) {
  ++search.tours_taken;
  const PathCost cost = exact_cost(order);
  note_tour(order, cost);
  if (search.met_tour && cost >= search.best_cost) return;
  search.met_tour = true;
  search.best_cost = cost;
  search.best = order;
  const __int128 tighter = search.shift == 0 ? cost - 1 : floor_shifted(cost);
  if (tighter < search.limit) search.limit = tighter;
}

static void visit() {
  const int n = search.n;
  const int depth = static_cast<int>(search.path.size()) - 1;  // arcs in the path
  if (depth > search.deepest) {
    search.deepest = depth;
    if (search.step) search.step(depth);
  }
  poll_pending_signal();
  // A search cut short proves nothing: it only unwinds, and the solve ends.
  if (stopping()) return;
  report_solver_progress();
  const int from = search.path.back();
  if (depth == n - 1) {
    take_tour(search.path);
    return;
  }
  // A state refuted before with at least this budget has no completion within it.
  const __int128 budget = search.limit - search.path_cost;
  std::string& key = search.key_at[depth];
  state_key(&key);
  auto known = search.refuted.find(key);
  if (known != search.refuted.end() && known->second >= budget) return;
  const int64_t tours_before = search.tours_taken;

  solve_with_cuts(NODE_CUT_ROUNDS, true);
  if (search.stopped) return;
  __int128 path_weight = search.duals.base;
  for (int t = 0; t < depth; ++t) {
    path_weight += search.duals.weight[static_cast<size_t>(search.path[t]) * n + search.path[t + 1]];
  }
  // Arcs that no completion within the limit uses leave this subtree's bounds. (They stay in
  // its LP: changing the LP's columns costs more in its solves than it gains.)
  std::vector<int>& dropped = search.dropped_at[depth];
  dropped.clear();
  drop_completion_arcs(&search.duals, search.allowed.data(), from, search.remaining.data(),
                       path_weight + branch_and_cut_bound_slack, search.limit * search.scale,
                       &dropped);
  std::vector<__int128>& child = search.child_at[depth];
  child_bounds(&search.duals, search.allowed.data(), from, search.remaining.data(), &child);
  for (int j = 1; j < n; ++j) {
    if (child[j] == NO_COMPLETION || above_limit(path_weight + child[j])) continue;
    const int64_t arc_cost = search.cut_cost[static_cast<size_t>(from) * n + j];
    search.path.push_back(j);
    search.remaining[j] = 0;
    search.path_cost += arc_cost;
    subtour_lp_fix_arc(&search.lp, from, j, true);
    visit();
    subtour_lp_fix_arc(&search.lp, from, j, false);
    search.path_cost -= arc_cost;
    search.remaining[j] = 1;
    search.path.pop_back();
    if (search.stopped) break;
  }
  for (int arc : dropped) search.allowed[arc] = 1;
  // No tour met below: every completion of this state costs more than the budget, the limit
  // having stayed the same throughout.
  if (!search.stopped && search.tours_taken == tours_before &&
      search.refuted.size() < MOST_REFUTED_STATES) {
    auto [entry, fresh] = search.refuted.try_emplace(key, budget);
    if (!fresh && entry->second < budget) entry->second = budget;
  }
}

// The least cost_t of a tour from point 0 over the allowed arcs that the duals allow, rounded
// up from K units, at most ceiling (also when no tour is left).
static __int128 root_bound(__int128 ceiling) {
  const int n = search.n;
  search.remaining.assign(n, 1);
  search.remaining[0] = 0;
  std::vector<__int128>& root_child = search.child_at[0];
  child_bounds(&search.duals, search.allowed.data(), 0, search.remaining.data(), &root_child);
  __int128 root_exact = NO_COMPLETION;
  for (__int128 bound : root_child) root_exact = bound < root_exact ? bound : root_exact;
  if (root_exact == NO_COMPLETION) return ceiling;
  root_exact += search.duals.base;
  const __int128 rounded = root_exact / search.scale + (root_exact % search.scale > 0 ? 1 : 0);
  return rounded < ceiling ? rounded : ceiling;
}

// A stop request before the good tour: the local optimum from the nearest-neighbour tour, or
// from the patched cycle cover, whichever is cheaper, and the bound of the LP so far.
static void stop_before_good_tour(const std::vector<int>& start) {
  const int n = search.n;
  std::vector<int> order = find_good_tour(n, search.cut_cost.data(), {}, 0, INT64_MIN);
  note_tour(order, exact_cost(order));
  if (!start.empty()) {
    order = find_good_tour(n, search.cut_cost.data(), start, 0, INT64_MIN);
    note_tour(order, exact_cost(order));
  }
  note_lower_bound(root_bound(NO_COMPLETION));
}

// False when a stop request ended it early; search.best is then the cheapest tour met.
static bool solve_search(void (*step)(int64_t), int64_t steps_done) {
  const int n = search.n;
  search.step = step;
  search.deepest = steps_done;
  search.met_tour = false;
  search.stopped = false;
  search.has_incumbent = false;
  search.has_lower = false;
  branch_and_cut_counts = BranchAndCutCounts{};
  choose_cut_and_scale();
  search.allowed.assign(static_cast<size_t>(n) * n, 1);
  for (int i = 0; i < n; ++i) search.allowed[static_cast<size_t>(i) * n + i] = 0;
  search.lp.cuts.clear();
  search.refuted.clear();
  search.tours_taken = 0;
  // Sized once: the frames of the search hold references into them.
  search.key_at.assign(n, std::string());
  search.dropped_at.assign(n, std::vector<int>());
  search.child_at.assign(n, std::vector<__int128>());
  solver_progress.phase = "relaxation";
  report_solver_progress();
  build_lp();
  // Before any cut the LP is the assignment problem, whose solution is a cycle cover: patched
  // into a tour, it starts the search for a good tour (asymmetric costs especially).
  subtour_lp_solve(&search.lp);
  std::vector<int> start = cycle_cover_tour();
  solve_with_cuts(ROOT_CUT_ROUNDS, false);
  if (search.stopped) {
    stop_before_good_tour(start);
    search.best = search.incumbent;
    return false;
  }
  const double root = subtour_lp_objective(&search.lp);
  branch_and_cut_counts.root_bound = root * static_cast<double>(int64_t{1} << search.shift);

  // The good tour, stopping early once it meets the relaxation's bound.
  solver_progress.phase = "good tour";
  report_solver_progress();
  const int64_t enough = static_cast<int64_t>(root) + 1;
  std::vector<int> order =
      find_good_tour(n, search.cut_cost.data(), {}, 10 * n, enough, solver_stop_requested);
  if (!start.empty()) {
    std::vector<int> patched =
        find_good_tour(n, search.cut_cost.data(), start, 10 * n, enough, solver_stop_requested);
    if (exact_cost(patched) < exact_cost(order)) order = patched;
  }
  const PathCost upper = exact_cost(order);
  note_tour(order, upper);
  branch_and_cut_counts.good_tour_cost = upper;
  search.limit = floor_shifted(upper);

  const int64_t before = static_cast<int64_t>(n) * (n - 1);
  const int64_t dropped =
      drop_arcs_above(&search.duals, search.allowed.data(), search.limit * search.scale);
  branch_and_cut_counts.arcs_kept = before - dropped;
  if (dropped > 0 && !stopping()) {
    build_lp();
    solve_with_cuts(ROOT_CUT_ROUNDS, false);
  }

  // Rounds of the search with a rising limit L, from the relaxation's bound up to UB: a round
  // that meets a tour of cost_t at most L has found the first optimal tour (see the design);
  // otherwise every tour costs more than L, and the next round allows more. A round costs
  // about as much as the tours within its limit, so a poor UB costs little.
  const __int128 ceiling = floor_shifted(upper);
  __int128 round_limit = root_bound(ceiling);
  note_lower_bound(round_limit);
  __int128 rise = (ceiling - round_limit) / 4;
  if (rise < 1) rise = 1;
  __int128 cheapest = ceiling;  // floor_shifted of the cheapest tour met so far
  solver_progress.phase = "search";
  for (;;) {
    search.limit = round_limit;
    search.met_tour = false;
    search.path.assign(1, 0);
    search.path_cost = 0;
    visit();
    if (search.stopped) {
      search.best = search.incumbent;
      break;
    }
    ++branch_and_cut_counts.rounds;
    if (search.met_tour && floor_shifted(search.best_cost) <= round_limit) break;
    if (round_limit >= cheapest) {
      // Cannot happen: the good tour lies within the ceiling. Keep the good tour.
      search.best = order;
      break;
    }
    // The round met no tour within its limit: every tour costs more.
    note_lower_bound(round_limit + 1);
    if (search.met_tour && floor_shifted(search.best_cost) < cheapest) {
      cheapest = floor_shifted(search.best_cost);
    }
    round_limit += rise;
    rise *= 2;
    if (round_limit > cheapest) round_limit = cheapest;
  }
  subtour_lp_destroy(&search.lp);
  // The refuted states can take hundreds of megabytes: none is kept between solves.
  std::unordered_map<std::string, __int128>().swap(search.refuted);
  return !search.stopped;
}

bool branch_and_cut_solve(const DistanceMatrix* matrix, void (*step)(int64_t), int64_t steps_done) {
  // The cost tables, the LP's columns and the LP solver's own copies of them; the point count
  // is checked first, so that the product cannot overflow.
  if (matrix->n > MOST_POINTS ||
      matrix->n * matrix->n > table_bytes_available() / BYTES_PER_ARC) {
    set_error_number(4);
    throw_at_line(LINE_COST_TABLE, MODULE_NAME);
  }
  search.matrix = matrix;
  search.n = static_cast<int>(matrix->n);
  if (search.n <= 2) {  // one tour only
    search.best.clear();
    for (int t = 0; t < search.n; ++t) {
      search.best.push_back(t);
      if (step && t > steps_done) step(t);
    }
    return true;
  }
  try {
    return solve_search(step, steps_done);
  } catch (const std::bad_alloc&) {
    subtour_lp_destroy(&search.lp);
    set_error_number(4);
    throw_at_line(LINE_COST_TABLE, MODULE_NAME);
  }
}

void branch_and_cut_tour(int64_t* path) {
  for (int t = 0; t < search.n; ++t) path[t] = search.best[t] + 1;
}

PathCost branch_and_cut_lower_bound() { return search.lower; }

void branch_and_cut_abandon() {
  subtour_lp_destroy(&search.lp);
  std::unordered_map<std::string, __int128>().swap(search.refuted);
}
