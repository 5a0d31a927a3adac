// The subtour relaxation on the LP solver (COIN-OR CLP); see subtour_lp.h.
#include "bounds/subtour_lp.h"

#include "bounds/blossoms.h"
#include "bounds/combs.h"

#include <coin/ClpEventHandler.hpp>
#include <coin/ClpSimplex.hpp>
#include <coin/ClpSimplexDual.hpp>

#include <algorithm>
#include <cmath>
#include <unordered_set>

static ClpSimplex* model_of(const SubtourLp* lp) { return static_cast<ClpSimplex*>(lp->model); }

namespace {
// Ends a solve once the caller's stop request comes: the solver asks after every iteration.
// Only that event is answered; the solver reads the answers to others differently.
class StopRequestHandler : public ClpEventHandler {
 public:
  explicit StopRequestHandler(bool (*stop)()) : stop_(stop) {}
  ClpEventHandler* clone() const override { return new StopRequestHandler(*this); }
  int event(Event which) override {
    return which == endOfIteration && stop_ && stop_() ? 0 : -1;
  }

 private:
  bool (*stop_)();
};
}  // namespace

// The cut's coefficient of x(i, j) (edges: of x({i, j})): for a comb, how many of its sets
// (the handle and each tooth) the arc or edge crosses.
static int cut_coefficient(const LpCut& cut, int i, int j, bool edges) {
  if (cut.teeth.empty()) return edges ? cut.side[i] != cut.side[j] : cut.side[i] && !cut.side[j];
  int coefficient = cut.side[i] != cut.side[j] ? 1 : 0;
  for (const std::vector<int>& tooth : cut.teeth) {
    if (std::binary_search(tooth.begin(), tooth.end(), i) !=
        std::binary_search(tooth.begin(), tooth.end(), j)) {
      ++coefficient;
    }
  }
  return coefficient;
}

// The degree rows: x(out of i) and x(into i) for arcs, x(at i) for edges.
static int degree_rows(const SubtourLp* lp) { return lp->edges ? lp->n : 2 * lp->n; }

void subtour_lp_create(SubtourLp* lp, int n, const int64_t* cost, const std::vector<int>& arcs,
                       bool (*stop)(), bool edges) {
  subtour_lp_destroy(lp);
  lp->n = n;
  lp->edges = edges;
  lp->cost = cost;
  lp->stop = stop;
  lp->column_of.clear();
  lp->column_tail.clear();
  lp->column_head.clear();
  lp->cut_hash.clear();
  lp->pool.clear();
  lp->pool_hash.clear();
  lp->x.clear();
  ClpSimplex* model = new ClpSimplex;
  model->setLogLevel(0);
  // Every element is 0 or 1 and the costs are of one magnitude: scaling would only be redone
  // at every solve.
  model->scaling(0);
  // The degree rows first, with no column; the columns follow as arcs.
  const double degree = edges ? 2.0 : 1.0;
  model->resize(degree_rows(lp), 0);
  for (int row = 0; row < degree_rows(lp); ++row) {
    model->setRowLower(row, degree);
    model->setRowUpper(row, degree);
  }
  StopRequestHandler handler(stop);
  model->passInEventHandler(&handler);
  lp->model = model;
  subtour_lp_add_arcs(lp, arcs);
  lp->rows_changed = true;
  lp->cuts.clear();
  lp->optimal = false;
}

void subtour_lp_destroy(SubtourLp* lp) {
  delete model_of(lp);
  lp->model = nullptr;
  lp->cuts.clear();
  lp->cut_hash.clear();
  std::unordered_map<int, int>().swap(lp->column_of);
}

int subtour_lp_add_arcs(SubtourLp* lp, const std::vector<int>& arcs) {
  const int n = lp->n;
  std::vector<CoinBigIndex> starts{0};
  std::vector<int> rows;
  std::vector<double> elements, objective;
  const int first_cut_row = degree_rows(lp);
  for (int given : arcs) {
    const int arc = lp->edges && given % n < given / n ? given % n * n + given / n : given;
    if (!lp->column_of.try_emplace(arc, static_cast<int>(lp->column_tail.size())).second) continue;
    const int i = arc / n, j = arc % n;
    lp->column_tail.push_back(i);
    lp->column_head.push_back(j);
    objective.push_back(static_cast<double>(lp->cost[arc]));
    rows.push_back(i);
    rows.push_back(lp->edges ? j : n + j);
    elements.push_back(1.0);
    elements.push_back(1.0);
    for (size_t cut = 0; cut < lp->cuts.size(); ++cut) {
      const int coefficient = cut_coefficient(lp->cuts[cut], i, j, lp->edges);
      if (coefficient == 0) continue;
      rows.push_back(first_cut_row + static_cast<int>(cut));
      elements.push_back(coefficient);
    }
    starts.push_back(static_cast<CoinBigIndex>(rows.size()));
  }
  const int added = static_cast<int>(objective.size());
  if (added == 0) return 0;
  std::vector<double> lower(added, 0.0), upper(added, 1e30);
  model_of(lp)->addColumns(added, lower.data(), upper.data(), objective.data(), starts.data(),
                           rows.data(), elements.data());
  lp->x.resize(lp->column_tail.size(), 0.0);
  lp->rows_changed = true;
  return added;
}

int subtour_lp_column(const SubtourLp* lp, int arc) {
  const int n = lp->n;
  if (lp->edges && arc % n < arc / n) arc = arc % n * n + arc / n;
  const auto found = lp->column_of.find(arc);
  return found == lp->column_of.end() ? -1 : found->second;
}

void subtour_lp_fix_arc(SubtourLp* lp, int tail, int head, bool fixed) {
  const int arc = tail * lp->n + head;
  if (subtour_lp_column(lp, arc) < 0) subtour_lp_add_arcs(lp, {arc});
  model_of(lp)->setColumnLower(subtour_lp_column(lp, arc), fixed ? 1.0 : 0.0);
}

void subtour_lp_forbid_arc(SubtourLp* lp, int tail, int head, bool forbidden) {
  const int column = subtour_lp_column(lp, tail * lp->n + head);
  if (column >= 0) model_of(lp)->setColumnUpper(column, forbidden ? 0.0 : 1e30);
}

// An infeasible LP proves that no tour through its path keeps to its arcs; its duals alone
// may not show it. Its ray r has r b > 0 (the rows' right-hand sides, the fixed columns' 1
// included) and r A <= 0 on the free columns, so t r added to the duals raises the bound by
// t r b and lowers no weight. t keeps every dual within a few times the largest cost, where
// the exact bound's rounding still takes it.
static void add_infeasibility_ray(SubtourLp* lp, ClpSimplex* model) {
  double* ray = model->infeasibilityRay();
  if (ray == nullptr) return;
  const int rows = model->numberRows(), columns = model->numberColumns();
  const double* row_lower = model->rowLower();
  const double* row_upper = model->rowUpper();
  const double* column_lower = model->columnLower();
  double value = 0, largest = 0;
  for (int r = 0; r < rows; ++r) {
    value += ray[r] * (row_lower[r] > -1e20 ? row_lower[r] : row_upper[r]);
    largest = std::max(largest, std::fabs(ray[r]));
  }
  const CoinPackedMatrix* matrix = model->matrix();
  const CoinBigIndex* starts = matrix->getVectorStarts();
  const int* lengths = matrix->getVectorLengths();
  const int* indices = matrix->getIndices();
  const double* elements = matrix->getElements();
  double largest_cost = 0;
  for (int j = 0; j < columns; ++j) {
    largest_cost = std::max(largest_cost, std::fabs(model->objective()[j]));
    if (column_lower[j] < 0.5) continue;
    for (CoinBigIndex k = starts[j]; k < starts[j] + lengths[j]; ++k) {
      value -= ray[indices[k]] * elements[k];
    }
  }
  // The solver's sign convention aside, the direction that raises the bound is wanted.
  if (largest > 0 && value != 0) {
    const double t = (value > 0 ? 4 : -4) * (largest_cost + 1) / largest;
    const int n = lp->n, first_cut_row = degree_rows(lp);
    for (int i = 0; i < n; ++i) {
      lp->out_dual[i] += t * ray[i];
      lp->in_dual[i] += t * ray[lp->edges ? i : n + i];
    }
    for (size_t c = 0; c < lp->cut_dual.size(); ++c) lp->cut_dual[c] += t * ray[first_cut_row + c];
  }
  delete[] ray;
}

// The dual simplex from the last basis, for at most iterations steps. Between most solves a
// search changes only the bounds of a column or two: the solver then keeps its work areas and
// factorisation (ftv70: a quarter of the time). Added or dropped rows call for a fresh
// factorisation.
constexpr int KEEP_WORK_AREAS = 1, REUSE_FACTORISATION = 2, SKIP_SETUP = 4;

// Without cleanup, the dual simplex alone: the solver's dual otherwise goes on with the
// primal simplex where its perturbed costs, put back, leave the basis short of optimal.
// A trial's objective only guides, and that cleanup took most of rat783's trials' time
// (40 % of its questions').
static void dual_from_last_basis(SubtourLp* lp, ClpSimplex* model, int iterations,
                                 bool cleanup = true) {
  model->setMaximumIterations(iterations);
  const int options = lp->rows_changed ? KEEP_WORK_AREAS
                                       : KEEP_WORK_AREAS | REUSE_FACTORISATION | SKIP_SETUP;
  if (cleanup) {
    model->dual(0, options);
  } else {
    static_cast<ClpSimplexDual*>(model)->dual(0, options);
  }
  lp->rows_changed = false;
}

bool subtour_lp_solve(SubtourLp* lp) {
  ClpSimplex* model = model_of(lp);
  // Should the kept state ever mislead the solver, the cap on iterations ends the solve, and
  // it starts again from nothing.
  const int columns = model->numberColumns();
  dual_from_last_basis(lp, model, 100 * (model->numberRows() + columns));
  constexpr int STOPPED_BY_EVENT = 5;
  if (model->status() != STOPPED_BY_EVENT && (model->status() < 0 || model->status() >= 3)) {
    model->allSlackBasis();
    model->dual(0, KEEP_WORK_AREAS);
  }
  lp->optimal = model->isProvenOptimal();
  const int n = lp->n;
  const double* solution = model->primalColumnSolution();
  lp->x.assign(solution, solution + columns);
  const double* price = model->dualRowSolution();
  const int first_cut_row = degree_rows(lp);
  lp->out_dual.assign(price, price + n);
  lp->in_dual.assign(price + first_cut_row - n, price + first_cut_row);
  lp->cut_dual.assign(price + first_cut_row, price + first_cut_row + lp->cuts.size());
  if (model->status() == 1) add_infeasibility_ray(lp, model);
  return lp->optimal;
}

double subtour_lp_objective(const SubtourLp* lp) { return model_of(lp)->objectiveValue(); }

double subtour_lp_trial(SubtourLp* lp, int iterations) {
  ClpSimplex* model = model_of(lp);
  const int size = model->numberRows() + model->numberColumns();
  // The basis it starts from, for the next trial: from the last one's end, each trial would
  // first undo its steps (kroA200: trials took 24 s, 9 s from the same basis each time).
  const std::vector<unsigned char> basis(model->statusArray(), model->statusArray() + size);
  dual_from_last_basis(lp, model, iterations, false);
  constexpr int INFEASIBLE = 1;
  // Stopped short, the dual simplex still holds a dual-feasible basis: its objective is at
  // most the LP's optimum, and above it only by the solver's tolerances.
  const double value = model->status() == INFEASIBLE ? 1e300 : model->objectiveValue();
  std::copy(basis.begin(), basis.end(), model->statusArray());
  lp->rows_changed = true;  // the factorisation is the trial's
  return value;
}

// The arc of a column (an edge's: i * n + j, i < j).
static int column_arc(const SubtourLp* lp, int column) {
  return lp->column_tail[column] * lp->n + lp->column_head[column];
}

SubtourLpBasis subtour_lp_basis(const SubtourLp* lp) {
  ClpSimplex* model = model_of(lp);
  const unsigned char* status = model->statusArray();
  const int columns = model->numberColumns(), first_cut_row = degree_rows(lp);
  SubtourLpBasis basis;
  basis.columns.assign(status, status + columns);
  basis.column_arcs.resize(columns);
  for (int column = 0; column < columns; ++column) {
    basis.column_arcs[column] = column_arc(lp, column);
  }
  basis.degree_rows.assign(status + columns, status + columns + first_cut_row);
  const int cut_rows = model->numberRows() - first_cut_row;
  for (int cut = 0; cut < cut_rows && cut < static_cast<int>(lp->cut_hash.size()); ++cut) {
    basis.cuts.push_back({lp->cut_hash[cut], status[columns + first_cut_row + cut]});
  }
  return basis;
}

void subtour_lp_set_basis(SubtourLp* lp, const SubtourLpBasis& basis) {
  ClpSimplex* model = model_of(lp);
  if (model->statusArray() == nullptr) model->createStatus();  // never solved yet
  unsigned char* status = model->statusArray();
  const int columns = model->numberColumns(), first_cut_row = degree_rows(lp);
  if (static_cast<int>(basis.degree_rows.size()) != first_cut_row) return;
  constexpr unsigned char BASIC = 1, AT_LOWER_BOUND = 3;
  // Column by column while the arcs agree (a basis of this LP: all of them), by arc after.
  std::unordered_map<int, unsigned char> by_arc;
  const int known = static_cast<int>(std::min(basis.columns.size(), basis.column_arcs.size()));
  for (int column = 0; column < columns; ++column) {
    const int arc = column_arc(lp, column);
    if (column < known && basis.column_arcs[column] == arc) {
      status[column] = basis.columns[column];
      continue;
    }
    if (by_arc.empty()) {
      for (int k = 0; k < known; ++k) by_arc.emplace(basis.column_arcs[k], basis.columns[k]);
    }
    const auto found = by_arc.find(arc);
    status[column] = found == by_arc.end() ? AT_LOWER_BOUND : found->second;
  }
  std::copy(basis.degree_rows.begin(), basis.degree_rows.end(), status + columns);
  std::unordered_map<uint64_t, unsigned char> cut_status;
  for (const auto& [hash, value] : basis.cuts) cut_status.emplace(hash, value);
  for (size_t cut = 0; cut < lp->cut_hash.size(); ++cut) {
    const auto found = cut_status.find(lp->cut_hash[cut]);
    status[columns + first_cut_row + cut] = found == cut_status.end() ? BASIC : found->second;
  }
  lp->rows_changed = true;  // the factorisation is another basis's
}

std::vector<std::vector<uint8_t>> light_cuts(const CapacityGraph& graph, double limit,
                                             int max_cuts, bool (*stop)()) {
  const int n = static_cast<int>(graph.size());
  std::vector<std::vector<uint8_t>> found;
  // A support graph in pieces: each piece is a cut of value 0, found in time linear in the
  // graph rather than by the phases.
  std::vector<int> piece(n, -1), stack;
  int pieces = 0;
  for (int start = 0; start < n; ++start) {
    if (piece[start] >= 0) continue;
    piece[start] = pieces;
    stack.assign(1, start);
    while (!stack.empty()) {
      const int u = stack.back();
      stack.pop_back();
      for (const auto& [v, capacity] : graph[u]) {
        if (piece[v] < 0 && capacity > 0) {
          piece[v] = pieces;
          stack.push_back(v);
        }
      }
    }
    ++pieces;
  }
  if (pieces > 1 && limit > 0) {
    for (int p = 0; p < pieces && static_cast<int>(found.size()) < max_cuts; ++p) {
      std::vector<uint8_t> side(n, 0);
      for (int v = 0; v < n; ++v) side[v] = piece[v] == p;
      found.push_back(std::move(side));
    }
    return found;
  }
  // The ends of an edge of capacity 1 go together first: most of a solution is such paths,
  // and the phases then run on a far smaller graph (pr76: a fifth less time). The cuts lost,
  // those that part the two ends, are seldom violated; any cut found is valid all the same.
  // Each group is known by the point that took the others in.
  std::vector<int> owner(n);
  std::vector<std::vector<int>> group(n);
  for (int p = 0; p < n; ++p) {
    owner[p] = p;
    group[p] = {p};
  }
  for (int u = 0; u < n; ++u) {
    for (const auto& [v, capacity] : graph[u]) {
      if (v <= u || capacity < 1 - 1e-9) continue;
      const int keep = owner[u], gone = owner[v];
      if (keep == gone) continue;
      for (int member : group[gone]) owner[member] = keep;
      group[keep].insert(group[keep].end(), group[gone].begin(), group[gone].end());
      std::vector<int>().swap(group[gone]);
    }
  }
  // The phases on the groups, in the order of the points that stand for them, with the
  // capacities between groups in a table of their own.
  std::vector<int> at(n, -1);
  std::vector<std::vector<int>> members;
  for (int p = 0; p < n; ++p) {
    if (owner[p] != p) continue;
    at[p] = static_cast<int>(members.size());
    members.push_back(std::move(group[p]));
  }
  const int m = static_cast<int>(members.size());
  std::vector<double> weight(static_cast<size_t>(m) * m, 0.0);
  for (int u = 0; u < n; ++u) {
    for (const auto& [v, capacity] : graph[u]) {
      const int a = at[owner[u]], b = at[owner[v]];
      if (a != b) weight[static_cast<size_t>(a) * m + b] += capacity;
    }
  }
  std::vector<int> alive(m);
  for (int g = 0; g < m; ++g) alive[g] = g;
  std::vector<double> attach(m);
  std::vector<uint8_t> added(m);
  auto merge = [&](int keep, int gone) {
    for (int v : alive) {
      weight[static_cast<size_t>(keep) * m + v] += weight[static_cast<size_t>(gone) * m + v];
      weight[static_cast<size_t>(v) * m + keep] = weight[static_cast<size_t>(keep) * m + v];
    }
    weight[static_cast<size_t>(keep) * m + keep] = 0;
    members[keep].insert(members[keep].end(), members[gone].begin(), members[gone].end());
    alive.erase(std::find(alive.begin(), alive.end(), gone));
  };
  while (alive.size() > 1 && static_cast<int>(found.size()) < max_cuts) {
    if (stop && stop()) break;
    // One phase: add the most tightly attached group each time; the last one, t, against
    // the rest is a cut of value attach[t].
    for (int v : alive) {
      attach[v] = 0;
      added[v] = 0;
    }
    // The choice of each step is found while the attachments are updated, in one pass.
    int previous = -1, last = alive[0], choice = alive[0];
    for (size_t step = 0; step < alive.size() && choice >= 0; ++step) {
      added[choice] = 1;
      previous = last;
      last = choice;
      const double* row = weight.data() + static_cast<size_t>(choice) * m;
      choice = -1;
      for (int v : alive) {
        if (added[v]) continue;
        attach[v] += row[v];
        if (choice < 0 || attach[v] > attach[choice]) choice = v;
      }
    }
    if (attach[last] < limit) {
      std::vector<uint8_t> side(n, 0);
      for (int member : members[last]) side[member] = 1;
      if (std::find(found.begin(), found.end(), side) == found.end()) found.push_back(side);
    }
    merge(previous, last);
  }
  return found;
}

int64_t cut_bound(const LpCut& cut, bool edges) {
  if (cut.teeth.empty()) return edges ? 2 : 1;
  return 3 * static_cast<int64_t>(cut.teeth.size()) + 1;
}

// A hash of the cut's sets, so that a new cut is compared in full only with its few equals.
static uint64_t cut_hash_of(const LpCut& cut) {
  uint64_t hash = 1469598103934665603ull;
  auto mix = [&](uint64_t value) { hash = (hash ^ value) * 1099511628211ull; };
  for (size_t p = 0; p < cut.side.size(); ++p) {
    if (cut.side[p]) mix(p);
  }
  for (const std::vector<int>& tooth : cut.teeth) {
    for (int p : tooth) mix(p);
    mix(UINT64_MAX);  // where a tooth ends
  }
  return hash;
}

static bool holds_cut(const SubtourLp* lp, const LpCut& cut) {
  const uint64_t hash = cut_hash_of(cut);
  for (size_t k = 0; k < lp->cuts.size(); ++k) {
    if (lp->cut_hash[k] == hash && lp->cuts[k] == cut) return true;
  }
  return false;
}

CapacityGraph support_graph(const SubtourLp* lp) {
  CapacityGraph graph(lp->n);
  for (size_t column = 0; column < lp->x.size(); ++column) {
    const double value = lp->x[column];
    if (value <= 1e-9) continue;
    const int i = lp->column_tail[column], j = lp->column_head[column];
    graph[i].push_back({j, value});
    graph[j].push_back({i, value});
  }
  for (std::vector<std::pair<int, double>>& edges : graph) {
    std::sort(edges.begin(), edges.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    size_t kept = 0;
    for (size_t e = 0; e < edges.size(); ++e) {
      if (kept > 0 && edges[kept - 1].first == edges[e].first) {
        edges[kept - 1].second += edges[e].second;
      } else {
        edges[kept++] = edges[e];
      }
    }
    edges.resize(kept);
  }
  return graph;
}

// The comb's sets the edge {i, j} crosses, with tooth_of giving each point's tooth or -1:
// the handle when its ends lie on its two sides, and each tooth that holds one end only (the
// teeth are disjoint). cut_coefficient without the search of the teeth.
static int sets_crossed(const LpCut& cut, const std::vector<int>& tooth_of, int i, int j) {
  int sets = cut.side[i] != cut.side[j] ? 1 : 0;
  if (tooth_of[i] != tooth_of[j]) sets += (tooth_of[i] >= 0) + (tooth_of[j] >= 0);
  return sets;
}

// Marks the comb's teeth in tooth_of (all -1 before), or with clear, unmarks them.
static void mark_teeth(const LpCut& cut, std::vector<int>* tooth_of, bool clear = false) {
  for (size_t t = 0; t < cut.teeth.size(); ++t) {
    for (int p : cut.teeth[t]) (*tooth_of)[p] = clear ? -1 : static_cast<int>(t);
  }
}

// cut_shortfall with a table of n entries of -1 to mark the teeth in; left as it came.
static double shortfall_marking(const CapacityGraph& graph, const LpCut& cut,
                                std::vector<int>* tooth_of) {
  const int n = static_cast<int>(graph.size());
  double crossing = 0;
  if (cut.teeth.empty()) {
    for (int p = 0; p < n; ++p) {
      if (!cut.side[p]) continue;
      for (const auto& [q, x] : graph[p]) {
        if (!cut.side[q]) crossing += x;
      }
    }
    return 2 - crossing;
  }
  mark_teeth(cut, tooth_of);
  for (int p = 0; p < n; ++p) {
    for (const auto& [q, x] : graph[p]) {
      if (q > p) crossing += sets_crossed(cut, *tooth_of, p, q) * x;
    }
  }
  mark_teeth(cut, tooth_of, true);
  return static_cast<double>(cut_bound(cut, true)) - crossing;
}

double cut_shortfall(const CapacityGraph& graph, const LpCut& cut) {
  std::vector<int> tooth_of(graph.size(), -1);
  return shortfall_marking(graph, cut, &tooth_of);
}

// Pool cuts are taken back when violated by this much, in the edges' measure.
constexpr double POOL_LEAST_SHORTFALL = 1e-3;
// The pool holds this many cuts a point at most; the oldest go first.
constexpr size_t POOL_CUTS_PER_POINT = 3;

// The pool's cuts that the solution violates, the most violated first, up to max_cuts; they
// leave the pool.
static std::vector<LpCut> take_from_pool(SubtourLp* lp, const CapacityGraph& graph,
                                         int max_cuts) {
  std::vector<std::pair<double, size_t>> violated;
  std::vector<int> tooth_of(graph.size(), -1);
  for (size_t k = 0; k < lp->pool.size(); ++k) {
    if ((k & 63) == 0 && lp->stop && lp->stop()) break;  // 3n cuts of O(n) each
    const double shortfall = shortfall_marking(graph, lp->pool[k], &tooth_of);
    if (shortfall > POOL_LEAST_SHORTFALL) violated.push_back({-shortfall, k});
  }
  std::sort(violated.begin(), violated.end());
  if (static_cast<int>(violated.size()) > max_cuts) violated.resize(max_cuts);
  std::vector<LpCut> taken;
  std::vector<uint8_t> gone(lp->pool.size(), 0);
  for (const auto& [shortfall, k] : violated) {
    gone[k] = 1;
    if (!holds_cut(lp, lp->pool[k])) taken.push_back(std::move(lp->pool[k]));
  }
  size_t kept = 0;
  for (size_t k = 0; k < lp->pool.size(); ++k) {
    if (gone[k]) continue;
    if (kept != k) {
      lp->pool[kept] = std::move(lp->pool[k]);
      lp->pool_hash[kept] = lp->pool_hash[k];
    }
    ++kept;
  }
  lp->pool.resize(kept);
  lp->pool_hash.resize(kept);
  return taken;
}

int subtour_lp_separate(SubtourLp* lp, int max_cuts, bool blossoms, bool cut_tree) {
  const int n = lp->n;
  const CapacityGraph graph = support_graph(lp);
  if (!lp->pooling) {
    std::vector<LpCut>().swap(lp->pool);
    std::vector<uint64_t>().swap(lp->pool_hash);
  }
  // The pool's violated cuts go in beside the ones found now, not in their place: alone they
  // are seldom the deepest.
  std::vector<LpCut> pooled = take_from_pool(lp, graph, max_cuts);
  // Each point has x(out) = x(in) = 1, so x(out of S) = x(into S) and the symmetric cut is
  // twice x(out of S): below 2 is a violated cut (over edges, it is x(edges leaving S)).
  std::vector<LpCut> fresh;
  for (std::vector<uint8_t>& side : light_cuts(graph, 2.0 - 1e-6, max_cuts, lp->stop)) {
    int members = 0;
    for (uint8_t in : side) members += in;
    if (members < 2 || members > n - 2) continue;  // the degree rows already hold these
    LpCut cut{std::move(side), {}};
    if (holds_cut(lp, cut)) continue;
    fresh.push_back(std::move(cut));
  }
  if (blossoms && fresh.empty()) {
    for (LpCut& cut : blossoms_by_components(graph, max_cuts, lp->stop)) {
      if (!holds_cut(lp, cut)) fresh.push_back(std::move(cut));
    }
    // Combs with paths at 1 as teeth, beside the blossoms: the same handles often take
    // larger teeth, and the cut is then deeper.
    if (separate_combs) {
      for (LpCut& cut : combs_by_shrinking(graph, max_cuts, false, lp->stop)) {
        if (!holds_cut(lp, cut)) fresh.push_back(std::move(cut));
      }
    }
    if (fresh.empty() && cut_tree && separate_blossoms_by_cut_tree) {
      for (LpCut& cut : blossoms_by_cut_tree(graph, max_cuts, lp->stop)) {
        if (!holds_cut(lp, cut)) fresh.push_back(std::move(cut));
      }
      if (fresh.empty() && separate_combs) {
        for (LpCut& cut : combs_by_shrinking(graph, max_cuts, true, lp->stop)) {
          if (!holds_cut(lp, cut)) fresh.push_back(std::move(cut));
        }
      }
    }
  }
  const bool deep = cut_tree || lp->pooling;
  if (blossoms && separate_combs && deep && !(lp->stop && lp->stop())) {
    // Teeth chosen afresh for the handles of the LP's cuts and of the new ones: where the
    // separators above end, this took the root of att532 from 27616 to 27639.
    std::vector<LpCut> handles = lp->cuts;
    handles.insert(handles.end(), fresh.begin(), fresh.end());
    for (LpCut& cut : combs_by_teething(graph, handles, max_cuts, lp->stop)) {
      if (holds_cut(lp, cut) || std::find(fresh.begin(), fresh.end(), cut) != fresh.end()) continue;
      fresh.push_back(std::move(cut));
    }
  }
  if (blossoms && separate_combs && !(lp->stop && lp->stop())) {
    // The LP's combs and the new ones, made deeper: a comb at its bound often takes a
    // point more or less and is then violated. tighten_combs passes over subtour cuts.
    std::vector<LpCut> deeper = tighten_combs(graph, lp->cuts, 1e-3, deep, lp->stop);
    for (LpCut& cut : tighten_combs(graph, fresh, 1e-3, deep, lp->stop)) {
      deeper.push_back(std::move(cut));
    }
    for (LpCut& cut : deeper) {
      if (static_cast<int>(fresh.size()) >= 2 * max_cuts) break;
      if (holds_cut(lp, cut) || std::find(fresh.begin(), fresh.end(), cut) != fresh.end()) continue;
      fresh.push_back(std::move(cut));
    }
  }
  for (LpCut& cut : pooled) {
    if (std::find(fresh.begin(), fresh.end(), cut) == fresh.end()) fresh.push_back(std::move(cut));
  }
  subtour_lp_add_cuts(lp, fresh);
  return static_cast<int>(fresh.size());
}

int subtour_lp_drop_slack_cuts(SubtourLp* lp) {
  ClpSimplex* model = model_of(lp);
  const int first_cut_row = degree_rows(lp);
  if (model->numberRows() != first_cut_row + static_cast<int>(lp->cuts.size())) return 0;
  const double* activity = model->primalRowSolution();
  std::vector<int> slack_rows;
  std::unordered_set<uint64_t> pooled;
  if (lp->pooling) pooled.insert(lp->pool_hash.begin(), lp->pool_hash.end());
  size_t kept = 0;
  for (size_t cut = 0; cut < lp->cuts.size(); ++cut) {
    const double bound = static_cast<double>(cut_bound(lp->cuts[cut], lp->edges));
    const double row = activity[first_cut_row + cut];
    const double slack = row - bound;
    const bool binding = cut < lp->cut_dual.size() && lp->cut_dual[cut] != 0.0;
    if (slack > 1e-6 && !binding) {
      slack_rows.push_back(first_cut_row + static_cast<int>(cut));
      if (lp->pooling && pooled.insert(lp->cut_hash[cut]).second) {
        lp->pool.push_back(std::move(lp->cuts[cut]));
        lp->pool_hash.push_back(lp->cut_hash[cut]);
      }
    } else {
      lp->cut_hash[kept] = lp->cut_hash[cut];
      lp->cuts[kept++] = lp->cuts[cut];
    }
  }
  if (slack_rows.empty()) return 0;
  const size_t most_pooled = POOL_CUTS_PER_POINT * static_cast<size_t>(lp->n);
  if (lp->pool.size() > most_pooled) {
    const size_t oldest = lp->pool.size() - most_pooled;
    lp->pool.erase(lp->pool.begin(), lp->pool.begin() + static_cast<std::ptrdiff_t>(oldest));
    lp->pool_hash.erase(lp->pool_hash.begin(),
                        lp->pool_hash.begin() + static_cast<std::ptrdiff_t>(oldest));
  }
  model->deleteRows(static_cast<int>(slack_rows.size()), slack_rows.data());
  lp->rows_changed = true;
  lp->cuts.resize(kept);
  lp->cut_hash.resize(kept);
  lp->cut_dual.clear();
  return static_cast<int>(slack_rows.size());
}

void subtour_lp_add_cuts(SubtourLp* lp, const std::vector<LpCut>& cuts) {
  if (cuts.empty()) return;
  std::vector<int> starts{0};
  std::vector<int> columns;
  std::vector<double> elements, lower, upper;
  std::vector<int> tooth_of(lp->n, -1);
  for (const LpCut& cut : cuts) {
    // Each point's tooth marked, so that a column's coefficient takes no search.
    mark_teeth(cut, &tooth_of);
    for (size_t column = 0; column < lp->column_tail.size(); ++column) {
      const int i = lp->column_tail[column], j = lp->column_head[column];
      const int coefficient =
          !cut.teeth.empty() ? sets_crossed(cut, tooth_of, i, j)
          : lp->edges        ? cut.side[i] != cut.side[j]
                             : cut.side[i] && !cut.side[j];
      if (coefficient != 0) {
        columns.push_back(static_cast<int>(column));
        elements.push_back(coefficient);
      }
    }
    mark_teeth(cut, &tooth_of, true);
    starts.push_back(static_cast<int>(columns.size()));
    const double bound = static_cast<double>(cut_bound(cut, lp->edges));
    lower.push_back(bound);
    upper.push_back(1e30);
    lp->cuts.push_back(cut);
    lp->cut_hash.push_back(cut_hash_of(cut));
  }
  lp->rows_changed = true;
  model_of(lp)->addRows(static_cast<int>(cuts.size()), lower.data(), upper.data(), starts.data(),
                        columns.data(), elements.data());
}
