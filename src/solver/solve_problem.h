// Solving in-process: a problem given as a table of costs, solved by the same engines as the
// program (solve_tour), with a time limit, an interrupt flag and progress reports, and every
// outcome returned rather than ending the process. For tourplan-solve and other callers that
// embed the solver.
//
// The solver's state is global, so solves run one at a time: a second caller waits for the
// first. A failure (out of memory, another run-time error) leaves nothing behind; the next
// solve starts afresh. Nothing is printed.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

enum SolveStatus {
  SOLVE_DONE,           // the tour is optimal: the first optimal tour, as the program prints it
  SOLVE_TIME_LIMIT,     // the time limit came first: the best tour found and a lower bound
  SOLVE_INTERRUPTED,    // the interrupt flag was set: the same
  SOLVE_OUT_OF_MEMORY,  // the solver's error 4: no tour
  SOLVE_ERROR,          // another run-time error (error_number): no tour
};

// What a progress report tells: the phase ("subsets", "bounds", "relaxation", "good tour",
// "search"), the latest step (as the program's "Step" lines count them, 0 before the first),
// the cost of the best tour known and a proven lower bound on the optimum, each when known.
struct SolveProgress {
  const char* phase;
  int64_t step;
  bool has_best;
  __int128 best;
  bool has_lower_bound;
  __int128 lower_bound;
  double seconds;  // since the solve began
};

struct SolveOptions {
  double time_limit = 0;  // seconds; 0 or less: none
  // Set to true from any thread (or a signal handler) to end the solve early; read only.
  const std::atomic<bool>* interrupt = nullptr;
  // Called on the solving thread at every step and every new tour or bound, and at least at
  // every node of the branch-and-cut search. It must return (no throw, no jump); to stop, it
  // sets the interrupt flag.
  void (*progress)(const SolveProgress& progress, void* context) = nullptr;
  void* context = nullptr;
};

struct SolveResult {
  SolveStatus status = SOLVE_ERROR;
  int32_t error_number = 0;   // the run-time error of SOLVE_OUT_OF_MEMORY (4) and SOLVE_ERROR
  std::vector<int64_t> tour;  // n + 1 points, 1 first and last; empty without a tour
  __int128 cost = 0;          // the tour's exact cost
  __int128 lower_bound = 0;   // proven: no tour costs less (the cost itself when proven)
  bool proven = false;        // the tour is optimal (SOLVE_DONE)
  double seconds = 0;
};

// Solves the problem of n points (n >= 2; fewer give SOLVE_ERROR with error 1) whose cost from
// point r to point c is costs[(r - 1) * n + (c - 1)]; the diagonal is never read.
SolveResult solve_problem(int64_t n, const int64_t* costs, const SolveOptions& options);
