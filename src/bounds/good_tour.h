// A good tour, found quickly: the upper bound of the searches. Any size of problem.
#pragma once

#include <cstdint>
#include <vector>

// Iterated local search (segment moves, priced reversals, double-bridge kicks) over the costs
// cost[i * n + j] of points 0..n-1, from the nearest-neighbour tour or from order when it
// holds n points. Stops after rounds kicks, once the cost reaches enough, or once stop (when
// given) returns true; stop is asked at least every O(n) steps, so that a stop request ends it
// at any size, with the best tour so far (the points left in their own order when it comes
// before the first tour is built). Returns the order of the points, point 0 first.
std::vector<int> find_good_tour(int n, const int64_t* cost, std::vector<int> order, int rounds,
                                int64_t enough, bool (*stop)() = nullptr);

// The nearest-neighbour tour from point 0 (the lowest point among equals), in O(n^2); stop
// (when given) is asked every 64 points, and once it returns true the points left follow in
// their own order.
std::vector<int> nearest_neighbour_tour(int n, const int64_t* cost, bool (*stop)() = nullptr);

// Joins the cycles of a cycle cover (successor[i] follows i; every point once) into one tour
// by Karp's patching: each time, the two arcs of two cycles whose exchange costs least, in
// O(n^2) to start and O(n) an exchange beside the points whose best exchange it spoils. stop
// (when given) is asked after every 64 points' O(n) work; once it returns true, the cycles
// left are joined in linear time. Returns the order from point 0.
std::vector<int> patch_cycles(int n, const int64_t* cost, std::vector<int> successor,
                              bool (*stop)() = nullptr);
