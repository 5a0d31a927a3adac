// Problems for the solver tests: random matrices, public instances, brute force and tours.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "solver/solver.h"

using Costs = std::vector<std::vector<int64_t>>;  // costs[r - 1][c - 1] = D(r, c)

// A random n x n matrix with costs in [low, high]; a narrow range gives many ties.
Costs random_costs(int n, int64_t low, int64_t high, uint64_t seed);

// A DistanceMatrix holding the costs; release it with release_matrix.
DistanceMatrix make_matrix(const Costs& costs);
void release_matrix(DistanceMatrix* matrix);

// Runs solve_tour from point 1 and returns positions 0..N of the tour. The console lines it
// prints are stored in console when given.
std::vector<int64_t> solve(const Costs& costs, std::string* console = nullptr);

int64_t tour_cost(const Costs& costs, const std::vector<int64_t>& tour);
// The least closed-tour cost from point 1 over all orderings.
int64_t brute_force_cost(const Costs& costs);
// The first optimal tour in lexicographic order, by exact costs whatever their size.
std::vector<int64_t> brute_force_tour(const Costs& costs);

// A problem file of the public instances bundled with the tests, and its known optimum.
struct PublicInstance {
  const char* file;
  int points;
  int64_t optimal_cost;
};
extern const PublicInstance PUBLIC_INSTANCES[];
extern const int PUBLIC_INSTANCE_COUNT;
// The matrix of an instance file, read with a plain parser of its own.
Costs load_instance(const std::string& path);
std::string public_instance_path(const char* file);
