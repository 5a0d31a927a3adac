// Alpha-nearness against its definition: with no ascent (every penalty zero), alpha(i, j) is
// how much the minimum 1-tree grows when it must hold the edge (i, j), found here by brute
// force (Kruskal's method with the edge taken first).
#include "tour/alpha_nearness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

struct Table {
  int n;
  std::vector<int64_t> cost;
  int64_t at(int a, int b) const { return cost[static_cast<size_t>(a) * n + b]; }
};

// Points at random in a square of the given side; with twin, point 0 one unit from point 1.
Table plane(int n, uint64_t seed, int spread, bool twin = false) {
  std::mt19937_64 random(seed);
  std::vector<std::pair<double, double>> points;
  for (int p = 0; p < n; ++p) points.push_back({double(random() % spread), double(random() % spread)});
  if (twin) points[0] = {points[1].first + 1, points[1].second};
  Table t{n, std::vector<int64_t>(static_cast<size_t>(n) * n, 0)};
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      t.cost[static_cast<size_t>(i) * n + j] = static_cast<int64_t>(
          std::hypot(points[i].first - points[j].first, points[i].second - points[j].second) + 0.5);
    }
  }
  return t;
}

Table random_symmetric(int n, uint64_t seed, int most) {
  std::mt19937_64 random(seed);
  Table t{n, std::vector<int64_t>(static_cast<size_t>(n) * n, 0)};
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < i; ++j) {
      t.cost[static_cast<size_t>(i) * n + j] = t.cost[static_cast<size_t>(j) * n + i] =
          static_cast<int64_t>(random() % most);
    }
  }
  return t;
}

// The least spanning tree of 1..n-1 that holds (a, b) when a > 0 (all of them when a < 0).
int64_t tree_with(const Table& t, int a, int b) {
  std::vector<std::tuple<int64_t, int, int>> edges;
  for (int i = 1; i < t.n; ++i) {
    for (int j = i + 1; j < t.n; ++j) edges.push_back({t.at(i, j), i, j});
  }
  std::sort(edges.begin(), edges.end());
  std::vector<int> part(t.n);
  std::iota(part.begin(), part.end(), 0);
  auto root = [&](int p) {
    while (part[p] != p) p = part[p];
    return p;
  };
  int64_t length = 0;
  if (a > 0) {
    length += t.at(a, b);
    part[root(a)] = root(b);
  }
  for (const auto& [c, i, j] : edges) {
    if (root(i) != root(j)) {
      length += c;
      part[root(i)] = root(j);
    }
  }
  return length;
}

// Each point's count partners of least alpha by the definition: the least 1-tree that holds
// the edge, less the least 1-tree (the cheaper, then the lower point, among equals).
std::vector<int> brute_force(const Table& t, int count) {
  const int n = t.n;
  std::vector<int64_t> zero_edges;
  for (int j = 1; j < n; ++j) zero_edges.push_back(t.at(0, j));
  std::sort(zero_edges.begin(), zero_edges.end());
  const int64_t least = tree_with(t, -1, -1) + zero_edges[0] + zero_edges[1];
  auto with_edge = [&](int i, int j) {
    if (i > j) std::swap(i, j);
    if (i > 0) return tree_with(t, i, j) + zero_edges[0] + zero_edges[1];
    // Point 0 keeps (0, j) and the cheapest of its other edges.
    const int64_t other = t.at(0, j) == zero_edges[0] ? zero_edges[1] : zero_edges[0];
    return tree_with(t, -1, -1) + t.at(0, j) + other;
  };
  std::vector<int> partners;
  for (int i = 0; i < n; ++i) {
    std::vector<std::tuple<int64_t, int64_t, int>> row;
    for (int j = 0; j < n; ++j) {
      if (j != i) row.push_back({with_edge(i, j) - least, t.at(i, j), j});
    }
    std::sort(row.begin(), row.end());
    for (int k = 0; k < count; ++k) partners.push_back(std::get<2>(row[k]));
  }
  return partners;
}

TEST(AlphaNearness, TheGrowthOfTheLeastOneTreeThatHoldsTheEdge) {
  const struct {
    const char* name;
    Table table;
  } cases[] = {
      {"plane, 6 points", plane(6, 1, 1000)},
      {"plane, 40 points", plane(40, 2, 1000)},
      {"plane, 60 points on a small grid (ties)", plane(60, 3, 8)},
      {"plane, 40 points, point 0 beside point 1", plane(40, 6, 1000, true)},
      {"random costs, 25 points", random_symmetric(25, 4, 1000)},
      {"three cost values, 30 points", random_symmetric(30, 5, 3)},
      {"one spot", Table{12, std::vector<int64_t>(144, 0)}},
  };
  for (const auto& c : cases) {
    const int count = std::min(8, c.table.n - 1);
    EXPECT_EQ(alpha_nearest(c.table.n, c.table.cost.data(), count, 0, 0, nullptr),
              brute_force(c.table, count))
        << c.name;
  }
}

TEST(AlphaNearness, TheAscentKeepsEveryPointsListAListOfOthersAndAStopEndsIt) {
  const Table t = plane(200, 7, 100000);
  const std::vector<int> partners = alpha_nearest(t.n, t.cost.data(), 8, INT64_C(2000000), 50, nullptr);
  ASSERT_EQ(partners.size(), size_t{200 * 8});
  for (int p = 0; p < t.n; ++p) {
    std::vector<int> own(partners.begin() + p * 8, partners.begin() + p * 8 + 8);
    std::sort(own.begin(), own.end());
    EXPECT_TRUE(std::adjacent_find(own.begin(), own.end()) == own.end()) << p;
    for (int q : own) EXPECT_TRUE(q >= 0 && q < t.n && q != p) << p;
  }
  EXPECT_TRUE(alpha_nearest(t.n, t.cost.data(), 8, INT64_C(2000000), 50, [] { return true; }).empty());
  // Costs near 2^40 either way and a far tour: wide steps, whose sums must not overflow.
  const int n = 300;
  std::vector<int64_t> costs(static_cast<size_t>(n) * n, 0);
  std::mt19937_64 random(9);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < i; ++j) {
      costs[static_cast<size_t>(i) * n + j] = costs[static_cast<size_t>(j) * n + i] =
          static_cast<int64_t>(random() % (uint64_t{1} << 41)) - (int64_t{1} << 40) + 1;
    }
  }
  EXPECT_EQ(alpha_nearest(n, costs.data(), 8, INT64_C(1) << 50, 50, nullptr).size(), size_t{n * 8});
}

}  // namespace
