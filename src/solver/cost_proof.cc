// The cost proof; see cost_proof.h for its design and why it is exact.
#include "solver/cost_proof.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <numeric>
#include <queue>
#include <utility>

#include "bounds/exact_bound.h"
#include "solver/worker_threads.h"
#include "tour/chained_search.h"

namespace {

// Cut rounds at a node, and cuts a round adds.
constexpr int NODE_CUT_ROUNDS = 8;
// And in a question, whose LP starts from the cuts of the search's node, a path's length
// away: kroA200's 43 questions took 1.8 s with 8 rounds, 1.2 s with 2.
constexpr int QUESTION_CUT_ROUNDS = 2;
constexpr int CUTS_PER_ROUND = 64;
// Cuts the LP may hold per point before the slack ones go: every row costs each solve and
// trial (att532: 137 nodes in 60 s with 3 a point, 272 with 1).
constexpr size_t DROP_CUTS_PER_POINT = 1;
// Arcs whose two sides are tried before a branch is chosen.
constexpr size_t STRONG_CANDIDATES = 5;
// A proof still open after restart_nodes starts again from the root (the LP keeps its cuts)
// with this many: the first branches decide the size of the tree. pcb442's proof took 4059
// nodes and 90 s with 5 throughout, 125 nodes and 5.5 s with 20 from the root, but 965 nodes
// with 20 from node 32 on; from the root, 20 would cost the short proofs up to three times
// their time (kroA200 1.5 to 4.2 s, 11 nodes; lin318 2.4 to 4.2 s, 45 nodes).
constexpr size_t STRONG_CANDIDATES_AFTER_RESTART = 20;
// And in a question (first_tour_ends), where most proofs are short: kroA200's questions
// spent 9.6 s on the trials of 5, 5.3 s on those of 2.
constexpr size_t STRONG_CANDIDATES_IN_QUESTIONS = 2;
// Tours are drawn from the LP's solution at the first nodes and then every so many, twice as
// many after each draw that finds no cheaper tour, up to a most: the local search is a fifth
// of pcb442's proof when its good tour is already optimal, yet fl417's proof finds its
// optimum that way, 1.2 % below the good tour. A question (first_tour_ends) keeps drawing
// them: a tour found is its answer. And the nodes after which a least bound that has not
// risen by a unit ends the proof over arcs (p43's ties: 20 000 nodes without it). Over
// edges, with combs, the proof no longer stalls where the search over paths does better:
// a280 was proven at node 35, after a stall at node 27 that left it to the paths (7.6 s
// against 1.1 s).
constexpr int64_t NODES_BETWEEN_TOURS = 8;
constexpr int64_t MOST_NODES_BETWEEN_TOURS = 256;
constexpr int64_t STALLED_NODES = 25;
// Dual simplex steps a side's trial takes at most.
constexpr int TRIAL_ITERATIONS = 500;

struct Node {
  __int128 bound = 0;           // K units: every tour of the node costs at least this
  int64_t order = 0;            // creation order: the older first among equal bounds
  std::vector<int> fixed;       // arcs every tour of the node uses (symmetric: edges, as
                                // their arc i -> j with i < j, used either way)
  std::vector<int> forbidden;   // arcs none uses (symmetric: both arcs of each edge)
  // The parent's last basis: a child differs from it by one bound, where the LP as the last
  // node left it may differ by many (lowest bound first jumps across the tree). kroA200:
  // the nodes' solves took 8.6 s from the last node's basis, 3.4 s from the parent's.
  std::shared_ptr<const SubtourLpBasis> basis;
};

struct LaterFirst {
  bool operator()(const Node& a, const Node& b) const {
    return a.bound != b.bound ? a.bound > b.bound : a.order > b.order;
  }
};

struct Proof {
  const CostProofProblem* problem = nullptr;
  int n = 0;
  SubtourLp own_lp;
  SubtourLp* lp = &own_lp;  // own_lp, or the caller's
  ExactDuals duals;
  std::vector<uint8_t> allowed;  // the problem's, less the node's forbidden arcs
  std::vector<int> fixed_out, fixed_in;  // the node's fixed arc from / into each point, or -1;
                                         // symmetric: a point's fixed edges' other ends
  std::vector<int> applied_fixed, applied_forbidden;  // what the LP holds now
  bool made_lp = false;  // own_lp was made (a helper that never started made none)
};

bool stopping(const Proof& proof) { return proof.problem->stop && proof.problem->stop(); }

// The node's fixings onto the LP, the allowed arcs and the ways out and in.
void apply(Proof& proof, const Node& node) {
  const int n = proof.n;
  for (int arc : proof.applied_fixed) {
    subtour_lp_fix_arc(proof.lp, arc / n, arc % n, false);
    proof.fixed_out[arc / n] = proof.fixed_in[arc / n] = -1;
    proof.fixed_out[arc % n] = proof.fixed_in[arc % n] = -1;
  }
  for (int arc : proof.applied_forbidden) {
    subtour_lp_forbid_arc(proof.lp, arc / n, arc % n, false);
    proof.allowed[arc] = proof.problem->allowed[arc];
  }
  for (int arc : node.fixed) {
    const int i = arc / n, j = arc % n;
    subtour_lp_fix_arc(proof.lp, i, j, true);
    if (!proof.problem->symmetric) {
      proof.fixed_out[i] = j;
      proof.fixed_in[j] = i;
      continue;
    }
    (proof.fixed_out[i] < 0 ? proof.fixed_out[i] : proof.fixed_in[i]) = j;
    (proof.fixed_out[j] < 0 ? proof.fixed_out[j] : proof.fixed_in[j]) = i;
  }
  for (int arc : node.forbidden) {
    subtour_lp_forbid_arc(proof.lp, arc / n, arc % n, true);
    proof.allowed[arc] = 0;
  }
  proof.applied_fixed = node.fixed;
  proof.applied_forbidden = node.forbidden;
}

// The duals in whole numbers, the node's allowed arcs priced in. False when a stop cut
// them short.
bool price_in(Proof& proof) {
  return price_in_arcs(&proof.duals, proof.lp, proof.problem->scaled_cost, proof.problem->scale,
                       proof.allowed.data(), proof.problem->stop);
}

// Twice point i's share of the bound over edges (see below): the weights of its fixed edges
// and of its least other allowed ones, two in all, with the edge to skip (or -1) taken as not
// allowed. NO_COMPLETION when too few are left.
__int128 edge_term(const Proof& proof, int i, int skip) {
  const int n = proof.n;
  const int64_t* row = proof.duals.weight.data() + static_cast<size_t>(i) * n;
  const uint8_t* allowed = proof.allowed.data();
  auto open = [&](int j) {  // the edge, either way round
    return j != skip &&
           (allowed[static_cast<size_t>(i) * n + j] || allowed[static_cast<size_t>(j) * n + i]);
  };
  const int first = proof.fixed_out[i], second = proof.fixed_in[i];
  int64_t least[2] = {INT64_MAX, INT64_MAX};
  int found = 0;
  for (int fixed : {first, second}) {
    if (fixed < 0) continue;
    if (fixed == skip) return NO_COMPLETION;
    least[found++] = row[fixed];
  }
  if (found < 2) {
    for (int j = 0; j < n; ++j) {
      if (j == i || j == first || row[j] >= least[1] || !open(j)) continue;
      if (found == 0 && row[j] < least[0]) {
        least[1] = least[0];
        least[0] = row[j];
      } else {
        least[1] = row[j];
      }
    }
    if (least[1] == INT64_MAX) return NO_COMPLETION;
  }
  return static_cast<__int128>(least[0]) + least[1];
}

// The bound over edges from twice the sum of the points' terms: W(T) >= twice / 2, and W(T)
// is whole, so the half rounded down is a bound.
__int128 bound_from_twice(const Proof& proof, __int128 twice) {
  const __int128 half = twice >= 0 ? twice / 2 : -((-twice + 1) / 2);
  return proof.duals.base + half;
}

// Point i's way out (out) or way in (!out) over arcs: its fixed one's weight, or its
// least-weight allowed one from or to a point whose way in (out) is not fixed elsewhere; the
// arc to or from skip (or -1) taken as not allowed. NO_COMPLETION when none is left.
__int128 arc_term(const Proof& proof, int i, bool out, int skip) {
  const int n = proof.n;
  const int64_t* weight = proof.duals.weight.data();
  const int fixed = out ? proof.fixed_out[i] : proof.fixed_in[i];
  if (fixed >= 0) {
    if (fixed == skip) return NO_COMPLETION;
    return out ? weight[static_cast<size_t>(i) * n + fixed] : weight[static_cast<size_t>(fixed) * n + i];
  }
  int64_t least = INT64_MAX;
  for (int j = 0; j < n; ++j) {
    if (j == skip) continue;
    const size_t arc = out ? static_cast<size_t>(i) * n + j : static_cast<size_t>(j) * n + i;
    const int other_side = out ? proof.fixed_in[j] : proof.fixed_out[j];
    if (proof.allowed[arc] && other_side < 0 && weight[arc] < least) least = weight[arc];
  }
  return least == INT64_MAX ? NO_COMPLETION : least;
}

// The bound of the design for symmetric costs: W(i, j) = W(j, i) (exact_bound.h), so each
// tour's W is half the sum over points of its two edges' weights there, at least half the sum
// of each point's fixed edges and least other allowed ones. Over arcs: the larger of the sums
// of the ways out and of the ways in. NO_COMPLETION when some point has too few.
__int128 node_bound(const Proof& proof) {
  const int n = proof.n;
  if (proof.problem->symmetric) {
    __int128 twice = 0;
    for (int i = 0; i < n; ++i) {
      const __int128 term = edge_term(proof, i, -1);
      if (term == NO_COMPLETION) return NO_COMPLETION;
      twice += term;
    }
    return bound_from_twice(proof, twice);
  }
  __int128 out_sum = 0, in_sum = 0;
  for (int i = 0; i < n; ++i) {
    const __int128 out = arc_term(proof, i, true, -1), in = arc_term(proof, i, false, -1);
    if (out == NO_COMPLETION || in == NO_COMPLETION) return NO_COMPLETION;
    out_sum += out;
    in_sum += in;
  }
  return proof.duals.base + std::max(out_sum, in_sum);
}

// For a node whose LP solution is the tour: the edge (arc; an edge as its arc i -> j with
// i < j) to split on, the one whose tours without it have the lowest bound, or SETTLED when
// every such bound is above the limit (see the design), or -1 when the tour uses an edge the
// node forbids (the LP's tolerances): then it guides nothing. O(n^2).
constexpr int SETTLED = -2;
int edge_to_split(const Proof& proof, const std::vector<int>& tour, __int128 scaled_limit) {
  const int n = proof.n;
  const bool symmetric = proof.problem->symmetric;
  std::vector<__int128> term(n), in_term(symmetric ? 0 : n);
  __int128 sum = 0, in_sum = 0;
  for (int i = 0; i < n; ++i) {
    term[i] = symmetric ? edge_term(proof, i, -1) : arc_term(proof, i, true, -1);
    if (!symmetric) in_term[i] = arc_term(proof, i, false, -1);
    // A point with no way left: the node holds no tour at all (its LP would be infeasible).
    if (term[i] == NO_COMPLETION || (!symmetric && in_term[i] == NO_COMPLETION)) return SETTLED;
    sum += term[i];
    if (!symmetric) in_sum += in_term[i];
  }
  int split = SETTLED;
  __int128 lowest = NO_COMPLETION;
  for (int t = 0; t < n; ++t) {
    const int i = tour[t], j = tour[(t + 1) % n];
    // A fixed edge: every tour of the node uses it.
    if (proof.fixed_out[i] == j || (symmetric && proof.fixed_in[i] == j)) continue;
    const uint8_t* allowed = proof.allowed.data();
    if (!allowed[static_cast<size_t>(i) * n + j] && (!symmetric || !allowed[static_cast<size_t>(j) * n + i])) {
      return -1;
    }
    __int128 without = NO_COMPLETION;
    if (symmetric) {
      const __int128 at_i = edge_term(proof, i, j), at_j = edge_term(proof, j, i);
      if (at_i != NO_COMPLETION && at_j != NO_COMPLETION) {
        without = bound_from_twice(proof, sum - term[i] - term[j] + at_i + at_j);
      }
    } else {
      const __int128 out = arc_term(proof, i, true, j), in = arc_term(proof, j, false, i);
      if (out != NO_COMPLETION && in != NO_COMPLETION) {
        without = proof.duals.base + std::max(sum - term[i] + out, in_sum - in_term[j] + in);
      }
    }
    if (without + proof.problem->slack > scaled_limit || without >= lowest) continue;
    lowest = without;
    split = symmetric ? std::min(i, j) * n + std::max(i, j) : i * n + j;
  }
  return split;
}

// The LP's solution as a tour from point 0, when it is one; empty otherwise.
std::vector<int> solution_tour(const Proof& proof) {
  const int n = proof.n;
  // Each point's neighbours at 1: one after it over arcs, two over edges.
  std::vector<int> successor(n, -1), other(n, -1);
  for (size_t column = 0; column < proof.lp->x.size(); ++column) {
    const double x = proof.lp->x[column];
    if (x > 1e-6 && x < 1 - 1e-6) return {};
    if (x < 0.5) continue;
    const int i = proof.lp->column_tail[column], j = proof.lp->column_head[column];
    for (int end : {i, j}) {
      const int to = end == i ? j : i;
      if (successor[end] < 0) {
        successor[end] = to;
      } else if (proof.lp->edges && other[end] < 0) {
        other[end] = to;
      } else {
        return {};
      }
      if (!proof.lp->edges) break;
    }
  }
  std::vector<int> order;
  std::vector<uint8_t> seen(n, 0);
  for (int p = 0, before = -1; p >= 0 && !seen[p];) {
    seen[p] = 1;
    order.push_back(p);
    const int next = proof.lp->edges && successor[p] == before ? other[p] : successor[p];
    before = p;
    p = next;
  }
  if (static_cast<int>(order.size()) != n) return {};
  const int last = order.back();
  const bool closes = successor[last] == 0 || (proof.lp->edges && other[last] == 0);
  return closes ? order : std::vector<int>{};
}

// The tour from point 0 when it starts with the path (symmetric: either way round, then
// turned to start with it); empty otherwise.
std::vector<int> along_path(std::vector<int> tour, const std::vector<int>& path, bool symmetric) {
  if (path.size() < 2) return tour;
  if (path.size() > tour.size()) return {};
  if (symmetric && tour[1] != path[1]) std::reverse(tour.begin() + 1, tour.end());
  for (size_t t = 0; t < path.size(); ++t) {
    if (tour[t] != path[t]) return {};
  }
  return tour;
}

// A tour that follows the LP's solution: its arcs (edges, for symmetric costs) taken greedily
// by value while each point keeps one way out and one in (two ends) and no cycle closes
// early, the pieces then joined each to the nearest free end. From point 0.
std::vector<int> tour_near_solution(const Proof& proof) {
  const int n = proof.n;
  const bool symmetric = proof.problem->symmetric;
  const int64_t* cost = proof.problem->cost;
  std::vector<std::pair<double, int>> arcs;
  for (size_t column = 0; column < proof.lp->x.size(); ++column) {
    if (proof.lp->x[column] > 1e-6) {
      arcs.push_back({-proof.lp->x[column], proof.lp->column_tail[column] * n + proof.lp->column_head[column]});
    }
  }
  std::sort(arcs.begin(), arcs.end());
  std::vector<int> parent(n), next(n, -1), previous(n, -1);
  std::iota(parent.begin(), parent.end(), 0);
  for (const auto& [value, arc] : arcs) {
    int i = arc / n, j = arc % n;
    if (chained_search::find_root(parent, i) == chained_search::find_root(parent, j)) continue;
    if (symmetric) {  // an edge: ends with a free side, each piece kept as a path i .. j
      if (next[i] >= 0 && previous[i] >= 0) continue;
      if (next[j] >= 0 && previous[j] >= 0) continue;
      // Turn pieces so that i ends its piece and j starts its own.
      auto turn = [&](int p) {  // reverses the piece that holds p
        std::vector<int> members;
        int start = p;
        while (previous[start] >= 0) start = previous[start];
        for (int q = start; q >= 0; q = next[q]) members.push_back(q);
        for (int q : members) std::swap(next[q], previous[q]);
      };
      if (next[i] >= 0) turn(i);
      if (previous[j] >= 0) turn(j);
    } else if (next[i] >= 0 || previous[j] >= 0) {
      continue;
    }
    next[i] = j;
    previous[j] = i;
    parent[chained_search::find_root(parent, i)] = chained_search::find_root(parent, j);
  }
  std::vector<int> order;
  std::vector<uint8_t> placed(n, 0);
  auto walk = [&](int from) {
    for (int p = from; p >= 0; p = next[p]) {
      order.push_back(p);
      placed[p] = 1;
    }
  };
  int start = 0;
  while (previous[start] >= 0 && previous[start] != 0) start = previous[start];
  walk(start);
  while (static_cast<int>(order.size()) < n) {
    const int last = order.back();
    int nearest = -1;
    bool turned = false;
    for (int p = 0; p < n; ++p) {
      if (placed[p]) continue;
      const bool head = previous[p] < 0, tail = symmetric && next[p] < 0;
      if (!head && !tail) continue;
      if (nearest < 0 || cost[last * n + p] < cost[last * n + nearest]) nearest = p, turned = !head;
    }
    int first = nearest;
    if (turned) {  // enter the piece at its far end: walk it backwards
      std::vector<int> members;
      for (int q = nearest; q >= 0; q = previous[q]) members.push_back(q);
      for (int q : members) std::swap(next[q], previous[q]);
      first = nearest;
    }
    walk(first);
  }
  std::rotate(order.begin(), std::find(order.begin(), order.end(), 0), order.end());
  return order;
}

// The LP's objective with one more fixing (arc fixed, or arcs forbidden), solved without
// pricing or cuts, then the fixing undone: a guess at a child's bound, for choosing the
// branch. An infeasible child is as good as dropped.
double trial_objective(Proof& proof, const std::vector<int>& fixed, const std::vector<int>& forbidden) {
  const int n = proof.n;
  for (int arc : fixed) subtour_lp_fix_arc(proof.lp, arc / n, arc % n, true);
  for (int arc : forbidden) subtour_lp_forbid_arc(proof.lp, arc / n, arc % n, true);
  const double objective = subtour_lp_trial(proof.lp, TRIAL_ITERATIONS);
  for (int arc : fixed) subtour_lp_fix_arc(proof.lp, arc / n, arc % n, false);
  for (int arc : forbidden) subtour_lp_forbid_arc(proof.lp, arc / n, arc % n, false);
  return objective;
}

// The node's two children on an arc (an edge, as its arc i -> j with i < j): the tours
// without it and those with it. The LP holds the node's basis.
std::vector<Node> split_on(Proof& proof, const Node& node, int arc) {
  const int n = proof.n, i = arc / n, j = arc % n;
  std::vector<Node> made;
  Node without = node;
  without.forbidden.push_back(arc);
  if (proof.problem->symmetric) without.forbidden.push_back(j * n + i);
  made.push_back(std::move(without));
  Node with = node;
  with.fixed.push_back(arc);
  made.push_back(std::move(with));
  const auto basis = std::make_shared<const SubtourLpBasis>(subtour_lp_basis(proof.lp));
  for (Node& child : made) child.basis = basis;
  return made;
}

// The node's children, or none when the LP gives nothing to branch on. The branch is chosen
// among the most fractional arcs (edges) by the objectives of its two sides (strong
// branching): the LP of a degenerate problem has many optima, and a split between two of
// them raises no bound. strong: the arcs tried at most.
std::vector<Node> children(Proof& proof, const Node& node, size_t strong) {
  const int n = proof.n;
  const bool symmetric = proof.problem->symmetric;
  const double objective = subtour_lp_objective(proof.lp);
  // Each arc's (each edge's) value in the solution.
  std::vector<std::pair<int, double>> values;  // (arc, x), edges as their lower arc
  for (size_t column = 0; column < proof.lp->x.size(); ++column) {
    const double x = proof.lp->x[column];
    if (x <= 1e-9) continue;
    int i = proof.lp->column_tail[column], j = proof.lp->column_head[column];
    if (symmetric && i > j) std::swap(i, j);
    values.push_back({i * n + j, x});
  }
  std::sort(values.begin(), values.end());
  std::vector<std::pair<double, int>> candidates;  // (fractionality, arc), most first
  for (size_t k = 0; k < values.size();) {
    const int arc = values[k].first;
    double x = 0;
    for (; k < values.size() && values[k].first == arc; ++k) x += values[k].second;
    const int i = arc / n, j = arc % n;
    // Over edges a point's fixed edges' ends are in fixed_out and fixed_in alike.
    const bool settled = proof.fixed_out[i] == j || (symmetric && proof.fixed_in[i] == j);
    // Nor a forbidden one, which an infeasible LP's solution may hold: its split would
    // repeat the node.
    const bool forbidden = !proof.allowed[arc] && (!symmetric || !proof.allowed[j * n + i]);
    if (settled || forbidden) continue;
    // An arc at 1 still splits the node when nothing else does.
    candidates.push_back({std::min(x, 1 - x) + (x > 0.5 ? 1e-3 : 0), arc});
  }
  std::vector<Node> made;
  if (candidates.empty()) return made;
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  const size_t most = proof.problem->first_tour_ends ? STRONG_CANDIDATES_IN_QUESTIONS : strong;
  if (candidates.size() > most) candidates.resize(most);
  int best = candidates[0].second;  // the trials leave the node's basis in place
  double best_score = -1;
  for (const auto& [fraction, arc] : candidates) {
    if (fraction < 1e-6 || stopping(proof)) break;
    const int i = arc / n, j = arc % n;
    std::vector<int> without{arc};
    if (symmetric) without.push_back(j * n + i);
    const double out = trial_objective(proof, {}, without);
    const double in = trial_objective(proof, {arc}, {});
    const double score = std::max(out - objective, 1e-6) * std::max(in - objective, 1e-6);
    if (score > best_score) best_score = score, best = arc;
  }
  return split_on(proof, node, best);
}

// Whether the node's fixings can still make a tour: no point with two ways out or in, and
// none of them forbidden (a child may repeat a point's fixing with another arc).
bool consistent(const Proof& proof, const Node& node) {
  const int n = proof.n;
  if (proof.problem->symmetric) {  // edges: at most two at a point, none of them forbidden
    std::vector<int> degree(n, 0);
    for (int arc : node.fixed) {
      if (++degree[arc / n] > 2 || ++degree[arc % n] > 2) return false;
      if (std::find(node.forbidden.begin(), node.forbidden.end(), arc) != node.forbidden.end()) {
        return false;
      }
    }
    return true;
  }
  std::vector<int> out(n, -1), in(n, -1);
  for (int arc : node.fixed) {
    const int i = arc / n, j = arc % n;
    if (!proof.problem->allowed[arc]) return false;
    if ((out[i] >= 0 && out[i] != j) || (in[j] >= 0 && in[j] != i)) return false;
    out[i] = j;
    in[j] = i;
  }
  for (int arc : node.forbidden) {
    if (out[arc / n] == arc % n) return false;
  }
  return true;
}

// What the workers of one proof share, under its lock: the open nodes, the tours met and the
// limit they set, and how the proof ends.
struct Shared {
  const CostProofProblem* problem = nullptr;
  std::mutex lock;
  std::condition_variable wake;
  std::priority_queue<Node, std::vector<Node>, LaterFirst> open;
  int64_t created = 0;
  Node root;
  CostProof result;
  size_t strong = STRONG_CANDIDATES;  // arcs whose two sides are tried before a branch
  bool unsettled = false;  // a node neither dropped nor split: the proof is incomplete
  bool ended = false;      // by a tour, when the first ends the proof
  bool too_many = false;   // every_tour: more tours than most_tours
  bool over = false;       // a worker ended the proof: no more nodes are taken
  int busy = 0;            // workers with a node in hand, whose children may still come
  __int128 highest = -NO_COMPLETION;  // the least bound in cost units, as it rose
  int64_t rose_at = 0;
  int64_t nodes_between_tours = NODES_BETWEEN_TOURS, next_tour_at = 1;
  bool out_of_memory = false;
  std::vector<Proof>* proofs = nullptr;  // one a worker
  std::atomic<int> next_proof{0};
};

__int128 limit_now(Shared& shared) {
  std::lock_guard<std::mutex> hold(shared.lock);
  return shared.result.limit;
}

// Whether the tour lowered the limit (every_tour: was kept). The lock held.
bool take_tour(Shared& shared, const std::vector<int>& found) {
  const CostProofProblem& problem = *shared.problem;
  CostProof& result = shared.result;
  const int n = problem.n;
  const std::vector<int> tour = along_path(found, problem.path, problem.symmetric);
  if (tour.empty()) return false;
  __int128 cost = 0;
  for (int t = 0; t < n; ++t) cost += problem.cost[static_cast<size_t>(tour[t]) * n + tour[(t + 1) % n]];
  if (cost > result.limit) return false;
  if (!problem.every_tour) {
    result.tour = tour;
    result.tour_cost = cost;
    result.limit = cost - 1;
    if (problem.first_tour_ends) shared.ended = true;
    return true;
  }
  // Every tour kept has cost_t equal to the limit: a cheaper one clears them.
  if (cost < result.limit || result.tours.empty()) {
    result.limit = cost;
    result.tours.clear();
    result.tour = tour;
    result.tour_cost = cost;
  }
  std::vector<int> kept = tour;
  if (problem.symmetric && n > 2 && kept[1] > kept[n - 1]) std::reverse(kept.begin() + 1, kept.end());
  if (std::find(result.tours.begin(), result.tours.end(), kept) != result.tours.end()) return false;
  result.tours.push_back(std::move(kept));
  if (result.tours.size() > problem.most_tours) shared.too_many = true;
  return true;
}

// What became of a node a worker took.
struct Outcome {
  std::vector<Node> made;  // its children
  bool back = false;       // a stop or a tour ended the proof first: the node stays open
  bool unsettled = false;  // neither dropped nor split
};

// One node, without the lock: its LP solved, priced and cut, its bound raised, tours drawn
// from its solution, and then dropped, settled or split.
void run_node(Shared& shared, Proof& proof, Node& node, size_t strong, Outcome* outcome) {
  const CostProofProblem& problem = *proof.problem;
  const int n = proof.n;
  const __int128 scale = problem.scale;
  apply(proof, node);
  if (proof.lp->cuts.size() > static_cast<size_t>(n) * DROP_CUTS_PER_POINT) {
    subtour_lp_drop_slack_cuts(proof.lp);
  }
  if (node.basis) subtour_lp_set_basis(proof.lp, *node.basis);
  subtour_lp_solve(proof.lp);
  if (!price_in(proof)) {
    outcome->back = true;
    return;
  }
  const int cut_rounds = problem.first_tour_ends ? QUESTION_CUT_ROUNDS : NODE_CUT_ROUNDS;
  for (int round = 0; round < cut_rounds && proof.lp->optimal; ++round) {
    if (subtour_lp_objective(proof.lp) > static_cast<double>(limit_now(shared)) + 1) break;
    if (subtour_lp_separate(proof.lp, CUTS_PER_ROUND, true, problem.cut_tree) == 0) break;
    subtour_lp_solve(proof.lp);
    if (!price_in(proof)) break;
  }
  if (stopping(proof)) {
    outcome->back = true;
    return;
  }
  const __int128 bound = node_bound(proof);
  if (bound > node.bound) node.bound = bound;
  if (node.bound + problem.slack > scale * limit_now(shared)) return;
  // An infeasible LP's solution keeps to none of the node's bounds.
  const std::vector<int> tour = proof.lp->optimal ? solution_tour(proof) : std::vector<int>{};
  if (!tour.empty()) {
    std::lock_guard<std::mutex> hold(shared.lock);
    take_tour(shared, tour);
  }
  if (problem.improve) {
    int64_t claimed = -1;  // the nodes when this worker took the turn to draw a tour
    {
      std::lock_guard<std::mutex> hold(shared.lock);
      if (shared.result.nodes >= shared.next_tour_at) {
        claimed = shared.result.nodes;
        shared.next_tour_at = INT64_MAX;
      }
    }
    if (claimed >= 0) {
      const std::vector<int> improved = problem.improve(tour_near_solution(proof));
      std::lock_guard<std::mutex> hold(shared.lock);
      if (take_tour(shared, improved)) {
        shared.nodes_between_tours = NODES_BETWEEN_TOURS;
      } else if (claimed > 4 && !problem.first_tour_ends) {
        shared.nodes_between_tours = std::min(2 * shared.nodes_between_tours, MOST_NODES_BETWEEN_TOURS);
      }
      shared.next_tour_at = claimed <= 4 ? claimed + 1 : claimed + shared.nodes_between_tours;
    }
  }
  __int128 limit;
  {
    std::lock_guard<std::mutex> hold(shared.lock);
    if (shared.ended) {
      outcome->back = true;
      return;
    }
    limit = shared.result.limit;
  }
  if (node.bound + problem.slack > scale * limit) return;
  if (!tour.empty()) {  // the node's LP solution is one tour: settled, or split on its edge
    const int split = edge_to_split(proof, tour, scale * limit);
    if (split == SETTLED) return;
    if (split >= 0) outcome->made = split_on(proof, node, split);
  }
  if (outcome->made.empty()) outcome->made = children(proof, node, strong);
  if (outcome->made.empty()) outcome->unsettled = true;
}

// A worker: takes the open node of lowest bound, runs it, and puts its children back, until
// none is left and no other worker holds one, or the proof ends.
void work(Shared& shared, Proof& proof) {
  const CostProofProblem& problem = *shared.problem;
  CostProof& result = shared.result;
  const __int128 scale = problem.scale;
  std::unique_lock<std::mutex> hold(shared.lock);
  while (!shared.over) {
    // A long proof starts again from the root, choosing among more arcs. The tours met and
    // the limit they set stand; the open nodes go, and the root covers every tour again
    // (the children of a node another worker holds still come: a part of the root's tours).
    if (problem.restart_nodes > 0 && shared.strong == STRONG_CANDIDATES &&
        result.nodes >= problem.restart_nodes) {
      shared.open = decltype(shared.open)();
      shared.root.order = shared.created++;
      shared.open.push(shared.root);
      shared.unsettled = false;
      shared.highest = -NO_COMPLETION;
      shared.rose_at = result.nodes;
      shared.strong = STRONG_CANDIDATES_AFTER_RESTART;
    }
    if (shared.too_many || stopping(proof) ||
        (problem.most_nodes > 0 && result.nodes >= problem.most_nodes)) {
      shared.over = true;
      break;
    }
    auto& open = shared.open;
    if (open.empty()) {
      if (shared.busy == 0) break;
      shared.wake.wait(hold);
      continue;
    }
    Node node = open.top();
    if (node.bound + problem.slack > scale * result.limit) {
      open.pop();
      continue;
    }
    const __int128 least = node.bound >= 0 ? node.bound / scale : -((-node.bound + scale - 1) / scale);
    if (least > shared.highest) {
      shared.highest = least;
      shared.rose_at = result.nodes;
    } else if (!problem.symmetric && result.nodes - shared.rose_at > STALLED_NODES) {
      shared.over = true;
      break;
    }
    open.pop();
    if (!consistent(proof, node)) continue;  // no tour keeps to it
    ++result.nodes;
    ++shared.busy;
    const size_t strong = shared.strong;
    hold.unlock();
    Outcome outcome;
    bool out_of_memory = false;
    try {
      run_node(shared, proof, node, strong, &outcome);
    } catch (const std::bad_alloc&) {
      out_of_memory = outcome.back = true;
    }
    hold.lock();
    if (out_of_memory) shared.out_of_memory = true;
    --shared.busy;
    if (outcome.back) {
      shared.open.push(std::move(node));
      shared.over = true;
    }
    if (outcome.unsettled) shared.unsettled = true;
    for (Node& child : outcome.made) {
      child.order = shared.created++;
      shared.open.push(std::move(child));
    }
    shared.wake.notify_all();
  }
  shared.wake.notify_all();
}

// The proof a thread works in: the caller's LP, or one of its own from the problem's arcs
// and cuts.
void make_lp(Proof& proof, const CostProofProblem& problem) {
  const int n = problem.n;
  proof.problem = &problem;
  proof.n = n;
  proof.allowed.assign(problem.allowed, problem.allowed + static_cast<size_t>(n) * n);
  proof.fixed_out.assign(n, -1);
  proof.fixed_in.assign(n, -1);
  if (problem.lp) {
    proof.lp = problem.lp;
    return;
  }
  proof.lp = &proof.own_lp;
  proof.made_lp = true;
  subtour_lp_create(proof.lp, n, problem.cost, problem.arcs, problem.stop, problem.symmetric);
  subtour_lp_add_cuts(proof.lp, problem.cuts);
}

// The proof whose workers run now; one at a time.
Shared* running = nullptr;

void* run_worker(void*) {
  Shared& shared = *running;
  const int index = shared.next_proof.fetch_add(1);
  if (index >= static_cast<int>(shared.proofs->size())) return nullptr;
  Proof& proof = (*shared.proofs)[index];
  try {
    make_lp(proof, *shared.problem);
  } catch (const std::bad_alloc&) {
    std::lock_guard<std::mutex> hold(shared.lock);
    shared.out_of_memory = shared.over = true;
    shared.wake.notify_all();
    return nullptr;
  }
  work(shared, proof);
  return nullptr;
}

}  // namespace

CostProof prove_cost(const CostProofProblem& problem, __int128 limit) {
  const int n = problem.n;
  Shared shared;
  shared.problem = &problem;
  CostProof& result = shared.result;
  result.limit = limit;
  const __int128 scale = problem.scale;
  Node& root = shared.root;
  root.bound = -NO_COMPLETION;
  root.order = shared.created++;
  for (size_t t = 1; t < problem.path.size(); ++t) {
    int i = problem.path[t - 1], j = problem.path[t];
    if (problem.symmetric && j < i) std::swap(i, j);
    root.fixed.push_back(i * n + j);
  }
  // Workers beside the calling thread only with LPs of their own.
  const int threads = problem.lp ? 1 : std::max(1, problem.threads);
  shared.open.push(root);
  std::vector<Proof> proofs(threads);
  shared.proofs = &proofs;
  if (threads == 1) {
    make_lp(proofs[0], problem);
    work(shared, proofs[0]);
  } else {
    running = &shared;
    run_on_threads(run_worker, threads);
    running = nullptr;
  }
  for (Proof& proof : proofs) {
    if (proof.lp == problem.lp && problem.lp) {
      apply(proof, Node{});  // the caller's LP as it came, less any fixings
    } else if (proof.made_lp) {
      subtour_lp_destroy(proof.lp);
    }
  }
  if (shared.out_of_memory) throw std::bad_alloc();
  result.complete = shared.open.empty() && !shared.unsettled && !shared.too_many;
  // Every tour lies in a node dropped (above the limit of its time, never below the final
  // one), or still open, or unsettled.
  __int128 lower = problem.every_tour && !result.tours.empty() ? result.limit : result.limit + 1;
  if (!result.complete) {
    if (shared.unsettled) lower = -NO_COMPLETION;
    if (!shared.open.empty()) {
      const __int128 least = shared.open.top().bound;  // the lowest bound first
      const __int128 rounded = least >= 0 ? (least + scale - 1) / scale : -((-least) / scale);
      lower = std::min(lower, rounded);
    }
  }
  result.lower = lower;
  return result;
}
