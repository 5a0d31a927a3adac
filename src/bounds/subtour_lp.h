// The subtour relaxation of the tour problem over the arcs still allowed, solved by an LP
// solver, with violated subtour cuts found by minimum cuts on the fractional solution.
//
//   minimise   sum c(i, j) x(i, j)
//   subject to x(out of i) = 1 and x(into i) = 1 for every point i,
//              x(out of S) >= 1 for every cut S kept (a proper subset of the points),
//              x >= 0, and x(i, j) >= 1 for the arcs of a fixed path.
//
// For symmetric costs (c(i, j) = c(j, i) for every pair) the LP may be made over edges
// instead: a column x(e) for each edge {i, j}, x(edges at i) = 2 for every point, x(edges
// leaving S) >= 2 for each subtour cut. Half the columns and half the degree rows, and a far
// less degenerate LP. Its duals read as arc duals all the same: the degree dual u_i stands for
// both x(out of i) and x(into i), and every cut weighs both arcs of each edge it weighs (see
// exact_bound.h), so everything built on arcs takes them as they are. Fixing or forbidding
// an arc fixes or forbids its edge.
//
// Everything here is floating point: the solution and its duals only guide the search. The
// bounds that drop anything are recomputed in whole numbers from the duals (exact_bound.h).
// Points are 0..n-1 here (point 1 of the problem is 0).
#pragma once

#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

// A cut of the relaxation, valid for every tour. A subtour cut (no teeth): x(out of S) >= 1.
// A comb (teeth): for a handle S and an odd number k >= 3 of disjoint teeth T, each meeting
// S and its outside, x(edges leaving S) + sum over the teeth of x(edges leaving T) >= 3k + 1,
// an arc counting as its edge (combs.h). Its rows hold only the edges that cross a set:
// few, where the same cut written over the edges within its sets held every edge of a
// large handle. A blossom is a comb whose teeth are edges.
struct LpCut {
  std::vector<uint8_t> side;               // membership of S, one byte a point
  std::vector<std::vector<int>> teeth;     // each a set of points, in increasing order
  bool operator==(const LpCut&) const = default;
};

// The cut's right-hand side, in an LP over arcs (1 for a subtour cut) or over edges (2);
// a comb's is 3k + 1 in both. Every cut is a >= row.
int64_t cut_bound(const LpCut& cut, bool edges = false);

struct SubtourLp {
  int n = 0;
  bool edges = false;               // over edges (symmetric costs), not arcs
  void* model = nullptr;            // the LP solver's model
  const int64_t* cost = nullptr;    // [i * n + j], the caller's, for the columns added later
  bool (*stop)() = nullptr;         // asked after every iteration of a solve and every step of
                                    // a separation; true ends them early
  std::unordered_map<int, int> column_of;  // the column of each arc (i * n + j) that has one;
                                           // edges by their arc i < j
  std::vector<int> column_tail;     // per column (edges: the lower end)
  std::vector<int> column_head;
  std::vector<LpCut> cuts;          // per cut row, after the degree rows
  std::vector<uint64_t> cut_hash;   // per cut, of its sets: a new cut is compared with few
  std::vector<double> x;            // the last solution, per column (0 for columns added since)
  std::vector<double> out_dual;     // per point: x(out of i) = 1 (edges: x(at i) = 2)
  std::vector<double> in_dual;      // per point: x(into i) = 1 (edges: the same as out_dual)
  std::vector<double> cut_dual;     // per cut, >= 0
  // With pooling set, the cuts dropped for their slack, oldest first, checked against each
  // solution beside the separation: in rounds of cuts on one LP, a cut slack in one round is
  // often violated again a few rounds later. Not across the nodes of a search, where they
  // doubled the time a node took (pr76: 20 ms without, 41 ms with).
  bool pooling = false;
  std::vector<LpCut> pool;
  std::vector<uint64_t> pool_hash;
  bool optimal = false;             // the last solve was proven optimal
  bool rows_changed = true;         // cuts or columns added or dropped since the last solve
};

// Builds the LP over the given arcs (i * n + j, never i == j; a column each, in this order)
// with costs cost[i * n + j], which must outlive the LP; no cut yet. The LP may hold every
// arc of the problem, or a core of them that pricing (subtour_lp_add_arcs) enlarges: its
// duals bound every tour either way (exact_bound.h). Nothing here is n x n. With edges set
// (symmetric costs only), the columns are edges: an arc and its reverse share one.
void subtour_lp_create(SubtourLp* lp, int n, const int64_t* cost, const std::vector<int>& arcs,
                       bool (*stop)() = nullptr, bool edges = false);
// The arc's column (its edge's), or -1 when it has none.
int subtour_lp_column(const SubtourLp* lp, int arc);
void subtour_lp_destroy(SubtourLp* lp);
// Adds a column for each arc (i * n + j) that has none yet (edges: for its edge), with its
// coefficients in every cut; returns how many were added.
int subtour_lp_add_arcs(SubtourLp* lp, const std::vector<int>& arcs);
// Fixes x(i, j) >= 1 (fixed) or frees it again; an arc without a column gets one.
void subtour_lp_fix_arc(SubtourLp* lp, int tail, int head, bool fixed);
// Holds x(i, j) at 0 (forbidden) or frees it again; an arc without a column is left so (the
// caller keeps pricing from adding it).
void subtour_lp_forbid_arc(SubtourLp* lp, int tail, int head, bool forbidden);
// Solves from the last basis; fills x and the duals. Returns whether it was proven optimal.
// When the LP is infeasible, its ray is added to the duals, so that the bound shows it.
// A solve that stop ends early keeps its last duals: any duals give a valid bound.
bool subtour_lp_solve(SubtourLp* lp);
// Adds up to max_cuts cuts of the pool that the last solution violates (with pooling set),
// and up to max_cuts subtour cuts that it violates, or when there are none
// and blossoms is set, combs: blossoms found by the odd-component heuristic on its edges
// x(i, j) + x(j, i) and combs by shrinking its paths at 1 (combs.h), or when those find
// none and cut_tree is set, both by the cut tree (blossoms.h); with blossoms set, the LP's
// combs and the new ones made deeper (tighten_combs) as well. Where the deeper separation
// is wanted (cut_tree or pooling set: the root's rounds, the proofs that look for the cut
// tree), teeth are chosen afresh for the handles of the LP's cuts and the new ones
// (combs_by_teething), and tightening looks past moves that lose; elsewhere (the nodes of
// the search over paths, the proof that meets every optimal tour) they doubled a node's
// time (lin318). Returns how many. Works on the solution's support, not on every arc.
int subtour_lp_separate(SubtourLp* lp, int max_cuts, bool blossoms, bool cut_tree = false);
// Removes the cuts that were slack in the last solve (not tight, zero dual), into the pool
// with pooling set; returns how many. A search adds cuts at every node, and those of a
// subtree it has left only slow the LP down.
int subtour_lp_drop_slack_cuts(SubtourLp* lp);
// Adds the given cuts.
void subtour_lp_add_cuts(SubtourLp* lp, const std::vector<LpCut>& cuts);
double subtour_lp_objective(const SubtourLp* lp);
// A basis of the LP, to start a later solve from after other solves have moved it: columns
// by their arc (columns are only ever added, but another LP over the same problem may have
// added others), cut rows by their cut's hash (cuts come and go). Only a guess for the
// solver: a wrong one costs steps, never a wrong answer.
struct SubtourLpBasis {
  std::vector<uint8_t> columns;                     // the solver's status per column
  std::vector<int> column_arcs;                     // and its arc (edges: i * n + j, i < j)
  std::vector<uint8_t> degree_rows;                 // and per degree row
  std::vector<std::pair<uint64_t, uint8_t>> cuts;   // (cut hash, status) per cut row
};
SubtourLpBasis subtour_lp_basis(const SubtourLp* lp);
// Sets the basis for the next solve, made by this LP or another over the same problem:
// columns it lacks start at their lower bound, cuts it lacks with their row basic.
void subtour_lp_set_basis(SubtourLp* lp, const SubtourLpBasis& basis);
// A guess at the LP's optimum after a change of bounds: at most iterations steps of the dual
// simplex from the last basis, its objective then (a huge value when infeasible). Leaves x,
// the duals and the basis as they were.
double subtour_lp_trial(SubtourLp* lp, int iterations);

// A symmetric capacity graph: for each point, its neighbours in increasing order, each with
// the capacity of the edge between them (above 0).
typedef std::vector<std::vector<std::pair<int, double>>> CapacityGraph;

// Cuts of a capacity graph below limit, as the member flags of one side: the pieces of the
// graph when it falls apart; otherwise, with the ends of every edge of capacity at least 1
// taken together, every distinct "cut of the phase" of the Stoer-Wagner minimum cut. A
// heuristic, as far as it goes: every cut it returns is light, but it may miss one that parts
// the ends of a heavy edge. stop (when given) is asked before each phase; the cuts found by
// then are returned.
std::vector<std::vector<uint8_t>> light_cuts(const CapacityGraph& graph, double limit,
                                             int max_cuts, bool (*stop)() = nullptr);

// How far the solution (the support graph: x(i, j) + x(j, i) on each edge) falls short of
// the cut, in the edges' measure: 2 - x(edges leaving S) for a subtour cut, 3k + 1 - x(edges
// leaving H) - sum x(edges leaving T) for a comb; above 0 when it is violated.
double cut_shortfall(const CapacityGraph& graph, const LpCut& cut);

// The last solution's support graph: x(i, j) + x(j, i) on each edge that has any.
CapacityGraph support_graph(const SubtourLp* lp);
