// Lower bounds on tour costs in whole numbers, from any duals of the subtour relaxation.
//
// DESIGN
// Costs are taken in scaled units: C(i, j) = K * c(i, j), K a power of two. The duals are
// rounded to whole numbers: U_i for x(out of i) = 1, V_j for x(into j) = 1, and Y_c for each
// cut c, a x >= b (subtour cuts and combs), valid for every tour: Y_c >= 0 (a rounding below
// 0 is replaced by 0). With the weights
//   W(i, j) = C(i, j) - U_i - V_j - (sum over the cuts c of Y_c a_c(i, j))
// every tour T, which leaves each point once and enters each point once, has exactly
//   C(T) = base + W(T) + sum over c of Y_c (a_c x_T - b_c),   base = sum U + sum V + sum Y_c b_c,
// and every term Y_c (a_c x_T - b_c) is >= 0 (both factors are), so
// C(T) >= base + W(T). Nothing here needs W >= 0: rounding may leave some weights
// negative, and every bound below takes the least weight where it cannot know the arc.
//
// An LP over edges (symmetric costs) reads the same way: its degree row x(at i) = 2 gives
// U_i = V_i = the rounded u_i (a tour leaves and enters i once: its two edges at i), a
// subtour cut x(edges leaving S) >= 2 weighs both arcs of each edge that leaves S, with
// b = 2 (a tour crosses S at least twice), and a comb weighs both arcs of each edge by the
// number of its sets the edge crosses, as it does over arcs (b = 3k + 1). The identity above
// holds term by term, and W(i, j) = W(j, i).
//
// A tour through the path P = (point 0, p1, ..., pk) is P followed by a path from pk through
// the rest R back to point 0. Such a completion leaves each of pk and R once, into R or point
// 0, and enters each of R and point 0 once, from pk or R (and uses the arc pk -> 0 only when
// R is empty). So W(completion) >= the sum of each source's least weight to a target, and
// likewise for the targets: the larger sum is the completion bound, and
//   C(T) >= base + W(P) + completion bound
// holds for every tour through P that uses only allowed arcs. The duals may be anything: a
// poor LP solution only makes the bound weaker, never wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bounds/subtour_lp.h"

struct ExactDuals {
  int n = 0;
  __int128 base = 0;
  std::vector<int64_t> weight;  // W(i, j) at [i * n + j]
  bool complete = false;        // false: left half-made by a stop, never to be used
};

// A bound above every feasible completion: no completion exists.
constexpr __int128 NO_COMPLETION = static_cast<__int128>(1) << 120;

// Rounds the LP's duals (in cost units) to whole numbers of 1/scale and builds the weights
// for the scaled costs scaled_cost[i * n + j] = scale * c(i, j) (every |value| < 2^42), for
// every arc, whether the LP holds it or not: W is then the arc's reduced cost, which pricing
// reads. stop (when given) is asked before each cut; once it returns true the duals are left
// incomplete and false is returned.
bool exact_duals_from_lp(ExactDuals* duals, const SubtourLp* lp, const int64_t* scaled_cost,
                         int64_t scale, bool (*stop)() = nullptr);

// Pricing: the arcs with allowed[arc] != 0 that have no column in the LP and a weight below 0,
// the most negative first, at most most of them. An LP that holds a core of the arcs grows by
// these until none is left; it is then as tight as the LP over every allowed arc.
std::vector<int> arcs_to_price_in(const ExactDuals* duals, const SubtourLp* lp,
                                  const uint8_t* allowed, size_t most);

// Columns an LP may hold per point: pricing adds no more (the bound is valid without them,
// and an LP over every arc would take memory quadratic in n).
constexpr size_t MOST_COLUMNS_PER_POINT = 40;

// The duals in whole numbers, and while any allowed arc outside the LP has a negative weight
// (and the LP has room), those arcs added and the LP solved again: the LP is then as tight as
// over every allowed arc. Returns false when stop cut the duals short (left incomplete).
bool price_in_arcs(ExactDuals* duals, SubtourLp* lp, const int64_t* scaled_cost, int64_t scale,
                   const uint8_t* allowed, bool (*stop)());

// The completion bound from point from through the points with remaining[p] != 0 back to
// point 0, over the arcs with allowed[i * n + j] != 0; NO_COMPLETION when some point has no
// allowed arc left.
__int128 completion_bound(const ExactDuals* duals, const uint8_t* allowed, int from,
                          const uint8_t* remaining);

// Drops (allowed = 0) every allowed arc that lies on no tour T with C(T) <= scaled_limit, by
// the bound base + W(i, j) + the least weights of the other sources (or targets). Returns how
// many were dropped.
int64_t drop_arcs_above(const ExactDuals* duals, uint8_t* allowed, __int128 scaled_limit);

// For the path ending at from, with the points remaining[p] != 0 still to visit (at least
// two): for each next point j (remaining, arc from -> j allowed), W(from, j) plus the
// completion bound from j through the rest, the same value as completion_bound gives, in
// O(n) a point after O(n^2) once. child[j] is NO_COMPLETION for the other points.
void child_bounds(const ExactDuals* duals, const uint8_t* allowed, int from,
                  const uint8_t* remaining, std::vector<__int128>* child);

// The same drop within the completions of the path ending at from (see completion_bound):
// the allowed arcs from {from} + rest to rest + {0} that lie on no completion whose bound
// path_weight + W(completion) is at most scaled_limit, where path_weight is base + W(path).
// Each dropped arc's index i * n + j is appended to dropped.
void drop_completion_arcs(const ExactDuals* duals, uint8_t* allowed, int from,
                          const uint8_t* remaining, __int128 path_weight,
                          __int128 scaled_limit, std::vector<int>* dropped);
