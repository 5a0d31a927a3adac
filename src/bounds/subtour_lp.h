// The subtour relaxation of the tour problem over the arcs still allowed, solved by an LP
// solver, with violated subtour cuts found by minimum cuts on the fractional solution.
//
//   minimise   sum c(i, j) x(i, j)
//   subject to x(out of i) = 1 and x(into i) = 1 for every point i,
//              x(out of S) >= 1 for every cut S kept (a proper subset of the points),
//              x >= 0, and x(i, j) >= 1 for the arcs of a fixed path.
//
// Everything here is floating point: the solution and its duals only guide the search. The
// bounds that drop anything are recomputed in whole numbers from the duals (exact_bound.h).
// Points are 0..n-1 here (point 1 of the problem is 0).
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

// A cut of the relaxation, valid for every tour. A subtour cut (no teeth): x(out of S) >= 1.
// A blossom (teeth): x(arcs inside the handle S) + x(the teeth, both ways) <= |S| + (k - 1) / 2
// for an odd number k >= 3 of disjoint teeth, each an edge with one end in S: a tour is a
// 2-matching, and the 2-matching blossom inequality holds for it.
struct LpCut {
  std::vector<uint8_t> side;               // membership of S, one byte a point
  std::vector<std::pair<int, int>> teeth;  // (inside, outside)
  bool operator==(const LpCut&) const = default;
};

// The cut's right-hand side; blossoms are <= rows.
int64_t cut_bound(const LpCut& cut);

struct SubtourLp {
  int n = 0;
  void* model = nullptr;            // the LP solver's model
  std::vector<int> column_of;       // [i * n + j]: the arc's column, or -1 when not allowed
  std::vector<int> column_tail;     // per column
  std::vector<int> column_head;
  std::vector<LpCut> cuts;          // per cut row, after the degree rows
  std::vector<double> x;            // the last solution, per column
  std::vector<double> out_dual;     // per point: x(out of i) = 1
  std::vector<double> in_dual;      // per point: x(into i) = 1
  std::vector<double> cut_dual;     // per cut: >= 0 for subtour cuts, <= 0 for blossoms
  bool optimal = false;             // the last solve was proven optimal
  bool rows_changed = true;         // cuts added or dropped since the last solve
};

// Builds the LP over the allowed arcs (allowed[i * n + j] != 0, never i == j) with costs
// cost[i * n + j]; no cut yet.
void subtour_lp_create(SubtourLp* lp, int n, const double* cost, const uint8_t* allowed);
void subtour_lp_destroy(SubtourLp* lp);
// Fixes x(i, j) >= 1 (fixed) or frees it again; the arc must be allowed.
void subtour_lp_fix_arc(SubtourLp* lp, int tail, int head, bool fixed);
// Solves from the last basis; fills x and the duals. Returns whether it was proven optimal.
// When the LP is infeasible, its ray is added to the duals, so that the bound shows it.
bool subtour_lp_solve(SubtourLp* lp);
// Adds up to max_cuts subtour cuts that the last solution violates, and (blossoms) blossoms
// found by the odd-component heuristic on its edges x(i, j) + x(j, i); returns how many.
int subtour_lp_separate(SubtourLp* lp, int max_cuts, bool blossoms);
// Removes the cuts that were slack in the last solve (not tight, zero dual); returns how many.
// A search adds cuts at every node, and those of a subtree it has left only slow the LP down.
int subtour_lp_drop_slack_cuts(SubtourLp* lp);
// Adds the given cuts.
void subtour_lp_add_cuts(SubtourLp* lp, const std::vector<LpCut>& cuts);
double subtour_lp_objective(const SubtourLp* lp);

// Cuts of a capacity graph below limit, as the member flags of one side, for a symmetric
// capacity table (n x n): the pieces of the graph when it falls apart; otherwise, with the
// ends of every edge of capacity at least 1 taken together, every distinct "cut of the phase"
// of the Stoer-Wagner minimum cut. A heuristic, as far as it goes: every cut it returns is
// light, but it may miss one that parts the ends of a heavy edge.
std::vector<std::vector<uint8_t>> light_cuts(int n, const std::vector<double>& capacity,
                                             double limit, int max_cuts);
