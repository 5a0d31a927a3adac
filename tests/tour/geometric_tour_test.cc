// The search without a table of costs: the nearest points as every distance has them, the
// costs as the importer's table has them, a lower bound never above the optimum, and tours
// of every shape of instance.
#include "tour/geometric_tour.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "solver/solve_problem.h"
#include "tour/chained_search.h"
#include "tour/neighbours.h"
#include "tour/one_tree_bound.h"

namespace {

std::string data_path(const std::string& relative) {
  return std::string(TOURPLAN_TEST_DATA) + "/" + relative;
}

Problem read_instance(const std::string& path, int64_t most_table_points) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  Problem problem;
  ImportError error;
  EXPECT_TRUE(parse_tsplib(text.str(), &problem, &error, most_table_points,
                           MAX_POINTS_WITHOUT_TABLE))
      << path << ": " << error.message;
  return problem;
}

// Points in the plane as an EUC_2D instance read without its table.
Problem plane(const std::vector<Point>& points) {
  Problem problem;
  problem.dimension = static_cast<int64_t>(points.size());
  problem.points = points;
  problem.distance = euc_2d_distance;
  problem.geometry = GEOMETRY_PLANE;
  return problem;
}

// Every shape that trips a search of the nearest points or a local search.
struct Shape {
  const char* name;
  std::vector<Point> (*make)(int n);
};
const Shape SHAPES[] = {
    {"uniform", [](int n) {
       std::mt19937_64 random(n);
       std::vector<Point> points;
       for (int p = 0; p < n; ++p) points.push_back({double(random() % 100000), double(random() % 100000)});
       return points;
     }},
    {"one spot", [](int n) { return std::vector<Point>(n, Point{7, 7}); }},
    {"a line", [](int n) {
       std::vector<Point> points;
       for (int p = 0; p < n; ++p) points.push_back({double((p * 7919) % n), 0});
       return points;
     }},
    {"two clusters", [](int n) {
       std::mt19937_64 random(n);
       std::vector<Point> points;
       for (int p = 0; p < n; ++p) {
         points.push_back({double(random() % 100) + (p % 2) * 1e7, double(random() % 100)});
       }
       return points;
     }},
    {"a grid", [](int n) {  // ties everywhere
       std::vector<Point> points;
       const int side = static_cast<int>(std::ceil(std::sqrt(n)));
       for (int p = 0; p < n; ++p) points.push_back({double(p % side) * 10, double(p / side) * 10});
       return points;
     }},
};

double distance(const Site& a, const Site& b) {
  return std::sqrt((a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y) + (a.z - b.z) * (a.z - b.z));
}

TEST(CoordinateSearch, TheNearestPointsAreNearerThanEveryOtherPoint) {
  for (const Shape& shape : SHAPES) {
    for (int n : {2, 9, 300, 1500}) {
      std::vector<Site> sites;
      for (const Point& p : shape.make(n)) sites.push_back({p.x, p.y, (p.x * 7 + p.y) / 3});
      for (const bool space : {false, true}) {
        if (!space) for (Site& s : sites) s.z = 0;
        const int count = std::min(8, n - 1);
        const std::vector<int> neighbour = nearest_neighbours(sites, count);
        for (int p = 0; p < n; ++p) {
          const int* listed = &neighbour[static_cast<size_t>(p) * count];
          const std::string what = std::string(shape.name) + ", n = " + std::to_string(n) +
                                   ", point " + std::to_string(p);
          std::vector<int> sorted(listed, listed + count);
          std::sort(sorted.begin(), sorted.end());
          ASSERT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << what;
          ASSERT_FALSE(std::binary_search(sorted.begin(), sorted.end(), p)) << what;
          for (int k = 1; k < count; ++k) {
            ASSERT_LE(distance(sites[p], sites[listed[k - 1]]), distance(sites[p], sites[listed[k]]))
                << what;
          }
          const double farthest = distance(sites[p], sites[listed[count - 1]]);
          for (int q = 0; q < n; ++q) {
            if (q == p || std::binary_search(sorted.begin(), sorted.end(), q)) continue;
            ASSERT_GE(distance(sites[p], sites[q]), farthest) << what << ", " << q;
          }
        }
      }
    }
  }
}

TEST(CoordinateSearch, TheNearestOfAnotherGroupIsALowerBoundWithinItsMargin) {
  for (const Shape& shape : SHAPES) {
    const int n = 400;
    std::vector<Site> sites;
    for (const Point& p : shape.make(n)) sites.push_back({p.x, p.y, 0});
    std::mt19937_64 random(7);
    std::vector<double> weight(n);
    for (double& w : weight) w = double(random() % 20001) - 10000;
    std::vector<int> group(n);
    for (int& g : group) g = static_cast<int>(random() % 3);
    const int count = 5, skip = 17;
    const std::vector<int> listed = nearest_neighbours(sites, count);
    WeightedNearest found;
    const std::vector<double> limit(n, INFINITY);
    ASSERT_TRUE(nearest_of_other_groups(sites, 3.0, weight, group, listed, count, skip, limit,
                                        nullptr, &found));
    for (int p = 0; p < n; ++p) {
      if (p == skip) continue;
      double exact = INFINITY;
      for (int q = 0; q < n; ++q) {
        const int* own = &listed[static_cast<size_t>(p) * count];
        if (q == skip || group[q] == group[p] || std::find(own, own + count, q) != own + count) {
          continue;
        }
        exact = std::min(exact, 3.0 * distance(sites[p], sites[q]) + weight[q]);
      }
      const std::string what = std::string(shape.name) + " " + std::to_string(p);
      ASSERT_GE(found.partner[p], 0) << what;
      EXPECT_NE(group[found.partner[p]], group[p]) << what;
      EXPECT_LE(found.value[p], exact) << what;
      EXPECT_GE(found.value[p], exact - 1.0 - 1e-6 * std::fabs(exact)) << what;
    }
  }
}

// Every coordinate instance bundled: the raw GEO ones of the tests, the bench's EUC_2D and ATT.
const char* const COORDINATE_INSTANCES[] = {
    "tsplib/raw/burma14.tsp",       "tsplib/raw/ulysses16.tsp",     "tsplib/raw/ulysses22.tsp",
    "../../bench/tsplib/att48.tsp", "../../bench/tsplib/eil51.tsp", "../../bench/tsplib/berlin52.tsp",
    "../../bench/tsplib/st70.tsp",  "../../bench/tsplib/eil76.tsp", "../../bench/tsplib/pr76.tsp",
    "../../bench/tsplib/rat99.tsp", "../../bench/tsplib/kroA100.tsp", "../../bench/tsplib/rd100.tsp",
    "../../bench/tsplib/eil101.tsp", "../../bench/tsplib/lin105.tsp", "../../bench/tsplib/ch130.tsp",
    "../../bench/tsplib/ch150.tsp",
};
const int64_t OPTIMA[] = {3323, 6859, 7013, 10628, 426, 7542, 675, 538, 108159,
                          1211, 21282, 7910, 629, 14379, 6110, 6528};

TEST(CoordinateSearch, TheCostsAreTheTablesCosts) {
  for (const char* file : COORDINATE_INSTANCES) {
    const Problem table = read_instance(data_path(file), MAX_DIMENSION);
    const Problem points = read_instance(data_path(file), 0);
    ASSERT_TRUE(points.costs.empty()) << file;
    ASSERT_NE(points.geometry, GEOMETRY_NONE) << file;
    const int n = static_cast<int>(table.dimension);
    const CoordinateCosts cost{points.points.data(), points.distance};
    for (int r = 0; r < n; ++r) {
      for (int c = 0; c < n; ++c) {
        if (r != c) {
          ASSERT_EQ(cost(r, c), table.costs[static_cast<size_t>(r) * n + c]) << file;
        }
      }
    }
  }
}

// Clusters of each points in squares of side spread, their corners apart by gap (wider for
// some seeds) across and 0.7 gap down.
std::vector<Point> clustered(int clusters, int each, int spread, double gap, int seed) {
  std::mt19937_64 random(seed * 10 + clusters);
  std::vector<Point> points;
  for (int p = 0; p < each * clusters; ++p) {
    points.push_back({double(random() % spread) + (p % clusters) * gap * (1 + seed % 3),
                      double(random() % spread) + (p % clusters) * gap * 0.7});
  }
  return points;
}

int64_t bound_of(const Problem& problem, int64_t upper, int rounds = 1000) {
  const int n = static_cast<int>(problem.dimension);
  const int count = std::min(8, n - 1);
  const std::vector<Site> sites = coordinate_sites(problem);
  OneTreeOptions options;
  options.upper = upper;
  options.most_rounds = rounds;
  options.sites = &sites;
  options.cost_per_distance = cost_per_distance(problem);
  return one_tree_bound(n, {problem.points.data(), problem.distance},
                        coordinate_neighbours(problem, count, nullptr), count, options);
}

TEST(CoordinateSearch, TheBoundIsNeverAboveTheOptimum) {
  for (size_t k = 0; k < std::size(COORDINATE_INSTANCES); ++k) {
    const Problem problem = read_instance(data_path(COORDINATE_INSTANCES[k]), 0);
    const int64_t bound = bound_of(problem, OPTIMA[k] + OPTIMA[k] / 20);
    EXPECT_LE(bound, OPTIMA[k]) << COORDINATE_INSTANCES[k];
    EXPECT_GE(bound, OPTIMA[k] * 90 / 100) << COORDINATE_INSTANCES[k];  // a bound worth having
  }
  // Clusters whose nearest points lie all in their own cluster, so that the tree must take
  // edges no list holds; the optimum from the exact engines.
  // At most 22 points: the exact engines fill every subset, quickly under any sanitizer.
  for (int clusters : {2}) {
    for (int seed = 0; seed < 12; ++seed) {
      const std::vector<Point> points = clustered(clusters, 11, 30, 1000.0, seed);
      const Problem problem = plane(points);
      const int n = static_cast<int>(points.size());
      std::vector<int64_t> costs(static_cast<size_t>(n) * n, 0);
      for (int r = 0; r < n; ++r) {
        for (int c = 0; c < n; ++c) {
          if (r != c) costs[static_cast<size_t>(r) * n + c] = static_cast<int64_t>(euc_2d_distance(points[r], points[c]));
        }
      }
      const SolveResult optimum = solve_problem(n, costs.data(), {});
      ASSERT_EQ(optimum.status, SOLVE_DONE);
      EXPECT_LE(bound_of(problem, static_cast<int64_t>(optimum.cost) * 2),
                static_cast<int64_t>(optimum.cost))
          << clusters << " clusters, seed " << seed;
    }
  }
}

// The minimum 1-tree over every pair of points: a spanning tree on 1..n-1 (Prim's method over
// the whole matrix) and point 0's two cheapest edges.
int64_t exact_one_tree(const Problem& problem) {
  const int n = static_cast<int>(problem.dimension);
  const CoordinateCosts cost{problem.points.data(), problem.distance};
  std::vector<int64_t> link(n, INT64_MAX);
  std::vector<bool> in(n, false);
  int64_t total = 0;
  link[1] = 0;
  for (int step = 1; step < n; ++step) {
    int next = -1;
    for (int p = 1; p < n; ++p) {
      if (!in[p] && (next < 0 || link[p] < link[next])) next = p;
    }
    in[next] = true;
    total += link[next];
    for (int p = 1; p < n; ++p) {
      if (!in[p]) link[p] = std::min(link[p], cost(next, p));
    }
  }
  std::vector<int64_t> from_zero;
  for (int p = 1; p < n; ++p) from_zero.push_back(cost(0, p));
  std::sort(from_zero.begin(), from_zero.end());
  return total + from_zero[0] + from_zero[1];
}

TEST(CoordinateSearch, TheFirstBoundIsTheOneTreeOverEveryPair) {
  // Clusters far apart: their nearest points lie inside, so the tree's links between them are
  // no candidates and come from the search by distance (each within a unit or two).
  for (int clusters : {2, 3, 5}) {
    for (int seed = 0; seed < 4; ++seed) {
      const Problem problem = plane(clustered(clusters, 30, 500, 5000.0, seed));
      const int64_t exact = exact_one_tree(problem);
      const int64_t bound = bound_of(problem, exact * 2, 1);
      EXPECT_LE(bound, exact) << clusters << " clusters, seed " << seed;
      EXPECT_GE(bound, exact - 2 * clusters) << clusters << " clusters, seed " << seed;
    }
  }
}

int64_t order_cost(const Problem& problem, const std::vector<int>& order) {
  const CoordinateCosts cost{problem.points.data(), problem.distance};
  int64_t total = 0;
  for (size_t t = 0; t < order.size(); ++t) total += cost(order[t], order[(t + 1) % order.size()]);
  return total;
}

TEST(CoordinateSearch, ASoundTourOfEveryShapeAndTheSameForTheSameSeed) {
  for (const Shape& shape : SHAPES) {
    for (int n : {5, 6, 50, 700}) {
      const Problem problem = plane(shape.make(n));
      const std::string what = std::string(shape.name) + ", n = " + std::to_string(n);
      CoordinateSearchOptions options;
      options.search.kicks = 3 * int64_t{n};
      const CoordinateSearchResult found = coordinate_search(problem, options);
      ASSERT_EQ(static_cast<int>(found.order.size()), n) << what;
      EXPECT_EQ(found.order[0], 0) << what;
      std::vector<int> sorted = found.order;
      std::sort(sorted.begin(), sorted.end());
      for (int p = 0; p < n; ++p) ASSERT_EQ(sorted[p], p) << what;
      EXPECT_EQ(found.cost, order_cost(problem, found.order)) << what;
      const int count = std::min(8, n - 1);
      const CoordinateCosts cost{problem.points.data(), problem.distance};
      const std::vector<int> greedy = chained_search::greedy_order(
          n, cost, coordinate_neighbours(problem, count, nullptr), count);
      EXPECT_LE(found.cost, order_cost(problem, greedy)) << what;
      ASSERT_TRUE(found.has_bound) << what;
      EXPECT_LE(found.lower_bound, found.cost) << what;
      EXPECT_EQ(coordinate_search(problem, options).order, found.order) << what;
    }
  }
}

}  // namespace
