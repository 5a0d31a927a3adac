// Iterated local search for a good tour; see good_tour.h.
#include "bounds/good_tour.h"

#include <algorithm>

// The cost of an order, closing back to order[0].
static int64_t order_cost(int n, const int64_t* cost, const std::vector<int>& order) {
  int64_t total = 0;
  for (int t = 0; t < n; ++t) total += cost[static_cast<size_t>(order[t]) * n + order[(t + 1) % n]];
  return total;
}

// Takes improving moves until none is left, or until stop (when given) returns true, which it
// asks before each first point of a move (O(n) work apart): a segment of one to three points
// moved elsewhere in its own direction, or a stretch reversed (priced both ways, for
// asymmetric costs). Point 0 stays first; every move is whole, so the order stays a tour.
static void improve(int n, const int64_t* cost, std::vector<int>& order, bool (*stop)()) {
  auto c = [&](int i, int j) { return cost[static_cast<size_t>(i) * n + j]; };
  std::vector<int64_t> forward(n + 1), backward(n + 1);
  std::vector<int> moved(3);
  bool improved = true;
  while (improved) {
    improved = false;
    auto sum_arcs = [&] {
      forward[0] = backward[0] = 0;
      for (int t = 0; t + 1 < n; ++t) {
        forward[t + 1] = forward[t] + c(order[t], order[t + 1]);
        backward[t + 1] = backward[t] + c(order[t + 1], order[t]);
      }
    };
    sum_arcs();
    for (int i = 1; i < n - 1; ++i) {
      if (stop && stop()) return;
      for (int j = i + 1; j < n; ++j) {
        const int before = order[i - 1], after = order[(j + 1) % n];
        const int64_t change = c(before, order[j]) + c(order[i], after) - c(before, order[i]) -
                               c(order[j], after) + (backward[j] - backward[i]) -
                               (forward[j] - forward[i]);
        if (change < 0) {
          std::reverse(order.begin() + i, order.begin() + j + 1);
          sum_arcs();
          improved = true;
        }
      }
    }
    for (int length = 1; length <= 3; ++length) {
      for (int i = 1; i + length <= n; ++i) {
        if (stop && stop()) return;
        const int first = order[i], last = order[i + length - 1];
        const int before = order[i - 1], after = order[(i + length) % n];
        const int64_t removed = c(before, first) + c(last, after) - c(before, after);
        for (int j = 0; j < n; ++j) {
          if (j >= i - 1 && j < i + length) continue;
          const int x = order[j], y = order[(j + 1) % n];
          if (c(x, first) + c(last, y) - c(x, y) - removed >= 0) continue;
          for (int t = 0; t < length; ++t) moved[t] = order[i + t];
          if (j < i) {
            for (int t = i - 1; t > j; --t) order[t + length] = order[t];
            for (int t = 0; t < length; ++t) order[j + 1 + t] = moved[t];
          } else {
            for (int t = i + length; t <= j; ++t) order[t - length] = order[t];
            for (int t = 0; t < length; ++t) order[j - length + 1 + t] = moved[t];
          }
          improved = true;
          break;
        }
      }
    }
  }
}

static uint64_t next_random(uint64_t* state) {
  *state ^= *state << 13;
  *state ^= *state >> 7;
  *state ^= *state << 17;
  return *state;
}

// Four stretches A B C D become A C B D.
static void kick(int n, std::vector<int>& order, uint64_t* random) {
  if (n < 8) return;
  int cut[3];
  do {
    for (int& one : cut) one = 1 + static_cast<int>(next_random(random) % static_cast<uint64_t>(n - 1));
    std::sort(cut, cut + 3);
  } while (!(cut[0] < cut[1] && cut[1] < cut[2]));
  std::vector<int> copy;
  copy.reserve(n);
  copy.insert(copy.end(), order.begin(), order.begin() + cut[0]);
  copy.insert(copy.end(), order.begin() + cut[1], order.begin() + cut[2]);
  copy.insert(copy.end(), order.begin() + cut[0], order.begin() + cut[1]);
  copy.insert(copy.end(), order.begin() + cut[2], order.end());
  order.swap(copy);
}

std::vector<int> nearest_neighbour_tour(int n, const int64_t* cost, bool (*stop)()) {
  std::vector<int> order{0};
  order.reserve(n);
  std::vector<uint8_t> used(n, 0);
  used[0] = 1;
  for (int t = 1; t < n; ++t) {
    // Stopped: the points left in their own order, in linear time.
    if ((t & 63) == 0 && stop && stop()) {
      for (int p = 0; p < n; ++p) {
        if (!used[p]) order.push_back(p);
      }
      return order;
    }
    int choice = -1;
    const int64_t* row = cost + static_cast<size_t>(order.back()) * n;
    for (int p = 0; p < n; ++p) {
      if (!used[p] && (choice < 0 || row[p] < row[choice])) choice = p;
    }
    order.push_back(choice);
    used[choice] = 1;
  }
  return order;
}

std::vector<int> find_good_tour(int n, const int64_t* cost, std::vector<int> order, int rounds,
                                int64_t enough, bool (*stop)()) {
  if (static_cast<int>(order.size()) != n) order = nearest_neighbour_tour(n, cost, stop);
  improve(n, cost, order, stop);
  std::vector<int> best = order, trial;
  int64_t current = order_cost(n, cost, order), best_cost = current;
  uint64_t random = 0x9E3779B97F4A7C15ull;
  int since_best = 0;
  for (int round = 0; round < rounds && best_cost > enough && !(stop && stop()); ++round) {
    trial = order;
    kick(n, trial, &random);
    improve(n, cost, trial, stop);
    const int64_t trial_cost = order_cost(n, cost, trial);
    if (trial_cost <= current) {
      current = trial_cost;
      order = trial;
    }
    if (trial_cost < best_cost) {
      best_cost = trial_cost;
      best = trial;
      since_best = 0;
    } else if (++since_best == 10 * n) {
      order = best;
      for (int shake = 0; shake < 3; ++shake) kick(n, order, &random);
      improve(n, cost, order, stop);
      current = order_cost(n, cost, order);
      since_best = 0;
    }
  }
  return best;
}

// Joins every cycle into point 0's by one exchange each: the stopped patching's ending, O(n).
static void splice_cycles(std::vector<int>& successor, const std::vector<std::vector<int>>& members,
                          const std::vector<int>& cycle) {
  for (size_t id = 0; id < members.size(); ++id) {
    if (members[id].empty() || static_cast<int>(id) == cycle[0]) continue;
    std::swap(successor[0], successor[members[id].front()]);
  }
}

std::vector<int> patch_cycles(int n, const int64_t* cost, std::vector<int> successor,
                              bool (*stop)()) {
  auto c = [&](int i, int j) { return cost[static_cast<size_t>(i) * n + j]; };
  std::vector<int> cycle(n, -1);
  std::vector<std::vector<int>> members;
  for (int start = 0; start < n; ++start) {
    if (cycle[start] >= 0) continue;
    members.emplace_back();
    for (int p = start; cycle[p] < 0; p = successor[p]) {
      cycle[p] = static_cast<int>(members.size()) - 1;
      members.back().push_back(p);
    }
  }
  int cycles = static_cast<int>(members.size());
  // i -> i' and j -> j' in different cycles become i -> j' and j -> i': one cycle.
  auto change = [&](int i, int j) {
    return c(i, successor[j]) + c(j, successor[i]) - c(i, successor[i]) - c(j, successor[j]);
  };
  // Each time the exchange that costs least, the first (i, j), i < j, among equals. For each
  // point i, the least change with the points of other cycles and its lowest partner: after
  // an exchange only the two points exchanged, and the pairs it puts in one cycle, change.
  std::vector<int64_t> best(n, 0);
  std::vector<int> partner(n, -1);
  auto recompute = [&](int i) {
    partner[i] = -1;
    for (int j = 0; j < n; ++j) {
      if (cycle[j] == cycle[i]) continue;
      const int64_t d = change(i, j);
      if (partner[i] < 0 || d < best[i]) {
        best[i] = d;
        partner[i] = j;
      }
    }
  };
  bool stopped = false;
  for (int i = 0; i < n && cycles > 1 && !stopped; ++i) {
    if ((i & 63) == 0 && stop && stop()) stopped = true;
    recompute(i);
  }
  while (cycles > 1 && !stopped) {
    int first = -1;
    for (int i = 0; i < n; ++i) {
      if (partner[i] >= 0 && (first < 0 || best[i] < best[first])) first = i;
    }
    const int second = partner[first];
    std::swap(successor[first], successor[second]);
    // The smaller cycle takes the larger one's number.
    int keep = cycle[first], gone = cycle[second];
    if (members[keep].size() < members[gone].size()) std::swap(keep, gone);
    for (int p : members[gone]) cycle[p] = keep;
    members[keep].insert(members[keep].end(), members[gone].begin(), members[gone].end());
    members[gone].clear();
    if (--cycles == 1) break;
    for (int p = 0; p < n; ++p) {
      if ((p & 63) == 0 && stop && stop()) {
        stopped = true;
        break;
      }
      const int q = partner[p];
      if (p == first || p == second || q == first || q == second || cycle[p] == cycle[q]) {
        recompute(p);
        continue;
      }
      for (int x : {first, second}) {
        if (cycle[x] == cycle[p]) continue;
        const int64_t d = change(p, x);
        if (d < best[p] || (d == best[p] && x < q)) {
          best[p] = d;
          partner[p] = x;
        }
      }
    }
  }
  if (stopped) splice_cycles(successor, members, cycle);
  std::vector<int> order{0};
  for (int p = successor[0]; p != 0; p = successor[p]) order.push_back(p);
  return order;
}
