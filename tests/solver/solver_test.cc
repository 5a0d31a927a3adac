#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "solver/solver.h"
#include "support/problems.h"

namespace {

TEST(NextCombination, RunsThroughAllInOrder) {
  int64_t c[3] = {1, 2, 3};
  std::vector<std::vector<int64_t>> seen = {{1, 2, 3}};
  while (next_combination(c, 5, 3)) seen.push_back({c[0], c[1], c[2]});
  const std::vector<std::vector<int64_t>> expected = {
      {1, 2, 3}, {1, 2, 4}, {1, 2, 5}, {1, 3, 4}, {1, 3, 5},
      {1, 4, 5}, {2, 3, 4}, {2, 3, 5}, {2, 4, 5}, {3, 4, 5}};
  EXPECT_EQ(seen, expected);
  EXPECT_EQ((std::vector<int64_t>{c[0], c[1], c[2]}), (std::vector<int64_t>{3, 4, 5}));

  int64_t whole[4] = {1, 2, 3, 4};
  EXPECT_FALSE(next_combination(whole, 4, 4));
  EXPECT_EQ((std::vector<int64_t>(whole, whole + 4)), (std::vector<int64_t>{1, 2, 3, 4}));
  int64_t single[1] = {1};
  int count = 1;
  while (next_combination(single, 6, 1)) ++count;
  EXPECT_EQ(count, 6);
}

TEST(SolveTour, SmallProblemsPrintTheirSteps) {
  struct Case {
    Costs costs;
    std::vector<int64_t> tour;
    const char* console;
  } cases[] = {
      {{{0, 5}, {7, 0}}, {1, 2, 1}, "Step 1\r\nStep 2\r\nEnd\r\n"},
      // N = 3: the closing step picks 3 (1->3->2->1 costs 3, 1->2->3->1 costs 30).
      {{{0, 10, 1}, {1, 0, 10}, {10, 1, 0}}, {1, 3, 2, 1}, "Step 1\r\nStep 2\r\nEnd\r\n"},
      {{{0, 1, 9, 9}, {9, 0, 1, 9}, {9, 9, 0, 1}, {1, 9, 9, 0}},
       {1, 2, 3, 4, 1},
       "Step 1\r\nStep 2\r\nStep 3\r\nEnd\r\n"},
      // Asymmetric: the cheap direction is 1->4->3->2->1.
      {{{0, 9, 9, 1}, {1, 0, 9, 9}, {9, 1, 0, 9}, {9, 9, 1, 0}},
       {1, 4, 3, 2, 1},
       "Step 1\r\nStep 2\r\nStep 3\r\nEnd\r\n"},
  };
  for (const Case& c : cases) {
    std::string console;
    EXPECT_EQ(solve(c.costs, &console), c.tour);
    EXPECT_EQ(console, c.console);
  }
}

TEST(SolveTour, TiesGoToTheLowestPoint) {
  // All tours cost the same: the closing step keeps point 2 and every cell its lowest point.
  for (int n = 2; n <= 8; ++n) {
    Costs flat(n, std::vector<int64_t>(n, 7));
    std::vector<int64_t> expected;
    for (int p = 1; p <= n; ++p) expected.push_back(p);
    expected.push_back(1);
    EXPECT_EQ(solve(flat), expected) << "n = " << n;
  }
  // Two optimal tours, 1-2-3-4-1 and 1-3-2-4-1 (cost 4 each): the lower second point wins...
  Costs two_ways = {{0, 1, 1, 5}, {5, 0, 1, 1}, {5, 1, 0, 1}, {1, 5, 5, 0}};
  EXPECT_EQ(solve(two_ways), (std::vector<int64_t>{1, 2, 3, 4, 1}));
  // ...and inside a cell: from 2, both 3 (then 4) and 4 (then 3) cost the same.
  Costs inside = {{0, 1, 9, 9}, {9, 0, 1, 1}, {1, 9, 0, 0}, {1, 9, 0, 0}};
  EXPECT_EQ(solve(inside), (std::vector<int64_t>{1, 2, 3, 4, 1}));
}

TEST(SolveTour, TheDiagonalIsNeverRead) {
  Costs costs = random_costs(7, 0, 20, 99);
  std::vector<int64_t> first = solve(costs);
  for (int i = 0; i < 7; ++i) costs[i][i] = (i % 2 ? INT64_MIN : INT64_MAX);
  EXPECT_EQ(solve(costs), first);
}

// The same rules written as a memoised recursion over subsets, to check the tables' layout.
struct Recursion {
  const Costs& costs;
  std::map<std::pair<uint64_t, int>, std::pair<int64_t, int>> memo;  // (S, a) -> (cost, next)

  std::pair<int64_t, int> best(uint64_t subset, int a) {
    if (subset == 0) return {costs[a - 1][0], 1};
    auto found = memo.find({subset, a});
    if (found != memo.end()) return found->second;
    std::pair<int64_t, int> result = {INT64_MAX, 0};
    for (int c = 2; c <= static_cast<int>(costs.size()); ++c) {
      if (!(subset >> (c - 2) & 1)) continue;
      int64_t e = costs[a - 1][c - 1] + best(subset & ~(uint64_t{1} << (c - 2)), c).first;
      if (e < result.first) result = {e, c};
    }
    return memo[{subset, a}] = result;
  }

  std::vector<int64_t> tour() {
    const int n = static_cast<int>(costs.size());
    uint64_t full = (uint64_t{1} << (n - 1)) - 1;
    auto closing = best(full, 1);
    std::vector<int64_t> points = {1};
    uint64_t subset = full;
    for (int at = closing.second; at != 1;) {
      points.push_back(at);
      subset &= ~(uint64_t{1} << (at - 2));
      at = best(subset, at).second;
    }
    points.push_back(1);
    return points;
  }
};

TEST(SolveTour, MatchesBruteForceAndTheRecursion) {
  struct Range {
    int64_t low, high;
  } ranges[] = {{0, 3}, {0, 1000}, {-50, 50}, {-1000000000000, 1000000000000}, {5, 5}};
  uint64_t seed = 1;
  for (int n = 2; n <= 9; ++n) {
    for (const Range& range : ranges) {
      for (int round = 0; round < 3; ++round) {
        Costs costs = random_costs(n, range.low, range.high, seed++);
        std::vector<int64_t> tour = solve(costs);
        EXPECT_EQ(tour_cost(costs, tour), brute_force_cost(costs)) << "n = " << n;
        Recursion recursion{costs, {}};
        EXPECT_EQ(tour, recursion.tour()) << "n = " << n << " seed " << seed - 1;
      }
    }
  }
}

TEST(SolveTour, PublicInstancesComeOutOptimal) {
  for (int i = 0; i < PUBLIC_INSTANCE_COUNT; ++i) {
    const PublicInstance& instance = PUBLIC_INSTANCES[i];
    if (instance.points > 17) continue;  // the larger ones run end to end
    Costs costs = load_instance(public_instance_path(instance.file));
    ASSERT_EQ(static_cast<int>(costs.size()), instance.points);
    EXPECT_EQ(tour_cost(costs, solve(costs)), instance.optimal_cost) << instance.file;
  }
}

TEST(PathCostBound, SumsTheLargestMagnitudeOfEachRow) {
  DistanceMatrix matrix = make_matrix({{INT64_MIN, -3, 2}, {5, 0, -9}, {1, 1, 99}});
  EXPECT_TRUE(path_cost_bound(&matrix) == 3u + 9u + 1u);
  release_matrix(&matrix);
  DistanceMatrix huge = make_matrix({{0, INT64_MIN}, {INT64_MIN, 0}});
  EXPECT_TRUE(path_cost_bound(&huge) == static_cast<unsigned __int128>(1) << 64);
  release_matrix(&huge);
}

TEST(SolveTour, CostsOfAnySizeGetTheirExactOptimum) {
  // Costs anywhere in the signed 64-bit range, so that path costs run far beyond it, against
  // a brute force in exact integers; every engine that takes them, reading back its way.
  struct Range {
    int64_t low, high;
  } ranges[] = {{INT64_MIN, INT64_MAX},
                {INT64_MAX - 2, INT64_MAX},
                {INT64_MIN, INT64_MIN + 2},
                {-1, 1}};
  uint64_t seed = 3000;
  for (int n = 2; n <= 8; ++n) {
    for (const Range& range : ranges) {
      Costs costs = random_costs(n, range.low, range.high, seed++);
      if (n == 5) costs[1][2] = INT64_MIN, costs[2][3] = INT64_MAX;
      const std::vector<int64_t> expected = brute_force_tour(costs);
      for (SolverEngine engine : {ENGINE_AUTOMATIC, ENGINE_FULL_TABLE, ENGINE_TWO_LAYER}) {
        solver_engine = engine;
        EXPECT_EQ(solve(costs), expected) << "n = " << n << ", seed " << seed - 1;
      }
      solver_engine = ENGINE_AUTOMATIC;
    }
  }
}

using SolveTourDeathTest = testing::Test;

TEST_F(SolveTourDeathTest, TheReferenceEngineRefusesCostsItsCellsCannotHold) {
  // Without a handler the refusal takes the abort path, which shows its number.
  const char* message = "\nAborting due to runtime error 11 (\"floating point error\" signal)\n\n";
  solver_engine = ENGINE_REFERENCE;
  EXPECT_EXIT(solve({{0, INT64_MAX / 2}, {INT64_MAX / 2 + 1, 0}}), testing::ExitedWithCode(11),
              testing::StrEq(message));
  EXPECT_EXIT(solve({{0, -4}, {INT64_MIN, 0}}), testing::ExitedWithCode(11),
              testing::StrEq(message));
  solver_engine = ENGINE_AUTOMATIC;
}

TEST(SolveTour, LargestCostsOfEightByteCellsStillSolveExactly) {
  // The bound may reach INT64_MAX - 1 in 64-bit cells, the reference's among them.
  const int64_t big = INT64_MAX - 3;
  Costs costs = {{0, big, 1}, {1, 0, 1}, {1, 1, 0}};
  Costs negative = {{0, -big, 1}, {1, 0, 1}, {1, 1, 0}};
  for (SolverEngine engine : {ENGINE_AUTOMATIC, ENGINE_REFERENCE}) {
    solver_engine = engine;
    EXPECT_EQ(solve(costs), (std::vector<int64_t>{1, 3, 2, 1}));
    EXPECT_EQ(solve(negative), (std::vector<int64_t>{1, 2, 3, 1}));
  }
  solver_engine = ENGINE_AUTOMATIC;
}

TEST_F(SolveTourDeathTest, OnePointFailsWithIllegalFunctionCall) {
  EXPECT_EXIT(solve({{4}}), testing::ExitedWithCode(1),
              testing::StrEq("\nAborting due to runtime error 1 (illegal function call) at line "
                             "114 of tourplan()\n\n"));
}

}  // namespace
