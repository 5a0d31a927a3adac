// Candidate partners by alpha-nearness; see alpha_nearness.h for the design.
#include "tour/alpha_nearness.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <tuple>

namespace {

constexpr int64_t SCALE = 100;
// Penalties stay within this: with costs below 2^40 (times SCALE, below 2^47) and fewer than
// 4096 points, a 1-tree's weight and twice the penalties' sum stay below 2^62, so no sum of
// the ascent can overflow, however wide its steps.
constexpr int64_t MOST_PENALTY = int64_t{1} << 48;
constexpr int64_t FAR = std::numeric_limits<int64_t>::max();

struct OneTree {
  std::vector<int> parent;  // of each point 2..n-1 in the tree on 1..n-1 (1 is its root)
  std::vector<int> order;   // 1..n-1 in the order Prim's method took them: parents first
  std::vector<int> degree;  // in the 1-tree
  int64_t length = 0;       // of the 1-tree under the weights
  int64_t first = 0, second = 0;  // point 0's two cheapest weights
  int first_partner = -1, second_partner = -1;
};

struct Weights {
  int n;
  const int64_t* cost;
  const std::vector<int64_t>& pi;
  int64_t operator()(int a, int b) const {
    return SCALE * cost[static_cast<size_t>(a) * n + b] + pi[a] + pi[b];
  }
};

// The minimum 1-tree under w: Prim's method over 1..n-1, point 0 joined by its two cheapest.
void minimum_one_tree(int n, const Weights& w, OneTree* tree) {
  tree->parent.assign(n, -1);
  tree->order.clear();
  tree->degree.assign(n, 0);
  tree->length = 0;
  std::vector<int64_t> key(n, FAR);
  std::vector<uint8_t> taken(n, 0);
  int next = 1;
  for (int added = 0; added < n - 1; ++added) {
    const int p = next;
    taken[p] = 1;
    tree->order.push_back(p);
    if (tree->parent[p] >= 0) {
      tree->length += key[p];
      ++tree->degree[p];
      ++tree->degree[tree->parent[p]];
    }
    next = -1;
    int64_t best = FAR;
    for (int q = 1; q < n; ++q) {
      if (taken[q]) continue;
      const int64_t c = w(p, q);
      if (c < key[q]) key[q] = c, tree->parent[q] = p;
      if (key[q] < best) best = key[q], next = q;
    }
  }
  tree->first = tree->second = FAR;
  for (int q = 1; q < n; ++q) {
    const int64_t c = w(0, q);
    if (c < tree->first) {
      tree->second = tree->first, tree->second_partner = tree->first_partner;
      tree->first = c, tree->first_partner = q;
    } else if (c < tree->second) {
      tree->second = c, tree->second_partner = q;
    }
  }
  tree->length += tree->first + tree->second;
  tree->degree[0] = 2;
  ++tree->degree[tree->first_partner];
  ++tree->degree[tree->second_partner];
}

}  // namespace

std::vector<int> alpha_nearest(int n, const int64_t* cost, int count, int64_t upper, int rounds,
                               bool (*stop)()) {
  std::vector<int64_t> pi(n, 0), best_pi(n, 0);
  const Weights w{n, cost, pi};
  OneTree tree;
  // The subgradient ascent: W(pi) = 1-tree(pi) - 2 sum pi, each step lambda (U - W) / |v|^2
  // along v = degree - 2, lambda halved after a few rounds without a better W.
  double lambda = 2.0;
  int64_t best = std::numeric_limits<int64_t>::min();
  int since_better = 0;
  for (int round = 0; round < rounds; ++round) {
    if (stop && stop()) return {};
    minimum_one_tree(n, w, &tree);
    int64_t sum_pi = 0, norm = 0;
    for (int p = 0; p < n; ++p) {
      sum_pi += pi[p];
      norm += static_cast<int64_t>(tree.degree[p] - 2) * (tree.degree[p] - 2);
    }
    const int64_t value = tree.length - 2 * sum_pi;
    if (value > best) {
      best = value, best_pi = pi, since_better = 0;
    } else if (++since_better >= 3) {
      lambda /= 2, since_better = 0;
    }
    if (norm == 0) break;  // the 1-tree is a tour
    const double gap = std::max<double>(static_cast<double>(SCALE * upper - value),
                                        static_cast<double>(SCALE));
    const double step = lambda * gap / static_cast<double>(norm);
    if (step < 0.5) break;
    for (int p = 0; p < n; ++p) {
      const double moved = static_cast<double>(pi[p]) + step * (tree.degree[p] - 2);
      pi[p] = std::llround(std::clamp(moved, static_cast<double>(-MOST_PENALTY),
                                      static_cast<double>(MOST_PENALTY)));
    }
  }
  pi = best_pi;
  minimum_one_tree(n, w, &tree);

  std::vector<int> partners(static_cast<size_t>(n) * count);
  std::vector<int64_t> beta(n);
  std::vector<uint8_t> ancestor(n);
  std::vector<std::tuple<int64_t, int64_t, int>> row;
  row.reserve(n);
  for (int i = 0; i < n; ++i) {
    if ((i & 63) == 0 && stop && stop()) return {};
    row.clear();
    if (i == 0) {
      for (int j = 1; j < n; ++j) {
        const int64_t alpha =
            j == tree.first_partner || j == tree.second_partner ? 0 : w(0, j) - tree.second;
        row.push_back({alpha, cost[j], j});
      }
    } else {
      // beta(i, j) for every j of the tree on 1..n-1: up the path to the root first, then
      // every other point from its parent, parents before children.
      std::fill(ancestor.begin(), ancestor.end(), 0);
      beta[i] = std::numeric_limits<int64_t>::min();
      ancestor[i] = 1;
      for (int k = i; tree.parent[k] >= 0; k = tree.parent[k]) {
        beta[tree.parent[k]] = std::max(beta[k], w(k, tree.parent[k]));
        ancestor[tree.parent[k]] = 1;
      }
      for (int j : tree.order) {
        if (!ancestor[j]) beta[j] = std::max(beta[tree.parent[j]], w(j, tree.parent[j]));
      }
      const int64_t zero_side =
          i == tree.first_partner || i == tree.second_partner ? 0 : w(0, i) - tree.second;
      row.push_back({zero_side, cost[static_cast<size_t>(i) * n], 0});
      for (int j = 1; j < n; ++j) {
        if (j != i) row.push_back({w(i, j) - beta[j], cost[static_cast<size_t>(i) * n + j], j});
      }
    }
    std::partial_sort(row.begin(), row.begin() + count, row.end());
    for (int k = 0; k < count; ++k) partners[static_cast<size_t>(i) * count + k] = std::get<2>(row[k]);
  }
  return partners;
}
