// Comb separation; see combs.h for why the cuts hold and how they are found.
#include "bounds/combs.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <unordered_set>
#include <utility>

#include "bounds/blossoms.h"

bool separate_combs = true;

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
  double room = -static_cast<double>((cut.teeth.size() + 1) / 2);
  for (uint8_t in : cut.side) room += in;
  for (const std::vector<int>& tooth : cut.teeth) room += static_cast<double>(tooth.size()) - 1;
  return left - room;
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

namespace {

// x(edges leaving S), S given by its points and a marking of them.
double boundary_weight(const CapacityGraph& graph, const std::vector<int>& points,
                       const std::vector<uint8_t>& in) {
  double sum = 0;
  for (int p : points) {
    for (const auto& [q, x] : graph[p]) {
      if (!in[q]) sum += x;
    }
  }
  return sum;
}

}  // namespace

std::vector<LpCut> combs_by_teething(const CapacityGraph& graph, const std::vector<LpCut>& cuts,
                                     int max_cuts, bool (*stop)()) {
  const int n = static_cast<int>(graph.size());
  std::vector<LpCut> found;
  std::vector<uint8_t> in(n, 0);
  // The light sets among the subtour cuts, each as its smaller side, with x(edges leaving).
  struct Set {
    std::vector<int> points;
    double boundary;
  };
  std::vector<Set> light;
  for (const LpCut& cut : cuts) {
    if (stop && stop()) return found;  // each cut is O(n)
    if (!cut.teeth.empty() || static_cast<int>(cut.side.size()) != n) continue;
    int members = 0;
    for (uint8_t s : cut.side) members += s;
    const uint8_t want = 2 * members <= n ? 1 : 0;
    Set set;
    for (int p = 0; p < n; ++p) {
      if (cut.side[p] == want) set.points.push_back(p);
    }
    for (int p : set.points) in[p] = 1;
    set.boundary = boundary_weight(graph, set.points, in);
    for (int p : set.points) in[p] = 0;
    if (set.boundary < 3 - LEAST_VIOLATION) light.push_back(std::move(set));
  }
  std::unordered_set<uint64_t> seen;  // the handles tried
  std::vector<uint8_t> taken(n, 0);
  for (const LpCut& cut : cuts) {
    if (static_cast<int>(found.size()) >= max_cuts || (stop && stop())) break;
    if (static_cast<int>(cut.side.size()) != n) continue;
    const std::vector<uint8_t>& handle = cut.side;
    uint64_t hash = 1469598103934665603ull;
    for (int p = 0; p < n; ++p) hash = (hash ^ handle[p]) * 1099511628211ull;
    if (!seen.insert(hash).second) continue;
    // The candidate teeth with their gains 3 - x(edges leaving T): the edges leaving the
    // handle with x above 1/2, the light sets that cross it, the cut's own teeth.
    std::vector<std::pair<double, std::vector<int>>> candidates;
    double handle_boundary = 0;
    for (int p = 0; p < n; ++p) {
      if (!handle[p]) continue;
      for (const auto& [q, x] : graph[p]) {
        if (handle[q]) continue;
        handle_boundary += x;
        if (x > 0.5 + LEAST_VIOLATION) candidates.push_back({2 * x - 1, {std::min(p, q), std::max(p, q)}});
      }
    }
    // Past 4, more than three teeth of full gain would be needed: seldom met, passed over.
    if (handle_boundary > 4) continue;
    for (const Set& set : light) {
      bool inside = false, outside = false;
      for (int p : set.points) (handle[p] ? inside : outside) = true;
      if (inside && outside) candidates.push_back({3 - set.boundary, set.points});
    }
    for (const std::vector<int>& tooth : cut.teeth) {
      for (int p : tooth) in[p] = 1;
      candidates.push_back({3 - boundary_weight(graph, tooth, in), tooth});
      for (int p : tooth) in[p] = 0;
    }
    std::stable_sort(candidates.begin(), candidates.end(), [](const auto& a, const auto& b) {
      return a.first != b.first ? a.first > b.first : a.second.size() < b.second.size();
    });
    std::vector<size_t> chosen;
    double gain = 0;
    size_t next_free = candidates.size();  // the best disjoint candidate left over
    for (size_t c = 0; c < candidates.size(); ++c) {
      bool free = true;
      for (int p : candidates[c].second) free = free && !taken[p];
      if (!free) continue;
      if (candidates[c].first <= 0) {
        next_free = c;
        break;
      }
      for (int p : candidates[c].second) taken[p] = 1;
      chosen.push_back(c);
      gain += candidates[c].first;
    }
    for (size_t c : chosen) {
      for (int p : candidates[c].second) taken[p] = 0;
    }
    if (chosen.size() % 2 == 0 && !chosen.empty()) {
      const double drop = -candidates[chosen.back()].first;
      const double add = next_free < candidates.size() ? candidates[next_free].first : -1e300;
      if (add >= drop) {
        chosen.push_back(next_free), gain += add;
      } else {
        chosen.pop_back(), gain += drop;
      }
    }
    if (chosen.size() < 3 || 1 - handle_boundary + gain <= LEAST_VIOLATION) continue;
    LpCut comb{handle, {}};
    for (size_t c : chosen) comb.teeth.push_back(candidates[c].second);
    std::sort(comb.teeth.begin(), comb.teeth.end());
    if (!is_comb(comb) || comb_violation(graph, comb) <= LEAST_VIOLATION) continue;
    if (std::find(cuts.begin(), cuts.end(), comb) != cuts.end()) continue;
    found.push_back(std::move(comb));
  }
  return found;
}

namespace {

// One comb as it is tightened: each point's place, each tooth's points on either side.
struct CombState {
  std::vector<uint8_t> in_handle;
  std::vector<int> tooth_of;                   // -1 outside every tooth
  std::vector<int> inside, outside;            // per tooth: its points in and out of the handle
};

// x(p, S \ {p}) for S the handle (tooth < 0) or a tooth.
double weight_into(const CapacityGraph& graph, const CombState& state, int p, int tooth) {
  double sum = 0;
  for (const auto& [q, x] : graph[p]) {
    if (q == p) continue;
    if (tooth < 0 ? state.in_handle[q] != 0 : state.tooth_of[q] == tooth) sum += x;
  }
  return sum;
}

}  // namespace

std::vector<LpCut> tighten_combs(const CapacityGraph& graph, const std::vector<LpCut>& combs,
                                 double least_violation, bool lookahead, bool (*stop)()) {
  const int n = static_cast<int>(graph.size());
  std::vector<LpCut> found;
  constexpr double LEAST_GAIN = 1e-6;
  for (const LpCut& comb : combs) {
    if (stop && stop()) break;
    if (!is_comb(comb) || static_cast<int>(comb.side.size()) != n) continue;
    const int k = static_cast<int>(comb.teeth.size());
    CombState state;
    state.in_handle = comb.side;
    state.tooth_of.assign(n, -1);
    state.inside.assign(k, 0);
    state.outside.assign(k, 0);
    for (int t = 0; t < k; ++t) {
      for (int p : comb.teeth[t]) {
        state.tooth_of[p] = t;
        ++(state.in_handle[p] ? state.inside[t] : state.outside[t]);
      }
    }
    int handle_size = 0;
    for (uint8_t in : state.in_handle) handle_size += in;
    const double start = comb_violation(graph, comb);
    double violation = start;
    // The points a move may concern: the comb's own and their neighbours.
    std::vector<uint8_t> near(n, 0);
    std::vector<int> candidates;
    auto consider = [&](int p) {
      if (!near[p]) near[p] = 1, candidates.push_back(p);
    };
    for (int p = 0; p < n; ++p) {
      if (!state.in_handle[p] && state.tooth_of[p] < 0) continue;
      consider(p);
      for (const auto& [q, x] : graph[p]) consider(q);
    }
    // Each point moves once at most; the best move is taken even when it loses, and the
    // comb kept is the best met along the way (a move that loses may open better ones).
    std::vector<uint8_t> moved(n, 0);
    CombState best_state = state;
    double best_violation = violation;
    int since_best = 0;
    for (int moves = 0; moves < 4 * n && !(stop && stop()); ++moves) {
      // The best move: (gain, point, what), what < 0 for the handle, else the tooth.
      double best_gain = lookahead ? -1e300 : LEAST_GAIN;
      int best_point = -1, best_what = 0;
      for (int p : candidates) {
        if (lookahead && moved[p]) continue;
        const int t = state.tooth_of[p];
        // The handle: in or out, while p's tooth keeps a point on either side.
        const bool in = state.in_handle[p] != 0;
        const bool keeps_tooth = t < 0 || (in ? state.inside[t] > 1 : state.outside[t] > 1);
        const bool keeps_handle = in ? handle_size > 1 : handle_size < n - 1;
        if (keeps_tooth && keeps_handle) {
          const double into = weight_into(graph, state, p, -1);
          const double gain = in ? 1 - into : into - 1;
          if (gain > best_gain) best_gain = gain, best_point = p, best_what = -1;
        }
        if (t >= 0) {  // out of its tooth, while the tooth keeps a point on either side
          if (in ? state.inside[t] > 1 : state.outside[t] > 1) {
            const double gain = 1 - weight_into(graph, state, p, t);
            if (gain > best_gain) best_gain = gain, best_point = p, best_what = t;
          }
        } else {  // into a tooth it has edges to
          for (const auto& [q, x] : graph[p]) {
            const int u = state.tooth_of[q];
            if (u < 0) continue;
            const double gain = weight_into(graph, state, p, u) - 1;
            if (gain > best_gain) best_gain = gain, best_point = p, best_what = u;
          }
        }
      }
      if (best_point < 0 || best_gain < -1) break;
      const int p = best_point, t = state.tooth_of[p];
      if (best_what < 0) {
        const bool in = state.in_handle[p] != 0;
        state.in_handle[p] = in ? 0 : 1;
        handle_size += in ? -1 : 1;
        if (t >= 0) {
          --(in ? state.inside[t] : state.outside[t]);
          ++(in ? state.outside[t] : state.inside[t]);
        }
      } else if (t >= 0) {
        state.tooth_of[p] = -1;
        --(state.in_handle[p] ? state.inside[t] : state.outside[t]);
      } else {
        state.tooth_of[p] = best_what;
        ++(state.in_handle[p] ? state.inside[best_what] : state.outside[best_what]);
      }
      violation += best_gain;
      moved[p] = 1;
      // Without lookahead every move gains: the last state is the best, kept as it goes.
      if (lookahead && violation > best_violation + LEAST_GAIN) {
        best_violation = violation, best_state = state, since_best = 0;
      } else if (lookahead && ++since_best > 10) {
        break;
      }
      consider(p);
      for (const auto& [q, x] : graph[p]) consider(q);
    }
    if (lookahead) state = std::move(best_state), violation = best_violation;
    if (violation < start + LEAST_GAIN || violation < least_violation) continue;
    LpCut cut{state.in_handle, std::vector<std::vector<int>>(k)};
    for (int p = 0; p < n; ++p) {
      if (state.tooth_of[p] >= 0) cut.teeth[state.tooth_of[p]].push_back(p);
    }
    // Measured again, not trusted from the sums of gains.
    if (is_comb(cut) && comb_violation(graph, cut) >= least_violation) found.push_back(std::move(cut));
  }
  return found;
}
