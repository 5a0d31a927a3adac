// Whole-number bounds from the relaxation's duals; see exact_bound.h for why they hold.
#include "bounds/exact_bound.h"

#include <algorithm>
#include <cmath>

// Rounded duals beyond this are replaced by 0, which keeps every weight within 64 bits
// (|C| < 2^42, |U|, |V| <= 2^44, and at most 2^12 cuts of Y <= 2^44 each); any value is valid.
constexpr double LARGEST_DUAL = 17592186044416.0;  // 2^44
constexpr size_t MOST_CUTS = 4096;

static int64_t rounded(double value, int64_t scale) {
  const double scaled = std::nearbyint(value * static_cast<double>(scale));
  if (!(std::fabs(scaled) <= LARGEST_DUAL)) return 0;  // NaN too
  return static_cast<int64_t>(scaled);
}

bool exact_duals_from_lp(ExactDuals* duals, const SubtourLp* lp, const int64_t* scaled_cost,
                         int64_t scale, bool (*stop)()) {
  const int n = lp->n;
  duals->n = n;
  duals->complete = false;
  __int128 base = 0;
  std::vector<int64_t> out(n), in(n);
  for (int i = 0; i < n; ++i) {
    out[i] = i < static_cast<int>(lp->out_dual.size()) ? rounded(lp->out_dual[i], scale) : 0;
    in[i] = i < static_cast<int>(lp->in_dual.size()) ? rounded(lp->in_dual[i], scale) : 0;
    base += out[i];
    base += in[i];
  }
  // A table of the same size is written over; a new one grows a row at a time, looking at
  // stop as it goes: touching fresh memory is slow on some machines (seconds a gigabyte).
  const size_t cells = static_cast<size_t>(n) * n;
  if (duals->weight.size() != cells) {
    duals->weight.clear();
    duals->weight.reserve(cells);
  }
  const bool fresh = duals->weight.size() != cells;
  // A cut's coefficient of arc (i, j) is a sum over its sets S of [i in S] + [j in S] -
  // 2 [i, j both in S] (crossing S either way: a comb's sets, a subtour cut over edges) or
  // [i in S] - [i, j both in S] (leaving S: a subtour cut over arcs). The terms of one point
  // gather in its row and column offsets; the pairs within a set are added cell by cell.
  // Crossing S is crossing its outside, and leaving S is [j outside] - [i, j both outside]:
  // the smaller side serves.
  const size_t cuts = std::min(lp->cuts.size(), std::min(lp->cut_dual.size(), MOST_CUTS));
  std::vector<int64_t> row_offset(out), column_offset(in);
  std::vector<std::pair<std::vector<int>, int64_t>> within;  // (members, amount each pair)
  std::vector<int> inside, outside;
  for (size_t cut = 0; cut < cuts; ++cut) {
    if (stop && stop()) return false;
    const LpCut& row = lp->cuts[cut];
    const int64_t y = rounded(lp->cut_dual[cut], scale);
    if (y <= 0) continue;  // every cut is a >= row: its dual must be >= 0
    base += static_cast<__int128>(y) * cut_bound(row, lp->edges);
    inside.clear();
    outside.clear();
    for (int p = 0; p < n; ++p) (row.side[p] ? inside : outside).push_back(p);
    const bool outside_smaller = outside.size() < inside.size();
    std::vector<int>& smaller = outside_smaller ? outside : inside;
    if (!row.teeth.empty() || lp->edges) {
      for (int p : smaller) row_offset[p] += y, column_offset[p] += y;
      within.push_back({smaller, 2 * y});
    } else {
      for (int p : smaller) (outside_smaller ? column_offset : row_offset)[p] += y;
      within.push_back({smaller, y});
    }
    for (const std::vector<int>& tooth : row.teeth) {
      for (int p : tooth) row_offset[p] += y, column_offset[p] += y;
      within.push_back({tooth, 2 * y});
    }
  }
  for (int i = 0; i < n; ++i) {
    if ((i & 63) == 0 && stop && stop()) return false;
    if (fresh) duals->weight.resize(static_cast<size_t>(i + 1) * n);
    int64_t* row = &duals->weight[static_cast<size_t>(i) * n];
    const int64_t* costs = &scaled_cost[static_cast<size_t>(i) * n];
    for (int j = 0; j < n; ++j) {
      row[j] = i == j ? 0 : costs[j] - row_offset[i] - column_offset[j];
    }
  }
  for (const auto& [members, amount] : within) {
    for (size_t k = 0; k < members.size(); ++k) {
      if ((k & 63) == 0 && stop && stop()) return false;
      const int i = members[k];
      int64_t* weights = &duals->weight[static_cast<size_t>(i) * n];
      for (int j : members) {
        if (j != i) weights[j] += amount;
      }
    }
  }
  duals->base = base;
  duals->complete = true;
  return true;
}

std::vector<int> arcs_to_price_in(const ExactDuals* duals, const SubtourLp* lp,
                                  const uint8_t* allowed, size_t most) {
  const int n = duals->n;
  // Over edges, an arc and its reverse have one column and one weight: the edge is priced
  // in by whichever of its arcs is allowed, once.
  // The most negative so far, the least negative of them on top: memory for most arcs only.
  std::vector<std::pair<int64_t, int>> kept;
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      const int arc = i * n + j;
      const int64_t weight = duals->weight[arc];
      if (i == j || weight >= 0 || subtour_lp_column(lp, arc) >= 0) continue;
      if (lp->edges ? j < i || !(allowed[arc] || allowed[static_cast<size_t>(j) * n + i])
                    : !allowed[arc]) {
        continue;
      }
      if (kept.size() == most) {
        if (most == 0 || std::make_pair(weight, arc) >= kept.front()) continue;
        std::pop_heap(kept.begin(), kept.end());
        kept.pop_back();
      }
      kept.push_back({weight, arc});
      std::push_heap(kept.begin(), kept.end());
    }
  }
  std::sort_heap(kept.begin(), kept.end());
  std::vector<int> arcs;
  for (const auto& [weight, arc] : kept) arcs.push_back(arc);
  return arcs;
}

// Arcs priced in a round at most: enough to settle most LPs in a few rounds.
constexpr size_t PRICED_PER_ROUND = 256;

bool price_in_arcs(ExactDuals* duals, SubtourLp* lp, const int64_t* scaled_cost, int64_t scale,
                   const uint8_t* allowed, bool (*stop)()) {
  const size_t n = static_cast<size_t>(lp->n), most = MOST_COLUMNS_PER_POINT * n;
  for (;;) {
    if (!exact_duals_from_lp(duals, lp, scaled_cost, scale, stop) || (stop && stop())) return false;
    const size_t held = lp->column_tail.size();
    if (held >= most) return true;
    const std::vector<int> arcs =
        arcs_to_price_in(duals, lp, allowed, std::min(most - held, std::max(PRICED_PER_ROUND, n)));
    if (arcs.empty()) return true;
    subtour_lp_add_arcs(lp, arcs);
    subtour_lp_solve(lp);
  }
}

__int128 completion_bound(const ExactDuals* duals, const uint8_t* allowed, int from,
                          const uint8_t* remaining) {
  const int n = duals->n;
  const int64_t* weight = duals->weight.data();
  bool rest_empty = true;
  for (int p = 0; p < n; ++p) {
    if (remaining[p]) {
      rest_empty = false;
      break;
    }
  }
  if (rest_empty) {
    if (!allowed[static_cast<size_t>(from) * n]) return NO_COMPLETION;
    return weight[static_cast<size_t>(from) * n];
  }
  // Sources: from and the rest; targets: the rest and point 0 (not from -> 0).
  auto is_source = [&](int p) { return p == from || (p != 0 && remaining[p]); };
  auto is_target = [&](int p) { return p == 0 || (p != from && remaining[p]); };
  const int64_t none = INT64_MAX;
  std::vector<int64_t> least_in(n, none);
  __int128 out_sum = 0;
  for (int s = 0; s < n; ++s) {
    if (!is_source(s)) continue;
    int64_t least = none;
    const int64_t* row = weight + static_cast<size_t>(s) * n;
    const uint8_t* open = allowed + static_cast<size_t>(s) * n;
    for (int t = 0; t < n; ++t) {
      if (t == s || !open[t] || !is_target(t) || (s == from && t == 0)) continue;
      if (row[t] < least) least = row[t];
      if (row[t] < least_in[t]) least_in[t] = row[t];
    }
    if (least == none) return NO_COMPLETION;
    out_sum += least;
  }
  __int128 in_sum = 0;
  for (int t = 0; t < n; ++t) {
    if (!is_target(t)) continue;
    if (least_in[t] == none) return NO_COMPLETION;
    in_sum += least_in[t];
  }
  return out_sum > in_sum ? out_sum : in_sum;
}

int64_t drop_arcs_above(const ExactDuals* duals, uint8_t* allowed, __int128 scaled_limit) {
  const int n = duals->n;
  const int64_t* weight = duals->weight.data();
  const int64_t none = INT64_MAX;
  std::vector<int64_t> least_out(n, none), least_in(n, none);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      const size_t arc = static_cast<size_t>(i) * n + j;
      if (i == j || !allowed[arc]) continue;
      if (weight[arc] < least_out[i]) least_out[i] = weight[arc];
      if (weight[arc] < least_in[j]) least_in[j] = weight[arc];
    }
  }
  __int128 out_sum = 0, in_sum = 0;
  for (int p = 0; p < n; ++p) {
    if (least_out[p] == none || least_in[p] == none) return 0;  // no tour at all: keep all
    out_sum += least_out[p];
    in_sum += least_in[p];
  }
  int64_t dropped = 0;
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      const size_t arc = static_cast<size_t>(i) * n + j;
      if (i == j || !allowed[arc]) continue;
      const __int128 by_out = duals->base + out_sum - least_out[i] + weight[arc];
      const __int128 by_in = duals->base + in_sum - least_in[j] + weight[arc];
      if (by_out > scaled_limit || by_in > scaled_limit) {
        allowed[arc] = 0;
        ++dropped;
      }
    }
  }
  return dropped;
}

namespace {
// The three least weights of a row or a column, with where they are.
struct Least3 {
  int64_t value[3];
  int at[3];
  int count;
};

void consider(Least3* least, int64_t value, int at) {
  int slot = least->count < 3 ? least->count++ : 3;
  if (slot == 3) {
    if (value >= least->value[2]) return;
    slot = 2;
  }
  while (slot > 0 && least->value[slot - 1] > value) {
    least->value[slot] = least->value[slot - 1];
    least->at[slot] = least->at[slot - 1];
    --slot;
  }
  least->value[slot] = value;
  least->at[slot] = at;
}

// The least value whose place is neither skip1 nor skip2; false when there is none.
bool least_but(const Least3& least, int skip1, int skip2, int64_t* value) {
  for (int k = 0; k < least.count; ++k) {
    if (least.at[k] != skip1 && least.at[k] != skip2) {
      *value = least.value[k];
      return true;
    }
  }
  return false;
}
}  // namespace

void child_bounds(const ExactDuals* duals, const uint8_t* allowed, int from,
                  const uint8_t* remaining, std::vector<__int128>* child) {
  const int n = duals->n;
  const int64_t* weight = duals->weight.data();
  child->assign(n, NO_COMPLETION);
  int left = 0;
  for (int p = 1; p < n; ++p) left += remaining[p] ? 1 : 0;
  if (left == 1) {  // the only completion: from -> j -> 0
    for (int j = 1; j < n; ++j) {
      if (remaining[j] && allowed[static_cast<size_t>(from) * n + j] &&
          allowed[static_cast<size_t>(j) * n]) {
        (*child)[j] = static_cast<__int128>(weight[static_cast<size_t>(from) * n + j]) +
                      weight[static_cast<size_t>(j) * n];
      }
    }
    return;
  }
  // Over the arcs from {from} + rest to rest + {0}: each rest row's least targets, and each
  // target column's least sources. The child j drops from as a source and j as a target; its
  // own row may not go to 0.
  std::vector<Least3> row(n), column(n);
  for (int p = 0; p < n; ++p) row[p].count = column[p].count = 0;
  for (int s = 0; s < n; ++s) {
    if (s != from && (s == 0 || !remaining[s])) continue;
    const int64_t* w = weight + static_cast<size_t>(s) * n;
    const uint8_t* open = allowed + static_cast<size_t>(s) * n;
    for (int t = 0; t < n; ++t) {
      if (t == s || !open[t] || (t != 0 && !remaining[t])) continue;
      if (s != from) consider(&row[s], w[t], t);
      consider(&column[t], w[t], s);
    }
  }
  for (int j = 1; j < n; ++j) {
    if (!remaining[j] || !allowed[static_cast<size_t>(from) * n + j]) continue;
    __int128 out_sum = 0, in_sum = 0;
    bool possible = true;
    for (int s = 1; s < n && possible; ++s) {
      if (!remaining[s]) continue;
      int64_t value = 0;
      possible = s == j ? least_but(row[s], 0, 0, &value) : least_but(row[s], j, j, &value);
      out_sum += value;
    }
    for (int t = 0; t < n && possible; ++t) {
      if (t != 0 && (!remaining[t] || t == j)) continue;
      int64_t value = 0;
      possible = least_but(column[t], from, t == 0 ? j : from, &value);
      in_sum += value;
    }
    if (!possible) continue;
    (*child)[j] = weight[static_cast<size_t>(from) * n + j] + (out_sum > in_sum ? out_sum : in_sum);
  }
}

void drop_completion_arcs(const ExactDuals* duals, uint8_t* allowed, int from,
                          const uint8_t* remaining, __int128 path_weight,
                          __int128 scaled_limit, std::vector<int>* dropped) {
  const int n = duals->n;
  const int64_t* weight = duals->weight.data();
  auto is_source = [&](int p) { return p == from || (p != 0 && remaining[p]); };
  auto is_target = [&](int p) { return p == 0 || (p != from && remaining[p]); };
  auto open = [&](int s, int t) {
    return s != t && allowed[static_cast<size_t>(s) * n + t] && is_source(s) && is_target(t) &&
           !(s == from && t == 0);
  };
  const int64_t none = INT64_MAX;
  std::vector<int64_t> least_out(n, none), least_in(n, none);
  for (int s = 0; s < n; ++s) {
    for (int t = 0; t < n; ++t) {
      if (!open(s, t)) continue;
      const int64_t w = weight[static_cast<size_t>(s) * n + t];
      if (w < least_out[s]) least_out[s] = w;
      if (w < least_in[t]) least_in[t] = w;
    }
  }
  __int128 out_sum = 0, in_sum = 0;
  for (int p = 0; p < n; ++p) {
    if (is_source(p)) {
      if (least_out[p] == none) return;
      out_sum += least_out[p];
    }
    if (is_target(p)) {
      if (least_in[p] == none) return;
      in_sum += least_in[p];
    }
  }
  for (int s = 0; s < n; ++s) {
    for (int t = 0; t < n; ++t) {
      if (!open(s, t)) continue;
      const size_t arc = static_cast<size_t>(s) * n + t;
      const __int128 by_out = path_weight + out_sum - least_out[s] + weight[arc];
      const __int128 by_in = path_weight + in_sum - least_in[t] + weight[arc];
      if (by_out > scaled_limit || by_in > scaled_limit) {
        allowed[arc] = 0;
        dropped->push_back(static_cast<int>(arc));
      }
    }
  }
}
