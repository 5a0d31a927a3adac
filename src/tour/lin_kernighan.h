// Chained Lin-Kernighan local search for symmetric costs: the good tours that the exact
// search starts from, and the best tour a time budget buys where no proof is in reach.
//
// DESIGN
// The tour is an array of the points with each point's position, read in one of its two
// directions (a flag): next and prev are O(1), and a path is reversed in place by swapping its
// shorter side (the other side, with the direction flipped, gives the same cycle).
//
// Each point has CANDIDATES neighbours, its alpha-nearest (tour/alpha_nearness.h): at 1 s on
// the public instances of 318 to 1002 points they bring the mean excess over the optimum from
// 0.29 % (its cheapest partners) to 0.03-0.06 %. An improving step starts at
// a point t1 and its tour neighbour t2 (both sides), and grows a chain of 2-opt moves: add
// (t2, t3) for a candidate t3 with a positive running gain, remove (t3, t4), t4 the neighbour
// of t3 that keeps a tour, reverse the path between t2 and t4, and go on from t4; the best
// prefix of the chain is kept, the rest undone. An added edge is never removed in the same
// chain, nor a removed one added. Each chain is 2-opt, 3-opt and deeper sequential moves at
// once; a segment of up to three points moved elsewhere (or-opt), which a chain of gains
// cannot always reach, is tried as well. Points whose edges did not change are not looked at
// again (don't-look bits) until a neighbour's edges change.
//
// At a local optimum, a kick: two stretches of the tour change places (a double bridge: two
// short ones side by side, or between points near one another, or between random points),
// the local search runs from the points whose edges changed, and the result is kept when it
// costs no more, undone otherwise (every change is a reversal in a journal, undone in reverse
// order). The random choices come from a
// fixed seed and the budget is a number of kicks, not a time: the same input gives the same
// tour. The stop function is asked every few dozen steps, so that a stop request ends the
// search within a fraction of a millisecond at any size.
#pragma once

#include <cstdint>
#include <vector>

struct LocalSearchOptions {
  int64_t kicks = 0;               // kicks after the first local optimum
  int64_t enough = INT64_MIN;      // a tour that costs this or less ends the search
  uint64_t seed = 1;
  bool (*stop)() = nullptr;        // true ends the search with the best tour so far
  // Called with the cost of each better tour the chain keeps (after the first local optimum,
  // then after kicks); may be null.
  void (*better)(void* context, int64_t cost) = nullptr;
  void* context = nullptr;
  // lin_kernighan_candidates' lists for the same costs, kept by a caller that searches them
  // again and again; found afresh when null or empty.
  const std::vector<int>* candidates = nullptr;
};

// The candidate lists of the search over the symmetric costs cost[i * n + j] (n >= 5):
// CANDIDATES alpha-nearest partners a point, after an ascent whose steps aim at the cost of
// tour (every point once): O(n^2) a round of the ascent, up to 50 rounds (fewer past 2000 points). Past
// 2500 points, the cheapest partners. Empty when stop came first.
std::vector<int> lin_kernighan_candidates(int n, const int64_t* cost,
                                          const std::vector<int>& tour, bool (*stop)());

// The best tour found for the symmetric costs cost[i * n + j] of points 0..n-1 (each below
// 2^40 in magnitude, so that sums stay exact), from start when it holds every point once
// (never dearer than it), or else from the greedy tour. The candidates (unless given) take
// up to 50 rounds of O(n^2) to find; each step after that is O(n) at most (a reversal). Returns the order of the points, point 0
// first.
std::vector<int> lin_kernighan_tour(int n, const int64_t* cost, std::vector<int> start,
                                    const LocalSearchOptions& options);

// The greedy tour: the cheapest candidate edges that keep every point at two at most and
// close no cycle, the fragments then joined end to end by nearest neighbours. Point 0 first.
// O(n^2), with no stop: for starts where no tour is at hand.
std::vector<int> greedy_tour(int n, const int64_t* cost);
