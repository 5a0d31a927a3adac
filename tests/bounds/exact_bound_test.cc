// The whole-number bounds against every tour of small problems, from the LP's duals and from
// duals that rounding or a poor LP would give.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "bounds/exact_bound.h"
#include "bounds/good_tour.h"
#include "bounds/subtour_lp.h"

namespace {

constexpr int64_t SCALE = 16;

struct Problem {
  int n;
  std::vector<int64_t> cost;  // [i * n + j]
};

Problem random_problem(int n, int64_t low, int64_t high, uint64_t seed, bool symmetric) {
  std::mt19937_64 random(seed);
  Problem problem{n, std::vector<int64_t>(static_cast<size_t>(n) * n, 0)};
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      if (i != j) problem.cost[i * n + j] = low + static_cast<int64_t>(random() % (high - low + 1));
      if (symmetric && j < i) problem.cost[i * n + j] = problem.cost[j * n + i];
    }
  }
  return problem;
}

// The arcs with allowed[arc] != 0, in order: the LP's columns.
std::vector<int> arcs_of(const std::vector<uint8_t>& allowed) {
  std::vector<int> arcs;
  for (size_t arc = 0; arc < allowed.size(); ++arc) {
    if (allowed[arc]) arcs.push_back(static_cast<int>(arc));
  }
  return arcs;
}

enum DualKind { LP_DUALS, NUDGED_DUALS, ARBITRARY_DUALS };

// The relaxation (over edges when asked) solved with its cuts, and its duals as the kind asks.
ExactDuals duals_of(const Problem& problem, DualKind kind, uint64_t seed, bool edges) {
  const int n = problem.n;
  std::vector<uint8_t> allowed(static_cast<size_t>(n) * n, 1);
  for (int i = 0; i < n; ++i) allowed[i * n + i] = 0;
  SubtourLp lp;
  subtour_lp_create(&lp, n, problem.cost.data(), arcs_of(allowed), nullptr, edges);
  if (n >= 6) {  // a comb row whatever the solution: handle {0, 1, 2}, three teeth (a blossom
                 // below 7 points)
    LpCut blossom{std::vector<uint8_t>(n, 0), {{0, 3}, {1, 4}, {2, 5}}};
    if (n >= 7) blossom.teeth[2].push_back(6);
    blossom.side[0] = blossom.side[1] = blossom.side[2] = 1;
    subtour_lp_add_cuts(&lp, {blossom});
  }
  subtour_lp_solve(&lp);
  while (subtour_lp_separate(&lp, 16, true) > 0) subtour_lp_solve(&lp);
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> nudge(-0.3, 0.3), any(-40.0, 40.0);
  for (std::vector<double>* values : {&lp.out_dual, &lp.in_dual, &lp.cut_dual}) {
    for (double& value : *values) {
      if (kind == NUDGED_DUALS) value += nudge(random);
      if (kind == ARBITRARY_DUALS) value = any(random);
    }
  }
  std::vector<int64_t> scaled(problem.cost);
  for (int64_t& c : scaled) c *= SCALE;
  ExactDuals duals;
  exact_duals_from_lp(&duals, &lp, scaled.data(), SCALE);
  subtour_lp_destroy(&lp);
  return duals;
}

TEST(ExactBound, NeverAboveWhatATourThroughThePathCosts) {
  struct Family {
    const char* name;
    int64_t low, high;
    bool symmetric, edges;
  } families[] = {{"costs 1..100", 1, 100, false, false},
                  {"ties 0..2", 0, 2, false, false},
                  {"negative -50..50", -50, 50, false, false},
                  {"symmetric 1..100", 1, 100, true, false},
                  {"symmetric over edges 1..100", 1, 100, true, true},
                  {"symmetric over edges -50..50", -50, 50, true, true}};
  uint64_t seed = 11;
  for (const Family& family : families) {
    for (int n = 3; n <= 7; ++n) {
      const Problem problem = random_problem(n, family.low, family.high, seed++, family.symmetric);
      for (DualKind kind : {LP_DUALS, NUDGED_DUALS, ARBITRARY_DUALS}) {
        const std::string what = std::string(family.name) + ", n = " + std::to_string(n) +
                                 ", duals " + std::to_string(kind);
        const ExactDuals duals = duals_of(problem, kind, seed, family.edges);
        std::vector<uint8_t> allowed(static_cast<size_t>(n) * n, 1);
        for (int i = 0; i < n; ++i) allowed[i * n + i] = 0;
        auto w = [&](int i, int j) { return duals.weight[static_cast<size_t>(i) * n + j]; };
        // Every tour, and each of its paths from point 0.
        std::vector<int> order;
        for (int p = 1; p < n; ++p) order.push_back(p);
        __int128 optimum = -1;
        std::vector<int> first_optimal;
        do {
          std::vector<int> tour{0};
          tour.insert(tour.end(), order.begin(), order.end());
          __int128 scaled_cost = 0;
          for (int t = 0; t < n; ++t) scaled_cost += SCALE * problem.cost[tour[t] * n + tour[(t + 1) % n]];
          if (optimum < 0 || scaled_cost < optimum) {
            optimum = scaled_cost;
            first_optimal = tour;
          }
          std::vector<uint8_t> remaining(n, 1);
          remaining[0] = 0;
          __int128 path = duals.base;
          for (int k = 0; k < n; ++k) {
            const int from = tour[k];
            EXPECT_TRUE(path + completion_bound(&duals, allowed.data(), from, remaining.data()) <=
                        scaled_cost)
                << what << ", path of " << k << " arcs";
            if (k + 1 < n) {
              std::vector<__int128> child;
              child_bounds(&duals, allowed.data(), from, remaining.data(), &child);
              const int next = tour[k + 1];
              remaining[next] = 0;
              EXPECT_TRUE(child[next] ==
                          w(from, next) + completion_bound(&duals, allowed.data(), next,
                                                           remaining.data()))
                  << what << ", child at " << k;
              path += w(from, next);
            }
          }
        } while (std::next_permutation(order.begin(), order.end()));
        // No arc of an optimal tour goes, at the optimum as the limit, nor along its paths.
        std::vector<uint8_t> kept(allowed);
        drop_arcs_above(&duals, kept.data(), optimum);
        std::vector<uint8_t> remaining(n, 1);
        remaining[0] = 0;
        __int128 path = duals.base;
        for (int k = 0; k < n; ++k) {
          const int from = first_optimal[k], to = first_optimal[(k + 1) % n];
          EXPECT_TRUE(kept[from * n + to]) << what << ", arc " << from << "-" << to;
          std::vector<int> dropped;
          std::vector<uint8_t> local(allowed);
          drop_completion_arcs(&duals, local.data(), from, remaining.data(), path, optimum,
                               &dropped);
          for (int t = k; t < n; ++t) {
            const int a = first_optimal[t], b = first_optimal[(t + 1) % n];
            EXPECT_TRUE(local[a * n + b]) << what << ", completion arc " << a << "-" << b;
          }
          remaining[to] = 0;
          path += w(from, to);
        }
      }
    }
  }
}

// Cuts dropped for their slack while arcs were fixed come back from the pool once the
// solution violates them again, whatever else the separation finds.
TEST(SubtourLp, DroppedCutsReturnFromThePoolWhenViolatedAgain) {
  int returned = 0;
  for (uint64_t seed = 1; seed <= 30; ++seed) {
    const Problem problem = random_problem(12, 1, 100, seed, true);
    const int n = problem.n;
    std::vector<uint8_t> allowed(static_cast<size_t>(n) * n, 1);
    for (int i = 0; i < n; ++i) allowed[i * n + i] = 0;
    SubtourLp lp;
    subtour_lp_create(&lp, n, problem.cost.data(), arcs_of(allowed), nullptr, true);
    lp.pooling = true;
    subtour_lp_solve(&lp);
    while (subtour_lp_separate(&lp, 16, true) > 0) subtour_lp_solve(&lp);
    // A long path fixed moves the solution away from the cuts found without it.
    std::mt19937_64 random(seed);
    std::vector<int> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), random);
    for (int k = 0; k + 1 < n / 2; ++k) subtour_lp_fix_arc(&lp, order[k], order[k + 1], true);
    subtour_lp_solve(&lp);
    subtour_lp_drop_slack_cuts(&lp);
    ASSERT_EQ(lp.pool.size(), lp.pool_hash.size());
    for (int k = 0; k + 1 < n / 2; ++k) subtour_lp_fix_arc(&lp, order[k], order[k + 1], false);
    subtour_lp_solve(&lp);
    const CapacityGraph graph = support_graph(&lp);
    std::vector<LpCut> violated;
    for (const LpCut& cut : lp.pool) {
      if (cut_shortfall(graph, cut) > 1e-2) violated.push_back(cut);
    }
    subtour_lp_separate(&lp, 64, true);
    for (const LpCut& cut : violated) {
      EXPECT_NE(std::find(lp.cuts.begin(), lp.cuts.end(), cut), lp.cuts.end()) << "seed " << seed;
      EXPECT_EQ(std::find(lp.pool.begin(), lp.pool.end(), cut), lp.pool.end()) << "seed " << seed;
      ++returned;
    }
    subtour_lp_destroy(&lp);
  }
  EXPECT_GT(returned, 0);  // the problems do drop cuts that are violated again
}

// A basis moves between two LPs over the same problem whose columns differ in order (the
// workers of a proof each price in their own): set on the other LP, never solved yet, it is
// the same basis, optimal from the first step. Mapped by index, it would not be.
TEST(SubtourLp, ABasisMovesToAnotherLpByItsArcs) {
  for (uint64_t seed = 1; seed <= 10; ++seed) {
    const Problem problem = random_problem(12, 1, 100, seed, true);
    const int n = problem.n;
    std::vector<uint8_t> allowed(static_cast<size_t>(n) * n, 1);
    for (int i = 0; i < n; ++i) allowed[i * n + i] = 0;
    std::vector<int> arcs = arcs_of(allowed);
    SubtourLp first, second;
    subtour_lp_create(&first, n, problem.cost.data(), arcs, nullptr, true);
    subtour_lp_solve(&first);
    while (subtour_lp_separate(&first, 16, true) > 0) subtour_lp_solve(&first);
    std::reverse(arcs.begin(), arcs.end());
    subtour_lp_create(&second, n, problem.cost.data(), arcs, nullptr, true);
    subtour_lp_add_cuts(&second, first.cuts);
    subtour_lp_set_basis(&second, subtour_lp_basis(&first));
    EXPECT_NEAR(subtour_lp_trial(&second, 0), subtour_lp_objective(&first), 1e-6) << "seed " << seed;
    subtour_lp_destroy(&first);
    subtour_lp_destroy(&second);
  }
}

// Two groups, {0, 1, 2} and {3, 4, 5}, joined only by the arcs 2 -> 3 and 5 -> 0: no tour
// starts 0 -> 2, yet every point of the completion from 2 has an arc to take. Only the LP,
// infeasible with its cut around the first group, sees it, and its bound must show it.
TEST(ExactBound, AnInfeasibleRelaxationDropsItsPath) {
  const int n = 6;
  std::vector<uint8_t> allowed(n * n, 0);
  std::vector<int64_t> cost(n * n, 0);
  std::vector<int64_t> scaled(n * n, 0);
  int64_t most_expensive_tour = 0;
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      const bool joining = (i == 2 && j == 3) || (i == 5 && j == 0);
      allowed[i * n + j] = i != j && ((i < 3) == (j < 3) || joining);
      cost[i * n + j] = 1 + (i * 7 + j * 3) % 5;
      scaled[i * n + j] = SCALE * cost[i * n + j];
    }
    most_expensive_tour += SCALE * 5;
  }
  SubtourLp lp;
  subtour_lp_create(&lp, n, cost.data(), arcs_of(allowed));
  LpCut first_group{{1, 1, 1, 0, 0, 0}, {}};
  subtour_lp_add_cuts(&lp, {first_group});
  subtour_lp_fix_arc(&lp, 0, 2, true);
  EXPECT_FALSE(subtour_lp_solve(&lp));
  ExactDuals duals;
  exact_duals_from_lp(&duals, &lp, scaled.data(), SCALE);
  subtour_lp_destroy(&lp);
  const std::vector<uint8_t> remaining{0, 1, 0, 1, 1, 1};
  const __int128 completion = completion_bound(&duals, allowed.data(), 2, remaining.data());
  ASSERT_NE(completion, NO_COMPLETION);
  EXPECT_TRUE(duals.base + duals.weight[0 * n + 2] + completion > most_expensive_tour);
}

TEST(GoodTour, PatchedCyclesMakeOneTourOfEveryPoint) {
  const Problem problem = random_problem(9, 1, 50, 3, false);
  // Three cycles: 0 1 2, 3 4 5, 6 7 8.
  std::vector<int> successor{1, 2, 0, 4, 5, 3, 7, 8, 6};
  std::vector<int> order = patch_cycles(9, problem.cost.data(), successor);
  ASSERT_EQ(order.size(), 9u);
  EXPECT_EQ(order[0], 0);
  std::sort(order.begin(), order.end());
  for (int p = 0; p < 9; ++p) EXPECT_EQ(order[p], p);
}

}  // namespace
