// The whole run from problem bytes to a tour, for up to 8 points.
//
// The bytes are read as the driver reads them: N, then N x N costs, then the close. The
// solve runs with a recovery point of its own, so that a refusal comes back here instead of
// ending the process, once with each engine. What must hold:
// - N below 2 is error 1; error 11 comes exactly when the sum over the rows of each row's
//   largest absolute off-diagonal cost reaches 9223372036854775807;
// - otherwise the tour starts and ends at point 1, visits every point once, costs exactly the
//   optimum found by trying every order in 128-bit arithmetic, and both engines give it;
// - the console shows the Step lines and End, or nothing for a refusal;
// - after every input no table and no file number is left in use.
#include <setjmp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/scratch.h"
#include "input/reader.h"
#include "runtime/runtime.h"
#include "solver/bounded_engine.h"
#include "solver/full_table_engine.h"
#include "solver/reference_engine.h"
#include "solver/solver.h"
#include "solver/two_layer_engine.h"

namespace {

constexpr int64_t MOST_POINTS = 8;  // 7! orders for the brute force

[[noreturn]] void fail(const char* what) {
  fprintf(stderr, "fuzz_run: %s\n", what);
  abort();
}

void check(bool holds, const char* what) {
  if (!holds) fail(what);
}

// The console (standard output) goes to a file in memory, emptied before every solve.
int console_file = -1;

void empty_console() {
  fflush(stdout);
  if (ftruncate(console_file, 0) != 0 || lseek(console_file, 0, SEEK_SET) != 0) abort();
}

std::string console_text() {
  fflush(stdout);
  std::string text(static_cast<size_t>(lseek(console_file, 0, SEEK_END)), '\0');
  if (pread(console_file, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
    abort();
  }
  return text;
}

std::string expected_console(int64_t n) {
  std::string text;
  for (int64_t k = 1; k <= std::max<int64_t>(2, n - 1); ++k) {
    text += "Step " + std::to_string(k) + "\r\n";
  }
  return text + "End\r\n";
}

// What the solver may still hold after a throw.
void release_solver_tables() {
  free_table(&CityBit);
  full_table_release();
  two_layer_release();
  bounded_release();
  reference_release();
}

// 0, or the error that the solve raised.
int32_t solve_or_error(int64_t n, const DistanceMatrix* matrix, Tour* tour) {
  sigjmp_buf recovery;
  if (sigsetjmp(recovery, 1) != 0) {
    const int32_t error = error_number();  // before free_table stores 0
    set_error_handler(nullptr);
    release_solver_tables();
    return error;
  }
  set_error_handler(&recovery);
  solve_tour(n, 1, matrix, tour);
  set_error_handler(nullptr);
  return 0;
}

__int128 cost_of(const DistanceMatrix* matrix, const std::vector<int64_t>& order) {
  __int128 total = 0;
  for (size_t i = 0; i + 1 < order.size(); ++i) total += distance(matrix, order[i], order[i + 1]);
  return total;
}

// The first optimal tour in lexicographic order: orders are tried in that order.
std::vector<int64_t> brute_force_tour(const DistanceMatrix* matrix) {
  const int64_t n = matrix->n;
  std::vector<int64_t> order;
  for (int64_t point = 1; point <= n; ++point) order.push_back(point);
  order.push_back(1);
  std::vector<int64_t> best_order;
  __int128 best = 0;
  do {
    __int128 cost = cost_of(matrix, order);
    if (best_order.empty() || cost < best) {
      best = cost;
      best_order = order;
    }
  } while (std::next_permutation(order.begin() + 1, order.end() - 1));
  return best_order;
}

bool costs_could_overflow(const DistanceMatrix* matrix) {
  __int128 bound = 0;
  for (int64_t row = 1; row <= matrix->n; ++row) {
    __int128 largest = 0;
    for (int64_t column = 1; column <= matrix->n; ++column) {
      if (column == row) continue;
      __int128 cost = distance(matrix, row, column);
      largest = std::max(largest, cost < 0 ? -cost : cost);
    }
    bound += largest;
  }
  return bound >= INT64_MAX;
}

void check_tour(const DistanceMatrix* matrix, const Tour* tour) {
  const int64_t n = matrix->n;
  std::vector<int64_t> order(tour->points, tour->points + n + 1);
  const std::vector<int64_t> first = brute_force_tour(matrix);
  check(cost_of(matrix, order) == cost_of(matrix, first), "the tour is not optimal");
  check(order == first, "the tour is not the first optimal one");
}

// Reads the problem as the driver does; false when N is out of this target's range.
bool read_problem(DistanceMatrix* matrix) {
  const int32_t number = free_file_number();
  check(number == 1, "a file number was left in use");
  check(open_for_input(scratch_name(), number) == 0, "the problem cannot be opened");
  int64_t n = 0;
  begin_input(number);
  read_number(&n);
  if (n > MOST_POINTS) {
    check(close_file(number) == 0, "closing the problem failed");
    return false;
  }
  const int32_t made = create_table_2d(&matrix->block, 1, n, 1, n, sizeof(int64_t));
  if (n < 1) {
    check(made == 1, "a matrix without points is not error 1");
    check(close_file(number) == 0, "closing the problem failed");
    return false;
  }
  check(made == 0, "the matrix cannot be created");
  matrix->n = n;
  matrix->cells = static_cast<int64_t*>(matrix->block.cells);
  for (int64_t row = 1; row <= n; ++row) {
    for (int64_t column = 1; column <= n; ++column) {
      begin_input(number);
      read_number(&matrix->cells[(row - 1) * n + (column - 1)]);
    }
  }
  check(close_file(number) == 0, "closing the problem failed");
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  console_file = memfd_create("tourplan-fuzz-console", MFD_CLOEXEC);
  if (console_file < 0 || dup2(console_file, STDOUT_FILENO) < 0) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  scratch_write(data, size);
  DistanceMatrix matrix{};
  if (read_problem(&matrix)) {
    const int64_t n = matrix.n;
    for (SolverEngine engine :
         {ENGINE_AUTOMATIC, ENGINE_TWO_LAYER, ENGINE_BOUNDED, ENGINE_REFERENCE}) {
      const int32_t expected = n < 2                                                       ? 1
                               : engine == ENGINE_REFERENCE && costs_could_overflow(&matrix) ? 11
                                                                                           : 0;
      solver_engine = engine;
      two_layer_keeps_no_sizes = true;
      run_phases_in_parallel = false;
      Tour tour{};
      check(create_table(&tour.block, 0, n, sizeof(int64_t)) == 0, "the tour cannot be created");
      tour.n = n;
      tour.points = static_cast<int64_t*>(tour.block.cells);
      empty_console();
      const int32_t outcome = solve_or_error(n, &matrix, &tour);
      check(outcome == expected, "the solve ended otherwise than expected");
      check(console_text() == (outcome == 0 ? expected_console(n) : ""), "console lines");
      if (outcome == 0) check_tour(&matrix, &tour);
      free_table(&tour.block);
    }
  }
  free_table(&matrix.block);
  check(live_table_bytes() == 0, "a table was left behind");
  return 0;
}
