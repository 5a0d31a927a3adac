// Blossom separation; see blossoms.h for why the cuts hold and how they are found.
#include "bounds/blossoms.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

bool separate_blossoms_by_cut_tree = true;

namespace {

constexpr double EPSILON = 1e-6;
// A cut is kept when the solution violates it by more than this.
constexpr double LEAST_VIOLATION = 1e-4;

// Maximum flow between two points of an undirected graph (Dinic's method), for the cut tree.
struct FlowGraph {
  int n = 0;
  std::vector<int> first;     // arcs of point p: [first[p], first[p + 1])
  std::vector<int> head;      // per arc
  std::vector<int> twin;      // the reverse arc
  std::vector<double> capacity, residual;
  std::vector<int> level, next_arc, queue;
};

FlowGraph flow_graph(const CapacityGraph& graph, const std::vector<double>& weight_of_arc) {
  FlowGraph g;
  g.n = static_cast<int>(graph.size());
  g.first.assign(g.n + 1, 0);
  for (int p = 0; p < g.n; ++p) g.first[p + 1] = g.first[p] + static_cast<int>(graph[p].size());
  const int arcs = g.first[g.n];
  g.head.resize(arcs);
  g.twin.resize(arcs);
  g.capacity = weight_of_arc;
  for (int p = 0; p < g.n; ++p) {
    for (size_t k = 0; k < graph[p].size(); ++k) {
      const int arc = g.first[p] + static_cast<int>(k);
      const int q = graph[p][k].first;
      g.head[arc] = q;
      // The reverse arc: p's place in q's list, which is sorted by neighbour.
      const auto& row = graph[q];
      const auto at = std::lower_bound(row.begin(), row.end(), std::make_pair(p, -1e300));
      g.twin[arc] = g.first[q] + static_cast<int>(at - row.begin());
    }
  }
  return g;
}

bool levels(FlowGraph& g, int source, int sink) {
  g.level.assign(g.n, -1);
  g.queue.clear();
  g.queue.push_back(source);
  g.level[source] = 0;
  for (size_t k = 0; k < g.queue.size(); ++k) {
    const int p = g.queue[k];
    for (int arc = g.first[p]; arc < g.first[p + 1]; ++arc) {
      if (g.residual[arc] > EPSILON * EPSILON && g.level[g.head[arc]] < 0) {
        g.level[g.head[arc]] = g.level[p] + 1;
        g.queue.push_back(g.head[arc]);
      }
    }
  }
  return g.level[sink] >= 0;
}

double push(FlowGraph& g, int p, int sink, double amount) {
  if (p == sink) return amount;
  for (int& arc = g.next_arc[p]; arc < g.first[p + 1]; ++arc) {
    const int q = g.head[arc];
    if (g.residual[arc] <= EPSILON * EPSILON || g.level[q] != g.level[p] + 1) continue;
    const double pushed = push(g, q, sink, std::min(amount, g.residual[arc]));
    if (pushed > 0) {
      g.residual[arc] -= pushed;
      g.residual[g.twin[arc]] += pushed;
      return pushed;
    }
  }
  return 0;
}

// The value of a minimum cut between source and sink, and its source side.
double minimum_cut(FlowGraph& g, int source, int sink, std::vector<uint8_t>* side) {
  g.residual = g.capacity;
  double flow = 0;
  while (levels(g, source, sink)) {
    g.next_arc.assign(g.first.begin(), g.first.end() - 1);
    for (double pushed; (pushed = push(g, source, sink, 1e300)) > 0;) flow += pushed;
  }
  side->assign(g.n, 0);
  for (int p : g.queue) (*side)[p] = 1;  // the last search reached exactly the source side
  return flow;
}

// The blossom with this handle and, as teeth, the edges with x above threshold that leave
// it; teeth that share an end are mended by moving the end across (see blossoms.h). Empty
// teeth when no blossom comes of it.
LpCut blossom_of_handle(const CapacityGraph& graph, std::vector<uint8_t> side, double threshold) {
  const int n = static_cast<int>(graph.size());
  LpCut cut;
  for (;;) {
    cut.teeth.clear();
    std::vector<int> seen(n, 0);
    int shared = -1;
    for (int p = 0; p < n && shared < 0; ++p) {
      if (!side[p]) continue;
      for (const auto& [q, x] : graph[p]) {
        if (side[q] || x <= threshold) continue;
        cut.teeth.push_back({std::min(p, q), std::max(p, q)});
        if (++seen[p] == 2) shared = p;
        if (++seen[q] == 2) shared = q;
      }
    }
    if (shared < 0) break;
    side[shared] = !side[shared];
  }
  cut.side = std::move(side);
  if (!is_comb(cut)) cut.teeth.clear();
  return cut;
}

}  // namespace

std::vector<LpCut> blossoms_by_components(const CapacityGraph& graph, int max_cuts,
                                          bool (*stop)()) {
  const int n = static_cast<int>(graph.size());
  std::vector<int> component(n, -1);
  std::vector<LpCut> found;
  for (int start = 0; start < n && static_cast<int>(found.size()) < max_cuts; ++start) {
    if (component[start] >= 0) continue;
    if (stop && stop()) break;
    std::vector<int> members{start}, stack{start};
    component[start] = start;
    while (!stack.empty()) {
      const int p = stack.back();
      stack.pop_back();
      for (const auto& [q, x] : graph[p]) {
        if (q == p || component[q] >= 0 || x <= EPSILON || x >= 1 - EPSILON) continue;
        component[q] = start;
        members.push_back(q);
        stack.push_back(q);
      }
    }
    if (members.size() < 3) continue;
    std::vector<uint8_t> side(n, 0);
    for (int p : members) side[p] = 1;
    LpCut cut = blossom_of_handle(graph, std::move(side), 1 - EPSILON);
    if (!cut.teeth.empty() && comb_violation(graph, cut) > LEAST_VIOLATION) {
      found.push_back(std::move(cut));
    }
  }
  return found;
}

std::vector<LpCut> blossoms_by_cut_tree(const CapacityGraph& graph, int max_cuts,
                                        bool (*stop)()) {
  const int n = static_cast<int>(graph.size());
  std::vector<double> weight;
  std::vector<int> terminals;
  for (int p = 0; p < n; ++p) {
    int heavy = 0;
    for (const auto& [q, x] : graph[p]) {
      weight.push_back(std::max(0.0, std::min(x, 1 - x)));
      heavy += x > 0.5;
    }
    if (heavy % 2 == 1) terminals.push_back(p);
  }
  std::vector<LpCut> found;
  if (terminals.size() < 2) return found;
  FlowGraph flow = flow_graph(graph, weight);
  // Gusfield's method over the terminals: each terminal's cut from its parent in the tree.
  std::vector<int> parent(n, terminals[0]);
  std::vector<uint8_t> side;
  for (size_t i = 1; i < terminals.size() && static_cast<int>(found.size()) < max_cuts; ++i) {
    if (stop && stop()) break;
    const int s = terminals[i], t = parent[s];
    const double value = minimum_cut(flow, s, t, &side);
    for (size_t j = i + 1; j < terminals.size(); ++j) {
      if (parent[terminals[j]] == t && side[terminals[j]]) parent[terminals[j]] = s;
    }
    if (value >= 1 - LEAST_VIOLATION) continue;
    int odd = 0, members = 0;
    for (int terminal : terminals) odd += side[terminal];
    for (uint8_t in : side) members += in;
    if (odd % 2 == 0) continue;
    if (2 * members > n) {  // the smaller side as the handle: the same inequality, fewer terms
      for (uint8_t& in : side) in = !in;
    }
    LpCut cut = blossom_of_handle(graph, side, 0.5);
    if (cut.teeth.empty() || comb_violation(graph, cut) <= LEAST_VIOLATION) continue;
    if (std::find(found.begin(), found.end(), cut) == found.end()) found.push_back(std::move(cut));
  }
  return found;
}
