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
// Symmetric costs go over edges. A node is then the set of tours that use its fixed edges
// (either way round) and neither arc of its forbidden ones, and its LP is the LP over edges,
// whose weights are symmetric (exact_bound.h): W(T) is half the sum over points of the
// weights of the tour's two edges there, so
//   K cost_t(T) >= base + (sum over points of their fixed edges' weights and the least of
//                          their other allowed edges', two a point) / 2, rounded down.
//
// Branching splits a node's tours without losing one: on an arc, into the tours that use it
// (fixed) and those that do not (forbidden); on an edge, likewise, the edge used either way
// round or not at all.
//
// A proof may be asked about the tours that start with a path from point 0 alone: its root
// then has the path's arcs (edges) fixed, which leaves exactly those tours (over edges, a
// tour with the path's edges, turned to start along it).
//
// A tour found within the limit (an LP solution that is one tour, or a local search from a
// tour that follows the LP's solution, when it starts with the path) lowers the limit to a
// unit below its cost: only a cheaper one still matters. When every node is dropped, no tour costs
// the final limit or less: the cheapest tour found is optimal, and its cost is the least.
//
// A node whose LP solution is one tour T is settled without branching when, for every edge
// (arc) e of T that the node does not fix, the node's bound with e forbidden is above the
// limit: every other tour of the node lacks some edge of T (a tour holding all n of T's edges
// is T), so it lies in one of those sets, none of which holds a tour within the limit; and T
// itself was taken (or costs more). The bound with e forbidden is the node's bound with the
// terms of e's two ends (way out of its tail and way in of its head, over arcs) taken again
// without e: O(n) an edge. Where one such bound is not above the limit, the node splits on
// that edge.
//
// Workers on several threads share the open nodes, lowest bound first, each node solved in
// the LP of the worker that takes it (its cuts and columns its own; the parent's basis
// mapped onto it by arc and cut). Nothing above depends on which LP a node's duals come
// from, nor on the order in which nodes are run: a node leaves the open ones only dropped
// by its bound above the limit of its time (never below the final one), settled, or split
// into children that hold its tours, and the limit only falls by tours met. A worker whose
// node is in hand when another ends the proof or starts it again puts it back (or its
// children in: a part of the root's tours), and a node left unsettled marks the proof
// incomplete whenever it comes. The bytes of the answer depend on none of this: the proof
// settles a cost, not which tour.
//
// Every tour (every_tour): the limit is not lowered below a tour found but to its cost, and
// each tour within it is kept (a cheaper one clears the dearer ones). A node whose solution is
// a tour within the limit is then not dropped but settled as above, or split until it is.
// Complete, the proof has met every tour of cost_t at most the final limit: each lies in a
// node settled with its own LP solution as the one tour within the limit, every other node
// having been dropped by its bound.
#pragma once

#include <cstddef>
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
  // Only the tours that start with this path from point 0 (its points in order) count; every
  // tour when it is empty or a point alone.
  std::vector<int> path;
  bool first_tour_ends = false;          // a tour within the limit ends the proof
  int64_t most_nodes = 0;                // nodes at most, or none when 0: then incomplete
  // After this many nodes (never when 0) a proof still open starts again from the root,
  // trying more arcs before each branch: its first branches are worth choosing better.
  int64_t restart_nodes = 0;
  // Every tour within the limit is wanted (see the design), at most this many (symmetric: each
  // tour once whichever way round): more, and the proof ends incomplete.
  bool every_tour = false;
  size_t most_tours = 64;
  // Blossoms and combs by the cut tree too at each node, where the cheaper separators find
  // nothing: deeper cuts, each round dearer.
  bool cut_tree = false;
  // The LP to work in instead of one made from arcs and cuts: the caller's, over the same
  // allowed arcs, handed back with every fixing removed (its cuts and columns may change).
  SubtourLp* lp = nullptr;
  // Workers that share the nodes (threads, the calling one among them), each in an LP of its
  // own: one alone with the caller's LP.
  int threads = 1;
};

struct CostProof {
  bool complete = false;   // every node was settled: no tour has cost_t at most limit
  __int128 limit = 0;      // the limit at the end
  std::vector<int> tour;   // the cheapest tour found within the limit it was given; may be empty
  __int128 tour_cost = 0;  // its cost_t
  // every_tour: the tours of cost_t at most the final limit, from point 0 (symmetric: the way
  // round whose second point is the lower); each of them when complete.
  std::vector<std::vector<int>> tours;
  __int128 lower = 0;      // every tour has cost_t at least this (a stop included)
  int64_t nodes = 0;
};

// Looks for a tour of cost_t at most limit, each one found lowering the limit below it, until
// every node is settled, or stop returns true, or (over arcs) the least bound stalls (ties,
// whose optima branching only trades for one another): the search over paths does better
// there. Returns what it proved.
CostProof prove_cost(const CostProofProblem& problem, __int128 limit);
