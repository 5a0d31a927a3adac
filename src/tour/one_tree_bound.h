// A Held-Karp lower bound for instances given by coordinates: a subgradient ascent over
// minimum 1-trees, in O(m log m) a round for the m candidate edges, with no table of costs.
//
// EXACTNESS
// Every round's value is a proven bound, computed in whole numbers. With whole-number
// penalties pi (costs scaled by S = 100), every tour costs S * c(T) = sum over its edges of
// (S c_ij + pi_i + pi_j) - 2 sum pi, and a tour is a 1-tree (point 0 with two edges, a spanning
// tree on the rest), so S * optimum >= min 1-tree under w_ij = S c_ij + pi_i + pi_j, minus
// 2 sum pi. The tree on points 1..n-1 is found over the candidate edges, and every other edge
// is given a weight that is no more than its own: the costs grow with the distance between the
// points (c_ij >= f |s_i - s_j| - 1, f by the instance's type), so for each point i a k-d tree
// search finds a_i <= min over the j that are no candidates of i of (S f |s_i - s_j| - S +
// pi_j), plus pi_i, less a margin for the rounding of the square roots; every such edge weighs
// w_ij >= max(a_i, a_j). Lowering weights never raises a minimum spanning tree, so the tree
// over the candidate edges and these stand-ins is no heavier than the true one. Kruskal's
// method takes the stand-ins without listing them: at weight a_i the point i joins every point
// whose a is lower, all of which are joined already. Point 0's two edges are the cheapest of
// all n - 1, found exactly. The bound is the ceiling of the value over S.
//
// The ascent's rounds follow a cheaper guide (no search: a stand-in weighs what the farthest
// candidate costs), which proves nothing; the best penalties are proven every few rounds and
// at the end, and only those values are reported.
#pragma once

#include <cstdint>
#include <vector>

#include "tour/geometric_tour.h"
#include "tour/neighbours.h"

struct OneTreeOptions {
  int64_t upper = 0;        // a tour's cost: it sets the ascent's steps
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
