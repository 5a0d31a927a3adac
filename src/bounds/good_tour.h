// A good tour, found quickly: the upper bound of the searches. Any size of problem.
#pragma once

#include <cstdint>
#include <vector>

// Iterated local search (segment moves, priced reversals, double-bridge kicks) over the costs
// cost[i * n + j] of points 0..n-1, from the nearest-neighbour tour or from order when it
// holds n points. Stops after rounds kicks, once the cost reaches enough, or once stop (when
// given) returns true. Returns the order of the points, point 0 first.
std::vector<int> find_good_tour(int n, const int64_t* cost, std::vector<int> order, int rounds,
                                int64_t enough, bool (*stop)() = nullptr);

// Joins the cycles of a cycle cover (successor[i] follows i; every point once) into one tour
// by Karp's patching: each time, the two arcs of two cycles whose exchange costs least.
// Returns the order from point 0.
std::vector<int> patch_cycles(int n, const int64_t* cost, std::vector<int> successor);
