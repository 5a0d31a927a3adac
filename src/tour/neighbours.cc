// A k-d tree over the sites: each node splits its range of the index array at the median of its
// widest coordinate; leaves hold a few sites. A search keeps the best count found so far in a
// sorted list and enters the far side of a split only when the split is nearer than the worst
// of them. Sites on one spot are split by their index, so that no leaf grows past LEAF_SITES.
#include "tour/neighbours.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
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

// The boxes, least weights and groups of a tree's nodes, for the weighted search.
constexpr int MIXED = -1;        // sites of several groups
constexpr int NONE = INT32_MIN;  // no site but the skipped one

struct Boxes {
  std::vector<Site> low, high;
  std::vector<double> least;
  std::vector<int> group;
};

void fill_boxes(const Tree& tree, int index, const std::vector<double>& weight,
                const std::vector<int>& group, int skip, Boxes& boxes) {
  const Node& node = tree.nodes[index];
  Site low = {1e308, 1e308, 1e308}, high = {-1e308, -1e308, -1e308};
  double least = std::numeric_limits<double>::infinity();
  int label = NONE;
  auto widen = [&](const Site& l, const Site& h, double w, int g) {
    low = {std::min(low.x, l.x), std::min(low.y, l.y), std::min(low.z, l.z)};
    high = {std::max(high.x, h.x), std::max(high.y, h.y), std::max(high.z, h.z)};
    least = std::min(least, w);
    if (g != NONE) label = label == NONE || label == g ? g : MIXED;
  };
  if (node.axis < 0) {
    for (int k = node.first; k < node.last; ++k) {
      const int s = tree.order[k];
      if (s != skip) widen((*tree.sites)[s], (*tree.sites)[s], weight[s], group[s]);
    }
  } else {
    fill_boxes(tree, node.low, weight, group, skip, boxes);
    fill_boxes(tree, node.high, weight, group, skip, boxes);
    for (int child : {node.low, node.high}) {
      widen(boxes.low[child], boxes.high[child], boxes.least[child], boxes.group[child]);
    }
  }
  boxes.low[index] = low;
  boxes.high[index] = high;
  boxes.least[index] = least;
  boxes.group[index] = label;
}

double gap_to(double c, double low, double high) {
  return c < low ? low - c : c > high ? c - high : 0.0;
}

struct WeightedQuery {
  Site at;
  int self, group, skip;
  const int* listed;
  int count;
  double scale;
  double best;
  int partner;
};

void weighted_search(const Tree& tree, const Boxes& boxes, const std::vector<double>& weight,
                     const std::vector<int>& group, int index, WeightedQuery& q) {
  const int label = boxes.group[index];
  if (label == NONE || label == q.group) return;
  const double dx = gap_to(q.at.x, boxes.low[index].x, boxes.high[index].x);
  const double dy = gap_to(q.at.y, boxes.low[index].y, boxes.high[index].y);
  const double dz = gap_to(q.at.z, boxes.low[index].z, boxes.high[index].z);
  if (q.scale * std::sqrt(dx * dx + dy * dy + dz * dz) + boxes.least[index] >= q.best) return;
  const Node& node = tree.nodes[index];
  if (node.axis < 0) {
    for (int k = node.first; k < node.last; ++k) {
      const int s = tree.order[k];
      if (s == q.skip || group[s] == q.group ||
          std::find(q.listed, q.listed + q.count, s) != q.listed + q.count) {
        continue;
      }
      const double value =
          q.scale * std::sqrt(squared_distance(q.at, (*tree.sites)[s])) + weight[s];
      if (value < q.best) {
        q.best = value;
        q.partner = s;
      }
    }
    return;
  }
  const bool low_first = coordinate(q.at, node.axis) < node.split;
  weighted_search(tree, boxes, weight, group, low_first ? node.low : node.high, q);
  weighted_search(tree, boxes, weight, group, low_first ? node.high : node.low, q);
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

std::vector<int> spatial_order(const std::vector<Site>& sites) { return build_tree(sites).order; }

bool nearest_of_other_groups(const std::vector<Site>& sites, double scale,
                             const std::vector<double>& weight, const std::vector<int>& group,
                             const std::vector<int>& listed, int count, int skip,
                             const std::vector<double>& limit, bool (*stop)(),
                             WeightedNearest* found) {
  const int n = static_cast<int>(sites.size());
  const Tree tree = build_tree(sites);
  Boxes boxes;
  boxes.low.resize(tree.nodes.size());
  boxes.high.resize(tree.nodes.size());
  boxes.least.resize(tree.nodes.size());
  boxes.group.resize(tree.nodes.size());
  fill_boxes(tree, 0, weight, group, skip, boxes);
  found->value.assign(n, std::numeric_limits<double>::infinity());
  found->partner.assign(n, -1);
  for (int p = 0; p < n; ++p) {
    if ((p & 4095) == 0 && stop && stop()) return false;
    if (p == skip) continue;
    WeightedQuery q{sites[p], p,     group[p], skip, &listed[static_cast<size_t>(p) * count],
                    count,    scale, limit[p], -1};
    weighted_search(tree, boxes, weight, group, 0, q);
    if (q.partner < 0) continue;
    // The square roots and sums above are each within a few parts in 2^52 of the true value.
    found->value[p] = q.best - 1e-9 * std::fabs(q.best) - 1.0;
    found->partner[p] = q.partner;
  }
  return true;
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
