// Bounds on tour costs; see tour_bounds.h for what they mean.
#include "solver/tour_bounds.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "bounds/good_tour.h"

TourBounds tour_bounds;

constexpr int MAX_ROWS = MAX_BOUND_POINTS + 1;  // the assignments of heads have a spare column
constexpr int64_t FAR = int64_t{1} << 61;        // no assignment may use such a cell

// The costs cut to floor(D / 2^t), points 0..n-1 (point c is c - 1).
static int64_t cut_cost[MAX_BOUND_POINTS][MAX_BOUND_POINTS];

static inline int64_t cost_at(int i, int j) { return cut_cost[i][j]; }

PathCost tour_cost_of(const DistanceMatrix* matrix, const int64_t* tour) {
  PathCost total = 0;
  for (int64_t i = 0; i < matrix->n; ++i) total += distance(matrix, tour[i], tour[i + 1]);
  return total;
}

// ---- The least assignment (shortest augmenting paths with potentials) ----

struct Assignment {
  int m;
  int64_t cost[MAX_ROWS][MAX_ROWS];  // rows and columns 0..m-1
  int64_t row_potential[MAX_ROWS];
  int64_t column_potential[MAX_ROWS];
  int column_of[MAX_ROWS];  // the column of each row
  int row_of[MAX_ROWS];     // the row of each column
};

// Solves the assignment; afterwards cost - row_potential - column_potential >= 0 in every
// cell and = 0 on the assignment, whose total it returns.
static int64_t solve_assignment(Assignment* a) {
  const int m = a->m;
  // Potentials and matching with a virtual column m standing for "unmatched".
  int64_t u[MAX_ROWS + 1], v[MAX_ROWS + 1];
  int p[MAX_ROWS + 1], way[MAX_ROWS + 1];  // p[j]: row of column j; column m is the root
  for (int j = 0; j <= m; ++j) {
    u[j] = 0;
    v[j] = 0;
    p[j] = -1;
  }
  for (int i = 0; i < m; ++i) {
    p[m] = i;
    int j0 = m;
    int64_t least[MAX_ROWS + 1];
    bool used[MAX_ROWS + 1];
    for (int j = 0; j <= m; ++j) {
      least[j] = INT64_MAX;
      used[j] = false;
    }
    do {
      used[j0] = true;
      const int i0 = p[j0];
      int64_t delta = INT64_MAX;
      int j1 = -1;
      for (int j = 0; j < m; ++j) {
        if (used[j]) continue;
        const int64_t reduced = a->cost[i0][j] - u[i0] - v[j];
        if (reduced < least[j]) {
          least[j] = reduced;
          way[j] = j0;
        }
        if (least[j] < delta) {
          delta = least[j];
          j1 = j;
        }
      }
      for (int j = 0; j <= m; ++j) {
        if (used[j]) {
          u[p[j]] += delta;
          v[j] -= delta;
        } else {
          least[j] -= delta;
        }
      }
      j0 = j1;
    } while (p[j0] != -1);
    do {
      const int j1 = way[j0];
      p[j0] = p[j1];
      j0 = j1;
    } while (j0 != m);
  }
  int64_t total = 0;
  for (int j = 0; j < m; ++j) {
    a->row_of[j] = p[j];
    a->column_of[p[j]] = j;
    a->column_potential[j] = v[j];
  }
  for (int i = 0; i < m; ++i) {
    a->row_potential[i] = u[i];
    total += a->cost[i][a->column_of[i]];
  }
  return total;
}

// ---- Lower bounds ----

// Symmetric: 1-trees under node penalties; returns the best bound, its penalties in penalty.
static int64_t one_tree_bound(int n, int64_t scale, int64_t limit, int64_t* penalty) {
  int64_t trial[MAX_BOUND_POINTS] = {};
  int64_t best = INT64_MIN;
  double step_factor = 2.0;
  int idle = 0;
  for (int iteration = 0; iteration < 3000 && step_factor > 1e-3; ++iteration) {
    auto weight = [&](int i, int j) { return scale * cost_at(i, j) + trial[i] + trial[j]; };
    int degree[MAX_BOUND_POINTS] = {};
    int64_t tree = 0;
    // Prim over the points but point 1 (0 here).
    int64_t reach[MAX_BOUND_POINTS];
    int from[MAX_BOUND_POINTS];
    bool in_tree[MAX_BOUND_POINTS] = {};
    for (int c = 1; c < n; ++c) {
      reach[c] = INT64_MAX;
      from[c] = -1;
    }
    reach[1] = 0;
    for (int step = 1; step < n; ++step) {
      int next = -1;
      for (int c = 1; c < n; ++c) {
        if (!in_tree[c] && (next < 0 || reach[c] < reach[next])) next = c;
      }
      in_tree[next] = true;
      if (from[next] >= 0) {
        tree += reach[next];
        ++degree[next];
        ++degree[from[next]];
      }
      for (int c = 1; c < n; ++c) {
        if (!in_tree[c] && weight(next, c) < reach[c]) {
          reach[c] = weight(next, c);
          from[c] = next;
        }
      }
    }
    int first = -1, second = -1;
    for (int c = 1; c < n; ++c) {
      if (first < 0 || weight(0, c) < weight(0, first)) {
        second = first;
        first = c;
      } else if (second < 0 || weight(0, c) < weight(0, second)) {
        second = c;
      }
    }
    tree += weight(0, first) + (second >= 0 ? weight(0, second) : weight(0, first));
    degree[0] = 2;
    ++degree[first];
    if (second >= 0) ++degree[second];
    int64_t bound = tree;
    for (int c = 0; c < n; ++c) bound -= 2 * trial[c];
    if (bound > best) {
      best = bound;
      for (int c = 0; c < n; ++c) penalty[c] = trial[c];
      idle = 0;
    } else if (++idle >= 30) {
      step_factor /= 2;
      idle = 0;
    }
    double norm = 0;
    for (int c = 0; c < n; ++c) norm += static_cast<double>((degree[c] - 2) * (degree[c] - 2));
    if (norm == 0 || best >= limit) break;  // a tour, or the good tour proven optimal
    const double step = step_factor * static_cast<double>(limit - bound) / norm;
    for (int c = 0; c < n; ++c) trial[c] += std::llround(step * (degree[c] - 2));
  }
  return best;
}

// Asymmetric: assignments under subtour cuts. Fills weight with the reduced costs of the best
// one and returns its bound.
constexpr int MAX_CUTS = 600;
struct Cut {
  uint64_t members;  // bit c for point c + 1
  int64_t multiplier;
  int idle;  // rounds at zero
};
static Cut cuts[MAX_CUTS];

static int64_t assignment_bound(int n, int64_t scale, int64_t limit,
                                int64_t weight[MAX_BOUND_POINTS][MAX_BOUND_POINTS]) {
  static Assignment assignment;
  int cut_count = 0;
  int64_t best = INT64_MIN;
  double step_factor = 2.0;
  int idle = 0;
  assignment.m = n;
  for (int iteration = 0; iteration < 1000 && step_factor > 1e-3; ++iteration) {
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) assignment.cost[i][j] = i == j ? FAR : scale * cost_at(i, j);
    }
    int64_t multipliers = 0;
    for (int q = 0; q < cut_count; ++q) {
      const Cut& cut = cuts[q];
      multipliers += cut.multiplier;
      if (cut.multiplier == 0) continue;
      for (int i = 0; i < n; ++i) {
        if (!(cut.members >> i & 1)) continue;
        for (int j = 0; j < n; ++j) {
          if (!(cut.members >> j & 1) && j != i) assignment.cost[i][j] -= cut.multiplier;
        }
      }
    }
    const int64_t bound = solve_assignment(&assignment) + multipliers;
    if (bound > best) {
      best = bound;
      for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
          weight[i][j] = i == j ? 0
                                : assignment.cost[i][j] - assignment.row_potential[i] -
                                      assignment.column_potential[j];
        }
      }
      idle = 0;
    } else if (++idle >= 20) {
      step_factor /= 2;
      idle = 0;
    }
    if (best >= limit) break;
    // The cycles of the assignment are subtours: new cuts.
    bool seen[MAX_BOUND_POINTS] = {};
    int cycles = 0;
    uint64_t cycle_members[MAX_BOUND_POINTS];
    for (int start = 0; start < n; ++start) {
      if (seen[start]) continue;
      uint64_t members = 0;
      for (int c = start; !seen[c]; c = assignment.column_of[c]) {
        seen[c] = true;
        members |= uint64_t{1} << c;
      }
      cycle_members[cycles++] = members;
    }
    if (cycles > 1) {
      for (int t = 0; t < cycles; ++t) {
        bool known = false;
        for (int q = 0; q < cut_count && !known; ++q) known = cuts[q].members == cycle_members[t];
        if (!known && cut_count < MAX_CUTS) cuts[cut_count++] = {cycle_members[t], 0, 0};
      }
    }
    // Subgradient: 1 - arcs leaving the cut.
    int gradient[MAX_CUTS];
    double norm = 0;
    for (int q = 0; q < cut_count; ++q) {
      int leaving = 0;
      for (int i = 0; i < n; ++i) {
        if ((cuts[q].members >> i & 1) && !(cuts[q].members >> assignment.column_of[i] & 1)) {
          ++leaving;
        }
      }
      gradient[q] = 1 - leaving;
      if (cuts[q].multiplier == 0 && gradient[q] < 0) gradient[q] = 0;
      norm += gradient[q] * gradient[q];
    }
    if (norm == 0) break;
    const double step = step_factor * static_cast<double>(limit - bound) / norm;
    int kept = 0;
    for (int q = 0; q < cut_count; ++q) {
      Cut cut = cuts[q];
      cut.multiplier += std::llround(step * gradient[q]);
      if (cut.multiplier < 0) cut.multiplier = 0;
      cut.idle = cut.multiplier == 0 ? cut.idle + 1 : 0;
      if (cut.idle < 50) cuts[kept++] = cut;  // long unused cuts make room
    }
    cut_count = kept;
  }
  return best;
}

void prepare_tour_bounds(const DistanceMatrix* matrix, bool (*stop)()) {
  TourBounds& b = tour_bounds;
  const int n = static_cast<int>(matrix->n);
  b.n = n;
  // The cut t and the scale K: potentials and weights stay within a few times n K |D_t|, and
  // a bound adds up to n of them, so K |D_t| must stay near 2^58 / n^2.
  uint64_t largest = 0;
  for (int i = 1; i <= n; ++i) {
    for (int j = 1; j <= n; ++j) {
      if (i == j) continue;
      const int64_t c = distance(matrix, i, j);
      const uint64_t magnitude = c < 0 ? 0 - static_cast<uint64_t>(c) : static_cast<uint64_t>(c);
      if (magnitude > largest) largest = magnitude;
    }
  }
  const uint64_t room = (uint64_t{1} << 58) / static_cast<uint64_t>((n + 2) * (n + 2));
  b.shift = 0;
  while ((largest >> b.shift) + 1 > room) ++b.shift;
  const uint64_t cut_largest = (largest >> b.shift) + 1;
  b.scale = 1;
  while (b.scale < (int64_t{1} << 20) && cut_largest * static_cast<uint64_t>(b.scale) * 2 <= room) {
    b.scale *= 2;
  }
  b.symmetric = true;
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      cut_cost[i][j] = i == j ? 0 : distance(matrix, i + 1, j + 1) >> b.shift;
      if (i != j && distance(matrix, i + 1, j + 1) != distance(matrix, j + 1, i + 1)) {
        b.symmetric = false;
      }
    }
  }

  // A first tour gives the relaxation its target; the search for a better one stops when it
  // meets the relaxation's bound.
  // The nearest-neighbour tour improved, then iterated local search (bounds/good_tour.h).
  std::vector<int64_t> flat(static_cast<size_t>(n) * n);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) flat[static_cast<size_t>(i) * n + j] = cost_at(i, j);
  }
  std::vector<int> order = find_good_tour(n, flat.data(), {}, 0, INT64_MIN, stop);
  auto take_tour = [&] {
    for (int t = 0; t < n; ++t) b.tour[t] = order[t] + 1;
    b.tour[n] = 1;
    b.upper = tour_cost_of(matrix, b.tour);
    b.limit = b.scale * static_cast<int64_t>(b.upper >> b.shift);
  };
  take_tour();
  if (b.symmetric) {
    int64_t penalty[MAX_BOUND_POINTS] = {};
    b.lower_scaled = n >= 3 ? one_tree_bound(n, b.scale, b.limit, penalty) : b.limit;
    b.base = 0;
    for (int c = 0; c < n; ++c) b.base -= 2 * penalty[c];
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) {
        b.weight[i][j] = i == j ? 0 : b.scale * cost_at(i, j) + penalty[i] + penalty[j];
      }
    }
  } else {
    b.lower_scaled = assignment_bound(n, b.scale, b.limit, b.weight);
    b.base = b.lower_scaled;
  }
  // The least whole cut cost that the bound allows.
  const int64_t enough = b.lower_scaled / b.scale + (b.lower_scaled % b.scale > 0 ? 1 : 0);
  order = find_good_tour(n, flat.data(), order, n < 8 ? 0 : 100 * n, enough, stop);
  take_tour();
}

// ---- Bounds on heads ----

// The weight of a least spanning tree over the points members[0..m) (0-based), grown by Prim
// from reach[t], the weight that joins members[t] to the tree so far (0 for where it starts).
static int64_t spanning_tree(const int* members, int m, int64_t* reach) {
  const TourBounds& b = tour_bounds;
  bool in_tree[MAX_BOUND_POINTS] = {};
  int64_t tree = 0;
  for (int step = 0; step < m; ++step) {
    int next = -1;
    for (int t = 0; t < m; ++t) {
      if (!in_tree[t] && (next < 0 || reach[t] < reach[next])) next = t;
    }
    in_tree[next] = true;
    tree += reach[next];
    for (int t = 0; t < m; ++t) {
      const int64_t w = b.weight[members[next]][members[t]];
      if (!in_tree[t] && w < reach[t]) reach[t] = w;
    }
  }
  return tree;
}

static thread_local Assignment head_assignment;

void head_bounds(uint64_t visited, int64_t* head) {
  const TourBounds& b = tour_bounds;
  const int n = static_cast<int>(b.n);
  int rest[MAX_BOUND_POINTS];  // points outside visited (0-based), in increasing order
  int m = 0;
  for (int c = 1; c < n; ++c) {
    if (!(visited >> (c - 1) & 1)) rest[m++] = c;
  }
  if (m == 0) return;
  if (m == 1) {
    head[rest[0] + 1] = b.weight[0][rest[0]];
    return;
  }
  if (b.symmetric) {
    // A least spanning tree of the rest, and the cheapest edge from point 1 into the rest
    // but the end point.
    int64_t reach[MAX_BOUND_POINTS];
    for (int t = 0; t < m; ++t) reach[t] = t == 0 ? 0 : INT64_MAX;
    const int64_t tree = spanning_tree(rest, m, reach);
    int first = -1, second = -1;
    for (int t = 0; t < m; ++t) {
      const int64_t w = b.weight[0][rest[t]];
      if (first < 0 || w < b.weight[0][rest[first]]) {
        second = first;
        first = t;
      } else if (second < 0 || w < b.weight[0][rest[second]]) {
        second = t;
      }
    }
    for (int t = 0; t < m; ++t) {
      head[rest[t] + 1] = tree + b.weight[0][rest[t == first ? second : first]];
    }
    return;
  }
  // Rows: point 1, then the rest; columns: the rest, then a spare one that the head's end
  // takes (its path leaves nothing there). Forcing end e onto the spare column costs the
  // least alternating path from the row now on it to e's column, in reduced costs.
  Assignment& a = head_assignment;
  a.m = m + 1;
  for (int j = 0; j < m; ++j) a.cost[0][j] = b.weight[0][rest[j]];
  a.cost[0][m] = FAR;
  for (int i = 0; i < m; ++i) {
    for (int j = 0; j < m; ++j) a.cost[i + 1][j] = i == j ? FAR : b.weight[rest[i]][rest[j]];
    a.cost[i + 1][m] = 0;
  }
  const int64_t least = solve_assignment(&a);
  auto reduced = [&](int i, int j) {
    return a.cost[i][j] - a.row_potential[i] - a.column_potential[j];
  };
  // Dijkstra over the columns but the spare one, from the row on the spare column.
  const int start = a.row_of[m];
  int64_t distance_to[MAX_ROWS];
  bool done[MAX_ROWS] = {};
  for (int j = 0; j < m; ++j) distance_to[j] = reduced(start, j);
  for (int step = 0; step < m; ++step) {
    int next = -1;
    for (int j = 0; j < m; ++j) {
      if (!done[j] && (next < 0 || distance_to[j] < distance_to[next])) next = j;
    }
    done[next] = true;
    const int row = a.row_of[next];
    for (int j = 0; j < m; ++j) {
      if (done[j]) continue;
      const int64_t through = distance_to[next] + reduced(row, j);
      if (through < distance_to[j]) distance_to[j] = through;
    }
  }
  for (int t = 0; t < m; ++t) {
    const int row = t + 1;
    head[rest[t] + 1] = row == start ? least
                                     : least + reduced(row, m) + distance_to[a.column_of[row]];
  }
}

int64_t tail_bound(int64_t start, uint64_t rest) {
  const TourBounds& b = tour_bounds;
  const int p = static_cast<int>(start) - 1;  // 0-based
  int others[MAX_BOUND_POINTS];
  int m = 0;
  for (uint64_t left = rest; left; left &= left - 1) others[m++] = __builtin_ctzll(left) + 1;
  if (m == 0) return b.weight[p][0];
  if (b.symmetric) {
    // A least spanning tree of start and the rest, and the cheapest edge from the rest to 1.
    int64_t reach[MAX_BOUND_POINTS];
    for (int t = 0; t < m; ++t) reach[t] = b.weight[p][others[t]];
    const int64_t tree = spanning_tree(others, m, reach);
    int64_t back = INT64_MAX;
    for (int t = 0; t < m; ++t) back = std::min(back, b.weight[others[t]][0]);
    return tree + back;
  }
  // Rows: start and the rest; columns: the rest and point 1 (start goes into the rest).
  Assignment& a = head_assignment;
  a.m = m + 1;
  for (int j = 0; j < m; ++j) a.cost[0][j] = b.weight[p][others[j]];
  a.cost[0][m] = FAR;
  for (int i = 0; i < m; ++i) {
    for (int j = 0; j < m; ++j) a.cost[i + 1][j] = i == j ? FAR : b.weight[others[i]][others[j]];
    a.cost[i + 1][m] = b.weight[others[i]][0];
  }
  return solve_assignment(&a);
}
