// A Held-Karp lower bound for instances given by coordinates: a subgradient ascent over
// minimum 1-trees, in O(m log m) a round for the m candidate edges, with no table of costs.
//
// EXACTNESS
// Every value reported is a proven bound, computed in whole numbers. With whole-number
// penalties pi (costs scaled by S = 100), every tour costs S * c(T) = sum over its edges of
// (S c_ij + pi_i + pi_j) - 2 sum pi, and a tour is a 1-tree (point 0 with two edges, a spanning
// tree on the rest), so S * optimum >= min 1-tree under w_ij = S c_ij + pi_i + pi_j, minus
// 2 sum pi. The tree on points 1..n-1 is taken over a graph on every pair whose weights are
// no more than the true ones, so it is no heavier than the true minimum tree: a candidate edge
// weighs its exact w_ij; any other pair a lower bound from the distance, since the costs grow
// with it (c_ij >= f |s_i - s_j| - 1, f by the instance's type), w_ij >= S f |s_i - s_j| - S +
// pi_i + pi_j, less a margin for the rounding of the square roots. Boruvka's method finds that
// tree without listing the pairs: in each round every part of the forest takes its cheapest
// edge out, over its candidate edges and, for each of its points, from a k-d tree search for
// the point of another part that is cheapest by the distance's bound (a box passed over when
// its nearest corner at its least penalty cannot do better, or when it holds one part only).
// Point 0's two edges are the cheapest of all n - 1, found exactly. The bound is the ceiling
// of the value over S.
//
// The ascent's rounds follow a cheaper guide (Kruskal's method over the candidate edges, each
// point joining the rest, where they do not connect it, at the weight of its farthest
// candidate with the largest penalty),
// which proves nothing; the best penalties are proven every few rounds and at the end, and
// only those values are reported.
#pragma once

#include <cstdint>
#include <vector>

#include "tour/geometric_tour.h"
#include "tour/neighbours.h"

struct OneTreeOptions {
  int64_t upper = 0;        // a tour's cost: it sets the ascent's steps
  // A cheaper tour's cost as it is found (the steps aim at it); may be null.
  int64_t (*upper_now)(void* context) = nullptr;
  int most_rounds = 1000;
  bool (*stop)() = nullptr;  // asked every round and within long rounds
  // Called with each better bound; may be null.
  void (*better)(void* context, int64_t bound) = nullptr;
  void* context = nullptr;
  // The points where the candidates were found, and how costs grow with their distances:
  // c(i, j) >= cost_per_distance * |sites[i] - sites[j]| - 1 for every pair.
  const std::vector<Site>* sites = nullptr;
  double cost_per_distance = 1;
};

// The best bound of the ascent over the points 0..n-1 (n >= 3) with candidate lists
// neighbour[p * count + k], nearest first in the instance's geometry.
int64_t one_tree_bound(int n, const CoordinateCosts& cost, const std::vector<int>& neighbour,
                       int count, const OneTreeOptions& options);
