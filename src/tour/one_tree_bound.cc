// The Held-Karp ascent; see one_tree_bound.h for why each round's value is a bound.
#include "tour/one_tree_bound.h"

#include "tour/neighbours.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numeric>

namespace {

constexpr int64_t SCALE = 100;
// An a_i for a point with every other point among its candidates: above any real weight
// (costs below 2^40, so S c + penalties stays below 2^48).
constexpr int64_t BEYOND = int64_t{1} << 58;
// Penalties stay within this, so that weights keep far from overflow.
constexpr int64_t MOST_PENALTY = int64_t{1} << 50;

int find_root(std::vector<int>& parent, int p) {
  while (parent[p] != p) {
    parent[p] = parent[parent[p]];
    p = parent[p];
  }
  return p;
}

__int128 ceiling_over_scale(__int128 value) {
  __int128 q = value / SCALE;
  if (q * SCALE < value) ++q;
  return q;
}

struct Ascent {
  int n = 0;
  const CoordinateCosts* cost = nullptr;
  std::vector<int> edge_a, edge_b;     // candidate edges among points 1..n-1, each once
  std::vector<int64_t> edge_cost;      // S c
  std::vector<int64_t> penalty;
  std::vector<int> degree;
  // Scratch of a round.
  std::vector<std::pair<int64_t, int>> edge_order, point_order;
  std::vector<int> parent;
};

int64_t point_zero(Ascent& a);

// The value of the minimum 1-tree under the penalties, less 2 sum pi (scaled by S), where
// every edge that is no candidate weighs max(join[i], join[j]), with every point's degree in
// it; false when stop came first.
bool one_tree(Ascent& a, const std::vector<int64_t>& join, bool (*stop)(), __int128* value) {
  const int n = a.n;
  const size_t m = a.edge_a.size();
  for (size_t e = 0; e < m; ++e) {
    a.edge_order[e] = {a.edge_cost[e] + a.penalty[a.edge_a[e]] + a.penalty[a.edge_b[e]],
                       static_cast<int>(e)};
  }
  for (int p = 1; p < n; ++p) a.point_order[p - 1] = {join[p], p};
  std::sort(a.edge_order.begin(), a.edge_order.end());
  if (stop && stop()) return false;
  std::sort(a.point_order.begin(), a.point_order.end());
  std::fill(a.degree.begin(), a.degree.end(), 0);
  std::iota(a.parent.begin(), a.parent.end(), 0);
  __int128 total = 0;
  int joined = 0;  // unions made: n - 2 span points 1..n-1
  int hub = -1;    // the first point joined by weight alone
  size_t e = 0, q = 0;
  while (joined < n - 2) {
    if ((e & 65535) == 65535 && stop && stop()) return false;
    const bool take_edge =
        e < m && (q == a.point_order.size() || a.edge_order[e].first <= a.point_order[q].first);
    if (take_edge) {
      const int k = a.edge_order[e++].second;
      const int x = a.edge_a[k], y = a.edge_b[k];
      const int rx = find_root(a.parent, x), ry = find_root(a.parent, y);
      if (rx == ry) continue;
      a.parent[rx] = ry;
      total += a.edge_order[e - 1].first;
      ++a.degree[x], ++a.degree[y];
      ++joined;
    } else {
      const auto [weight, p] = a.point_order[q++];
      if (hub < 0) {
        hub = p;
        continue;
      }
      const int rp = find_root(a.parent, p), rh = find_root(a.parent, hub);
      if (rp == rh) continue;
      a.parent[rp] = rh;
      total += weight;
      ++a.degree[p], ++a.degree[hub];  // a stand-in for the unknown partner
      ++joined;
    }
  }
  total += point_zero(a);
  __int128 penalties = 0;
  for (int p = 0; p < n; ++p) penalties += a.penalty[p];
  *value = total - 2 * penalties;
  return true;
}

// Point 0's two cheapest edges, over every point, counted in the degrees.
int64_t point_zero(Ascent& a) {
  const int n = a.n;
  int64_t first = INT64_MAX, second = INT64_MAX;
  int first_point = -1, second_point = -1;
  for (int p = 1; p < n; ++p) {
    const int64_t w = SCALE * (*a.cost)(0, p) + a.penalty[0] + a.penalty[p];
    if (w < first) {
      second = first, second_point = first_point;
      first = w, first_point = p;
    } else if (w < second) {
      second = w, second_point = p;
    }
  }
  a.degree[0] = 2;
  ++a.degree[first_point], ++a.degree[second_point];
  return first + second;
}

// The proven value for the penalties in hand (see the header): Boruvka's method over every pair
// of points 1..n-1, each pair weighing its exact w where it is a candidate edge and a lower
// bound from the distance otherwise, plus point 0's two edges, less 2 sum pi. In each round
// every part of the forest takes its cheapest edge out: over its candidate edges, and from a
// k-d tree search over the points of other parts. False when stop came first.
bool proven_value(Ascent& a, const std::vector<int>& neighbour, int count,
                  const OneTreeOptions& options, __int128* value) {
  const int n = a.n;
  const std::vector<double> weight(a.penalty.begin(), a.penalty.end());
  std::vector<int> group(n, 0);
  std::vector<double> limit(n);
  std::vector<int64_t> best(n);
  std::vector<int> best_a(n), best_b(n);
  std::iota(a.parent.begin(), a.parent.end(), 0);
  WeightedNearest found;
  __int128 total = 0;
  int parts = n - 1;
  auto offer = [&](int root, int64_t w, int x, int y) {
    if (w < best[root] || (w == best[root] && std::make_pair(std::min(x, y), std::max(x, y)) <
                                                  std::make_pair(std::min(best_a[root], best_b[root]),
                                                                 std::max(best_a[root], best_b[root])))) {
      best[root] = w;
      best_a[root] = x;
      best_b[root] = y;
    }
  };
  while (parts > 1) {
    std::fill(best.begin(), best.end(), INT64_MAX);
    for (int p = 1; p < n; ++p) group[p] = find_root(a.parent, p);
    for (size_t e = 0; e < a.edge_a.size(); ++e) {
      const int x = a.edge_a[e], y = a.edge_b[e];
      if (group[x] == group[y]) continue;
      const int64_t w = a.edge_cost[e] + a.penalty[x] + a.penalty[y];
      offer(group[x], w, x, y);
      offer(group[y], w, x, y);
    }
    // S c_pq + pi_q >= S f |s_p - s_q| - S + pi_q: worth a search only below the part's best.
    for (int p = 1; p < n; ++p) {
      const int64_t b = best[group[p]];
      limit[p] = b == INT64_MAX ? std::numeric_limits<double>::infinity()
                                : static_cast<double>(b - a.penalty[p] + SCALE) + 2.0;
    }
    if (!nearest_of_other_groups(*options.sites, SCALE * options.cost_per_distance, weight, group,
                                 neighbour, count, 0, limit, options.stop, &found)) {
      return false;
    }
    for (int p = 1; p < n; ++p) {
      if (found.partner[p] < 0) continue;
      const int64_t w =
          static_cast<int64_t>(std::floor(found.value[p])) - SCALE + a.penalty[p];
      offer(group[p], w, p, found.partner[p]);
    }
    for (int p = 1; p < n; ++p) {
      if (group[p] != p || best[p] == INT64_MAX) continue;
      const int rx = find_root(a.parent, best_a[p]), ry = find_root(a.parent, best_b[p]);
      if (rx == ry) continue;
      a.parent[rx] = ry;
      total += best[p];
      --parts;
    }
  }
  total += point_zero(a);
  __int128 penalties = 0;
  for (int p = 0; p < n; ++p) penalties += a.penalty[p];
  *value = total - 2 * penalties;
  return true;
}

}  // namespace

int64_t one_tree_bound(int n, const CoordinateCosts& cost, const std::vector<int>& neighbour,
                       int count, const OneTreeOptions& options) {
  Ascent a;
  a.n = n;
  a.cost = &cost;
  std::vector<std::pair<int, int>> pairs;
  pairs.reserve(static_cast<size_t>(n) * count);
  std::vector<int64_t> far_cost(n, BEYOND);  // S c to the farthest candidate
  for (int p = 1; p < n; ++p) {
    const int* listed = &neighbour[static_cast<size_t>(p) * count];
    for (int k = 0; k < count; ++k) {
      if (listed[k] != 0) pairs.push_back({std::min(p, listed[k]), std::max(p, listed[k])});
    }
    far_cost[p] = SCALE * cost(p, listed[count - 1]);
  }
  std::sort(pairs.begin(), pairs.end());
  pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
  for (const auto& [x, y] : pairs) {
    a.edge_a.push_back(x);
    a.edge_b.push_back(y);
    a.edge_cost.push_back(SCALE * cost(x, y));
  }
  std::vector<std::pair<int, int>>().swap(pairs);
  a.penalty.assign(n, 0);
  a.degree.assign(n, 0);
  a.edge_order.resize(a.edge_a.size());
  a.point_order.resize(n - 1);
  a.parent.resize(n);

  // The proven bound for the penalties in hand; false when stopped.
  int64_t best_bound = INT64_MIN;
  auto prove = [&]() {
    __int128 value = 0;
    if (!proven_value(a, neighbour, count, options, &value)) return false;
    const __int128 bound = ceiling_over_scale(value);
    if (bound > best_bound) {
      best_bound = static_cast<int64_t>(bound);
      if (options.better) options.better(options.context, best_bound);
    }
    return true;
  };

  // The ascent itself follows a guide that needs no search: an edge that is no candidate
  // weighs as if it cost what the farthest candidate does. Its values prove nothing; every
  // PROVE_EVERY rounds (the first time after a few: at a million points a round takes a
  // second) and at the end, the best penalties are proven (above).
  constexpr int PROVE_EVERY = 25;
  std::vector<int64_t> guide(n), best_penalty = a.penalty;
  __int128 best = 0;
  bool has_best = false, proven_best = false;
  double lambda = 2.0;
  int since_better = 0;
  for (int round = 0; round < options.most_rounds; ++round) {
    if (options.stop && options.stop()) break;
    int64_t most_penalty = INT64_MIN;
    for (int p = 1; p < n; ++p) most_penalty = std::max(most_penalty, a.penalty[p]);
    // No dearer than any of p's candidate edges: a point joins the rest this way only where
    // its candidates do not connect it (with 2 pi_p instead, the joins undercut real edges as
    // the penalties spread, and the ascent stalled 2 % below the optimum at 20000 points).
    for (int p = 1; p < n; ++p) {
      guide[p] = far_cost[p] >= BEYOND ? BEYOND : far_cost[p] + a.penalty[p] + most_penalty;
    }
    __int128 value = 0;
    if (!one_tree(a, guide, options.stop, &value)) break;
    if (!has_best || value > best) {
      has_best = true;
      best = value;
      best_penalty = a.penalty;
      proven_best = false;
      since_better = 0;
    } else if (++since_better >= 10) {
      // Halving without a floor ends the climb early (20000 points: 2.4 % below the optimum
      // after 150 rounds, where a floor of 0.1 is still rising after 1000).
      lambda = std::max(lambda / 2, 0.1);
      since_better = 0;
    }
    int64_t squares = 0;
    for (int p = 0; p < n; ++p) squares += int64_t{a.degree[p] - 2} * (a.degree[p] - 2);
    if (squares == 0) break;  // the 1-tree is a tour
    if ((round == 4 || round % PROVE_EVERY == PROVE_EVERY - 1) && !proven_best) {
      std::vector<int64_t> now = a.penalty;
      a.penalty = best_penalty;
      const bool done = prove();
      a.penalty = std::move(now);
      proven_best = true;
      if (!done) return best_bound;
    }
    // Polyak's step towards the best tour's cost.
    const int64_t upper = options.upper_now ? options.upper_now(options.context) : options.upper;
    const double gap = static_cast<double>(SCALE * static_cast<__int128>(upper) - value);
    const double step = lambda * std::max(gap, static_cast<double>(SCALE)) / squares;
    bool moved = false;
    for (int p = 0; p < n; ++p) {
      const int64_t change = std::llround(step * (a.degree[p] - 2));
      if (change == 0) continue;
      a.penalty[p] = std::clamp(a.penalty[p] + change, -MOST_PENALTY, MOST_PENALTY);
      moved = true;
    }
    if (!moved) {
      lambda *= 2;  // steps below a whole unit: none would change anything
      if (lambda > 1e6) break;
    }
  }
  if (!proven_best) {
    a.penalty = best_penalty;
    prove();
  }
  return best_bound;
}
