// Comb separation; see combs.h for why the cuts hold and how they are found.
#include "bounds/combs.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "bounds/blossoms.h"

bool separate_combs = false;

namespace {

constexpr double EPSILON = 1e-6;
// A cut is kept when the solution violates it by more than this.
constexpr double LEAST_VIOLATION = 1e-4;

}  // namespace

bool is_comb(const LpCut& cut) {
  const int n = static_cast<int>(cut.side.size());
  const size_t k = cut.teeth.size();
  if (k < 3 || k % 2 == 0) return false;
  std::vector<uint8_t> taken(n, 0);
  for (const std::vector<int>& tooth : cut.teeth) {
    bool inside = false, outside = false;
    for (size_t t = 0; t < tooth.size(); ++t) {
      const int p = tooth[t];
      if (p < 0 || p >= n || taken[p] || (t > 0 && p <= tooth[t - 1])) return false;
      taken[p] = 1;
      (cut.side[p] ? inside : outside) = true;
    }
    if (!inside || !outside) return false;
  }
  return true;
}

double comb_violation(const CapacityGraph& graph, const LpCut& cut) {
  const int n = static_cast<int>(graph.size());
  std::vector<int> tooth_of(n, -1);
  for (size_t t = 0; t < cut.teeth.size(); ++t) {
    for (int p : cut.teeth[t]) tooth_of[p] = static_cast<int>(t);
  }
  double left = 0;
  for (int p = 0; p < n; ++p) {
    for (const auto& [q, x] : graph[p]) {
      if (q <= p) continue;
      if (cut.side[p] && cut.side[q]) left += x;
      if (tooth_of[p] >= 0 && tooth_of[p] == tooth_of[q]) left += x;
    }
  }
  return left - static_cast<double>(cut_bound(cut));
}

std::vector<LpCut> combs_by_shrinking(const CapacityGraph& graph, int max_cuts, bool cut_tree,
                                      bool (*stop)()) {
  const int n = static_cast<int>(graph.size());
  std::vector<LpCut> found;
  // Each point's edges at 1: two at most in a solution of degree 2.
  std::vector<std::vector<int>> ones(n);
  for (int p = 0; p < n; ++p) {
    for (const auto& [q, x] : graph[p]) {
      if (x >= 1 - EPSILON) ones[p].push_back(q);
    }
    if (ones[p].size() > 2) return found;
  }
  // The paths at 1 of two edges or more, from an end with one such edge to the other.
  std::vector<std::vector<int>> paths;
  std::vector<int> path_of(n, -1);  // for the ends: their path; inner points: -2
  for (int start = 0; start < n; ++start) {
    if (ones[start].size() != 1 || path_of[start] != -1) continue;
    std::vector<int> path{start};
    for (int before = start, p = ones[start][0];;) {
      path.push_back(p);
      if (ones[p].size() != 2) break;
      const int next = ones[p][0] == before ? ones[p][1] : ones[p][0];
      before = p;
      p = next;
    }
    path_of[start] = path_of[path.back()] = -3;  // seen, even when too short to shrink
    if (path.size() < 3) continue;
    path_of[start] = path_of[path.back()] = static_cast<int>(paths.size());
    for (size_t t = 1; t + 1 < path.size(); ++t) path_of[path[t]] = -2;
    paths.push_back(std::move(path));
  }
  if (paths.empty()) return found;
  // The smaller graph: the same points, the inner ones without edges, each path one edge.
  CapacityGraph shrunk(n);
  for (int p = 0; p < n; ++p) {
    if (path_of[p] == -2) continue;
    for (const auto& [q, x] : graph[p]) {
      if (path_of[q] != -2) shrunk[p].push_back({q, x});
    }
  }
  for (const std::vector<int>& path : paths) {
    const int u = path.front(), v = path.back();
    for (const auto& [from, to] : {std::make_pair(u, v), std::make_pair(v, u)}) {
      auto& row = shrunk[from];
      auto at = std::lower_bound(row.begin(), row.end(), std::make_pair(to, -1e300));
      if (at != row.end() && at->first == to) {
        at->second += 1;
      } else {
        row.insert(at, {to, 1.0});
      }
    }
  }
  std::vector<LpCut> blossoms = blossoms_by_components(shrunk, max_cuts, stop);
  if (cut_tree && blossoms.empty()) blossoms = blossoms_by_cut_tree(shrunk, max_cuts, stop);
  for (LpCut& blossom : blossoms) {
    LpCut comb;
    comb.side = blossom.side;
    for (const std::vector<int>& path : paths) {
      if (blossom.side[path.front()] && blossom.side[path.back()]) {
        for (int p : path) comb.side[p] = 1;
      }
    }
    for (const std::vector<int>& tooth : blossom.teeth) {
      const int a = tooth[0], b = tooth[1];
      const int path = path_of[a];
      std::vector<int> points{a, b};
      if (path >= 0 && (paths[path].front() == b || paths[path].back() == b)) points = paths[path];
      std::sort(points.begin(), points.end());
      comb.teeth.push_back(std::move(points));
    }
    if (!is_comb(comb) || comb_violation(graph, comb) <= LEAST_VIOLATION) continue;
    if (std::find(found.begin(), found.end(), comb) != found.end()) continue;
    found.push_back(std::move(comb));
  }
  return found;
}
