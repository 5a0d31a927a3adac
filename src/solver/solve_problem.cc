// Solving in-process; see solve_problem.h.
#include "solver/solve_problem.h"

#include <setjmp.h>

#include <mutex>
#include <new>

#include "platform/platform.h"
#include "runtime/runtime.h"
#include "solver/solver.h"

// The solver's tables and engines are global: one solve at a time.
static std::mutex solve_lock;

// The solve in progress, for the progress hook; guarded by solve_lock.
static const SolveOptions* solve_options = nullptr;
static double solve_start = 0;

static void forward_progress() {
  if (!solve_options->progress) return;
  const SolverProgress& p = solver_progress;
  const SolveProgress progress{
      p.phase, p.step, p.has_upper, p.upper, p.has_lower, p.lower, clock_seconds() - solve_start};
  solve_options->progress(progress, solve_options->context);
}

// solve_tour under a handler of this thread's own, so that a failure raised in the solver
// lands here instead of ending the process. Returns the error number, or 0 with *finished set.
// After the jump only what was set before sigsetjmp is read.
static int32_t solve_guarded(const DistanceMatrix* matrix, Tour* tour, bool* finished) {
  const ErrorHandler previous = current_error_context()->handler;
  sigjmp_buf failure;
  if (sigsetjmp(failure, 1) != 0) {
    set_error_handler(previous);
    return error_number() != 0 ? error_number() : 1;
  }
  set_error_handler(&failure);
  int32_t error = 0;
  try {
    *finished = solve_tour(matrix->n, 1, matrix, tour);
  } catch (const std::bad_alloc&) {  // a container of the bounds: the same shortage
    error = 4;
  }
  set_error_handler(previous);
  return error;
}

SolveResult solve_problem(int64_t n, const int64_t* costs, const SolveOptions& options) {
  std::lock_guard<std::mutex> hold(solve_lock);
  SolveResult result;
  solve_start = clock_seconds();
  if (n < 2) {  // as solve_tour would refuse it: illegal function call
    result.error_number = 1;
    return result;
  }
  // The engines only read the costs, in place.
  DistanceMatrix matrix{n, const_cast<int64_t*>(costs), TableBlock{nullptr, 0, false}};
  Tour tour{n, nullptr, TableBlock{nullptr, 0, false}};
  if (create_table(&tour.block, 0, n, sizeof(int64_t)) != 0) {
    result.status = SOLVE_OUT_OF_MEMORY;
    result.error_number = 4;
    return result;
  }
  tour.points = static_cast<int64_t*>(tour.block.cells);

  solve_options = &options;
  solver_progress_hook = forward_progress;
  arm_solver_stop(options.interrupt, options.time_limit > 0 ? solve_start + options.time_limit : 0);
  bool finished = false;
  const int32_t error = solve_guarded(&matrix, &tour, &finished);
  const int32_t stop = solver_stop_reason();
  disarm_solver_stop();
  solver_progress_hook = nullptr;
  solve_options = nullptr;
  result.seconds = clock_seconds() - solve_start;

  if (error != 0) {
    abandon_solve();
    free_table(&tour.block);
    result.status = error == 4 ? SOLVE_OUT_OF_MEMORY : SOLVE_ERROR;
    result.error_number = error;
    return result;
  }
  result.tour.assign(tour.points, tour.points + n + 1);
  free_table(&tour.block);
  for (int64_t i = 0; i < n; ++i)
    result.cost += distance(&matrix, result.tour[i], result.tour[i + 1]);
  if (finished) {
    result.status = SOLVE_DONE;
    result.lower_bound = result.cost;
    result.proven = true;
  } else {
    result.status = stop == STOP_INTERRUPT ? SOLVE_INTERRUPTED : SOLVE_TIME_LIMIT;
    result.lower_bound = solver_lower_bound();
    // The bound can meet the tour: it is then optimal, if not always the first optimal tour.
    result.proven = result.lower_bound >= result.cost;
    if (result.proven) result.lower_bound = result.cost;
  }
  return result;
}
