// The nearest points of every point in the plane or in space, from a k-d tree: candidate lists
// for the local search where no table of costs exists, in O(n log n) time and O(n) memory.
#pragma once

#include <cstdint>
#include <vector>

struct Site {
  double x, y, z;  // z is 0 in the plane
};

// The count nearest sites of each site by Euclidean distance (dx*dx + dy*dy + dz*dz as
// computed here), nearest first: neighbour[p * count + k]. No other site is nearer to p than
// its last one. Among equals the choice depends only on the sites, not on the run.
// count < sites.size(). Empty when stop (asked every few thousand sites) came first.
std::vector<int> nearest_neighbours(const std::vector<Site>& sites, int count,
                                    bool (*stop)() = nullptr);

// The sites in the order of the k-d tree's leaves: near sites mostly near in it.
std::vector<int> spatial_order(const std::vector<Site>& sites);

// The nearest site of another group, by a weighted distance: for each site p other than skip,
// a lower bound on the least of scale * |p - q| + weight[q] over the sites q of another group
// (group[q] != group[p]) that are not skip nor listed for p (listed[p * count + k]), when that
// least is below limit[p]: the value made lower by a few units of rounding, and the q in
// partner[p]. Where none is below the limit, partner[p] is -1. A k-d tree search that passes
// over a box whose nearest corner, at the box's least weight, cannot do better than the best
// found, and over a box whose sites are all of p's group. False when stop (asked every few
// thousand sites) came first.
struct WeightedNearest {
  std::vector<double> value;
  std::vector<int> partner;
};
bool nearest_of_other_groups(const std::vector<Site>& sites, double scale,
                             const std::vector<double>& weight, const std::vector<int>& group,
                             const std::vector<int>& listed, int count, int skip,
                             const std::vector<double>& limit, bool (*stop)(),
                             WeightedNearest* found);
