#include "support/problems.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>

#ifndef TOURPLAN_TEST_DATA
#error "TOURPLAN_TEST_DATA must name the test data folder"
#endif

Costs random_costs(int n, int64_t low, int64_t high, uint64_t seed) {
  std::mt19937_64 generator(seed);
  std::uniform_int_distribution<int64_t> pick(low, high);
  Costs costs(n, std::vector<int64_t>(n));
  for (auto& row : costs) {
    for (auto& cell : row) cell = pick(generator);
  }
  return costs;
}

DistanceMatrix make_matrix(const Costs& costs) {
  DistanceMatrix matrix{};
  const int64_t n = static_cast<int64_t>(costs.size());
  EXPECT_EQ(create_table_2d(&matrix.block, 1, n, 1, n, sizeof(int64_t)), 0);
  matrix.n = n;
  matrix.cells = static_cast<int64_t*>(matrix.block.cells);
  for (int64_t r = 0; r < n; ++r) {
    for (int64_t c = 0; c < n; ++c) matrix.cells[r * n + c] = costs[r][c];
  }
  return matrix;
}

void release_matrix(DistanceMatrix* matrix) { free_table(&matrix->block); }

std::vector<int64_t> solve(const Costs& costs, std::string* console) {
  DistanceMatrix matrix = make_matrix(costs);
  const int64_t n = matrix.n;
  Tour tour{};
  EXPECT_EQ(create_table(&tour.block, 0, n, sizeof(int64_t)), 0);
  tour.n = n;
  tour.points = static_cast<int64_t*>(tour.block.cells);
  fflush(stdout);
  testing::internal::CaptureStdout();
  solve_tour(n, 1, &matrix, &tour);
  fflush(stdout);
  std::string printed = testing::internal::GetCapturedStdout();
  if (console) *console = printed;
  std::vector<int64_t> points(tour.points, tour.points + n + 1);
  free_table(&tour.block);
  release_matrix(&matrix);
  return points;
}

int64_t tour_cost(const Costs& costs, const std::vector<int64_t>& tour) {
  int64_t total = 0;
  for (size_t i = 0; i + 1 < tour.size(); ++i) total += costs[tour[i] - 1][tour[i + 1] - 1];
  return total;
}

int64_t brute_force_cost(const Costs& costs) {
  const int n = static_cast<int>(costs.size());
  std::vector<int64_t> order;
  for (int p = 2; p <= n; ++p) order.push_back(p);
  int64_t best = INT64_MAX;
  do {
    std::vector<int64_t> tour = {1};
    tour.insert(tour.end(), order.begin(), order.end());
    tour.push_back(1);
    best = std::min(best, tour_cost(costs, tour));
  } while (std::next_permutation(order.begin(), order.end()));
  return best;
}

std::vector<int64_t> brute_force_tour(const Costs& costs) {
  const int n = static_cast<int>(costs.size());
  std::vector<int64_t> order;
  for (int p = 2; p <= n; ++p) order.push_back(p);
  std::vector<int64_t> best_tour;
  PathCost best = 0;
  do {  // in lexicographic order, so the first strict minimum is the first optimal tour
    std::vector<int64_t> tour = {1};
    tour.insert(tour.end(), order.begin(), order.end());
    tour.push_back(1);
    PathCost total = 0;
    for (size_t i = 0; i + 1 < tour.size(); ++i) total += costs[tour[i] - 1][tour[i + 1] - 1];
    if (best_tour.empty() || total < best) {
      best = total;
      best_tour = tour;
    }
  } while (std::next_permutation(order.begin(), order.end()));
  return best_tour;
}

const PublicInstance PUBLIC_INSTANCES[] = {
    {"burma14.dat", 14, 3323}, {"ulysses16.dat", 16, 6859}, {"br17.dat", 17, 39},
    {"gr17.dat", 17, 2085},    {"gr21.dat", 21, 2707},      {"ulysses22.dat", 22, 7013},
    {"gr24.dat", 24, 1272},    {"fri26.dat", 26, 937},      {"bayg29.dat", 29, 1610},
    {"bays29.dat", 29, 2020},
};
const int PUBLIC_INSTANCE_COUNT = sizeof PUBLIC_INSTANCES / sizeof PUBLIC_INSTANCES[0];

std::string public_instance_path(const char* file) {
  return std::string(TOURPLAN_TEST_DATA) + "/tsplib/" + file;
}

Costs load_instance(const std::string& path) {
  std::ifstream in(path);
  int n = 0;
  in >> n;
  Costs costs(n, std::vector<int64_t>(n));
  for (auto& row : costs) {
    for (auto& cell : row) in >> cell;
  }
  EXPECT_TRUE(in) << path;
  return costs;
}
