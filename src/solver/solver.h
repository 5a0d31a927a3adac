// The tour solver: Held-Karp over subsets of the points 2..N, point 1 being the fixed end of
// every partial path.
//
// cost(S, a), for a subset S of 2..N and an end point a not in S, is the least cost of a path
// that starts at a, visits every point of S once and ends at point 1:
//   cost({c}, a) = D(a, c) + D(c, 1)
//   cost(S, a)   = min over c in S of D(a, c) + cost(S - {c}, c)
// Among equal sums the lowest point c is the choice, next(S, a); the closing step takes the
// lowest second point j among the equal minima of D(1, j) + cost(full - {j}, j).
#pragma once

#include <cstdint>

#include "runtime/runtime.h"

// N x N costs, rows and columns 1..N, stored row by row. D(r, c) is the cost of going from
// point r to point c.
struct DistanceMatrix {
  int64_t n;
  int64_t* cells;
  TableBlock block;
};

inline int64_t distance(const DistanceMatrix* matrix, int64_t row, int64_t column) {
  return matrix->cells[(row - 1) * matrix->n + (column - 1)];
}

// Point numbers at positions 0..N; positions 0 and N hold the start point.
struct Tour {
  int64_t n;
  int64_t* points;
  TableBlock block;
};

// Above every real path cost: problems whose sums could come near it are refused.
constexpr int64_t COST_INFINITY = INT64_MAX;

// Source lines of the solver's failing steps.
constexpr int32_t LINE_CITY_BIT = 114;
constexpr int32_t LINE_COST_TABLE = 120;
constexpr int32_t LINE_NEXT_TABLE = 121;
constexpr int32_t LINE_THREAD_TABLE = 138;
constexpr int32_t LINE_PATH_TABLE = 162;
constexpr int32_t LINE_CANDIDATE_LIST = 79;
constexpr int32_t LINE_COMBINATION = 88;
// A problem whose path costs could overflow is refused with this error, before "Step 1".
constexpr int32_t COST_OVERFLOW_ERROR = 11;

// The engine that fills the tables: the fast engine by default, or the reference engine that
// fills one column (end point) of one size at a time. Both give the same cells and tours.
enum SolverEngine { ENGINE_FAST, ENGINE_REFERENCE };
extern SolverEngine solver_engine;

// Fills the caller's tour (positions 0..N) with a least-cost closed tour from start, printing
// "Step" lines and "End" on the console. Failures are raised through throw_at_line.
void solve_tour(int64_t n, int64_t start, const DistanceMatrix* matrix, Tour* tour);

// The sum over the rows of each row's largest absolute off-diagonal cost: a bound on the
// magnitude of every path cost. Saturates at UINT64_MAX.
uint64_t path_cost_bound(const DistanceMatrix* matrix);

// Advances the combination C(1..k) over positions 1..m (combination[0] is C(1)) to its
// lexicographic successor; false when it was the last one, which is left unchanged.
bool next_combination(int64_t* combination, int64_t m, int64_t k);

// The reference engine's tables, global so that the column computations of every thread
// reach them. CityBit: 2..N; CostTable and NextTable: subsets 1..M by end points 2..N.
extern TableBlock CityBit;
extern TableBlock CostTable;
extern TableBlock NextTable;

// Fills cost(S, a) and next(S, a) for every S of exactly k points without a (reference engine).
void fill_column(int64_t n, int64_t a, int64_t k);

// One size phase of the reference engine: fill_column for every end point a = 2..N, each on
// a worker thread of its own, all joined before it returns.
void run_size_phase(int64_t n, int64_t k);
// N and the subset size k of the phase that runs; written only while no worker runs.
extern int64_t PhaseParams[2];
// Whether the phases run their columns on worker threads (the program) or one after another
// on the calling thread (a reference for tests and benchmarks).
extern bool run_phases_in_parallel;
// Test seam: a worker for which it returns true is treated as one that failed to start.
extern bool (*thread_start_should_fail)(int64_t end_point);

// Test seam: called by solve_tour with N just before it frees its tables.
extern void (*inspect_solver_tables)(int64_t n);

// Cell (S, a) of the engine in use, for tests while the tables exist (inspect_solver_tables):
// the cost, and the choice (the point that follows a).
int64_t solver_cost(const DistanceMatrix* matrix, int64_t subset, int64_t end_point);
int64_t solver_next(int64_t subset, int64_t end_point);
