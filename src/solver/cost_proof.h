// The cost proof: branch and bound over the subtour relaxation, on arcs (on edges, for
// symmetric costs), lowest bound first, that settles what the least cost of a tour is before
// the search over paths looks for the first tour of that cost.
//
// DESIGN
// A node is the set of tours that use its fixed arcs and none of its forbidden ones; the root
// is every tour over the allowed arcs. Each node's LP holds those fixings as column bounds,
// is priced over the node's allowed arcs and cut (subtour cuts and blossoms, every one valid
// for every tour); its duals, rounded, give the weights W and the base of exact_bound.h, and
// every tour T of the node has
//   K cost_t(T) >= base + W(T) >= base + max(sum over points of the weight of its way out,
//                                            sum over points of the weight of its way in),
// a point's way out being its fixed arc where it has one, otherwise its least-weight allowed
// arc to a point whose way in is not fixed from elsewhere (and alike for the ways in). The
// node is dropped when that bound is above K * limit: no tour in it costs limit or less. This
// holds for any duals, in whole numbers; the LP only proposes them.
//
// Branching splits a node's tours without losing one: on an arc, into the tours that use it
// (fixed) and those that do not (forbidden). For symmetric costs on an edge {i, j}: those
// that use neither arc (both forbidden), and those that use i -> j or j -> i (two nodes),
// except while the node has no fixed arc: its tours within the limit are then closed under
// reversal, which keeps the cost (its forbidden arcs come in pairs, and an arc dropped by
// drop_arcs_above lies on no tour within the limit, so neither does its reverse's), and the
// node of j -> i holds the reverses of the tours of i -> j: only the latter is kept.
//
// A tour found within the limit (an LP solution that is one tour, or a local search from a
// tour that follows the LP's solution) lowers the limit to a unit below its cost: only a
// cheaper one still matters. When every node is dropped, no tour costs
// the final limit or less: the cheapest tour found is optimal, and its cost is the least.
#pragma once

#include <cstdint>
#include <vector>

#include "bounds/subtour_lp.h"

struct CostProofProblem {
  int n = 0;
  const int64_t* cost = nullptr;         // cost_t, [i * n + j]
  const int64_t* scaled_cost = nullptr;  // K cost_t
  int64_t scale = 1;                     // K
  bool symmetric = false;                // cost_t(i, j) = cost_t(j, i) for every pair
  const uint8_t* allowed = nullptr;      // the arcs a tour may use
  std::vector<int> arcs;                 // the LP's columns to start with (allowed ones)
  std::vector<LpCut> cuts;               // and its cuts
  bool (*stop)() = nullptr;              // asked at every node and inside the LP's steps
  // A local search from a tour, for tours that lower the limit (from the LP's solutions,
  // now and then); none when null.
  std::vector<int> (*improve)(const std::vector<int>& order) = nullptr;
  int64_t slack = 0;                     // test seam: added to every bound before it is compared
};

struct CostProof {
  bool complete = false;   // every node was settled: no tour has cost_t at most limit
  __int128 limit = 0;      // the limit at the end
  std::vector<int> tour;   // the cheapest tour found within the limit it was given; may be empty
  __int128 tour_cost = 0;  // its cost_t
  __int128 lower = 0;      // every tour has cost_t at least this (a stop included)
  int64_t nodes = 0;
};

// Looks for a tour of cost_t at most limit, each one found lowering the limit below it, until
// every node is settled, or stop returns true, or the least bound stalls (a degenerate LP, or
// ties, whose optima branching only trades for one another): the search over paths does
// better there. Returns what it proved.
CostProof prove_cost(const CostProofProblem& problem, __int128 limit);
