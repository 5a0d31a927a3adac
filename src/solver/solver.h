// The tour solver: Held-Karp over subsets of the points 2..N, point 1 being the fixed end of
// every partial path.
//
// cost(S, a), for a subset S of 2..N and an end point a not in S, is the least cost of a path
// that starts at a, visits every point of S once and ends at point 1:
//   cost({c}, a) = D(a, c) + D(c, 1)
//   cost(S, a)   = min over c in S of D(a, c) + cost(S - {c}, c)
// Among equal sums the lowest point c is the choice, next(S, a); the closing step takes the
// lowest second point j among the equal minima of D(1, j) + cost(full - {j}, j). The tour is
// therefore the first optimal tour in lexicographic order, whichever engine fills the tables:
// - the full-table engine (full_table_engine.h): every size kept, rows computed whole;
// - the two-layer engine (two_layer_engine.h): the same rows, two sizes at a time, the tour
//   read back by solving again where a size is gone;
// - the bounded engine (bounded_engine.h): only the states that can lie on an optimal tour;
// - the reference engine (reference_engine.h): one column at a time, with a table of choices.
// solve_tour picks one and runs the sizes; see solve_tour.cc.
#pragma once

#include <atomic>
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

// A path cost. The costs are signed 64-bit values and a path has fewer than 64 of them, so
// every path cost fits in 128 bits.
typedef __int128 PathCost;

// Above every path cost of the reference engine's 64-bit cells.
constexpr int64_t COST_INFINITY = INT64_MAX;

// Source lines of the solver's failing steps.
constexpr int32_t LINE_CITY_BIT = 114;
constexpr int32_t LINE_COST_TABLE = 120;
constexpr int32_t LINE_NEXT_TABLE = 121;
constexpr int32_t LINE_THREAD_TABLE = 138;
constexpr int32_t LINE_PATH_TABLE = 162;
constexpr int32_t LINE_CANDIDATE_LIST = 79;
constexpr int32_t LINE_COMBINATION = 88;
// The reference engine's 64-bit cells cannot hold every path cost of some problems: with that
// engine (tests and benchmarks only) they are refused with this error, before "Step 1".
constexpr int32_t COST_OVERFLOW_ERROR = 11;

// The engine that fills the tables: the program's own choice, or one named (tests and
// benchmarks). All give the same tours.
enum SolverEngine {
  ENGINE_AUTOMATIC,
  ENGINE_FULL_TABLE,
  ENGINE_TWO_LAYER,
  ENGINE_BOUNDED,
  ENGINE_REFERENCE,
  ENGINE_BRANCH_AND_CUT
};
extern SolverEngine solver_engine;
// The engine of the solve in progress, or of the last one.
SolverEngine solver_engine_in_use();

// Fills the caller's tour (positions 0..N) with a least-cost closed tour from start, printing
// "Step" lines and "End" on the console. Failures are raised through throw_at_line. Returns
// true; false only when a stop request (below) ended the solve early: the tour is then the
// best one found, and solver_lower_bound() a lower bound on the optimum.
bool solve_tour(int64_t n, int64_t start, const DistanceMatrix* matrix, Tour* tour);

// ---- Seams for a caller other than the program (solve_problem.h); the program sets none ----
//
// Progress of the solve in progress, kept up to date by the engines.
struct SolverProgress {
  const char* phase;  // "subsets", "bounds", "relaxation", "good tour", "search"
  int64_t step;       // the latest "Step" number (0 before the first)
  bool has_upper;     // a tour is known...
  PathCost upper;     // ...of this cost
  bool has_lower;     // a lower bound on the optimum is proven...
  PathCost lower;     // ...this one
};
extern SolverProgress solver_progress;
// When set, the solve calls it at every step and every change of the progress, on the solving
// thread, in place of printing "Step" and "End" on the console.
extern void (*solver_progress_hook)();
void report_solver_progress();

// A stop request ends the solve early: the interrupt flag set (from any thread), or the clock
// at or past the deadline (clock_seconds(); 0: none). Armed around one solve.
constexpr int32_t STOP_TIME_LIMIT = 1;
constexpr int32_t STOP_INTERRUPT = 2;
void arm_solver_stop(const std::atomic<bool>* interrupt, double deadline);
void disarm_solver_stop();
// Whether the engines should end the solve now. Cheap (relaxed loads and a clock reading), for
// the search loops and the helper threads; once true it stays true until the solve can no
// longer stop (its tour is being read back).
bool solver_stop_requested();
// A stop request, or a signal the run must act on (pending_signal_error): what the engines'
// loops look at.
bool solver_should_stop();
// Once a stop request has come, whether the engines must hand back what they have now: at
// once for an interrupt (or a signal the run must act on), a fraction of a second after a
// time limit, in which they may still improve the tour they return. False before any stop.
bool solver_grace_over();
// Why the last solve stopped (STOP_TIME_LIMIT, STOP_INTERRUPT), or 0.
int32_t solver_stop_reason();
// A lower bound on the optimum from the last solve that stopped early.
PathCost solver_lower_bound();
// Frees whatever a solve left behind when a failure left it by a throw, so that the next
// solve starts afresh.
void abandon_solve();

// The sum over the rows of each row's largest absolute off-diagonal cost: a bound on the
// magnitude of every path cost.
unsigned __int128 path_cost_bound(const DistanceMatrix* matrix);

// Whether D(r, c) = D(c, r) for every pair of points.
bool costs_symmetric(const DistanceMatrix* matrix);

// Advances the combination C(1..k) over positions 1..m (combination[0] is C(1)) to its
// lexicographic successor; false when it was the last one, which is left unchanged.
bool next_combination(int64_t* combination, int64_t m, int64_t k);

// The bit value of each point 2..N; owned by solve_tour while it runs.
extern TableBlock CityBit;

// Test seam: a worker or helper thread for which it returns true is treated as one that
// failed to start.
extern bool (*thread_start_should_fail)(int64_t end_point);
// Test seam: called by solve_tour with N once every size has been filled, before the tour is
// read back.
extern void (*inspect_solver_tables)(int64_t n);

// Cell (S, a) of the engine in use, for tests while the tables exist (inspect_solver_tables):
// the cost, and the choice (the point that follows a).
PathCost solver_cost(uint64_t subset, int64_t end_point);
int64_t solver_next(uint64_t subset, int64_t end_point);
