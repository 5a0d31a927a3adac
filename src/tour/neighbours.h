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

// For each site p, a lower bound on scale * |p - q| + weight[q] over every site q other than p
// and its listed ones (listed[p * count + k]): the least of it, made lower by a few units of
// rounding. Infinity when there is no such q. Empty when stop (asked every few thousand sites)
// came first. A k-d tree search that passes over a box whose nearest corner, at the box's
// least weight, cannot do better than the best found.
std::vector<double> least_weighted_distances(const std::vector<Site>& sites, double scale,
                                             const std::vector<double>& weight,
                                             const std::vector<int>& listed, int count,
                                             bool (*stop)() = nullptr);
