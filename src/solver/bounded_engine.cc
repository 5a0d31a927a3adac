// The bounded engine; see bounded_engine.h for its design and why its tour is exact.
#include "solver/bounded_engine.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "solver/tour_bounds.h"
#include "solver/worker_threads.h"

bool bounded_keeps_every_state = false;
bool bounded_may_search = true;
int64_t bounded_budget_bytes = 0;

constexpr int MAX_LAYERS = 64;
// Above every path cost: the value of a dropped state.
constexpr PathCost NO_PATH = static_cast<PathCost>(1) << 120;

template <typename Value>
struct State {
  uint64_t group;   // S with the end point added
  Value cost;       // cost(S, end)
  int64_t weight;   // the least weight of a tail (tour_bounds.h)
  uint8_t end;      // the end point
};

template <typename Value>
static bool state_before(const State<Value>& x, const State<Value>& y) {
  return x.group != y.group ? x.group < y.group : x.end < y.end;
}

// The problem in hand.
static const DistanceMatrix* matrix = nullptr;
static int64_t points = 0;        // N
static bool wide = false;         // 128-bit values
static TableBlock layers[MAX_LAYERS];  // size k at [k]; [0] holds the sources of size 1
static int64_t layer_count[MAX_LAYERS];

// Twins: the class of each point 2..N as a mask of its members (bit c - 2 for point c).
static uint64_t twin_class[MAX_LAYERS + 2];
static uint64_t class_list[MAX_LAYERS];  // each class once
static int class_total = 0;

static inline uint64_t bit(int64_t point) { return uint64_t{1} << (point - 2); }

static bool twins(int64_t i, int64_t j) {
  if (distance(matrix, i, j) != distance(matrix, j, i)) return false;
  for (int64_t x = 1; x <= points; ++x) {
    if (x == i || x == j) continue;
    if (distance(matrix, i, x) != distance(matrix, j, x) ||
        distance(matrix, x, i) != distance(matrix, x, j)) {
      return false;
    }
  }
  return true;
}

// Being twins is an equivalence: i and j agree off their own pair, as do j and k, so i and
// k do, and the costs inside a class are all equal. So comparing with a class's lowest member
// is enough.
static void find_twins() {
  class_total = 0;
  for (int64_t c = 2; c <= points; ++c) {
    int joined = -1;
    for (int t = 0; t < class_total && joined < 0; ++t) {
      if (twins(c, __builtin_ctzll(class_list[t]) + 2)) joined = t;
    }
    if (joined < 0) {
      joined = class_total++;
      class_list[joined] = 0;
    }
    class_list[joined] |= bit(c);
  }
  for (int t = 0; t < class_total; ++t) {
    for (uint64_t rest = class_list[t]; rest; rest &= rest - 1) {
      twin_class[__builtin_ctzll(rest) + 2] = class_list[t];
    }
  }
}

// The lowest count members of a class.
static uint64_t lowest_members(uint64_t members, int count) {
  uint64_t chosen = 0;
  for (int t = 0; t < count; ++t) {
    const uint64_t lowest = members & (0 - members);
    chosen |= lowest;
    members &= members - 1;
  }
  return chosen;
}

// The canonical state of (S, a): S with the lowest members of each class, a the lowest member
// of its class outside it.
static void canonical_state(uint64_t subset, int64_t end, uint64_t* canonical_subset,
                            int64_t* canonical_end) {
  uint64_t result = 0;
  for (int t = 0; t < class_total; ++t) {
    const int inside = __builtin_popcountll(subset & class_list[t]);
    if (inside > 0) result |= lowest_members(class_list[t], inside);
  }
  *canonical_subset = result;
  const uint64_t outside = twin_class[end] & ~result;
  *canonical_end = __builtin_ctzll(outside) + 2;
}

// A table that grows as states are added; its storage counts against the process's memory.
template <typename Value>
struct Growing {
  TableBlock block;
  int64_t count;
  int64_t capacity;
};

// False when no storage could be had (the table is then emptied).
template <typename Value>
static bool add_state(Growing<Value>* out, const State<Value>& state) {
  if (out->count == out->capacity) {
    const int64_t capacity = out->capacity < 1024 ? 1024 : out->capacity * 2;
    TableBlock larger;
    if (create_table(&larger, 1, capacity, sizeof(State<Value>)) != 0) {
      free_table(&out->block);
      out->count = out->capacity = 0;
      return false;
    }
    if (out->count > 0) memcpy(larger.cells, out->block.cells, out->count * sizeof(State<Value>));
    free_table(&out->block);
    out->block = larger;
    out->capacity = capacity;
  }
  static_cast<State<Value>*>(out->block.cells)[out->count++] = state;
  return true;
}

// Builds the rows S' of the states previous[first..last) (all of their rows), from the states
// (S' - a, a) that lie together, keeping what the bounds allow. False when storage ran out.
template <typename Value>
static bool build_rows(const State<Value>* previous, int64_t first, int64_t last,
                       Growing<Value>* out) {
  const TourBounds& b = tour_bounds;
  Value best_cost[MAX_LAYERS + 2];
  int64_t best_weight[MAX_LAYERS + 2];
  int64_t head[MAX_LAYERS + 2];
  int64_t ends[MAX_LAYERS];
  int64_t rows = 0;
  for (int64_t at = first; at < last;) {
    const uint64_t row = previous[at].group;
    int64_t after = at;
    while (after < last && previous[after].group == row) ++after;
    // The new end points: the lowest member outside the row of each class.
    int end_count = 0;
    for (int t = 0; t < class_total; ++t) {
      const uint64_t outside = class_list[t] & ~row;
      if (outside) ends[end_count++] = __builtin_ctzll(outside) + 2;
    }
    for (int e = 0; e < end_count; ++e) {
      const int64_t end = ends[e];
      best_cost[end] = static_cast<Value>(distance(matrix, end, previous[at].end)) +
                       previous[at].cost;
      best_weight[end] = b.weight[end - 1][previous[at].end - 1] + previous[at].weight;
    }
    for (int64_t s = at + 1; s < after; ++s) {
      const State<Value>& source = previous[s];
      const int64_t a = source.end;
      for (int e = 0; e < end_count; ++e) {
        const int64_t end = ends[e];
        const Value cost = static_cast<Value>(distance(matrix, end, a)) + source.cost;
        const int64_t weight = b.weight[end - 1][a - 1] + source.weight;
        if (cost < best_cost[end]) best_cost[end] = cost;
        if (weight < best_weight[end]) best_weight[end] = weight;
      }
    }
    // Asymmetric weights are never negative, nor are heads: a row that no end point passes
    // with a head of 0 needs no assignment.
    bool any_may_pass = b.symmetric || bounded_keeps_every_state;
    for (int e = 0; e < end_count && !any_may_pass; ++e) {
      any_may_pass = b.base + best_weight[ends[e]] <= b.limit;
    }
    if (!any_may_pass) end_count = 0;
    if (end_count > 0 && !bounded_keeps_every_state) head_bounds(row, head);
    for (int e = 0; e < end_count; ++e) {
      const int64_t end = ends[e];
      if (!bounded_keeps_every_state && b.base + best_weight[end] + head[end] > b.limit) continue;
      if (!add_state(out, State<Value>{row | bit(end), best_cost[end], best_weight[end],
                                       static_cast<uint8_t>(end)})) {
        return false;
      }
    }
    at = after;
    // A termination request ends the size early; the run ends with it. So does a stop
    // request, which ends the solve.
    if ((++rows & 255) == 0 && solver_should_stop()) break;
  }
  return true;
}

// One size: the rows of the size below handed out in pieces to the threads.
constexpr int MAX_PIECES = 256;
struct Build {
  const void* previous;
  int64_t piece_start[MAX_PIECES + 1];  // each at the start of a row
  int pieces;
  std::atomic<int> next_piece;
  std::atomic<bool> failed;       // storage ran out
  std::atomic<int64_t> room;      // states that the budget still allows
  TableBlock piece_block[MAX_PIECES];
  int64_t piece_count[MAX_PIECES];
};
static Build build;

template <typename Value>
static void* build_pieces(void*) {
  const State<Value>* previous = static_cast<const State<Value>*>(build.previous);
  for (;;) {
    const int piece = build.next_piece.fetch_add(1);
    if (piece >= build.pieces || build.failed.load() || build.room.load() < 0) break;
    Growing<Value> out{{nullptr, 0, false}, 0, 0};
    if (!build_rows(previous, build.piece_start[piece], build.piece_start[piece + 1], &out)) {
      build.failed.store(true);
    }
    build.room.fetch_sub(out.count);
    build.piece_block[piece] = out.block;
    build.piece_count[piece] = out.count;
  }
  return nullptr;
}

// Bytes of the states kept so far.
static int64_t kept_bytes() {
  int64_t total = 0;
  for (int k = 0; k < MAX_LAYERS; ++k) total += layers[k].bytes;
  return total;
}

template <typename Value>
static bool build_layer(int64_t k) {
  const State<Value>* previous = static_cast<const State<Value>*>(layers[k - 1].cells);
  const int64_t count = layer_count[k - 1];
  const int32_t threads = solver_thread_count();
  int pieces = count < 4096 ? 1 : threads * 16;
  if (pieces > MAX_PIECES) pieces = MAX_PIECES;
  build.previous = previous;
  build.pieces = 0;
  for (int p = 0; p < pieces; ++p) {
    int64_t at = count * p / pieces;
    while (at > 0 && at < count && previous[at].group == previous[at - 1].group) ++at;
    if (build.pieces > 0 && at <= build.piece_start[build.pieces - 1]) continue;
    build.piece_start[build.pieces++] = at;
  }
  build.piece_start[build.pieces] = count;
  for (int p = 0; p < build.pieces; ++p) {
    build.piece_block[p] = TableBlock{nullptr, 0, false};
    build.piece_count[p] = 0;
  }
  build.next_piece.store(0);
  build.failed.store(false);
  build.room.store(bounded_budget_bytes > 0
                       ? (bounded_budget_bytes - kept_bytes()) / static_cast<int64_t>(sizeof(State<Value>))
                       : INT64_MAX);
  run_on_threads(build_pieces<Value>, build.pieces < threads ? build.pieces : threads);
  // The pieces in one table, sorted.
  int64_t total = 0;
  for (int p = 0; p < build.pieces; ++p) total += build.piece_count[p];
  TableBlock whole{nullptr, 0, false};
  const bool stored = !build.failed.load() &&
                      create_table(&whole, 1, total > 0 ? total : 1, sizeof(State<Value>)) == 0;
  State<Value>* states = static_cast<State<Value>*>(whole.cells);
  int64_t placed = 0;
  for (int p = 0; p < build.pieces; ++p) {
    if (stored && build.piece_count[p] > 0) {
      memcpy(states + placed, build.piece_block[p].cells,
             build.piece_count[p] * sizeof(State<Value>));
    }
    placed += build.piece_count[p];
    free_table(&build.piece_block[p]);
  }
  if (build.room.load() < 0) {  // over the budget: the caller fills every subset instead
    free_table(&whole);
    return false;
  }
  if (!stored) {
    set_error_number(4);
    throw_at_line(LINE_COST_TABLE, MODULE_NAME);
  }
  std::sort(states, states + total, state_before<Value>);
  layers[k] = whole;
  layer_count[k] = total;
  return true;
}

template <typename Value>
static void build_sources() {
  if (create_table(&layers[0], 1, class_total, sizeof(State<Value>)) != 0) {
    throw_at_line(LINE_COST_TABLE, MODULE_NAME);
  }
  State<Value>* sources = static_cast<State<Value>*>(layers[0].cells);
  for (int t = 0; t < class_total; ++t) {
    const int64_t c = __builtin_ctzll(class_list[t]) + 2;
    sources[t] = State<Value>{bit(c), static_cast<Value>(distance(matrix, c, 1)),
                              tour_bounds.weight[c - 1][0], static_cast<uint8_t>(c)};
  }
  std::sort(sources, sources + class_total, state_before<Value>);
  layer_count[0] = class_total;
}

// ---- The first optimal tour by search ----
//
// When the lower bound already meets the good tour's cost, that cost is the optimum, and the
// first optimal tour in lexicographic order is the first tour reached with it by a depth-
// first search from point 1 that tries the next points in increasing order and leaves out
// only what the bounds show cannot reach the optimum. With many optimal tours (near ties,
// where the programme can drop little) it is found at once; the search gives up after a
// number of steps, and the programme runs instead. Twins are tried lowest first only: the
// first optimal tour meets the members of a class in increasing order, as swapping two of
// them would give an optimal tour before it.

constexpr int64_t SEARCH_STEPS = 20000;

struct Search {
  int64_t tour[MAX_LAYERS + 2];  // positions 0..N
  int64_t position[MAX_LAYERS + 2];  // of each point in tour
  int64_t steps;
};
static Search search;
static bool searched = false;  // the tour was found by search

static bool search_from(int64_t depth, int64_t end, int64_t weight, uint64_t rest) {
  const TourBounds& b = tour_bounds;
  if (rest == 0) {
    search.tour[depth] = 1;
    return tour_cost_of(matrix, search.tour) == b.upper;
  }
  for (uint64_t candidates = rest; candidates; candidates &= candidates - 1) {
    const int64_t c = __builtin_ctzll(candidates) + 2;
    if ((twin_class[c] & rest & (bit(c) - 1)) != 0) continue;  // a lower twin is unused
    if (++search.steps > SEARCH_STEPS) return false;
    const int64_t through = weight + b.weight[end - 1][c - 1];
    const uint64_t after = rest & ~bit(c);
    if (b.base + through + tail_bound(c, after) > b.limit) continue;
    search.tour[depth] = c;
    if (search_from(depth + 1, c, through, after)) return true;
    if (search.steps > SEARCH_STEPS) return false;
  }
  return false;
}

static bool search_first_optimal_tour() {
  search.steps = 0;
  search.tour[0] = 1;
  const uint64_t everything = points > 1 ? ~uint64_t{0} >> (64 - (points - 1)) : 0;
  if (!search_from(1, 1, 0, everything)) return false;
  for (int64_t i = 0; i < points; ++i) search.position[search.tour[i]] = i;
  return true;
}

void bounded_prepare(const DistanceMatrix* distances, int64_t cell_bytes) {
  matrix = distances;
  points = distances->n;
  wide = cell_bytes > 8;
  for (int k = 0; k < MAX_LAYERS; ++k) layer_count[k] = 0;
  find_twins();
  prepare_tour_bounds(distances, solver_should_stop);
  searched = bounded_may_search && !bounded_keeps_every_state && tour_bounds.shift == 0 &&
             tour_bounds.lower_scaled >= tour_bounds.limit && search_first_optimal_tour();
  if (searched) return;
  if (wide) {
    build_sources<__int128>();
  } else {
    build_sources<int64_t>();
  }
}

bool bounded_fill_size(int64_t k) {
  if (searched) return true;
  const bool built = wide ? build_layer<__int128>(k) : build_layer<int64_t>(k);
  // The sources of size 1 are needed no longer.
  if (k == 1) free_table(&layers[0]);
  return built;
}

bool bounded_fill_first_size() { return points <= 2 || bounded_fill_size(1); }

template <typename Value>
static PathCost look_up(uint64_t subset, int64_t end_point) {
  uint64_t canonical;
  int64_t end;
  canonical_state(subset, end_point, &canonical, &end);
  const int64_t k = __builtin_popcountll(canonical);
  const State<Value>* states = static_cast<const State<Value>*>(layers[k].cells);
  const State<Value> key{canonical | bit(end), 0, 0, static_cast<uint8_t>(end)};
  const State<Value>* found =
      std::lower_bound(states, states + layer_count[k], key, state_before<Value>);
  if (found == states + layer_count[k] || found->group != key.group || found->end != key.end) {
    return NO_PATH;
  }
  return found->cost;
}

// The tail of the searched tour from end_point, if the state is one of it.
static PathCost searched_cost(uint64_t subset, int64_t end_point) {
  const int64_t from = search.position[end_point];
  uint64_t after = 0;
  PathCost cost = 0;
  for (int64_t i = from; i < points; ++i) {
    if (i > from) after |= bit(search.tour[i]);
    cost += distance(matrix, search.tour[i], search.tour[i + 1]);
  }
  return after == subset ? cost : NO_PATH;
}

PathCost bounded_cost(uint64_t subset, int64_t end_point) {
  if (subset == 0) return distance(matrix, end_point, 1);
  if (searched) return searched_cost(subset, end_point);
  return wide ? look_up<__int128>(subset, end_point) : look_up<int64_t>(subset, end_point);
}

bool bounded_searched() { return searched; }

int64_t bounded_states(int64_t k) { return k >= 0 && k < MAX_LAYERS ? layer_count[k] : 0; }

void bounded_release() {
  for (int k = 0; k < MAX_LAYERS; ++k) {
    free_table(&layers[k]);
    layer_count[k] = 0;
  }
  matrix = nullptr;
  searched = false;
}
