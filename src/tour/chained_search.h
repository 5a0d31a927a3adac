// The machinery of the chained Lin-Kernighan search (see lin_kernighan.h for its design),
// shared by the search over a table of costs and the one over coordinates: templates over how
// a cost is had (Costs: int64_t operator()(int a, int b) const, symmetric).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <utility>
#include <vector>

#include "tour/lin_kernighan.h"

namespace chained_search {

// Neighbours a point's moves are tried with (its cheapest, or its nearest in space).
constexpr int CANDIDATES = 8;
// Moves in one chain at most.
constexpr int MOST_DEPTH = 50;
// A kick swaps two neighbouring stretches of one to KICK_STRETCH points each.
constexpr int KICK_STRETCH = 10;
// Steps of the search between two looks at the stop function.
constexpr int STEPS_BETWEEN_LOOKS = 32;

struct Edge {
  int a, b;
};

template <class Costs>
struct LocalSearch {
  int n = 0;
  Costs cost;  // cost(a, b), symmetric
  int candidates = 0;
  std::vector<int> neighbour;  // [p * candidates + k], cheapest first
  std::vector<int> tour;       // the points, in the array's order
  std::vector<int> position;   // of each point in tour
  bool reversed = false;       // the tour is read from the end of the array to its start
  int64_t length = 0;
  // Every reversal done, (a, b) meaning the path from a to b was reversed: undone in reverse
  // order by reversing the path from b to a.
  std::vector<Edge> journal;
  // Points to look at (don't-look bits: the others are left alone).
  std::vector<int> queue;
  size_t head = 0;
  std::vector<uint8_t> queued;
  uint64_t random = 0;
  bool (*stop)() = nullptr;
  int steps = 0;
  bool stopped = false;
  // Half the kicks join four random points anywhere (see kick).
  bool global_kicks = true;
  // The chain in hand.
  std::vector<Edge> added, removed;
};

template <class Costs>
int succ(const LocalSearch<Costs>& s, int a) {
  int p = s.position[a] + (s.reversed ? -1 : 1);
  if (p == s.n) p = 0;
  if (p < 0) p = s.n - 1;
  return s.tour[p];
}

template <class Costs>
int pred(const LocalSearch<Costs>& s, int a) {
  int p = s.position[a] + (s.reversed ? 1 : -1);
  if (p == s.n) p = 0;
  if (p < 0) p = s.n - 1;
  return s.tour[p];
}

// Reverses the path from a to b (following succ), journalled. The shorter side of the array
// is reversed: the other side, with the reading direction flipped, gives the same tour.
template <class Costs>
void reverse_path(LocalSearch<Costs>& s, int a, int b) {
  s.journal.push_back({a, b});
  const int n = s.n;
  int i = s.position[a], j = s.position[b];
  if (s.reversed) std::swap(i, j);
  int inner = j - i;
  if (inner < 0) inner += n;
  inner += 1;
  if (2 * inner > n) {
    const int outer_first = j + 1 == n ? 0 : j + 1;
    const int outer_last = i == 0 ? n - 1 : i - 1;
    i = outer_first;
    j = outer_last;
    inner = n - inner;
    s.reversed = !s.reversed;
  }
  for (int k = 0; k < inner / 2; ++k) {
    const int x = s.tour[i], y = s.tour[j];
    s.tour[i] = y;
    s.position[y] = i;
    s.tour[j] = x;
    s.position[x] = j;
    if (++i == n) i = 0;
    if (--j < 0) j = n - 1;
  }
}

// Undoes the journal back to the given size.
template <class Costs>
void undo_to(LocalSearch<Costs>& s, size_t size) {
  while (s.journal.size() > size) {
    const Edge last = s.journal.back();
    s.journal.pop_back();
    reverse_path(s, last.b, last.a);
    s.journal.pop_back();
  }
}

template <class Costs>
bool looks_stop(LocalSearch<Costs>& s) {
  if (s.stopped) return true;
  if (++s.steps < STEPS_BETWEEN_LOOKS) return false;
  s.steps = 0;
  s.stopped = s.stop && s.stop();
  return s.stopped;
}

template <class Costs>
void wake(LocalSearch<Costs>& s, int p) {
  if (s.queued[p]) return;
  s.queued[p] = 1;
  s.queue.push_back(p);
}

inline bool holds(const std::vector<Edge>& edges, int a, int b) {
  for (const Edge& e : edges) {
    if ((e.a == a && e.b == b) || (e.a == b && e.b == a)) return true;
  }
  return false;
}

// The chain from t1 (fixed) and t2, its tour neighbour on the forward side (the backward side
// when forward is false), with the running gain so far. Tries the best few next moves at the
// first levels (BREADTH) and the best one deeper. Returns the gain of the best prefix found,
// with the tour changed to it; 0 with the tour as it was when none gains.
constexpr int BREADTH[] = {5, 3};

template <class Costs>
int64_t extend_chain(LocalSearch<Costs>& s, bool forward, int t1, int t2, int64_t running, int depth) {
  auto next = [&](int p) { return forward ? succ(s, p) : pred(s, p); };
  auto previous = [&](int p) { return forward ? pred(s, p) : succ(s, p); };
  struct Step {
    int64_t value;
    int t3, t4;
  };
  Step steps[CANDIDATES];
  int count = 0;
  const int* candidates = &s.neighbour[static_cast<size_t>(t2) * s.candidates];
  for (int k = 0; k < s.candidates; ++k) {
    const int t3 = candidates[k];
    const int64_t opened = running - s.cost(t2, t3);
    if (opened <= 0) break;  // the others cost more
    if (t3 == t1 || t3 == next(t2)) continue;
    const int t4 = previous(t3);
    if (holds(s.added, t3, t4) || holds(s.removed, t2, t3)) continue;
    steps[count++] = {opened + s.cost(t3, t4), t3, t4};
  }
  for (int k = 1; k < count; ++k) {  // the largest running gain first; few to order
    for (int j = k; j > 0 && steps[j].value > steps[j - 1].value; --j) std::swap(steps[j], steps[j - 1]);
  }
  const int breadth = depth < 2 ? BREADTH[depth] : 1;
  for (int k = 0; k < count && k < breadth; ++k) {
    const Step& step = steps[k];
    const size_t mark = s.journal.size();
    // The path from t2 to t4 along next, reversed: t1 t4 ... t2 t3.
    if (forward) {
      reverse_path(s, t2, step.t4);
    } else {
      reverse_path(s, step.t4, t2);
    }
    s.added.push_back({t2, step.t3});
    s.removed.push_back({step.t3, step.t4});
    const int64_t closed = step.value - s.cost(step.t4, t1);
    const size_t here = s.journal.size();
    const int64_t deeper =
        depth + 1 < MOST_DEPTH ? extend_chain(s, forward, t1, step.t4, step.value, depth + 1) : 0;
    s.added.pop_back();
    s.removed.pop_back();
    if (deeper > 0 && deeper >= closed) return deeper;
    if (closed > 0) {
      undo_to(s, here);
      return closed;
    }
    undo_to(s, mark);
  }
  return 0;
}

// A chain of 2-opt moves from t1 on one side. Returns the gain (0: nothing changed).
template <class Costs>
int64_t improve_by_chain(LocalSearch<Costs>& s, int t1, bool forward) {
  const size_t start = s.journal.size();
  const int t2 = forward ? succ(s, t1) : pred(s, t1);
  s.added.clear();
  s.removed.assign(1, {t1, t2});
  const int64_t gain = extend_chain(s, forward, t1, t2, s.cost(t1, t2), 0);
  if (gain <= 0) return 0;
  s.length -= gain;
  // The ends of every path reversed, and their neighbours: their edges changed.
  for (size_t k = start; k < s.journal.size(); ++k) {
    for (int p : {s.journal[k].a, s.journal[k].b}) {
      wake(s, p);
      wake(s, succ(s, p));
      wake(s, pred(s, p));
    }
  }
  return gain;
}

// A stretch of one to three points starting or ending at a, moved between two neighbouring
// points elsewhere, either way round: the best such move when it gains. Returns the gain.
template <class Costs>
int64_t improve_by_moving(LocalSearch<Costs>& s, int a) {
  if (s.n < 8) return 0;
  int64_t best = 0;
  int best_first = -1, best_last = -1, best_at = -1;
  bool best_turned = false;
  for (int length = 1; length <= 3; ++length) {
    for (int side = 0; side < 2; ++side) {
      // The stretch first..last along succ, with a at one end.
      int first = a, last = a;
      for (int k = 1; k < length; ++k) {
        if (side == 0) {
          last = succ(s, last);
        } else {
          first = pred(s, first);
        }
      }
      const int before = pred(s, first), after = succ(s, last);
      const int64_t removal =
          s.cost(before, first) + s.cost(last, after) - s.cost(before, after);
      if (removal <= 0) continue;
      for (int end = 0; end < 2; ++end) {
        const int from = end == 0 ? first : last;
        const int* candidates = &s.neighbour[static_cast<size_t>(from) * s.candidates];
        for (int k = 0; k < s.candidates; ++k) {
          const int c = candidates[k];
          if (removal - s.cost(from, c) <= 0) break;
          // c and its successor, or its predecessor and c: neither may be in the stretch,
          // and the gap may not be the stretch's own (before, first) or (last, after).
          for (int way = 0; way < 2; ++way) {
            const int x = way == 0 ? c : pred(s, c), y = way == 0 ? succ(s, c) : c;
            bool inside = false;
            for (int p = first;; p = succ(s, p)) {
              if (p == x || p == y) inside = true;
              if (p == last) break;
            }
            if (inside || x == before) continue;
            const int64_t gap = s.cost(x, y);
            const int64_t kept = removal - (s.cost(x, first) + s.cost(last, y) - gap);
            const int64_t turned = removal - (s.cost(x, last) + s.cost(first, y) - gap);
            if (kept > best) {
              best = kept;
              best_first = first, best_last = last, best_at = x, best_turned = false;
            }
            if (turned > best) {
              best = turned;
              best_first = first, best_last = last, best_at = x, best_turned = true;
            }
          }
        }
      }
    }
  }
  if (best <= 0) return 0;
  // before [first..last] after ... x y  becomes  before after ... x [first..last] y, by
  // reversing first..x, then x..after, then (unless turned) the stretch again.
  const int before = pred(s, best_first), after = succ(s, best_last), x = best_at,
            y = succ(s, x);
  reverse_path(s, best_first, x);
  reverse_path(s, x, after);
  if (!best_turned) reverse_path(s, best_last, best_first);
  s.length -= best;
  for (int p : {before, after, x, y, best_first, best_last}) wake(s, p);
  return best;
}

// Looks at the queued points until none is left (or a stop).
template <class Costs>
void search_queue(LocalSearch<Costs>& s) {
  while (s.head < s.queue.size()) {
    if (looks_stop(s)) return;
    const int p = s.queue[s.head++];
    s.queued[p] = 0;
    if (s.head > s.queue.size() / 2 && s.head > 1024) {  // keep the queue short
      s.queue.erase(s.queue.begin(), s.queue.begin() + static_cast<ptrdiff_t>(s.head));
      s.head = 0;
    }
    if (improve_by_chain(s, p, true) > 0 || improve_by_chain(s, p, false) > 0 ||
        improve_by_moving(s, p) > 0) {
      wake(s, p);
    }
  }
}

inline uint64_t next_random(uint64_t* state) {
  *state ^= *state << 13;
  *state ^= *state >> 7;
  *state ^= *state << 17;
  return *state;
}

// a B C w becomes a C B w: the stretches B and C change places, three joins (a segment swap,
// a 3-opt move; a double bridge proper, changing all four joins of four stretches, measured
// no better within a second on the 150-1002-point instances: its slower kicks). A quarter of
// the kicks take two short stretches after a random point v (one to KICK_STRETCH points each);
// a quarter the points v p1 p2 p3 of a short random walk over the candidates, in tour order,
// and the stretches between them: neighbours in the plane that the tour may pass far apart;
// half of them four random points anywhere, which alone lift the search out of the deeper
// local optima (ch150: 0.23 % above the optimum with the first two kinds only, for any seed).
template <class Costs>
void kick(LocalSearch<Costs>& s) {
  const int v = static_cast<int>(next_random(&s.random) % static_cast<uint64_t>(s.n));
  int b1, b2, c1, c2;
  int walked[4] = {v, -1, -1, -1};
  int count = 1;
  const uint64_t kind = next_random(&s.random) & 3;
  if (kind == 1) {
    for (int p = v, tries = 0; count < 4 && tries < 50; ++tries) {
      p = s.neighbour[static_cast<size_t>(p) * s.candidates +
                      next_random(&s.random) % static_cast<uint64_t>(std::min(5, s.candidates))];
      if (std::find(walked, walked + count, p) == walked + count) walked[count++] = p;
    }
  } else if (kind >= 2 && s.global_kicks) {
    for (int tries = 0; count < 4 && tries < 50; ++tries) {
      const int p = static_cast<int>(next_random(&s.random) % static_cast<uint64_t>(s.n));
      if (std::find(walked, walked + count, p) == walked + count) walked[count++] = p;
    }
  }
  if (count == 4) {
    auto offset = [&](int p) {
      int d = (s.position[p] - s.position[v]) * (s.reversed ? -1 : 1);
      return d < 0 ? d + s.n : d;
    };
    std::sort(walked + 1, walked + 4, [&](int x, int y) { return offset(x) < offset(y); });
    b1 = succ(s, walked[1]);
    b2 = walked[2];
    c1 = succ(s, walked[2]);
    c2 = walked[3];
  } else {
    const int most = std::min(KICK_STRETCH, (s.n - 2) / 2);
    const int b_length = 1 + static_cast<int>(next_random(&s.random) % static_cast<uint64_t>(most));
    const int c_length = 1 + static_cast<int>(next_random(&s.random) % static_cast<uint64_t>(most));
    b1 = succ(s, v);
    b2 = b1;
    for (int k = 1; k < b_length; ++k) b2 = succ(s, b2);
    c1 = succ(s, b2);
    c2 = c1;
    for (int k = 1; k < c_length; ++k) c2 = succ(s, c2);
  }
  const int a = pred(s, b1), w = succ(s, c2);
  s.length += s.cost(a, c1) + s.cost(c2, b1) + s.cost(b2, w) - s.cost(a, b1) -
              s.cost(b2, c1) - s.cost(c2, w);
  reverse_path(s, b1, c2);  // a c2..c1 b2..b1 w
  reverse_path(s, c2, c1);  // a c1..c2 b2..b1 w
  reverse_path(s, b2, b1);  // a c1..c2 b1..b2 w
  for (int p : {a, b1, b2, c1, c2, w}) wake(s, p);
}


inline int find_root(std::vector<int>& parent, int p) {
  while (parent[p] != p) {
    parent[p] = parent[parent[p]];
    p = parent[p];
  }
  return p;
}

// The greedy tour over the candidate edges (neighbour[p * count + k]): the cheapest that keep
// every point at two at most and close no cycle, lower points first among equals; the
// fragments then joined end to end, each next one from the end nearest the last point. With
// rank (each point's place in an order that keeps near points near: a walk through space),
// the fragments are taken instead by the rank of their ends, each from the end nearer the
// last point: O(n log n) where the nearest end is O(fragments^2), minutes at a million points.
// Point 0 first.
//
// more_edges, when given, is asked for candidate pairs among the fragments' ends (each end's
// nearest other ends): they are taken the same way, and again while that joins a tenth of the
// fragments or more, before the ends are joined.
struct NoMoreEdges {
  std::vector<Edge> operator()(const std::vector<int>&) const { return {}; }
};

template <class Costs, class MoreEdges = NoMoreEdges>
std::vector<int> greedy_order(int n, const Costs& cost, const std::vector<int>& neighbour,
                              int count, const std::vector<int>* rank = nullptr,
                              const MoreEdges& more_edges = MoreEdges()) {
  std::vector<std::pair<int64_t, Edge>> edges;
  edges.reserve(static_cast<size_t>(n) * count);
  auto offer = [&](int p, int q) { edges.push_back({cost(p, q), {std::min(p, q), std::max(p, q)}}); };
  for (int p = 0; p < n; ++p) {
    for (int k = 0; k < count; ++k) offer(p, neighbour[static_cast<size_t>(p) * count + k]);
  }
  std::vector<int> parent(n), degree(n, 0), link(2 * static_cast<size_t>(n), -1);
  std::iota(parent.begin(), parent.end(), 0);
  int fragments = n;
  // The point after p along its fragment, coming from previous; -1 at an end.
  auto onward = [&](int p, int previous) {
    int next = -1;
    for (int k = 0; k < degree[p]; ++k) {
      const int q = link[2 * static_cast<size_t>(p) + k];
      if (q != previous) next = q;
    }
    return next;
  };
  auto take = [&]() {
    std::sort(edges.begin(), edges.end(), [](const auto& x, const auto& y) {
      return x.first != y.first ? x.first < y.first
                                : std::make_pair(x.second.a, x.second.b) < std::make_pair(y.second.a, y.second.b);
    });
    for (const auto& [weight, e] : edges) {
      if (degree[e.a] == 2 || degree[e.b] == 2) continue;
      const int ra = find_root(parent, e.a), rb = find_root(parent, e.b);
      if (ra == rb) continue;  // a cycle, or the same edge again
      parent[ra] = rb;
      link[2 * static_cast<size_t>(e.a) + degree[e.a]++] = e.b;
      link[2 * static_cast<size_t>(e.b) + degree[e.b]++] = e.a;
      --fragments;
    }
  };
  take();
  auto open_ends = [&]() {
    std::vector<int> ends;
    for (int p = 0; p < n; ++p) {
      if (degree[p] < 2) ends.push_back(p);
    }
    return ends;
  };
  while (fragments > 1) {
    const int before = fragments;
    const std::vector<Edge> more = more_edges(open_ends());
    if (more.empty()) break;
    edges.clear();
    for (const Edge& e : more) offer(e.a, e.b);
    take();
    if (10 * (before - fragments) < before) break;
  }
  std::vector<uint8_t> placed(n, 0);
  std::vector<int> ends = open_ends();
  std::vector<int> order;
  order.reserve(n);
  auto walk = [&](int from) {
    for (int previous = -1, p = from; p >= 0;) {
      order.push_back(p);
      placed[p] = 1;
      const int next = onward(p, previous);
      previous = p;
      p = next;
    }
  };
  if (rank) {
    // Each fragment by its lower-ranked end (a lone point is both ends of its own).
    std::vector<std::pair<int, int>> by_rank;
    for (int e : ends) by_rank.push_back({(*rank)[e], e});
    std::sort(by_rank.begin(), by_rank.end());
    for (const auto& [place, e] : by_rank) {
      if (placed[e]) continue;
      if (order.empty() || degree[e] == 0) {
        walk(e);
        continue;
      }
      // The fragment's other end: walk it to find it, then start from the nearer of the two.
      int previous = -1, p = e;
      for (int next = onward(p, previous); next >= 0; next = onward(p, previous)) {
        previous = p;
        p = next;
      }
      walk(cost(order.back(), p) < cost(order.back(), e) ? p : e);
    }
    std::rotate(order.begin(), std::find(order.begin(), order.end(), 0), order.end());
    return order;
  }
  walk(ends.front());
  size_t live = ends.size();  // ends[0..live) may be unplaced
  for (;;) {
    const int last = order.back();
    int nearest = -1;
    int64_t nearest_cost = 0;
    size_t kept = 0;
    for (size_t k = 0; k < live; ++k) {
      const int e = ends[k];
      if (placed[e]) continue;
      ends[kept++] = e;
      const int64_t c = cost(last, e);
      if (nearest < 0 || c < nearest_cost) nearest = e, nearest_cost = c;
    }
    live = kept;
    if (nearest < 0) break;
    walk(nearest);
  }
  std::rotate(order.begin(), std::find(order.begin(), order.end(), 0), order.end());
  return order;
}

// The cost of the closed tour through order.
template <class Costs>
int64_t order_cost(const Costs& cost, const std::vector<int>& order) {
  const size_t n = order.size();
  int64_t total = 0;
  for (size_t t = 0; t < n; ++t) total += cost(order[t], order[(t + 1) % n]);
  return total;
}

inline bool is_tour(int n, const std::vector<int>& order) {
  if (static_cast<int>(order.size()) != n) return false;
  std::vector<uint8_t> seen(n, 0);
  for (int p : order) {
    if (p < 0 || p >= n || seen[p]) return false;
    seen[p] = 1;
  }
  return true;
}

// The chained search from start (a tour of every point, n >= 5) with the candidate lists
// neighbour[p * count + k]. Returns the order of the points, point 0 first.
template <class Costs>
std::vector<int> chained_search(int n, const Costs& cost, std::vector<int> neighbour, int count,
                                const std::vector<int>& start, const LocalSearchOptions& options,
                                bool global_kicks) {
  LocalSearch<Costs> s;
  s.n = n;
  s.cost = cost;
  s.candidates = count;
  s.neighbour = std::move(neighbour);
  s.global_kicks = global_kicks;
  s.tour = start;
  s.position.assign(n, 0);
  for (int t = 0; t < n; ++t) s.position[s.tour[t]] = t;
  s.length = order_cost(cost, start);
  s.random = options.seed * 0x9E3779B97F4A7C15ull + 1;
  s.stop = options.stop;
  s.queued.assign(n, 0);
  for (int p : start) wake(s, p);
  search_queue(s);
  s.journal.clear();
  if (options.better) options.better(options.context, s.length);
  for (int64_t round = 0; round < options.kicks && s.length > options.enough && !s.stopped;
       ++round) {
    const int64_t before = s.length;
    kick(s);
    search_queue(s);
    if (s.length > before) {
      undo_to(s, 0);
      s.length = before;
      for (size_t k = s.head; k < s.queue.size(); ++k) s.queued[s.queue[k]] = 0;
      s.queue.clear();
      s.head = 0;
    } else if (s.length < before && options.better) {
      options.better(options.context, s.length);
    }
    s.journal.clear();
    looks_stop(s);
  }
  std::vector<int> order;
  order.reserve(n);
  for (int p = 0, t = 0; t < n; ++t, p = succ(s, p)) order.push_back(p);
  return order;
}

}  // namespace chained_search
