// A k-d tree over the sites: each node splits its range of the index array at the median of its
// widest coordinate; leaves hold a few sites. A search keeps the best count found so far in a
// sorted list and enters the far side of a split only when the split is nearer than the worst
// of them. Sites on one spot are split by their index, so that no leaf grows past LEAF_SITES.
#include "tour/neighbours.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numeric>

namespace {

constexpr int LEAF_SITES = 8;

struct Node {
  int first, last;  // the range of order[] below this node
  int axis;         // -1 for a leaf
  double split;
  int low, high;    // child nodes
};

struct Tree {
  const std::vector<Site>* sites = nullptr;
  std::vector<int> order;
  std::vector<Node> nodes;
};

double coordinate(const Site& s, int axis) { return axis == 0 ? s.x : axis == 1 ? s.y : s.z; }

int build(Tree& tree, int first, int last) {
  const int index = static_cast<int>(tree.nodes.size());
  tree.nodes.push_back({first, last, -1, 0, -1, -1});
  if (last - first <= LEAF_SITES) return index;
  const std::vector<Site>& sites = *tree.sites;
  double low[3] = {1e308, 1e308, 1e308}, high[3] = {-1e308, -1e308, -1e308};
  for (int k = first; k < last; ++k) {
    for (int axis = 0; axis < 3; ++axis) {
      const double c = coordinate(sites[tree.order[k]], axis);
      low[axis] = std::min(low[axis], c);
      high[axis] = std::max(high[axis], c);
    }
  }
  int axis = 0;
  for (int a = 1; a < 3; ++a) {
    if (high[a] - low[a] > high[axis] - low[axis]) axis = a;
  }
  const int middle = first + (last - first) / 2;
  std::nth_element(tree.order.begin() + first, tree.order.begin() + middle,
                   tree.order.begin() + last, [&](int a, int b) {
                     return coordinate(sites[a], axis) < coordinate(sites[b], axis);
                   });
  const double split = coordinate(sites[tree.order[middle]], axis);
  const int low_child = build(tree, first, middle);
  const int high_child = build(tree, middle, last);
  Node& node = tree.nodes[index];
  node.axis = axis;
  node.split = split;
  node.low = low_child;
  node.high = high_child;
  return index;
}

struct Found {
  double distance;
  int site;
  bool operator<(const Found& other) const {
    return distance != other.distance ? distance < other.distance : site < other.site;
  }
};

struct Query {
  Site at;
  int self;
  int count;
  Found* best;  // sorted, size filled
  int filled;
};

double squared_distance(const Site& a, const Site& b) {
  const double dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
  return dx * dx + dy * dy + dz * dz;
}

void offer(Query& q, Found f) {
  if (q.filled == q.count && !(f < q.best[q.count - 1])) return;
  int k = q.filled < q.count ? q.filled++ : q.count - 1;
  while (k > 0 && f < q.best[k - 1]) {
    q.best[k] = q.best[k - 1];
    --k;
  }
  q.best[k] = f;
}

void search(const Tree& tree, int index, Query& q) {
  const Node& node = tree.nodes[index];
  if (node.axis < 0) {
    for (int k = node.first; k < node.last; ++k) {
      const int s = tree.order[k];
      if (s != q.self) offer(q, {squared_distance(q.at, (*tree.sites)[s]), s});
    }
    return;
  }
  const double gap = coordinate(q.at, node.axis) - node.split;
  const int near = gap < 0 ? node.low : node.high;
  const int far = gap < 0 ? node.high : node.low;
  search(tree, near, q);
  // Sites on the far side are at least |gap| away: they cannot be nearer than the worst kept
  // when gap^2 is not below it (an equal one may be left for one found first).
  if (q.filled < q.count || gap * gap < q.best[q.count - 1].distance) search(tree, far, q);
}

// The boxes and least weights of a tree's nodes, for the weighted search.
struct Boxes {
  std::vector<Site> low, high;
  std::vector<double> least;
};

void fill_boxes(const Tree& tree, int index, const std::vector<double>& weight, Boxes& boxes) {
  const Node& node = tree.nodes[index];
  Site& low = boxes.low[index];
  Site& high = boxes.high[index];
  double& least = boxes.least[index];
  low = {1e308, 1e308, 1e308};
  high = {-1e308, -1e308, -1e308};
  least = std::numeric_limits<double>::infinity();
  auto widen = [&](const Site& l, const Site& h, double w) {
    low = {std::min(low.x, l.x), std::min(low.y, l.y), std::min(low.z, l.z)};
    high = {std::max(high.x, h.x), std::max(high.y, h.y), std::max(high.z, h.z)};
    least = std::min(least, w);
  };
  if (node.axis < 0) {
    for (int k = node.first; k < node.last; ++k) {
      const int s = tree.order[k];
      widen((*tree.sites)[s], (*tree.sites)[s], weight[s]);
    }
    return;
  }
  fill_boxes(tree, node.low, weight, boxes);
  fill_boxes(tree, node.high, weight, boxes);
  for (int child : {node.low, node.high}) {
    widen(boxes.low[child], boxes.high[child], boxes.least[child]);
  }
}

double gap_to(double c, double low, double high) {
  return c < low ? low - c : c > high ? c - high : 0.0;
}

struct WeightedQuery {
  Site at;
  int self;
  const int* listed;
  int count;
  double scale;
  double best;
};

void weighted_search(const Tree& tree, const Boxes& boxes, const std::vector<double>& weight,
                     int index, WeightedQuery& q) {
  const Node& node = tree.nodes[index];
  const double dx = gap_to(q.at.x, boxes.low[index].x, boxes.high[index].x);
  const double dy = gap_to(q.at.y, boxes.low[index].y, boxes.high[index].y);
  const double dz = gap_to(q.at.z, boxes.low[index].z, boxes.high[index].z);
  if (q.scale * std::sqrt(dx * dx + dy * dy + dz * dz) + boxes.least[index] >= q.best) return;
  if (node.axis < 0) {
    for (int k = node.first; k < node.last; ++k) {
      const int s = tree.order[k];
      if (s == q.self || std::find(q.listed, q.listed + q.count, s) != q.listed + q.count) {
        continue;
      }
      const double value =
          q.scale * std::sqrt(squared_distance(q.at, (*tree.sites)[s])) + weight[s];
      q.best = std::min(q.best, value);
    }
    return;
  }
  const bool low_first = coordinate(q.at, node.axis) < node.split;
  weighted_search(tree, boxes, weight, low_first ? node.low : node.high, q);
  weighted_search(tree, boxes, weight, low_first ? node.high : node.low, q);
}

Tree build_tree(const std::vector<Site>& sites) {
  const int n = static_cast<int>(sites.size());
  Tree tree;
  tree.sites = &sites;
  tree.order.resize(n);
  std::iota(tree.order.begin(), tree.order.end(), 0);
  tree.nodes.reserve(2 * static_cast<size_t>(n) / LEAF_SITES + 1);
  build(tree, 0, n);
  return tree;
}

}  // namespace

std::vector<double> least_weighted_distances(const std::vector<Site>& sites, double scale,
                                             const std::vector<double>& weight,
                                             const std::vector<int>& listed, int count,
                                             bool (*stop)()) {
  const int n = static_cast<int>(sites.size());
  const Tree tree = build_tree(sites);
  Boxes boxes;
  boxes.low.resize(tree.nodes.size());
  boxes.high.resize(tree.nodes.size());
  boxes.least.resize(tree.nodes.size());
  fill_boxes(tree, 0, weight, boxes);
  std::vector<double> least(n);
  for (int p = 0; p < n; ++p) {
    if ((p & 4095) == 0 && stop && stop()) return {};
    WeightedQuery q{sites[p], p, &listed[static_cast<size_t>(p) * count], count, scale,
                    std::numeric_limits<double>::infinity()};
    weighted_search(tree, boxes, weight, 0, q);
    // The square roots and sums above are each within a few parts in 2^52 of the true value.
    least[p] = q.best - 1e-9 * std::fabs(q.best) - 1.0;
  }
  return least;
}

std::vector<int> nearest_neighbours(const std::vector<Site>& sites, int count, bool (*stop)()) {
  const int n = static_cast<int>(sites.size());
  const Tree tree = build_tree(sites);
  std::vector<int> neighbour(static_cast<size_t>(n) * count);
  std::vector<Found> best(count);
  for (int p = 0; p < n; ++p) {
    if ((p & 4095) == 0 && stop && stop()) return {};
    Query q{sites[p], p, count, best.data(), 0};
    search(tree, 0, q);
    for (int k = 0; k < count; ++k) neighbour[static_cast<size_t>(p) * count + k] = best[k].site;
  }
  return neighbour;
}
