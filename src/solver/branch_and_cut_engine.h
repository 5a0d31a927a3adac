// The branch-and-cut engine: a depth-first search over paths from point 1, in increasing
// point order, pruned by whole-number bounds from the subtour relaxation (bounds/), for
// problems of any size.
//
// DESIGN
// Costs: each cost D is cut to D_t = floor(D / 2^t) (t = 0 unless costs pass 2^40) and scaled
// by K, a power of two (exact_bound.h). Every tour has cost_t(T) <= cost(T) / 2^t, hence
// K cost_t(T) <= K floor(cost(T) / 2^t).
//
// The search. A node is a path P from point 1; its children add one point, lowest first, so
// the complete tours come in lexicographic order. At each node the LP is solved with P's
// arcs fixed (over edges, for symmetric costs: bounds/subtour_lp.h), subtour cuts and
// blossoms are added while violated, and its duals, rounded,
// give the exact bound base + W(P) + completion bound on K cost_t of every tour through P
// (exact_bound.h);
// the same duals bound each child in O(n). A node or child is dropped when its bound is above
// K * limit, where limit is
// - floor(UB / 2^t) until the search meets a tour, UB being the cost of a good tour found
//   first (chained Lin-Kernighan for symmetric costs, tour/lin_kernighan.h; iterated segment
//   moves otherwise, bounds/good_tour.h; any real tour will do): no tour of cost at most UB,
//   hence no optimal tour, is dropped;
// - once the search has met a tour of cost C (the best so far: the cheapest, and of those the
//   first in the order): floor(C / 2^t) when t > 0, the later tours being compared exactly;
//   when t = 0, C for the paths before that tour in the order (a tour of cost C there comes
//   first) and C - 1 for the others, since only a strictly cheaper tour can still matter.
// Before the search, the arcs that lie on no tour of cost at most UB are dropped for good
// (drop_arcs_above).
// The cost proof (cost_proof.h; when t = 0 and the root's bound lies close below UB) may then
// show that no tour has cost_t below some F (a complete proof: F is the least cost); a path
// whose limit is below F is then dropped without a look, for no tour can meet that limit.
// With F the least cost, the round whose limit is F meets the first optimal tour and drops
// every path after it at once, where otherwise it would refute each of them. An incomplete
// proof still starts the rounds at the bound it reached, which every tour meets.
// Questions. With F proven the least cost, a child whose limit is F (it comes before the best
// tour met) may first be put to a cost proof over the tours that start with its path alone
// (its arcs fixed; over edges for symmetric costs, where a tour with the path's edges turned
// to start along it is exactly such a tour), with the limit F. The child is dropped only
// when that proof is complete and found no tour: no tour through the child costs F or less,
// so T* is not there. A proof that finds a tour, or is cut short by its cap on nodes or a
// stop, drops nothing, and the search goes into the child as before. A question is skipped
// when a known tour of cost F (a witness: the good tour, its reverse, or one a question
// found) starts with the child's path: the child holds a tour within its limit, which the
// search meets at once. Questions pay where the relaxation leaves a child's bound below F
// yet no tour of cost F goes through it (kroA200: 13 490 nodes, 17 s, became 400 nodes and
// 130 questions, 6 s); where most children hold a tour of cost F (many optimal tours), they
// find few and stop after a handful of misses.
// Every optimal tour at once. With F proven the least cost (t = 0), a second proof over the
// same allowed arcs, with the limit F, may meet every tour of cost F (prove_cost's every_tour:
// a node whose LP solution is a tour is settled only once every other tour in it is shown
// dearer than F). Complete, and within its caps on nodes and tours, it has met them all: T* is
// the first of them in the order (over edges, each taken both ways round: the costs are
// symmetric), and the search over paths is not run. The drop before it kept every tour of
// cost at most UB, so every optimal tour. Cut short (its caps on nodes and tours, or on time:
// as long as the solve had taken, and a second), it decides nothing: the rounds below run
// as before, to the same tour; only the time of the solve depends on which way it went (random problems of 100 points: the search's questions took up to 120 s where
// this takes a second; a280, with dozens of optimal tours, goes to the questions).
// So the first optimal tour T* is never dropped: until the search meets it, the best tour met
// costs more than T*, or as much and comes after T* in the order, and either way every prefix
// of T* has a limit of at least floor(cost(T*) / 2^t) (t > 0) or cost(T*) (t = 0), which F
// never passes, while every bound on T* is at most K times that. Every tour the search meets
// is priced exactly: the result is T*, the tour every other engine reads back.
//
// Threads. Each round runs on every processor, each worker with its own LP. A worker that
// runs out of work asks for more; a busy one hands over the later children of its shallowest
// node that has any left, and the free worker takes the earliest such task in the order.
// Workers may meet tours in any order; the rule above keys the limit to each path's place
// against the best tour, so the proof stands. A state is remembered as refuted only when its
// worker saw all of its children and met no tour below it, with the budget its limit left at
// the end: limits only fall, and a tour within the final limit is never dropped earlier.
//
// The LP solver works in floating point and only proposes duals; whatever it returns,
// infeasible or not, the bound is recomputed in whole numbers and is valid for any duals.
// (An infeasible LP's ray is added to its duals, a multiple that raises the bound: still
// only duals. Without it, the duals of such a node often failed to drop it: rd100 searched
// 1007 nodes, now 426.)
// It is valid for any set of cuts as well, each being an inequality that every tour meets:
// so cuts that were slack in the last solve may leave the LP (to keep it small) at any time.
// And it is valid whichever arcs the LP holds: the LP holds a core (each point's cheapest
// arcs out and in, and a tour's), and the whole-number weights,
// computed for every arc, are the reduced costs that price the others in (those below 0,
// until none is left). Pricing only tightens the bound; nothing is dropped for an arc's
// absence from the LP.
//
// Stop requests. Every step looks at the stop request (a time limit, an interrupt, a signal
// the run must act on) within about a tenth of a second at any size: the LP solver after
// each iteration, separation before each phase, the whole-number duals before each cut, the
// local search before each move's first point, the patching before each exchange, and the
// search between its O(n^2) steps. A step cut short proves nothing and is never used for a
// bound: duals left incomplete are marked so, and the bound falls back to what was proven.
// The tour handed back is the best met; the nearest-neighbour tour comes first, before the
// LP, so that there always is one.
#pragma once

#include <cstdint>

#include "solver/solver.h"

// Solves the problem. step(k) is called on the calling thread, in order, once some worker of
// the search has held a path of k arcs, for k above steps_done. Memory that runs out raises
// error 4 at the cost table's line.
// Returns true; false when a stop request ended it early (solver_stop_requested), with the
// best tour found and a lower bound on the optimum.
bool branch_and_cut_solve(const DistanceMatrix* matrix, void (*step)(int64_t), int64_t steps_done);
// The tour of the last solve: path[0..n-1] receives its points from point 1.
void branch_and_cut_tour(int64_t* path);
// The lower bound of the last solve that stopped early: the relaxation's, or what the
// rounds of the search have proven since.
PathCost branch_and_cut_lower_bound();
// Frees the LP that a failure left behind.
void branch_and_cut_abandon();

// Counters of the last solve (tests and benchmarks).
struct BranchAndCutCounts {
  int64_t nodes;           // nodes whose LP was solved
  int64_t rounds;          // rounds of the search, each with a higher limit
  int64_t arcs_kept;       // arcs left after the drop before the search
  double root_bound;       // the whole-number bound at the root, in cost units
  PathCost good_tour_cost; // the good tour's cost (UB)
  int64_t root_columns;    // the root LP's columns: the core and the arcs priced in
  double root_seconds;     // from the start of the solve to the root's last cut round
  int64_t proof_nodes;     // nodes of the cost proof
  double proof_seconds;    // from the start of the solve to the end of the cost proof
  int64_t questions;       // cost proofs over the tours of one child of the search
  int64_t refuted_by_questions;  // the children they dropped
  int64_t question_nodes;        // the nodes of their proofs
  double question_seconds;       // and the time they took, summed over the threads
  int64_t witnesses_by_local_search;  // questions spared: local search found a tour there
  int64_t every_tour_nodes;      // nodes of the proof that meets every optimal tour
  int64_t every_tour_tours;      // the tours it met (those of the optimum's cost, when complete)
  double every_tour_seconds;     // from the start of the solve to its end
};
extern BranchAndCutCounts branch_and_cut_counts;

// Test seam: added to every bound before it is compared (a deliberately loosened prune must
// change the tour in a test); 0 in the program.
extern int64_t branch_and_cut_bound_slack;
// Test seam: every node hands its later children over as tasks, and the last task in the
// order is taken first, so that the tours come out of order even on one thread.
extern bool branch_and_cut_scatter;
// Benchmark seam: the solve ends after the root's relaxation (root_bound and root_seconds
// filled) and hands back the good tour, proven or not.
extern bool branch_and_cut_root_only;
// Benchmark seam: false leaves the least cost to the search over paths alone, as before the
// cost proof; true in the program.
extern bool branch_and_cut_cost_proof;
// Test seam: true looks for a tour with each question's path by local search before the
// question's first node, not only after it (small problems seldom need the search there);
// false in the program.
extern bool branch_and_cut_witness_first;
