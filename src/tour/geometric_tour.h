// The search for instances given by coordinates and read without a table of costs (too large
// for the exact engines): each cost computed by the instance's own distance rule when needed,
// candidate lists from a k-d tree, memory linear in the number of points.
//
// Two threads: one runs a chained Lin-Kernighan search from the greedy tour; the other first
// ascends to a Held-Karp lower bound (one_tree_bound.h), then runs a second chain with another
// seed. The cheaper tour is kept (the first chain's among equals). Each chain's random choices
// come from its seed; with a budget of kicks instead of a time the result is the same on every
// run.
#pragma once

#include <cstdint>
#include <vector>

#include "import/tsplib.h"
#include "tour/lin_kernighan.h"
#include "tour/neighbours.h"

// A cost by the instance's rule, as the importer's table would hold it.
struct CoordinateCosts {
  const Point* points = nullptr;
  double (*distance)(Point, Point) = nullptr;
  int64_t operator()(int a, int b) const {
    return static_cast<int64_t>(distance(points[a], points[b]));
  }
};

// Where each point lies for the nearest-point searches: the coordinates, for GEO a point on the
// unit sphere. Every cost is at least cost_per_distance times their distance, less one.
std::vector<Site> coordinate_sites(const Problem& problem);
double cost_per_distance(const Problem& problem);

// The count nearest points of each point (problem.geometry must not be GEOMETRY_NONE), for GEO
// on the sphere: neighbour[p * count + k], nearest first. Empty when stop came first.
std::vector<int> coordinate_neighbours(const Problem& problem, int count, bool (*stop)());

struct CoordinateSearchOptions {
  LocalSearchOptions search;  // kicks, seed and stop of each chain
  bool bound = true;          // also the lower bound (in the second thread)
  bool two_chains = true;     // a second chain once the bound is done
  // Called from either thread (under a lock of the search's) with a new best tour's cost, or a
  // new lower bound (has_bound); may be null.
  void (*progress)(void* context, const char* phase, bool has_best, int64_t best,
                   bool has_bound, int64_t bound) = nullptr;
  void* context = nullptr;
};

struct CoordinateSearchResult {
  std::vector<int> order;   // the best tour, point 0 first
  int64_t cost = 0;
  bool has_bound = false;
  int64_t lower_bound = 0;  // no tour costs less
};

// The search on problem.points (at least 5 points, a geometry); the costs must stay below 2^40
// (the reader checks it) and their sum over a tour in the 64-bit range.
CoordinateSearchResult coordinate_search(const Problem& problem,
                                         const CoordinateSearchOptions& options);
