// Blossoms and combs: their structure, and every cut each separator finds holds for every tour.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "bounds/blossoms.h"
#include "bounds/combs.h"
#include "bounds/subtour_lp.h"

namespace {

LpCut cut_of(int n, const std::vector<int>& handle, const std::vector<std::vector<int>>& teeth) {
  LpCut cut{std::vector<uint8_t>(n, 0), teeth};
  for (int p : handle) cut.side[p] = 1;
  return cut;
}

TEST(Blossoms, StructureAsTheInequalityNeedsIt) {
  const struct {
    const char* name;
    int n;
    std::vector<int> handle;
    std::vector<std::vector<int>> teeth;
    bool comb;
  } rows[] = {
      {"three teeth", 8, {0, 1, 2}, {{0, 3}, {1, 4}, {2, 5}}, true},
      {"teeth of paths", 10, {0, 1, 2}, {{0, 3, 6}, {1, 4, 7}, {2, 5}}, true},
      {"a tooth of two inside", 10, {0, 1, 2, 3}, {{0, 3, 6}, {1, 4}, {2, 5}}, true},
      {"paths that meet", 10, {0, 1, 2}, {{0, 3, 6}, {1, 6}, {2, 5}}, false},
      {"a tooth out of order", 10, {0, 1, 2}, {{0, 6, 3}, {1, 4}, {2, 5}}, false},
      {"five teeth", 12, {0, 1, 2, 3, 4}, {{0, 5}, {1, 6}, {2, 7}, {3, 8}, {4, 9}}, true},
      {"even teeth", 8, {0, 1, 2}, {{0, 3}, {1, 4}}, false},
      {"one tooth", 8, {0, 1, 2}, {{0, 3}}, false},
      {"teeth meet outside", 8, {0, 1, 2}, {{0, 3}, {1, 3}, {2, 5}}, false},
      {"teeth meet inside", 8, {0, 1, 2}, {{0, 3}, {0, 4}, {2, 5}}, false},
      {"tooth inside the handle", 8, {0, 1, 2, 3}, {{0, 3}, {1, 4}, {2, 5}}, false},
      {"tooth outside the handle", 8, {0, 1, 2}, {{6, 3}, {1, 4}, {2, 5}}, false},
      {"tooth turned", 8, {0, 1, 2}, {{3, 0}, {1, 4}, {2, 5}}, false},
      {"handle of two", 8, {0, 1}, {{0, 3}, {1, 4}, {1, 5}}, false},
      {"too little outside", 6, {0, 1, 2, 3}, {{0, 4}, {1, 5}, {2, 6}}, false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(is_comb(cut_of(row.n, row.handle, row.teeth)), row.comb) << row.name;
  }
}

CapacityGraph graph_of(int n, const std::vector<std::tuple<int, int, double>>& edges) {
  CapacityGraph graph(n);
  for (const auto& [p, q, x] : edges) {
    graph[p].push_back({q, x});
    graph[q].push_back({p, x});
  }
  for (auto& row : graph) std::sort(row.begin(), row.end());
  return graph;
}

// Two triangles joined by three edges, the first of them fractional: the fractional edges
// make one component of every point, so the heuristic has no handle; the cut tree finds
// the triangle {0, 1, 2}: 1.6 inside, 2.8 in the teeth, against 3 + 1.
TEST(Blossoms, TheCutTreeFindsWhatTheComponentsMiss) {
  const CapacityGraph graph = graph_of(6, {{0, 1, 0.6}, {0, 2, 0.6}, {1, 2, 0.4}, {3, 4, 0.6},
                                          {3, 5, 0.6}, {4, 5, 0.4}, {0, 3, 0.8}, {1, 4, 1.0},
                                          {2, 5, 1.0}});
  EXPECT_TRUE(blossoms_by_components(graph, 10).empty());
  // Handles of 3 points need 3 outside: 6 points just do.
  const std::vector<LpCut> found = blossoms_by_cut_tree(graph, 10);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_TRUE(is_comb(found[0]));
  EXPECT_NEAR(comb_violation(graph, found[0]), 0.4, 1e-9);
  // With the joining edges whole, the heuristic sees the two triangles.
  const CapacityGraph whole = graph_of(6, {{0, 1, 0.5}, {0, 2, 0.5}, {1, 2, 0.5}, {3, 4, 0.5},
                                          {3, 5, 0.5}, {4, 5, 0.5}, {0, 3, 1.0}, {1, 4, 1.0},
                                          {2, 5, 1.0}});
  ASSERT_FALSE(blossoms_by_components(whole, 10).empty());
  EXPECT_NEAR(comb_violation(whole, blossoms_by_components(whole, 10)[0]), 0.5, 1e-9);
}

// x_T(E(H)) + sum x_T(E(T_i)) - |H| - sum (|T_i| - 1) + (k + 1) / 2 for the tour order (a
// cycle), counted here apart from the solver's own bookkeeping.
int tour_excess(const LpCut& cut, const std::vector<int>& order) {
  const int n = static_cast<int>(order.size());
  int left = 0, right = -static_cast<int>((cut.teeth.size() + 1) / 2);
  for (uint8_t in : cut.side) right += in;
  for (const std::vector<int>& tooth : cut.teeth) right += static_cast<int>(tooth.size()) - 1;
  auto within = [](const std::vector<int>& tooth, int p) {
    return std::find(tooth.begin(), tooth.end(), p) != tooth.end();
  };
  for (int t = 0; t < n; ++t) {
    const int p = order[t], q = order[(t + 1) % n];
    if (cut.side[p] && cut.side[q]) ++left;
    for (const std::vector<int>& tooth : cut.teeth) left += within(tooth, p) && within(tooth, q);
  }
  return left - right;
}

// The relaxation of random problems with subtour cuts only (fractional, where blossoms
// live), every separator on its solution and the tightening of what they found: every cut
// is a comb, violated there, and no tour of the points violates it.
TEST(Blossoms, EveryCutFoundHoldsForEveryTour) {
  int cuts_checked = 0, combs_checked = 0, tightened_checked = 0, teethed_checked = 0;
  for (uint64_t seed = 1; seed <= 400; ++seed) {
    const int n = 8 + static_cast<int>(seed % 2);
    std::mt19937_64 random(seed);
    std::vector<int64_t> cost(static_cast<size_t>(n) * n, 0);
    // Points in a plane, rounded distances: the relaxation is often fractional there.
    std::vector<double> x(n), y(n);
    for (int p = 0; p < n; ++p) x[p] = random() % 100, y[p] = random() % 100;
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) {
        if (i != j) cost[i * n + j] = static_cast<int64_t>(std::hypot(x[i] - x[j], y[i] - y[j]) + 0.5);
      }
    }
    std::vector<int> arcs;
    for (int arc = 0; arc < n * n; ++arc) {
      if (arc / n != arc % n) arcs.push_back(arc);
    }
    SubtourLp lp;
    subtour_lp_create(&lp, n, cost.data(), arcs);
    subtour_lp_solve(&lp);
    while (subtour_lp_separate(&lp, 16, false) > 0) subtour_lp_solve(&lp);
    const CapacityGraph graph = support_graph(&lp);
    const std::vector<LpCut> subtour_cuts = lp.cuts;
    subtour_lp_destroy(&lp);
    std::vector<LpCut> cuts = blossoms_by_components(graph, 16);
    for (LpCut& cut : blossoms_by_cut_tree(graph, 16)) cuts.push_back(std::move(cut));
    for (bool tree : {false, true}) {
      for (LpCut& cut : combs_by_shrinking(graph, 16, tree)) {
        combs_checked += cut.teeth[0].size() + cut.teeth[1].size() + cut.teeth[2].size() > 6;
        cuts.push_back(std::move(cut));
      }
    }
    // Teething, with the handles of the subtour cuts and of what was found, and the light
    // subtour sets as teeth.
    std::vector<LpCut> handles = subtour_cuts;
    handles.insert(handles.end(), cuts.begin(), cuts.end());
    for (LpCut& cut : combs_by_teething(graph, handles, 16)) {
      ++teethed_checked;
      cuts.push_back(std::move(cut));
    }
    // Tightening, from each cut with a point moved into or out of its handle: the moves
    // back, and any others, must keep a comb.
    std::vector<LpCut> moved;
    for (const LpCut& cut : cuts) {
      for (int p = 0; p < n; ++p) {
        LpCut other = cut;
        other.side[p] ^= 1;
        if (is_comb(other)) moved.push_back(std::move(other));
      }
    }
    for (bool lookahead : {false, true}) {
      for (LpCut& cut : tighten_combs(graph, moved, 1e-3, lookahead)) {
        ++tightened_checked;
        cuts.push_back(std::move(cut));
      }
    }
    std::vector<int> order(n);
    for (const LpCut& cut : cuts) {
      ASSERT_TRUE(is_comb(cut)) << "seed " << seed;
      EXPECT_GT(comb_violation(graph, cut), 0) << "seed " << seed;
      // The LP's solution has degree 2 at every point: the boundary form's shortfall is
      // twice the violation of the form over the edges within the sets.
      EXPECT_NEAR(cut_shortfall(graph, cut), 2 * comb_violation(graph, cut), 1e-6) << "seed " << seed;
      std::iota(order.begin(), order.end(), 0);
      do {
        ASSERT_LE(tour_excess(cut, order), 0) << "seed " << seed;
      } while (std::next_permutation(order.begin() + 1, order.end()));
      ++cuts_checked;
    }
  }
  EXPECT_GT(cuts_checked, 5);  // the problems do give blossoms to check
  EXPECT_GT(combs_checked, 0);  // and combs with a tooth of three points or more
  EXPECT_GT(tightened_checked, 5);  // and tightened combs
  EXPECT_GT(teethed_checked, 0);  // and combs with teeth chosen afresh
}

}  // namespace
