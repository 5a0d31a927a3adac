// The branch-and-cut engine; see branch_and_cut_engine.h for its design and why it is exact.
#include "solver/branch_and_cut_engine.h"

#include <algorithm>
#include <cmath>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "bounds/exact_bound.h"
#include "bounds/good_tour.h"
#include "bounds/subtour_lp.h"
#include "platform/platform.h"
#include "solver/cost_proof.h"
#include "solver/worker_threads.h"
#include "tour/lin_kernighan.h"

BranchAndCutCounts branch_and_cut_counts;
int64_t branch_and_cut_bound_slack = 0;
bool branch_and_cut_scatter = false;
bool branch_and_cut_root_only = false;
bool branch_and_cut_cost_proof = true;
bool branch_and_cut_witness_first = false;

// Cuts a node adds before it branches, and rounds of them; the root goes on until none.
constexpr int CUTS_PER_ROUND = 64;
constexpr int NODE_CUT_ROUNDS = 4;
constexpr int ROOT_CUT_ROUNDS = 200;
constexpr int CUT_TREE_ROUNDS = 25;
// Cuts the LP may hold per point before the slack ones go: each node adds cuts, and those of
// the subtrees the search has left only slow the LP down (kroA100: 1478 cuts, twice the time).
constexpr size_t DROP_CUTS_PER_POINT = 1;
// At the root, where rounds of cuts follow one another, more stay, and those dropped go to
// the LP's pool, from which they come back when violated (ts225: the root took 17 s with the
// 3700 cuts its rounds found, 2.1 s with 8 a point, to the same bound; with 5 a point pr76's
// proof took 225 nodes instead of 71, with a different set of cuts at the root).
constexpr size_t ROOT_CUTS_PER_POINT = 8;
// Memory the search needs for each arc, at most: the problem's cost (8 bytes), D_t and K D_t
// (16), the allowed flags (1), the first worker's weights, flags and separation (17), and a
// question's or the cost proof's weights and flags (9): 51, and some to spare. Each helper
// thread needs its own weights, flags and separation, and those of its questions. The
// LPs hold a core of the arcs and at most MOST_COLUMNS_PER_POINT columns a point: linear in n.
constexpr int64_t BYTES_PER_ARC = 64;
constexpr int64_t BYTES_PER_ARC_A_HELPER = 32;
// Points as the search counts them: an arc's number i * n + j fits an int.
constexpr int64_t MOST_POINTS = 46340;
// The LP holds a core of the arcs, not all of them: each point's CORE_NEIGHBOURS cheapest
// arcs out and in and a tour's, with the others priced in as the duals ask (pricing, in whole
// numbers, reads every arc). Over every arc the LP solver's own steps grow with n^2: past a
// few hundred points one of them (loading, the first factorisation, an iteration) outlasts the
// tenth of a second in which a stop request must be seen (2392 points: 0.8 s to load, 0.5 s an
// iteration), and the root's relaxation took 4.5 s at 442 points, 29 s at 783, where the core
// takes 0.2 and 0.7 s to the same bound (and a little less time from 70 points on).
constexpr int CORE_NEIGHBOURS = 10;
// Points up to which the rounds run on every processor: a helper's stack holds the search's
// recursion, one frame a point.
constexpr int MOST_POINTS_SHARED = 1000;
// How often the calling thread, waiting for work, shows what the others reached.
constexpr int PROGRESS_MILLISECONDS = 100;
// Questions (see refuted_by_question): only where this many points at least are left after
// the child, and with this many nodes at most each. A question cut short leaves its child to
// the search over paths, which costs more than the proof would have: with 50 nodes, a random
// problem of 200 points left 31 of 169 questions open and was not solved in 100 s; with 400,
// every one was settled and the solve took 44 s.
constexpr int QUESTION_FEWEST_POINTS = 10;
constexpr int64_t QUESTION_MOST_NODES = 400;
// Questions stop once more of them fail to drop their child than this allows: with many
// optimal tours most children hold one, which the search over paths meets at once and a
// question seldom finds (80 points of costs 5..7: 0.3 s without questions, 28 s with).
constexpr int64_t QUESTION_MISSES_FIRST = 4;
constexpr int64_t QUESTION_MISSES_PER_HIT = 2;
constexpr size_t MOST_WITNESSES = 64;
// The proof that meets every tour of the proven optimum's cost (see first_of_every_optimal_
// tour) may take this many nodes for each of the cost proof's and for each point (the split
// along an optimal tour goes up to a point deep), and meet this many tours at most: past them
// the search over paths takes over. kroA200 took 283 nodes after a proof of 11, lin318 495
// after 45; a280 met 35 optimal tours in 9187 nodes and had not ended, where the search over
// paths takes a second.
// Nor may it take longer than the solve up to the end of the cost proof, and a second: rat783
// met its ninth optimal tour after 44 s of it (the cost proof had ended at 19 s), and u574
// had not ended after 48 s (52 s).
constexpr int64_t EVERY_TOUR_NODES_PER_PROOF_NODE = 4;
constexpr int64_t EVERY_TOUR_NODES_PER_POINT = 2;
constexpr size_t EVERY_TOUR_MOST_TOURS = 8;
constexpr double EVERY_TOUR_SECONDS_BESIDE = 1.0;
// And never past this many seconds: att532's cost proof took 134 s, and the proof of every
// tour then met no tour in as long again.
constexpr double EVERY_TOUR_MOST_SECONDS = 10.0;
// The cost proof and the questions take the cut tree's blossoms and combs at their nodes
// (CostProofProblem.cut_tree): pcb442's proof took 737 nodes and 24.5 s without, 333 and
// 12.5 s with (the whole solve 95 s, then 44 s with the restart below); rat783's 153 nodes
// and 17.9 s, 33 and 9.1 s (the whole solve 177 s, then 130 s); u574's 155 and 21.7 s, 43
// and 16.7 s. The proof that meets every optimal tour does not: each of its nodes took four
// times as long with them (lin318: 541 nodes in 2.4 s without, 204 in 3.3 s with, and then
// cut short).
constexpr bool CUT_TREE_IN_PROOFS = true;
// A question's tours take a tenth of the kicks of the proof's: near a solution fixed along
// a path, more seldom pay (a280's questions: 0.9 s with n kicks, 0.5 s with n / 10).
constexpr int QUESTION_KICKS_DIVISOR = 10;
// The local search that looks for a tour with a question's path, before the question's
// proof goes past its first node: kicks a point. It runs only where that node settled
// nothing, a few times a solve. With a tenth of a kick a point it missed pcb442's tour from
// 1, 2, 3 (a question of 198 nodes and 4 s instead); with one, those from 1, 2, 3, 4, 5 and
// from 1 .. 27 (questions of 9 s each, the whole solve 36 to 48 s against 20 to 22 s).
constexpr int64_t WITNESS_KICKS_PER_POINT = 5;
constexpr int WITNESS_MOST_POINTS = 2000;
// Refuted states remembered at most, and the memory they may take (a key of n / 8 bytes and
// about 64 beside it each), at most half of what the tables leave.
constexpr size_t MOST_REFUTED_STATES = size_t{1} << 22;
constexpr int64_t MOST_REFUTED_BYTES = int64_t{400} << 20;

// One thread's share of the search: its own LP, bounds and path. The rounds of the search run
// on every processor: a worker that runs out of work asks, and a busy one hands over the later
// children of its shallowest node that has any left (see share_work).
namespace {
struct Worker {
  SubtourLp lp;
  ExactDuals duals;
  std::vector<uint8_t> allowed;  // the search's arcs, less those its subtrees drop
  std::vector<int> path;         // points 0..n-1, path[0] = 0
  std::vector<uint8_t> remaining;
  __int128 path_cost = 0;        // cost_t of the path
  int64_t tours_taken = 0;       // complete tours met, for the refuted states
  int64_t nodes = 0;
  int base_depth = 0;            // the depth of the task in hand
  // Each depth's working storage, here rather than on the stack: an interrupt leaves the
  // search by a jump, which would lose what the stack frames own.
  std::vector<std::string> key_at;
  std::vector<std::vector<int>> dropped_at;
  std::vector<std::vector<__int128>> child_at;
  std::vector<__int128> weight_at;  // base + W(path) of the node at that depth
  std::vector<int> next_at;         // the next child its loop may take
  std::vector<int> end_at;          // its loop ends before this child (less once shared out)
  std::vector<uint8_t> shared_out_at;
  // The round's best tour as this worker last read it.
  int64_t best_version = 0;
  bool met_tour = false;
  PathCost best_cost = 0;
  std::vector<int> best;
};

// Work handed over: the children from first_child on of the node with this path.
struct Task {
  std::vector<int> path;
  int first_child;
};

// The solve in progress: reached from file scope, so that an error or an interrupt that
// leaves the search by a jump loses nothing, and never destroyed, because the thread that
// ends a run early calls exit while this one may still be searching.
struct Search {
  int n = 0;
  int shift = 0;                 // t
  int64_t scale = 1;             // K
  int64_t cut_largest = 0;       // above |D_t(i, j)| for every arc
  const DistanceMatrix* matrix = nullptr;
  std::vector<int> core_arcs;        // the arcs a new LP starts with, ascending
  bool symmetric = false;            // D_t(i, j) = D_t(j, i) for every pair
  std::vector<int64_t> cut_cost;     // D_t, [i * n + j] over points 0..n-1
  // The local search's candidate lists over cut_cost (symmetric costs), found once a solve.
  std::vector<int> tour_candidates;
  std::vector<int64_t> scaled_cost;  // K D_t
  std::vector<uint8_t> allowed;      // the arcs the search may use
  Worker own;                        // the calling thread's; its LP is the root's
  std::vector<Worker> helpers;
  std::vector<LpCut> round_cuts;     // the cuts the helpers' LPs start a round with
  __int128 round_limit = 0;          // in D_t units; see the design
  __int128 proven_floor = 0;         // no tour has cost_t below it (the cost proof), D_t units
  bool questions = false;            // the cost proof is complete (proven_floor is the optimum)
                                     // and the root lay close enough below it for questions
  // Shared by the round's workers, under lock.
  std::mutex lock;
  std::condition_variable wake;
  bool met_tour = false;
  PathCost best_cost = 0;
  std::vector<int> best;
  std::atomic<int64_t> best_version{0};
  std::vector<std::vector<int>> witnesses;  // tours of the proven optimum's cost (see visit)
  int64_t question_hits = 0, question_misses = 0;  // children dropped by questions, and not
  // Refuted states: the points still to visit and the path's end, with the largest budget
  // B for which no completion of cost_t at most B exists.
  std::unordered_map<std::string, __int128> refuted;
  size_t most_refuted = 0;
  std::vector<Task> tasks;
  int active = 0, idle = 0;
  bool round_over = false;
  std::atomic<bool> hungry{false};   // a worker waits for work
  std::atomic<int> next_helper{0};
  std::atomic<int64_t> deepest{0};   // the deepest path of any worker so far
  std::atomic<bool> stopped{false};
  std::atomic<bool> out_of_memory{false};
  // The calling thread's alone.
  std::thread::id main_thread;
  int64_t steps_shown = 0;
  int64_t best_version_shown = 0;
  void (*step)(int64_t) = nullptr;
  // For a solve that a stop request ends early: the cheapest tour met (the good tour or one
  // of the search), and the best lower bound on the optimum proven so far (cost units).
  bool has_incumbent = false;
  std::vector<int> incumbent;
  PathCost incumbent_cost = 0;
  bool has_lower = false;
  PathCost lower = 0;
};
Search& search = *new Search;
}  // namespace

static bool stopping();

// The calling thread's worker: it alone shows the steps and the progress.
static bool is_own(const Worker& w) { return &w == &search.own; }

// The state of the path: the points still to visit, and its end.
static void state_key(const Worker& w, std::string* key) {
  const int n = search.n;
  key->assign((n + 7) / 8 + 2, '\0');
  for (int p = 0; p < n; ++p) {
    if (w.remaining[p]) (*key)[p / 8] = static_cast<char>((*key)[p / 8] | (1 << (p % 8)));
  }
  const int end = w.path.back();
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

// Dropped when the bound passes the limit, or when the cost proof has shown that no tour
// costs as little as the limit.
static bool above_limit(__int128 bound, __int128 limit) {
  return limit < search.proven_floor || bound + branch_and_cut_bound_slack > limit * search.scale;
}

// Whether the path's first length points, then next (when not negative), come before the best
// tour the worker knows, in the order of the search.
static bool before_best(const Worker& w, int length, int next) {
  for (int t = 0; t < length; ++t) {
    if (w.path[t] != w.best[t]) return w.path[t] < w.best[t];
  }
  return next >= 0 && next < w.best[length];
}

// The limit of the path's first length points, then next: the round's, and once a tour of
// cost C is met, floor(C / 2^t) when t > 0 (the later tours are compared exactly), C for the
// paths before it in the order (a tour of cost C there comes first) and C - 1 for the others.
static __int128 limit_of(const Worker& w, int length, int next) {
  __int128 limit = search.round_limit;
  if (!w.met_tour) return limit;
  __int128 by_best = floor_shifted(w.best_cost);
  if (search.shift == 0 && !before_best(w, length, next)) by_best -= 1;
  return by_best < limit ? by_best : limit;
}

// Sizes table to n x n a row at a time, row(i, cells) filling each, looking at the stop
// request every 64 rows: a new table's memory is touched as it grows (seconds a gigabyte on
// some machines), an old one of the same size is written over. False when stopped, the
// table then incomplete.
template <typename Cell, typename Row>
static bool fill_table(std::vector<Cell>* table, Row row) {
  const int n = search.n;
  const size_t cells = static_cast<size_t>(n) * n;
  if (table->size() != cells) {
    table->clear();
    table->reserve(cells);
  }
  const bool fresh = table->size() != cells;
  for (int i = 0; i < n; ++i) {
    if ((i & 63) == 0 && stopping()) return false;
    if (fresh) table->resize(static_cast<size_t>(i + 1) * n);
    row(i, table->data() + static_cast<size_t>(i) * n);
  }
  return true;
}

// The costs D_t and K D_t, and every arc allowed; false when a stop request came first.
static bool choose_cut_and_scale() {
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
  search.cut_largest = static_cast<int64_t>(cut_largest);
  search.scale = 1;
  while (search.scale < (int64_t{1} << 20) &&
         cut_largest * static_cast<uint64_t>(search.scale) * 2 <= (uint64_t{1} << 41)) {
    search.scale *= 2;
  }
  search.symmetric = true;
  return fill_table(&search.cut_cost,
                    [&](int i, int64_t* row) {
                      for (int j = 0; j < n; ++j) {
                        row[j] = i == j ? 0 : distance(search.matrix, i + 1, j + 1) >> search.shift;
                        if (row[j] != distance(search.matrix, j + 1, i + 1) >> search.shift) {
                          search.symmetric = false;
                        }
                      }
                    }) &&
         fill_table(&search.scaled_cost,
                    [&](int i, int64_t* row) {
                      const int64_t* cut = search.cut_cost.data() + static_cast<size_t>(i) * n;
                      for (int j = 0; j < n; ++j) row[j] = cut[j] * search.scale;
                    }) &&
         fill_table(&search.allowed, [&](int i, uint8_t* row) {
           for (int j = 0; j < n; ++j) row[j] = i != j;
         });
}

// The worker's copy of the search's arcs; false when a stop request came first.
static bool copy_allowed(Worker& w) {
  return fill_table(&w.allowed, [&](int i, uint8_t* row) {
    const uint8_t* from = search.allowed.data() + static_cast<size_t>(i) * search.n;
    std::copy(from, from + search.n, row);
  });
}

// A new best tour or bound for whoever follows the progress (the calling thread only).
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

// Ends the work in hand when a stop request, an interrupt or a failure has come. The calling
// thread raises an interrupt only once every worker is done (poll_pending_signal).
static bool stopping() {
  if (!search.stopped.load(std::memory_order_relaxed) && solver_should_stop()) {
    search.stopped.store(true);
  }
  return search.stopped.load(std::memory_order_relaxed);
}

// The arcs the LP starts with: each point's CORE_NEIGHBOURS cheapest arcs out and in
// (the lowest points among equals), and the arcs of the tour order, so that the assignment
// and every cut the LP will hold have a solution over them. Stops early when asked.
static void choose_core(const std::vector<int>& order) {
  const int n = search.n;
  std::vector<int>& core = search.core_arcs;
  core.clear();
  for (int t = 0; t < n; ++t) core.push_back(order[t] * n + order[(t + 1) % n]);
  const int keep = std::min(CORE_NEIGHBOURS, n - 1);
  std::vector<std::pair<int64_t, int>> line(n - 1);
  for (int out = 0; out < 2; ++out) {
    for (int p = 0; p < n; ++p) {
      if ((p & 63) == 0 && stopping()) return;
      int k = 0;
      for (int q = 0; q < n; ++q) {
        if (q == p) continue;
        const size_t arc = out ? static_cast<size_t>(p) * n + q : static_cast<size_t>(q) * n + p;
        line[k++] = {search.cut_cost[arc], q};
      }
      std::nth_element(line.begin(), line.begin() + (keep - 1), line.end());
      for (int c = 0; c < keep; ++c) {
        const int q = line[c].second;
        core.push_back(out ? p * n + q : q * n + p);
      }
    }
  }
  std::sort(core.begin(), core.end());
  core.erase(std::unique(core.begin(), core.end()), core.end());
}

static void build_lp(Worker& w, const std::vector<LpCut>& cuts) {
  const int n = search.n;
  std::vector<int> arcs;
  for (int arc : search.core_arcs) {
    if (search.allowed[arc]) arcs.push_back(arc);
  }
  subtour_lp_create(&w.lp, n, search.cut_cost.data(), arcs, stopping, search.symmetric);
  subtour_lp_add_cuts(&w.lp, cuts);
}

// The arcs the calling thread's LP holds now (the core and what pricing added) are the ones
// every LP built from now on starts with.
static void remember_lp_columns() {
  const SubtourLp& lp = search.own.lp;
  std::vector<int>& core = search.core_arcs;
  for (size_t column = 0; column < lp.column_tail.size(); ++column) {
    core.push_back(lp.column_tail[column] * search.n + lp.column_head[column]);
  }
  std::sort(core.begin(), core.end());
  core.erase(std::unique(core.begin(), core.end()), core.end());
}

// The duals in whole numbers, and while any allowed arc outside the LP has a negative reduced
// cost, those arcs added and the LP solved again: the LP is then as tight as over every
// allowed arc. The duals are those of the last solve, complete unless a stop cut them short.
static void price_in(Worker& w) {
  price_in_arcs(&w.duals, &w.lp, search.scaled_cost.data(), search.scale, w.allowed.data(),
                stopping);
}

// Solves the LP with up to rounds rounds of cuts, each with pricing, then rounds its
// duals. A node passes its limit: a relaxation already a unit above it drops the node, and
// more cuts would only cost solves (a fifth of the time on ftv70). The exact bound decides
// all the same. A stop request ends it with the duals marked incomplete where they are.
static void solve_with_cuts(Worker& w, int rounds, bool at_node, __int128 limit) {
  w.lp.pooling = !at_node;
  if (w.lp.cuts.size() > static_cast<size_t>(search.n) * DROP_CUTS_PER_POINT) {
    subtour_lp_drop_slack_cuts(&w.lp);
  }
  subtour_lp_solve(&w.lp);
  price_in(w);
  for (int round = 0; round < rounds && w.lp.optimal && !stopping(); ++round) {
    if (at_node && subtour_lp_objective(&w.lp) > static_cast<double>(limit) + 1) break;
    // Blossoms for asymmetric costs too: a directed tour, taken undirected, is a 2-matching
    // (ftv70: a quarter of the nodes, a third of the time).
    // The cut tree at the root's first rounds only: at the nodes of the search over paths
    // its blossoms cost more time than they save (lin318: 68 s with them, 45 s without), and
    // at the root its gains tail off while each round costs a maximum flow a terminal
    // (rat783: 351 s in all rounds).
    const bool cut_tree = !at_node && round < CUT_TREE_ROUNDS;
    if (w.lp.cuts.size() > static_cast<size_t>(search.n) * ROOT_CUTS_PER_POINT) {
      subtour_lp_drop_slack_cuts(&w.lp);
    }
    if (subtour_lp_separate(&w.lp, CUTS_PER_ROUND, true, cut_tree) == 0) break;
    subtour_lp_solve(&w.lp);
    price_in(w);
    if (is_own(w)) report_solver_progress();
  }
  ++w.nodes;
}

// The LP's solution as a cycle cover, patched into a tour; empty when it is not one.
static std::vector<int> cycle_cover_tour() {
  const int n = search.n;
  const SubtourLp& lp = search.own.lp;
  std::vector<int> successor(n, -1), predecessor(n, -1);
  for (size_t column = 0; column < lp.x.size(); ++column) {
    if (lp.x[column] < 0.5) continue;
    const int i = lp.column_tail[column], j = lp.column_head[column];
    if (successor[i] >= 0 || predecessor[j] >= 0) return {};
    successor[i] = j;
    predecessor[j] = i;
  }
  for (int p = 0; p < n; ++p) {
    if (successor[p] < 0) return {};
  }
  return patch_cycles(n, search.cut_cost.data(), successor, stopping);
}

// The round's best tour, as the worker knows it, brought up to date.
static void read_best(Worker& w) {
  if (w.best_version == search.best_version.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> hold(search.lock);
  w.best_version = search.best_version.load();
  w.met_tour = search.met_tour;
  w.best_cost = search.best_cost;
  w.best = search.best;
}

// A complete tour: the round's best when it is cheaper, or as cheap and earlier in the order
// (another worker may have met a later one first).
static void take_tour(Worker& w) {
  ++w.tours_taken;
  const PathCost cost = exact_cost(w.path);
  {
    std::lock_guard<std::mutex> hold(search.lock);
    if (!search.met_tour || cost < search.best_cost ||
        (cost == search.best_cost && w.path < search.best)) {
      search.met_tour = true;
      search.best_cost = cost;
      search.best = w.path;
      search.best_version.fetch_add(1);
    }
  }
  read_best(w);
}

// The calling thread's part at each of its nodes: the steps other workers reached, and the
// best tour for the progress.
static void show_progress() {
  const int64_t deepest = search.deepest.load();
  while (search.steps_shown < deepest) {
    ++search.steps_shown;
    if (search.step) search.step(search.steps_shown);
  }
  const int64_t version = search.best_version.load();
  if (version != search.best_version_shown) {
    search.best_version_shown = version;
    std::vector<int> order;
    PathCost cost = 0;
    {
      std::lock_guard<std::mutex> hold(search.lock);
      order = search.best;
      cost = search.best_cost;
    }
    if (!order.empty()) note_tour(order, cost);
  }
  report_solver_progress();
}

// A worker waits for work: hands over the later children of its shallowest node that has
// any within the round's limit, as one task (its taker applies the finer limits).
static void share_work(Worker& w) {
  if (!branch_and_cut_scatter && !search.hungry.load(std::memory_order_relaxed)) return;
  const int n = search.n;
  const int depth = static_cast<int>(w.path.size()) - 1;
  for (int d = w.base_depth; d < depth; ++d) {
    const std::vector<__int128>& child = w.child_at[d];
    for (int j = w.next_at[d]; j < w.end_at[d] && j < n; ++j) {
      if (child[j] == NO_COMPLETION || above_limit(w.weight_at[d] + child[j], search.round_limit)) {
        continue;
      }
      Task task{std::vector<int>(w.path.begin(), w.path.begin() + d + 1), j};
      w.end_at[d] = j;
      for (int k = w.base_depth; k <= d; ++k) w.shared_out_at[k] = 1;
      std::lock_guard<std::mutex> hold(search.lock);
      search.tasks.push_back(std::move(task));
      search.hungry.store(search.idle > static_cast<int>(search.tasks.size()));
      search.wake.notify_one();
      return;
    }
  }
}

static bool refuted_by_question(Worker& w, int next);
static std::vector<int> improve_tour(const std::vector<int>& order, int64_t kicks, int64_t enough,
                                     bool (*stop)());


static void visit(Worker& w, int first_child) {
  const int n = search.n;
  const int depth = static_cast<int>(w.path.size()) - 1;  // arcs in the path
  int64_t deepest = search.deepest.load(std::memory_order_relaxed);
  while (depth > deepest && !search.deepest.compare_exchange_weak(deepest, depth)) {
  }
  // A search cut short proves nothing: it only unwinds, and the solve ends.
  if (stopping()) return;
  if (is_own(w)) show_progress();
  read_best(w);
  if (depth == n - 1) {
    take_tour(w);
    return;
  }
  share_work(w);
  const int from = w.path.back();
  // The node's limit as it stands now; it may only fall while the node is worked on.
  const __int128 node_limit = limit_of(w, depth + 1, -1);
  // A state refuted before with at least this budget has no completion within it.
  const __int128 budget = node_limit - w.path_cost;
  std::string& key = w.key_at[depth];
  state_key(w, &key);
  {
    std::lock_guard<std::mutex> hold(search.lock);
    auto known = search.refuted.find(key);
    if (known != search.refuted.end() && known->second >= budget) return;
  }
  const int64_t tours_before = w.tours_taken;
  w.shared_out_at[depth] = 0;

  solve_with_cuts(w, NODE_CUT_ROUNDS, true, node_limit);
  if (stopping()) return;
  __int128 path_weight = w.duals.base;
  for (int t = 0; t < depth; ++t) {
    path_weight += w.duals.weight[static_cast<size_t>(w.path[t]) * n + w.path[t + 1]];
  }
  w.weight_at[depth] = path_weight;
  // Arcs that no completion within the limit uses leave this subtree's bounds (the limit
  // only falls). They stay in its LP: changing the LP's columns costs more in its solves
  // than it gains.
  std::vector<int>& dropped = w.dropped_at[depth];
  dropped.clear();
  drop_completion_arcs(&w.duals, w.allowed.data(), from, w.remaining.data(),
                       path_weight + branch_and_cut_bound_slack,
                       node_limit * search.scale, &dropped);
  if (stopping()) {  // each step is O(n^2): look between them
    for (int arc : dropped) w.allowed[arc] = 1;
    return;
  }
  std::vector<__int128>& child = w.child_at[depth];
  child_bounds(&w.duals, w.allowed.data(), from, w.remaining.data(), &child);
  w.end_at[depth] = n;
  for (int j = first_child; j < w.end_at[depth]; ++j) {
    if (child[j] == NO_COMPLETION || above_limit(path_weight + child[j], limit_of(w, depth + 1, j))) {
      continue;
    }
    if (refuted_by_question(w, j)) continue;
    w.next_at[depth] = j + 1;
    const int64_t arc_cost = search.cut_cost[static_cast<size_t>(from) * n + j];
    w.path.push_back(j);
    w.remaining[j] = 0;
    w.path_cost += arc_cost;
    subtour_lp_fix_arc(&w.lp, from, j, true);
    visit(w, 1);
    subtour_lp_fix_arc(&w.lp, from, j, false);
    w.path_cost -= arc_cost;
    w.remaining[j] = 1;
    w.path.pop_back();
    if (stopping()) break;
  }
  for (int arc : dropped) w.allowed[arc] = 1;
  // No tour met below, every child seen here: every completion of this state costs more than
  // the budget at the end (the limits only fell, and a tour within one is never dropped).
  if (!stopping() && w.tours_taken == tours_before && first_child <= 1 &&
      !w.shared_out_at[depth]) {
    read_best(w);
    const __int128 refuted_budget = limit_of(w, depth + 1, -1) - w.path_cost;
    std::lock_guard<std::mutex> hold(search.lock);
    if (search.refuted.size() < search.most_refuted) {
      auto [entry, fresh] = search.refuted.try_emplace(key, refuted_budget);
      if (!fresh && entry->second < refuted_budget) entry->second = refuted_budget;
    }
  }
}

// Threads for a job: one a processor, as far as the memory goes that each helper needs
// beside the first worker's.
static int32_t affordable_threads() {
  const int64_t arcs = static_cast<int64_t>(search.n) * search.n;
  const int64_t affordable =
      std::max<int64_t>(table_bytes_available() - arcs * BYTES_PER_ARC, 0) /
      (arcs * BYTES_PER_ARC_A_HELPER);
  return static_cast<int32_t>(std::min<int64_t>(solver_thread_count(), affordable + 1));
}

// A cost proof over the search's costs and the given allowed arcs, its tours improved by the
// good tour's local search; the caller adds what it starts from.
static CostProofProblem proof_problem(const uint8_t* allowed) {
  CostProofProblem problem;
  problem.n = search.n;
  problem.cost = search.cut_cost.data();
  problem.scaled_cost = search.scaled_cost.data();
  problem.scale = search.scale;
  problem.symmetric = search.symmetric;
  problem.allowed = allowed;
  problem.stop = stopping;
  problem.slack = branch_and_cut_bound_slack;
  problem.improve = [](const std::vector<int>& start) {
    return improve_tour(start, search.n, INT64_MIN, stopping);
  };
  return problem;
}

// Whether local search finds a tour of the proven optimum's cost that starts with the path
// (symmetric costs): from the witness that shares most of the path, the path first and then
// the witness's other points in its order, with the path's edges made so cheap that no move
// takes one out. Most questions that find a tour spent 50 to 200 nodes on it (pcb442: the
// first optimal tour runs 1, 2, 3, ... where the witnesses turn off after a few points). A
// tour found is measured at its true cost and joins the witnesses; it only spares questions,
// and drops nothing.
static bool witness_with_path(const std::vector<int>& path) {
  const int n = search.n;
  const int length = static_cast<int>(path.size());
  // The search copies the n x n costs: past a few thousand points that is memory the
  // engine never set aside, and seconds between looks at the stop request.
  if (!search.symmetric || n < 5 || n > WITNESS_MOST_POINTS || search.tour_candidates.empty()) {
    return false;
  }
  const int64_t most = search.cut_largest;
  // The path's edges each cheaper by more than any tour's cost, within the local search's
  // 2^40 for each cost.
  const __int128 lowering = static_cast<__int128>(n + 1) * (2 * most + 1);
  if (lowering + most >= (__int128{1} << 39)) return false;
  std::vector<int> from;
  {
    std::lock_guard<std::mutex> hold(search.lock);
    int shared = -1;
    for (const std::vector<int>& tour : search.witnesses) {
      int common = 0;
      while (common < length && tour[common] == path[common]) ++common;
      if (common > shared) shared = common, from = tour;
    }
  }
  if (from.empty()) return false;
  std::vector<uint8_t> on_path(n, 0);
  for (int p : path) on_path[p] = 1;
  std::vector<int> place(n);
  for (int t = 0; t < n; ++t) place[from[t]] = t;
  std::vector<int> start(path);
  for (int t = 1; t <= n; ++t) {
    const int p = from[(place[path.back()] + t) % n];
    if (!on_path[p]) start.push_back(p);
  }
  std::vector<int64_t> cost(search.cut_cost);
  for (int t = 0; t + 1 < length; ++t) {
    const size_t a = static_cast<size_t>(path[t]) * n + path[t + 1];
    const size_t b = static_cast<size_t>(path[t + 1]) * n + path[t];
    cost[a] -= static_cast<int64_t>(lowering);
    cost[b] -= static_cast<int64_t>(lowering);
  }
  LocalSearchOptions options;
  options.kicks = WITNESS_KICKS_PER_POINT * n;
  options.stop = stopping;
  options.candidates = &search.tour_candidates;
  std::vector<int> order = lin_kernighan_tour(n, cost.data(), start, options);
  // Point 0 first; the way round that follows the path.
  if (order[1] != path[1]) std::reverse(order.begin() + 1, order.end());
  if (!std::equal(path.begin(), path.end(), order.begin())) return false;
  if (floor_shifted(exact_cost(order)) > search.proven_floor) return false;
  std::lock_guard<std::mutex> hold(search.lock);
  ++branch_and_cut_counts.witnesses_by_local_search;
  if (search.witnesses.size() >= MOST_WITNESSES) search.witnesses.erase(search.witnesses.begin());
  search.witnesses.push_back(std::move(order));
  return true;
}

// A tour of the optimum's cost as a witness; for symmetric costs also the other way round,
// which a path may follow as well.
static void add_witness_both_ways(const std::vector<int>& tour) {
  search.witnesses.push_back(tour);
  if (search.symmetric) {
    search.witnesses.push_back(tour);
    std::reverse(search.witnesses.back().begin() + 1, search.witnesses.back().end());
  }
}

// The question a thread is asking, if any: its worker and the child it asks about.
struct AskedQuestion {
  Worker* worker = nullptr;
  int depth = 0;
  int next = 0;
};
static thread_local AskedQuestion asked_question;

// Whether the question in hand is moot: another worker has met an optimal tour that comes
// before its child in the order, and the child, its limit then below the optimum, is dropped
// whatever the answer (pcb442: a question about the paths from 1, 35 went on for 12 s after
// the first optimal tour, from 1, 2, was met). Or a stop request.
static bool question_over() {
  if (stopping()) return true;
  AskedQuestion& asked = asked_question;
  if (asked.worker == nullptr) return false;
  read_best(*asked.worker);
  return limit_of(*asked.worker, asked.depth + 1, asked.next) < search.proven_floor;
}

// Whether a question (a cost proof over the tours that start with the path and then next,
// with a cap on its nodes) shows that none of them costs the proven optimum: the child is
// then dropped. A tour it finds there joins the witnesses.
static bool refuted_by_question(Worker& w, int next) {
  const int n = search.n;
  const int depth = static_cast<int>(w.path.size()) - 1;
  if (!search.questions || n - depth - 2 < QUESTION_FEWEST_POINTS) return false;
  if (limit_of(w, depth + 1, next) < search.proven_floor) return false;
  std::vector<int> path(w.path);
  path.push_back(next);
  {
    std::lock_guard<std::mutex> hold(search.lock);
    const int64_t misses_allowed =
        QUESTION_MISSES_PER_HIT * search.question_hits + QUESTION_MISSES_FIRST;
    if (search.question_misses > misses_allowed) return false;
    for (const std::vector<int>& tour : search.witnesses) {
      if (std::equal(path.begin(), path.end(), tour.begin())) return false;
    }
  }
  CostProofProblem problem = proof_problem(w.allowed.data());
  problem.path = path;
  problem.first_tour_ends = true;
  problem.cut_tree = CUT_TREE_IN_PROOFS;
  problem.improve = [](const std::vector<int>& start) {
    return improve_tour(start, search.n / QUESTION_KICKS_DIVISOR, INT64_MIN, stopping);
  };
  problem.lp = &w.lp;
  problem.stop = question_over;
  asked_question = {&w, depth, next};
  const double asked = clock_seconds();
  // Its first node settles most questions; local search looks for a tour only where it
  // does not, before the rest of the proof.
  problem.most_nodes = 1;
  bool spared = branch_and_cut_witness_first && witness_with_path(path);
  CostProof answer;
  if (!spared) answer = prove_cost(problem, search.proven_floor);
  if (!spared && !answer.complete && answer.tour.empty() && !question_over()) {
    spared = witness_with_path(path);
    if (!spared) {
      problem.most_nodes = QUESTION_MOST_NODES;
      const int64_t first_nodes = answer.nodes;
      answer = prove_cost(problem, search.proven_floor);
      answer.nodes += first_nodes;
    }
  }
  for (int t = 1; t <= depth; ++t) subtour_lp_fix_arc(&w.lp, w.path[t - 1], w.path[t], true);
  const bool moot = question_over();
  asked_question = {};
  if (spared) return false;
  std::lock_guard<std::mutex> hold(search.lock);
  ++branch_and_cut_counts.questions;
  branch_and_cut_counts.question_nodes += answer.nodes;
  branch_and_cut_counts.question_seconds += clock_seconds() - asked;
  if (!answer.tour.empty() && search.witnesses.size() < MOST_WITNESSES) {
    search.witnesses.push_back(answer.tour);
  }
  if (moot) return false;  // no miss: its child goes all the same
  if (!answer.complete || !answer.tour.empty()) {
    ++search.question_misses;
    return false;
  }
  ++search.question_hits;
  ++branch_and_cut_counts.refuted_by_questions;
  return true;
}

// The first optimal tour straight from a proof that meets every tour of the optimum's cost
// (prove_cost's every_tour), when it ends complete within its caps: the tours of cost_t at
// most the optimum are then all met, and the first of them in lexicographic order is the
// first optimal tour, with no search over paths (over edges each comes the way round whose
// second point is the lower, the first of its two). The caller runs it with shift 0, where
// cost_t is the cost. Empty otherwise: the search decides.
static double every_tour_deadline = 0;
static bool every_tour_over() { return stopping() || clock_seconds() > every_tour_deadline; }

static std::vector<int> first_of_every_optimal_tour(const std::vector<LpCut>& cuts,
                                                    __int128 optimum, int64_t proof_nodes,
                                                    double seconds) {
  CostProofProblem problem = proof_problem(search.allowed.data());
  every_tour_deadline = clock_seconds() + seconds;
  problem.stop = every_tour_over;
  for (int arc : search.core_arcs) {
    if (search.allowed[arc]) problem.arcs.push_back(arc);
  }
  problem.cuts = cuts;
  problem.improve = nullptr;  // a tour met prunes nothing here
  problem.every_tour = true;
  problem.most_tours = EVERY_TOUR_MOST_TOURS;
  // One worker: its tree runs down an optimal tour a split at a time, one child of each
  // dropped at once, and two workers handed its nodes back and forth, each from an LP that
  // had not seen the last (lin318: 163 nodes in its time where one worker took 399).
  problem.threads = 1;
  problem.most_nodes =
      EVERY_TOUR_NODES_PER_PROOF_NODE * proof_nodes + EVERY_TOUR_NODES_PER_POINT * search.n;
  const CostProof every = prove_cost(problem, optimum);
  branch_and_cut_counts.every_tour_nodes = every.nodes;
  branch_and_cut_counts.every_tour_tours = static_cast<int64_t>(every.tours.size());
  if (every.complete && every.limit == optimum && !every.tours.empty()) {
    return *std::min_element(every.tours.begin(), every.tours.end());
  }
  // Cut short, its tours of the optimum's cost still spare the questions along them (rat783
  // met 8 before its cap).
  if (every.limit == optimum) {
    for (const std::vector<int>& tour : every.tours) {
      if (search.witnesses.size() + 2 > MOST_WITNESSES) break;
      add_witness_both_ways(tour);
    }
  }
  return {};
}

// The next task, lowest in the order first (the first optimal tour ends the limit's ties
// sooner); false once every worker waits and none is left, or the search stops. The calling
// thread, while it waits, still shows the steps and the tours the others reach.
static bool next_task(Task* task, bool is_main) {
  std::unique_lock<std::mutex> hold(search.lock);
  ++search.idle;
  for (;;) {
    if (search.stopped.load()) {
      search.wake.notify_all();
      return false;
    }
    if (!search.tasks.empty()) {
      auto before = [](const Task& a, const Task& b) {
        std::vector<int> x(a.path), y(b.path);
        x.push_back(a.first_child);
        y.push_back(b.first_child);
        return x < y;
      };
      auto first = branch_and_cut_scatter
                       ? std::max_element(search.tasks.begin(), search.tasks.end(), before)
                       : std::min_element(search.tasks.begin(), search.tasks.end(), before);
      *task = std::move(*first);
      search.tasks.erase(first);
      --search.idle;
      search.hungry.store(search.idle > static_cast<int>(search.tasks.size()));
      return true;
    }
    if (search.round_over || search.idle == search.active) {
      search.round_over = true;
      search.wake.notify_all();
      return false;
    }
    search.hungry.store(true);
    if (is_main) {
      search.wake.wait_for(hold, std::chrono::milliseconds(PROGRESS_MILLISECONDS));
      hold.unlock();
      show_progress();
      hold.lock();
    } else {
      search.wake.wait(hold);
    }
  }
}

static void run_task(Worker& w, const Task& task) {
  const int n = search.n;
  w.path = task.path;
  w.remaining.assign(n, 1);
  w.path_cost = 0;
  for (size_t t = 0; t < w.path.size(); ++t) {
    w.remaining[w.path[t]] = 0;
    if (t > 0) {
      w.path_cost += search.cut_cost[static_cast<size_t>(w.path[t - 1]) * n + w.path[t]];
      subtour_lp_fix_arc(&w.lp, w.path[t - 1], w.path[t], true);
    }
  }
  w.base_depth = static_cast<int>(w.path.size()) - 1;
  visit(w, task.first_child);
  for (size_t t = 1; t < task.path.size(); ++t) {
    subtour_lp_fix_arc(&w.lp, task.path[t - 1], task.path[t], false);
  }
}

// False when a stop request came first.
static bool prepare_worker(Worker& w) {
  const int n = search.n;
  if (!copy_allowed(w)) return false;
  w.tours_taken = 0;
  w.best_version = -1;
  w.met_tour = false;
  // Sized once: the frames of the search hold references into them.
  w.key_at.assign(n, std::string());
  w.dropped_at.assign(n, std::vector<int>());
  w.child_at.assign(n, std::vector<__int128>());
  w.weight_at.assign(n, 0);
  w.next_at.assign(n, n);
  w.end_at.assign(n, n);
  w.shared_out_at.assign(n, 0);
  return true;
}

// The work of a round on each thread; a failure ends the round for every worker.
static void* round_work(void*) {
  const bool is_main = std::this_thread::get_id() == search.main_thread;
  Worker* w = &search.own;
  {
    std::lock_guard<std::mutex> hold(search.lock);
    if (search.round_over) return nullptr;
    if (!is_main) {
      const int index = search.next_helper.fetch_add(1);
      if (index >= static_cast<int>(search.helpers.size())) return nullptr;
      w = &search.helpers[index];
    }
    ++search.active;
  }
  try {
    if (!is_main && prepare_worker(*w)) {
      build_lp(*w, search.round_cuts);
      subtour_lp_solve(&w->lp);
    }
    Task task;
    while (next_task(&task, is_main)) run_task(*w, task);
  } catch (const std::bad_alloc&) {
    search.out_of_memory.store(true);
    search.stopped.store(true);
    std::lock_guard<std::mutex> hold(search.lock);
    search.wake.notify_all();
  }
  return nullptr;
}

// One round of the search with the limit L on every thread: every tour of cost_t at most L
// is met, the best one (the cheapest, first in the order) kept.
static void run_round(__int128 limit) {
  search.round_limit = limit;
  search.met_tour = false;
  search.best.clear();
  search.best_version.fetch_add(1);
  search.tasks.assign(1, Task{{0}, 1});
  search.active = search.idle = 0;
  search.round_over = false;
  search.hungry.store(false);
  search.next_helper.store(0);
  search.main_thread = std::this_thread::get_id();
  // The recursion goes as deep as the points, on helper threads with smaller stacks.
  const int32_t threads = search.n <= MOST_POINTS_SHARED ? affordable_threads() : 1;
  search.round_cuts = search.own.lp.cuts;
  remember_lp_columns();
  if (search.helpers.size() < static_cast<size_t>(threads - 1)) search.helpers.resize(threads - 1);
  prepare_worker(search.own);
  run_on_threads(round_work, threads);
  for (Worker& helper : search.helpers) subtour_lp_destroy(&helper.lp);
  if (search.out_of_memory.load()) throw std::bad_alloc();
  show_progress();
  poll_pending_signal();
}

// Every tour leaves each point once and enters each once: the larger of the sums of each
// point's cheapest arc out and in bounds its cost_t, whatever the LP has done. From the
// problem's own table: the search's may not be complete.
static __int128 least_arcs_bound() {
  const int n = search.n;
  std::vector<int64_t> least_in(n, INT64_MAX);
  __int128 out_sum = 0, in_sum = 0;
  for (int i = 0; i < n; ++i) {
    int64_t least_out = INT64_MAX;
    for (int j = 0; j < n; ++j) {
      if (j == i) continue;
      const int64_t cut = distance(search.matrix, i + 1, j + 1) >> search.shift;
      least_out = std::min(least_out, cut);
      least_in[j] = std::min(least_in[j], cut);
    }
    out_sum += least_out;
  }
  for (int j = 0; j < n; ++j) in_sum += least_in[j];
  return std::max(out_sum, in_sum);
}

// The least cost_t of a tour from point 0 over the allowed arcs that the duals allow, rounded
// up from K units, at most ceiling (also when no tour is left); duals left incomplete by a
// stop give way to the cheapest arcs' bound.
static __int128 root_bound(__int128 ceiling) {
  const int n = search.n;
  Worker& w = search.own;
  if (!w.duals.complete) return std::min(least_arcs_bound(), ceiling);
  w.remaining.assign(n, 1);
  w.remaining[0] = 0;
  std::vector<__int128> root_child;
  child_bounds(&w.duals, search.allowed.data(), 0, w.remaining.data(), &root_child);
  __int128 root_exact = NO_COMPLETION;
  for (__int128 bound : root_child) root_exact = bound < root_exact ? bound : root_exact;
  if (root_exact == NO_COMPLETION) return ceiling;
  root_exact += w.duals.base;
  const __int128 rounded = root_exact / search.scale + (root_exact % search.scale > 0 ? 1 : 0);
  return rounded < ceiling ? rounded : ceiling;
}

// The cost proof runs when the root's bound lies this close below the good tour (a share of
// its cost): across a wider gap, best bound first meets more nodes than the search over
// paths (pr76, 1.4 % below: 14 s, where the paths alone take 2.4 s; kroA200, 0.33 % below:
// 10 s, where they take 160 s). The good tour may be the most of the gap: lin318's root
// lies 0.08 % below the optimum and 0.6 % below the good tour, which the proof improves.
constexpr double PROOF_MOST_GAP = 0.01;
// From this many points the proof runs whatever the gap: the search over paths no longer
// closes one of a percent (fl417: 1.2 % between the root and the good tour).
constexpr int PROOF_ANY_GAP_POINTS = 150;
// A cost proof still open after this many nodes starts again from the root with more
// trials a branch (cost_proof.h): pcb442's proof, 4059 nodes and 90 s without, took 737
// nodes and 24 s with a restart at 200; with the cut tree at its nodes, 2546 nodes and 60 s
// without, 333 and 11.7 s at 200, 213 and 8.4 s at 100, 181 and 8.6 s at 50. The proofs of up
// to 100 nodes, most of them, are as they were.
constexpr int64_t PROOF_RESTART_NODES = 100;
// Questions are asked when the root's bound lies this close below the proven least cost:
// each is a proof of its own, as long as the gap is wide. pr76, 0.8 % below: 7.5 s with its
// 70 questions, 2.5 s without; kroA200, 0.07 % below: 4.8 s with, 17 s without (both on a
// busy machine).
constexpr double QUESTIONS_MOST_GAP = 0.005;

// Kicks of the good tour's local search, a point: the search stops sooner when it meets the
// relaxation's bound.
constexpr int KICKS_PER_POINT = 10;
// For asymmetric costs (segment moves over the whole matrix, O(n^2) a kick) it also stops
// after this long: past a few hundred points its kicks take seconds and may not pay (a random
// problem of 300 points: 12 s, and no kick improved the tour), below that they do (ftv70:
// 1.6 s with them, 9.5 s without). Only the time depends on it, never the tour printed.
constexpr double GOOD_TOUR_MOST_SECONDS = 2.0;
static double good_tour_deadline = 0;
static bool good_tour_over() { return stopping() || clock_seconds() > good_tour_deadline; }

// The local search from order: chained Lin-Kernighan for symmetric costs (tour/), iterated
// segment moves and reversals otherwise (bounds/good_tour.h). Stops after kicks kicks, at a
// tour of cost_t at most enough, or once stop returns true.
static std::vector<int> improve_tour(const std::vector<int>& order, int64_t kicks, int64_t enough,
                                     bool (*stop)()) {
  if (search.symmetric) {
    LocalSearchOptions options;
    options.kicks = kicks;
    options.enough = enough;
    options.stop = stop;
    options.candidates = &search.tour_candidates;
    return lin_kernighan_tour(search.n, search.cut_cost.data(), order, options);
  }
  return find_good_tour(search.n, search.cut_cost.data(), order, static_cast<int>(kicks), enough,
                        stop);
}

// A stop request before the good tour: the tours so far (the nearest-neighbour tour, and the
// patched cycle cover when there is one), improved by local search while the grace after the
// stop lasts, the cheaper kept; and the bound of the LP so far, its last duals (any duals
// bound every tour) rounded while the grace lasts.
static void stop_before_good_tour(const std::vector<int>& start) {
  const int n = search.n;
  Worker& own = search.own;
  const std::vector<int> first = search.incumbent;
  const int64_t kicks = search.symmetric ? KICKS_PER_POINT * int64_t{n} : 0;
  std::vector<int> order = improve_tour(first, kicks, INT64_MIN, solver_grace_over);
  note_tour(order, exact_cost(order));
  if (!start.empty()) {
    order = improve_tour(start, kicks, INT64_MIN, solver_grace_over);
    note_tour(order, exact_cost(order));
  }
  if (own.lp.model && !own.duals.complete) {
    exact_duals_from_lp(&own.duals, &own.lp, search.scaled_cost.data(), search.scale,
                        solver_grace_over);
  }
  note_lower_bound(root_bound(NO_COMPLETION));
}

static void forget_search() {
  subtour_lp_destroy(&search.own.lp);
  for (Worker& helper : search.helpers) subtour_lp_destroy(&helper.lp);
  // The refuted states can take hundreds of megabytes: none is kept between solves.
  std::unordered_map<std::string, __int128>().swap(search.refuted);
}

// False when a stop request ended it early; the result is then the cheapest tour met.
static bool solve_search(void (*step)(int64_t), int64_t steps_done) {
  const double solve_start = clock_seconds();
  const int n = search.n;
  Worker& own = search.own;
  search.step = step;
  search.deepest.store(steps_done);
  search.steps_shown = steps_done;
  search.best_version_shown = search.best_version.load();
  search.stopped.store(false);
  search.out_of_memory.store(false);
  search.has_incumbent = false;
  search.has_lower = false;
  search.proven_floor = -NO_COMPLETION;
  search.questions = false;
  search.witnesses.clear();
  search.tour_candidates.clear();
  search.question_hits = search.question_misses = 0;
  branch_and_cut_counts = BranchAndCutCounts{};
  own.duals = ExactDuals{};
  search.refuted.clear();
  const int64_t spare = table_bytes_available() - static_cast<int64_t>(n) * n * BYTES_PER_ARC;
  search.most_refuted = std::min<size_t>(
      MOST_REFUTED_STATES,
      static_cast<size_t>(std::max<int64_t>(std::min(MOST_REFUTED_BYTES, spare / 2), 0)) /
          ((n + 7) / 8 + 2 + 64));
  if (!choose_cut_and_scale() || !copy_allowed(own)) {
    // Stopped while the tables were made: the points in their own order, in linear time.
    poll_pending_signal();
    search.best.resize(n);
    for (int p = 0; p < n; ++p) search.best[p] = p;
    note_tour(search.best, exact_cost(search.best));
    note_lower_bound(least_arcs_bound());
    return false;
  }
  own.nodes = 0;
  for (Worker& helper : search.helpers) helper.nodes = 0;
  solver_progress.phase = "relaxation";
  report_solver_progress();
  // A tour at once, in O(n^2): what a stop request from here on hands back at the least.
  const std::vector<int> nearest = nearest_neighbour_tour(n, search.cut_cost.data(), stopping);
  note_tour(nearest, exact_cost(nearest));
  // Symmetric costs: a local optimum of Lin-Kernighan at once (a few percent above the
  // optimum, where the nearest-neighbour tour is a fifth), for the LP's core and for a stop.
  if (search.symmetric) {
    if (n >= 5) {
      search.tour_candidates = lin_kernighan_candidates(n, search.cut_cost.data(), nearest, stopping);
    }
    const std::vector<int> local = improve_tour(nearest, 0, INT64_MIN, stopping);
    note_tour(local, exact_cost(local));
  }
  const std::vector<int> first = search.incumbent;
  choose_core(first);
  build_lp(own, {});
  // Before any cut the LP is the assignment problem, whose solution is a cycle cover: patched
  // into a tour, it starts the search for a good tour (asymmetric costs especially).
  subtour_lp_solve(&own.lp);
  price_in(own);
  std::vector<int> start;
  if (!stopping()) start = cycle_cover_tour();
  solve_with_cuts(own, ROOT_CUT_ROUNDS, false, 0);
  if (stopping()) {
    poll_pending_signal();  // an interrupt is an error, not a stop request
    stop_before_good_tour(start);
    search.best = search.incumbent;
    return false;
  }
  const double root = subtour_lp_objective(&own.lp);
  branch_and_cut_counts.root_columns = static_cast<int64_t>(own.lp.column_tail.size());
  branch_and_cut_counts.root_bound = root * static_cast<double>(int64_t{1} << search.shift);

  // The good tour, stopping early once it meets the relaxation's bound.
  solver_progress.phase = "good tour";
  report_solver_progress();
  const int64_t enough = static_cast<int64_t>(root) + 1;
  good_tour_deadline = clock_seconds() + GOOD_TOUR_MOST_SECONDS;
  bool (*const good_tour_stop)() = search.symmetric ? stopping : good_tour_over;
  std::vector<int> order = improve_tour(first, KICKS_PER_POINT * int64_t{n}, enough, good_tour_stop);
  if (!start.empty() && !search.symmetric) {  // the patched cycle cover: asymmetric costs
    std::vector<int> patched =
        improve_tour(start, KICKS_PER_POINT * int64_t{n}, enough, good_tour_stop);
    if (exact_cost(patched) < exact_cost(order)) order = patched;
  }
  const PathCost upper = exact_cost(order);
  note_tour(order, upper);
  branch_and_cut_counts.good_tour_cost = upper;
  __int128 ceiling = floor_shifted(upper);

  const int64_t before = static_cast<int64_t>(n) * (n - 1);
  const int64_t dropped =
      own.duals.complete && !stopping()
          ? drop_arcs_above(&own.duals, search.allowed.data(), ceiling * search.scale)
          : 0;
  branch_and_cut_counts.arcs_kept = before - dropped;
  if (dropped > 0 && !stopping()) {
    remember_lp_columns();
    copy_allowed(own);
    build_lp(own, std::vector<LpCut>(own.lp.cuts));
    solve_with_cuts(own, ROOT_CUT_ROUNDS, false, 0);
  }
  // The whole-number bound, not the LP's objective: an LP capped in columns may pass the
  // optimum (rbg443: 2752 against 2720), the bound from its duals never does.
  branch_and_cut_counts.root_bound =
      static_cast<double>(root_bound(NO_COMPLETION)) * static_cast<double>(int64_t{1} << search.shift);
  branch_and_cut_counts.root_seconds = clock_seconds() - solve_start;
  if (branch_and_cut_root_only) {
    search.best = order;
    forget_search();
    return true;
  }

  // The cost proof settles the least cost first: the rounds then look for the first tour of
  // that cost alone, and drop every path whose limit falls below it at once.
  __int128 proven = root_bound(ceiling);
  const __int128 root_proven = proven;
  const double root_gap = static_cast<double>(ceiling - proven);
  if (search.shift == 0 && branch_and_cut_cost_proof && !stopping() &&
      (n >= PROOF_ANY_GAP_POINTS ||
       root_gap <= PROOF_MOST_GAP * std::max(1.0, std::fabs(static_cast<double>(ceiling))))) {
    remember_lp_columns();
    CostProofProblem problem = proof_problem(search.allowed.data());
    for (int arc : search.core_arcs) {
      if (search.allowed[arc]) problem.arcs.push_back(arc);
    }
    problem.cuts = own.lp.cuts;
    problem.restart_nodes = PROOF_RESTART_NODES;
    problem.cut_tree = CUT_TREE_IN_PROOFS;
    problem.threads = affordable_threads();
    const CostProof proof = prove_cost(problem, ceiling - 1);
    branch_and_cut_counts.proof_nodes = proof.nodes;
    branch_and_cut_counts.proof_seconds = clock_seconds() - solve_start;
    if (!proof.tour.empty()) {
      const PathCost cost = exact_cost(proof.tour);
      note_tour(proof.tour, cost);
      if (cost < upper) {
        order = proof.tour;
        ceiling = floor_shifted(cost);
      }
    }
    if (proof.lower > proven) proven = proof.lower;
    if (proof.complete) {
      search.proven_floor = proof.lower;
      const double gap = static_cast<double>(proof.lower - root_proven);
      search.questions =
          gap <= QUESTIONS_MOST_GAP * std::max(1.0, std::fabs(static_cast<double>(proof.lower)));
      search.witnesses.clear();
      add_witness_both_ways(order);
      // The root's binding cuts only: the others weigh down every LP of that proof, whose
      // nodes find what they need again (lin318: it ends within its cap, in 399 nodes,
      // where with every root cut it took 470 and stopped at its cap).
      std::vector<LpCut> every_cuts;
      for (size_t c = 0; c < own.lp.cuts.size() && c < own.lp.cut_dual.size(); ++c) {
        if (own.lp.cut_dual[c] != 0.0) every_cuts.push_back(own.lp.cuts[c]);
      }
      const std::vector<int> first =
          first_of_every_optimal_tour(every_cuts, proof.lower, proof.nodes,
                                      std::min(clock_seconds() - solve_start, EVERY_TOUR_MOST_SECONDS) +
                                          EVERY_TOUR_SECONDS_BESIDE);
      branch_and_cut_counts.every_tour_seconds = clock_seconds() - solve_start;
      if (!first.empty() && !stopping()) {
        const PathCost cost = exact_cost(first);
        note_tour(first, cost);
        note_lower_bound(proof.lower);
        {
          std::lock_guard<std::mutex> hold(search.lock);
          search.met_tour = true;
          search.best_cost = cost;
          search.best = first;
          search.best_version.fetch_add(1);
        }
        search.deepest.store(n - 1);
        show_progress();  // the steps, where a stop may still be asked
        forget_search();
        return !stopping();
      }
    }
  }

  // Rounds of the search with a rising limit L, from the relaxation's bound up to UB: a round
  // that meets a tour of cost_t at most L has found the first optimal tour (see the design);
  // otherwise every tour costs more than L, and the next round allows more. A round costs
  // about as much as the tours within its limit, so a poor UB costs little.
  __int128 round_limit = std::min(proven, ceiling);
  note_lower_bound(round_limit);
  __int128 rise = (ceiling - round_limit) / 4;
  if (rise < 1) rise = 1;
  __int128 cheapest = ceiling;  // floor_shifted of the cheapest tour met so far
  solver_progress.phase = "search";
  for (;;) {
    run_round(round_limit);
    if (stopping()) {
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
  branch_and_cut_counts.nodes = own.nodes;
  for (const Worker& helper : search.helpers) branch_and_cut_counts.nodes += helper.nodes;
  forget_search();
  return !stopping();
}

bool branch_and_cut_solve(const DistanceMatrix* matrix, void (*step)(int64_t), int64_t steps_done) {
  // The cost tables and the first worker's (BYTES_PER_ARC); the point count is checked
  // first, so that the product cannot overflow.
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
    forget_search();
    set_error_number(4);
    throw_at_line(LINE_COST_TABLE, MODULE_NAME);
  }
}

void branch_and_cut_tour(int64_t* path) {
  for (int t = 0; t < search.n; ++t) path[t] = search.best[t] + 1;
}

PathCost branch_and_cut_lower_bound() { return search.lower; }

void branch_and_cut_abandon() { forget_search(); }
