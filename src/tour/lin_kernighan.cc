// Chained Lin-Kernighan local search over a table of costs; see lin_kernighan.h for the design.
#include "tour/lin_kernighan.h"

#include <algorithm>
#include <cstddef>
#include <numeric>
#include <utility>

#include "tour/chained_search.h"

namespace {

using chained_search::CANDIDATES;

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

std::vector<int> lin_kernighan_tour(int n, const int64_t* cost, std::vector<int> start,
                                    const LocalSearchOptions& options) {
  if (!chained_search::is_tour(n, start)) start = greedy_tour(n, cost);
  if (n < 5) return start;  // every tour of four points is one of three: nothing to gain
  const int count = std::min(CANDIDATES, n - 1);
  std::vector<int> neighbour = cheapest_partners(n, cost, count, options.stop);
  if (neighbour.empty()) return start;
  return chained_search::chained_search(n, TableCosts{n, cost}, std::move(neighbour), count,
                                        start, options, n <= GLOBAL_KICKS_MOST);
}
