#include "driver/driver.h"

#include <setjmp.h>

#include <cstdio>

#include "driver/keys.h"
#include "driver/print.h"
#include "input/reader.h"
#include "platform/platform.h"
#include "runtime/runtime.h"

DistanceMatrix distance_matrix;
static Tour tour;
static const char* problem_file_name;
static const char* solution_file_name;
// Kept as a double: a single-precision start time would shift the elapsed time by up to
// milliseconds, and could print a negative time for a short run.
static double start_time;
static sigjmp_buf error_report_point;

static const char* argument_or(int argc, char** argv, int index, const char* fallback) {
  if (index < argc && argv[index][0] != 0) return argv[index];
  return fallback;
}

static void print_line(const char* label, const char* text) {
  print_text(CONSOLE, label);
  print_text(CONSOLE, text);
  print_line_end(CONSOLE);
}

static void print_labelled_integer(int32_t channel, const char* label, int64_t value) {
  print_text(channel, label);
  print_integer(channel, value);
  print_line_end(channel);
}

// The handler of every failure raised on the main thread. The pause is there for a person to
// read the report: a console that cannot take the report gets neither the line nor the pause.
[[noreturn]] static void error_report() {
  int32_t number = error_number();
  if (flush_console()) {
    print_labelled_integer(CONSOLE, "Error:", number);
    if (flush_console()) pause_or_key(ERROR_REPORT_PAUSE_MS);
  }
  // A termination request in the pause's last slices has its own report too.
  poll_pending_signal();
  problem_file_name = nullptr;
  solution_file_name = nullptr;
  free_table(&tour.block);
  // A failed run must not report success: the status is the error number.
  end_run(number);
}

static void read_problem(int32_t file_number) {
  if (open_for_input(problem_file_name, file_number) != 0) {
    throw_at_line(LINE_OPEN_PROBLEM, MODULE_NAME);
  }
  int64_t n = 0;
  begin_input(file_number);
  read_number(&n);
  print_labelled_integer(CONSOLE, "Points:", n);
  if (create_table_2d(&distance_matrix.block, 1, n, 1, n, sizeof(int64_t)) != 0) {
    throw_at_line(LINE_MATRIX, MODULE_NAME);
  }
  distance_matrix.n = n;
  distance_matrix.cells = static_cast<int64_t*>(distance_matrix.block.cells);
  for (int64_t row = 1; row <= n; ++row) {
    for (int64_t column = 1; column <= n; ++column) {
      begin_input(file_number);
      read_number(&distance_matrix.cells[(row - 1) * n + (column - 1)]);
    }
    poll_pending_signal();
    // Every item left would read as 0, which the new matrix already holds: a short file with
    // a huge N must not take minutes (and gigabytes of touched pages) to finish reading.
    if (input_exhausted(file_number)) break;
  }
  if (close_file(file_number) != 0) throw_at_line(LINE_CLOSE_PROBLEM, MODULE_NAME);
}

static void write_solution(int64_t n) {
  int32_t file_number = free_file_number();
  print_text(CONSOLE, "-----");
  print_line_end(CONSOLE);
  if (open_for_output(solution_file_name, file_number) != 0) {
    throw_at_line(LINE_OPEN_SOLUTION, MODULE_NAME);
  }
  for (int64_t i = 0; i <= n; ++i) {
    print_integer(CONSOLE, tour.points[i]);
    print_line_end(CONSOLE);
    print_integer(file_number, tour.points[i]);
    print_line_end(file_number);
    poll_pending_signal();
  }
  if (close_file(file_number) != 0) throw_at_line(LINE_CLOSE_SOLUTION, MODULE_NAME);
}

[[noreturn]] static void main_flow(int32_t problem_file_number) {
  read_problem(problem_file_number);
  const int64_t n = distance_matrix.n;
  if (create_table(&tour.block, 0, n, sizeof(int64_t)) != 0) {
    throw_at_line(LINE_TOUR, MODULE_NAME);
  }
  tour.n = n;
  tour.points = static_cast<int64_t*>(tour.block.cells);
  solve_tour(n, 1, &distance_matrix, &tour);
  write_solution(n);
  print_text(CONSOLE, "-----");
  print_line_end(CONSOLE);
  print_text(CONSOLE, "Time:");
  print_double(CONSOLE, clock_seconds() - start_time);
  print_line_end(CONSOLE);
  free_table(&tour.block);
  free_table(&distance_matrix.block);
  poll_pending_signal();
  // The solution file is written; a report that did not reach the console is still a failure.
  end_run(flush_console() ? 0 : 3);
}

void run_driver(int argc, char** argv) {
  problem_file_name = argument_or(argc, argv, 1, "problem.dat");
  solution_file_name = argument_or(argc, argv, 2, "solution.txt");
  print_line("Input file: ", problem_file_name);
  print_line("Output file: ", solution_file_name);
  start_time = clock_seconds();
  const int32_t problem_file_number = free_file_number();
  if (sigsetjmp(error_report_point, 1) != 0) error_report();
  set_error_handler(&error_report_point);
  main_flow(problem_file_number);
}
