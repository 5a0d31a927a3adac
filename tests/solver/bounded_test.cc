// The bounded and branch-and-cut engines: bounds against brute force, tours against the full
// table.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "solver/bounded_engine.h"
#include "solver/branch_and_cut_engine.h"
#include "solver/solver.h"
#include "solver/tour_bounds.h"
#include "solver/worker_threads.h"
#include "support/problems.h"

namespace {

Costs symmetric_costs(int n, int64_t low, int64_t high, uint64_t seed) {
  Costs costs = random_costs(n, low, high, seed);
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < r; ++c) costs[r][c] = costs[c][r];
  }
  return costs;
}

struct Family {
  const char* name;
  Costs (*make)(int n, uint64_t seed);
};
const Family FAMILIES[] = {
    {"asymmetric", [](int n, uint64_t seed) { return random_costs(n, 1, 1000, seed); }},
    {"asymmetric ties", [](int n, uint64_t seed) { return random_costs(n, 0, 2, seed); }},
    {"negative", [](int n, uint64_t seed) { return random_costs(n, -50, 50, seed); }},
    {"symmetric", [](int n, uint64_t seed) { return symmetric_costs(n, 1, 1000, seed); }},
    {"symmetric ties", [](int n, uint64_t seed) { return symmetric_costs(n, 5, 7, seed); }},
    // Symmetric costs take branch and cut's chained Lin-Kernighan for the first tour.
    {"symmetric negative", [](int n, uint64_t seed) { return symmetric_costs(n, -50, 50, seed); }},
    {"symmetric wide", [](int n, uint64_t seed) {
       return symmetric_costs(n, -(int64_t{1} << 61), int64_t{1} << 61, seed);
     }},
    {"wide", [](int n, uint64_t seed) {
       return random_costs(n, -(int64_t{1} << 61), int64_t{1} << 61, seed);
     }},
};

// Every tour of a small problem, and for each state (S, a) the least tail weight and the
// cost of the cheapest tour through it.
TEST(TourBounds, NeverAboveWhatATourThroughTheStateCosts) {
  uint64_t seed = 70;
  for (const Family& family : FAMILIES) {
    for (int n = 3; n <= 8; ++n) {
      const Costs costs = family.make(n, seed++);
      DistanceMatrix matrix = make_matrix(costs);
      prepare_tour_bounds(&matrix);
      const TourBounds& b = tour_bounds;
      const std::string what = std::string(family.name) + ", n = " + std::to_string(n);
      EXPECT_TRUE(b.upper == tour_cost_of(&matrix, b.tour)) << what;
      if (!b.symmetric) {
        for (int i = 0; i < n; ++i) {
          for (int j = 0; j < n; ++j) EXPECT_GE(b.weight[i][j], 0) << what;
        }
      }
      // By (S, a): the cheapest tour's scaled cut cost and the least tail weight.
      const int states = (1 << (n - 1)) * (n + 1);
      std::vector<__int128> cheapest(states, -1);
      std::vector<int64_t> least_tail(states, INT64_MAX);
      std::vector<int64_t> order;
      for (int p = 2; p <= n; ++p) order.push_back(p);
      do {
        std::vector<int64_t> tour = {1};
        tour.insert(tour.end(), order.begin(), order.end());
        tour.push_back(1);
        __int128 scaled = 0, weight = 0;
        for (int i = 0; i < n; ++i) {
          scaled += b.scale * (costs[tour[i] - 1][tour[i + 1] - 1] >> b.shift);
          weight += b.weight[tour[i] - 1][tour[i + 1] - 1];
        }
        EXPECT_TRUE(scaled >= b.base + weight) << what;
        // The tail of each state: the points after position i, from tour[i] back to 1.
        uint64_t after = 0;
        int64_t tail = b.weight[tour[n - 1] - 1][0];
        for (int i = n - 1; i >= 1; --i) {
          const int index = static_cast<int>(after) * (n + 1) + static_cast<int>(tour[i]);
          if (cheapest[index] < 0 || scaled < cheapest[index]) cheapest[index] = scaled;
          least_tail[index] = std::min(least_tail[index], tail);
          after |= uint64_t{1} << (tour[i] - 2);
          if (i > 1) tail += b.weight[tour[i - 1] - 1][tour[i] - 1];
        }
      } while (std::next_permutation(order.begin(), order.end()));
      for (uint64_t subset = 0; subset < (uint64_t{1} << (n - 1)); ++subset) {
        int64_t head[66];
        head_bounds(subset, head);
        for (int a = 2; a <= n; ++a) {
          const int index = static_cast<int>(subset) * (n + 1) + a;
          if (subset >> (a - 2) & 1 || cheapest[index] < 0) continue;
          EXPECT_TRUE(b.base + least_tail[index] + head[a] <= cheapest[index])
              << what << ", state " << subset << "/" << a;
          EXPECT_LE(tail_bound(a, subset), least_tail[index]) << what;
        }
      }
      release_matrix(&matrix);
    }
  }
}

std::vector<int64_t> solve_bounded(const Costs& costs, bool may_search) {
  solver_engine = ENGINE_BOUNDED;
  bounded_may_search = may_search;
  std::vector<int64_t> tour = solve(costs);
  bounded_may_search = true;
  solver_engine = ENGINE_AUTOMATIC;
  return tour;
}

std::vector<int64_t> solve_by_branch_and_cut(const Costs& costs) {
  solver_engine = ENGINE_BRANCH_AND_CUT;
  std::vector<int64_t> tour = solve(costs);
  solver_engine = ENGINE_AUTOMATIC;
  return tour;
}

std::vector<int64_t> solve_exhaustively(const Costs& costs) {
  solver_engine = costs.size() <= 20 ? ENGINE_FULL_TABLE : ENGINE_TWO_LAYER;
  std::vector<int64_t> tour = solve(costs);
  solver_engine = ENGINE_AUTOMATIC;
  return tour;
}

TEST(BoundedEngine, SameToursAsEverySubsetFilled) {
  uint64_t seed = 4000;
  for (const Family& family : FAMILIES) {
    for (int n = 2; n <= 22; n += n < 12 ? 1 : 5) {
      const Costs costs = family.make(n, seed++);
      const std::string what = std::string(family.name) + ", n = " + std::to_string(n);
      const std::vector<int64_t> expected = solve_exhaustively(costs);
      EXPECT_EQ(solve_bounded(costs, true), expected) << what;
      EXPECT_EQ(solve_by_branch_and_cut(costs), expected) << what;
      // Near ties leave the programme too many states beyond this.
      if (n <= 14) {
        EXPECT_EQ(solve_bounded(costs, false), expected) << what;
      }
    }
  }
}

TEST(BoundedEngine, TwinsKeepOneStateForEachOfTheirPermutations) {
  // Points 2 and 3, 5..7 and the last three are copies of one another (equal rows and
  // columns, equal costs between them); point 1 has a copy too, which stays apart.
  for (int n : {9, 12, 14}) {
    Costs costs = random_costs(n, 0, 9, 50 + n);
    auto copy_point = [&](int from, int to) {  // 1-based
      for (int x = 0; x < n; ++x) {
        costs[to - 1][x] = costs[from - 1][x];
        costs[x][to - 1] = costs[x][from - 1];
      }
      costs[from - 1][to - 1] = costs[to - 1][from - 1] = 4;
    };
    copy_point(2, 3);
    copy_point(5, 6);
    copy_point(5, 7);
    costs[5][6] = costs[6][5] = 4;
    copy_point(n - 2, n - 1);
    copy_point(n - 2, n);
    costs[n - 2][n - 1] = costs[n - 1][n - 2] = 4;
    copy_point(1, 4);
    const std::vector<int64_t> expected = solve_exhaustively(costs);
    EXPECT_EQ(solve_bounded(costs, false), expected) << n;
    bounded_keeps_every_state = true;
    EXPECT_EQ(solve_bounded(costs, false), expected) << n;
    bounded_keeps_every_state = false;
  }
  // All costs equal: one class of twins, one state for each size, and the tour 1, 2, ..., N.
  Costs flat(40, std::vector<int64_t>(40, 7));
  std::vector<int64_t> expected;
  for (int p = 1; p <= 40; ++p) expected.push_back(p);
  expected.push_back(1);
  static int64_t most_states;
  inspect_solver_tables = [](int64_t n) {
    most_states = 0;
    for (int64_t k = 1; k < n - 1; ++k) most_states = std::max(most_states, bounded_states(k));
  };
  EXPECT_EQ(solve_bounded(flat, false), expected);
  EXPECT_EQ(most_states, 1);
  inspect_solver_tables = nullptr;
  EXPECT_EQ(solve_by_branch_and_cut(flat), expected);
  EXPECT_EQ(solve_bounded(flat, true), expected);
}

TEST(BranchAndCutEngine, ALoosenedPruneLosesTheFirstOptimalTour) {
  // One cost unit of slack on every bound drops tours of the optimal cost: with many ties
  // some problem must then come out with another tour. Without it (the other tests) none does.
  int differing = 0;
  for (uint64_t seed = 1; seed <= 10; ++seed) {
    const Costs costs = random_costs(12, 0, 3, seed);
    const std::vector<int64_t> expected = solve_exhaustively(costs);
    branch_and_cut_bound_slack = int64_t{1} << 20;  // K for costs this small
    if (solve_by_branch_and_cut(costs) != expected) ++differing;
    branch_and_cut_bound_slack = 0;
  }
  EXPECT_GT(differing, 0);
}

TEST(BranchAndCutEngine, AnOptimumOutsideTheLpsCoreIsPricedIn) {
  // Two clusters of 12 points, each point's arcs within its cluster costing 1, arcs between
  // them 100, but for two bridges of 60: 6 -> 18 and 21 -> 4. Each point's ten cheapest arcs
  // out and in, the LP's core, are arcs within its cluster, and the first tour (nearest
  // neighbours, 1 to 12, then 13 to 24) crosses at 100: the bridges of the only optimal
  // tours (cost 142) lie outside the core. A bound that took the LP's arcs for all there are
  // would drop them.
  Costs costs(24, std::vector<int64_t>(24, 100));
  for (int r = 0; r < 24; ++r) {
    for (int c = 0; c < 24; ++c) {
      if (r != c && r / 12 == c / 12) costs[r][c] = 1;
    }
    costs[r][r] = 0;
  }
  costs[5][17] = costs[20][3] = 60;
  const std::vector<int64_t> expected = solve_exhaustively(costs);
  EXPECT_EQ(tour_cost(costs, expected), 142);
  EXPECT_EQ(solve_by_branch_and_cut(costs), expected);
}

TEST(BranchAndCutEngine, ToursOutOfOrderAndAnyThreadCountKeepTheFirstOptimalTour) {
  // Scattered, the later tours come first; threads meet them in any order. The first optimal
  // tour must win all the same, ties included.
  const struct Run {
    bool scatter;
    int32_t threads;
    bool helpers_fail;
  } runs[] = {{true, 1, false}, {true, 3, false}, {false, 2, false}, {false, 4, true}};
  uint64_t seed = 6000;
  for (const Family& family : FAMILIES) {
    for (int n : {6, 9, 13}) {
      const Costs costs = family.make(n, seed++);
      const std::vector<int64_t> expected = solve_exhaustively(costs);
      for (const Run& run : runs) {
        branch_and_cut_scatter = run.scatter;
        row_kernel_threads = run.threads;
        if (run.helpers_fail) thread_start_should_fail = [](int64_t helper) { return helper != 1; };
        EXPECT_EQ(solve_by_branch_and_cut(costs), expected)
            << family.name << ", n = " << n << ", scattered " << run.scatter << ", threads "
            << run.threads;
        thread_start_should_fail = nullptr;
      }
      branch_and_cut_scatter = false;
      row_kernel_threads = 0;
    }
  }
}

TEST(BranchAndCutEngine, TheCostProofAndItsQuestionsKeepTheFirstOptimalTour) {
  // Past the exhaustive engines' reach, against the search over paths alone: the cost proof
  // first, then a question (a cost proof over one child's tours) before each child, must leave
  // the same tour, ties included. Some children must be dropped by questions.
  int64_t refuted = 0;
  uint64_t seed = 7000;
  for (const Family& family : FAMILIES) {
    if (std::string(family.name).find("wide") != std::string::npos) continue;  // no proof there
    for (int n : {30, 50}) {
      const Costs costs = family.make(n, seed++);
      branch_and_cut_cost_proof = false;
      const std::vector<int64_t> expected = solve_by_branch_and_cut(costs);
      branch_and_cut_cost_proof = true;
      EXPECT_EQ(solve_by_branch_and_cut(costs), expected) << family.name << ", n = " << n;
      refuted += branch_and_cut_counts.refuted_by_questions;
    }
  }
  EXPECT_GT(refuted, 0);
  // Local search that finds a tour with a question's path spares the question: the same
  // tours. The program tries it only where the question's first node settles nothing;
  // here before every question, so that small problems reach it.
  int64_t spared = 0;
  branch_and_cut_witness_first = true;
  for (const Family& family : FAMILIES) {
    const std::string name = family.name;
    if (name.find("symmetric") != 0 || name.find("wide") != std::string::npos) continue;
    for (int n : {30, 50}) {
      Costs costs = family.make(n, seed++);
      for (int p = 0; p < n; ++p) costs[p][p] = 0;  // else the engine takes them as asymmetric
      branch_and_cut_cost_proof = false;
      const std::vector<int64_t> expected = solve_by_branch_and_cut(costs);
      branch_and_cut_cost_proof = true;
      EXPECT_EQ(solve_by_branch_and_cut(costs), expected) << family.name << ", n = " << n;
      spared += branch_and_cut_counts.witnesses_by_local_search;
    }
  }
  branch_and_cut_witness_first = false;
  EXPECT_GT(spared, 0);
}

TEST(BoundedEngine, NearTiesAreFoundBySearch) {
  static bool searched;
  inspect_solver_tables = [](int64_t) { searched = bounded_searched(); };
  for (int n : {16, 22}) {
    const Costs costs = random_costs(n, 0, 1, n);
    EXPECT_EQ(solve_bounded(costs, true), solve_exhaustively(costs)) << n;
    EXPECT_TRUE(searched) << n;
  }
  inspect_solver_tables = nullptr;
}

}  // namespace
