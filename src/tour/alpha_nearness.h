// Candidate partners by alpha-nearness, for the local search over a table of costs.
//
// DESIGN
// A point's cheapest partners miss many edges of good tours where points lie in clusters or
// rows (pr1002, fl417). Alpha-nearness measures an edge instead by how much a minimum 1-tree
// must grow to hold it: alpha(i, j) = w(i, j) - beta(i, j), beta the heaviest edge on the
// tree's path from i to j (for point 0, the tree's special point, the heavier of its two
// edges). The weights w(i, j) = S c(i, j) + pi_i + pi_j carry penalties pi from a short
// subgradient ascent that pushes the 1-tree towards degree two everywhere, so that it looks
// like a tour. Both the ascent and the alpha values are dense: O(n^2) a round (Prim's method
// over the table), O(n^2) for every alpha (each point's betas in the tree's insertion order).
//
// The candidates only guide the search: no bound or proof reads them. Every quantity is a
// whole number (S = 100; the ascent's steps rounded), so the same table gives the same
// candidates on any machine.
#pragma once

#include <cstdint>
#include <vector>

// Each point's count partners of least alpha (the cheaper, then the lower point, among
// equals), as neighbour[p * count + k], for the symmetric costs cost[i * n + j] (each below
// 2^40 in magnitude), 3 <= n < 4096 and count <= n - 1. upper is a tour's cost (it sets the ascent's
// steps); at most rounds rounds of the ascent. Empty when stop (asked every round and every
// 64 points of the alphas) came first.
std::vector<int> alpha_nearest(int n, const int64_t* cost, int count, int64_t upper, int rounds,
                               bool (*stop)());
