#include "solver/solve_path.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include "support/problems.h"

namespace {

// The first optimal path from point 1 in lexicographic order, over every ordering of the rest,
// ending at end (0: anywhere); its points and cost.
std::pair<std::vector<int64_t>, __int128> brute_force_path(const Costs& costs, int64_t end) {
  const int64_t n = costs.size();
  std::vector<int64_t> rest(n - 1);
  std::iota(rest.begin(), rest.end(), 2);
  std::vector<int64_t> best;
  __int128 best_cost = 0;
  do {
    if (end != 0 && rest.back() != end) continue;
    __int128 cost = costs[0][rest[0] - 1];
    for (size_t i = 1; i < rest.size(); ++i) cost += costs[rest[i - 1] - 1][rest[i] - 1];
    if (best.empty() || cost < best_cost) {
      best = rest;
      best_cost = cost;
    }
  } while (std::next_permutation(rest.begin(), rest.end()));
  best.insert(best.begin(), 1);
  return {best, best_cost};
}

TEST(SolvePath, TheFirstOptimalPathOfABruteForceWhateverItsEnd) {
  // Narrow ranges give many ties; the extremes sums beyond 64 bits.
  struct Row {
    int n;
    int64_t low, high;
    uint64_t seed;
  };
  for (const Row& row : std::vector<Row>{{2, 1, 9, 1},
                                         {3, 1, 2, 2},
                                         {5, 1, 2, 3},
                                         {7, 0, 3, 4},
                                         {8, -3, 3, 5},
                                         {9, 1, 4, 6},
                                         {9, 5, 5, 7},
                                         {6, INT64_MAX - 4, INT64_MAX, 8},
                                         {6, INT64_MIN, INT64_MIN + 4, 9}}) {
    const Costs costs = random_costs(row.n, row.low, row.high, row.seed);
    std::vector<int64_t> cells;
    for (const auto& r : costs) cells.insert(cells.end(), r.begin(), r.end());
    for (int64_t end = 0; end <= row.n; ++end) {
      if (end == 1) continue;
      const auto [path, cost] = brute_force_path(costs, end);
      const SolveResult result = solve_path(row.n, cells, end, SolveOptions{});
      EXPECT_EQ(result.status, SOLVE_DONE);
      EXPECT_TRUE(result.proven);
      EXPECT_EQ(result.tour, path) << row.n << " points, seed " << row.seed << ", end " << end;
      EXPECT_TRUE(result.cost == cost && result.lower_bound == cost)
          << row.n << " points, seed " << row.seed << ", end " << end;
    }
  }
}

}  // namespace
