// Chained Lin-Kernighan local search over a table of costs; see lin_kernighan.h for the design.
#include "tour/lin_kernighan.h"

#include <algorithm>
#include <cstddef>
#include <numeric>
#include <utility>

#include "tour/alpha_nearness.h"
#include "tour/chained_search.h"

namespace {

using chained_search::CANDIDATES;

// Rounds of the ascent behind the alpha-nearness, at most, and the weights it may look at in
// all (n^2 a round): 50 rounds bring pr1002's 1-tree within 1 % of the optimum, 10 rounds
// only within 10 %, which still ranks the partners better than their costs alone.
constexpr int ALPHA_ROUNDS = 50;
constexpr double ALPHA_WORK = 2e8;
constexpr int ALPHA_FEWEST_ROUNDS = 5;
// Past this many points the partners are the cheapest: the ascent's few rounds there cost
// more than they bring within a second (after 1 s, fnl4461 1.0 % above the optimum with them,
// 0.61 % without; pcb3038 0.60 % and 0.47 %; pr2392 0.19 % and 0.43 %).
constexpr int ALPHA_MOST_POINTS = 2500;

// Above this many points the kicks stay local: a double bridge between random points costs
// two long reversals and is rarely kept.
constexpr int GLOBAL_KICKS_MOST = 5000;

struct TableCosts {
  int n = 0;
  const int64_t* cost = nullptr;
  int64_t operator()(int a, int b) const { return cost[static_cast<size_t>(a) * n + b]; }
};

// Each point's cheapest partners, the lowest points among equals; empty when stop (asked every
// 64 points) came first.
std::vector<int> cheapest_partners(int n, const int64_t* cost, int count, bool (*stop)()) {
  std::vector<int> partners(static_cast<size_t>(n) * count);
  std::vector<std::pair<int64_t, int>> row;
  for (int p = 0; p < n; ++p) {
    if ((p & 63) == 0 && stop && stop()) return {};
    row.clear();
    for (int q = 0; q < n; ++q) {
      if (q != p) row.push_back({cost[static_cast<size_t>(p) * n + q], q});
    }
    std::partial_sort(row.begin(), row.begin() + count, row.end());
    for (int k = 0; k < count; ++k) partners[static_cast<size_t>(p) * count + k] = row[k].second;
  }
  return partners;
}

}  // namespace

std::vector<int> greedy_tour(int n, const int64_t* cost) {
  if (n <= 3) {
    std::vector<int> order(n);
    std::iota(order.begin(), order.end(), 0);
    return order;
  }
  const int count = std::min(CANDIDATES, n - 1);
  return chained_search::greedy_order(n, TableCosts{n, cost},
                                      cheapest_partners(n, cost, count, nullptr), count);
}

std::vector<int> lin_kernighan_candidates(int n, const int64_t* cost,
                                          const std::vector<int>& tour, bool (*stop)()) {
  const double square = static_cast<double>(n) * n;
  if (n > ALPHA_MOST_POINTS) return cheapest_partners(n, cost, std::min(CANDIDATES, n - 1), stop);
  const int rounds = static_cast<int>(
      std::clamp(ALPHA_WORK / square, static_cast<double>(ALPHA_FEWEST_ROUNDS),
                 static_cast<double>(ALPHA_ROUNDS)));
  return alpha_nearest(n, cost, std::min(CANDIDATES, n - 1),
                       chained_search::order_cost(TableCosts{n, cost}, tour), rounds, stop);
}

std::vector<int> lin_kernighan_tour(int n, const int64_t* cost, std::vector<int> start,
                                    const LocalSearchOptions& options) {
  if (!chained_search::is_tour(n, start)) start = greedy_tour(n, cost);
  if (n < 5) return start;  // every tour of four points is one of three: nothing to gain
  const int count = std::min(CANDIDATES, n - 1);
  std::vector<int> neighbour;
  if (options.candidates && !options.candidates->empty()) {
    neighbour = *options.candidates;
  } else {
    neighbour = lin_kernighan_candidates(n, cost, start, options.stop);
  }
  if (neighbour.empty()) return start;
  return chained_search::chained_search(n, TableCosts{n, cost}, std::move(neighbour), count,
                                        start, options, n <= GLOBAL_KICKS_MOST);
}
