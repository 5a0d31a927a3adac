// tourplan-check: reads a problem exactly as tourplan reads it and a tour strictly, and prints
// the tour's cost; optionally writes the tour as a TSPLIB TOUR file.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "check/tour.h"
#include "import/tsplib.h"
#include "input/reader.h"
#include "runtime/runtime.h"
#include "version.h"

static const char USAGE[] =
    "usage: tourplan-check [--tour-file OUT] PROBLEM SOLUTION\n"
    "       tourplan-check --help | --version\n"
    "Checks a tour (a tourplan solution file or a TSPLIB TOUR file) against a tourplan problem\n"
    "file and prints its cost; --tour-file writes it as a TSPLIB TOUR file.\n";

constexpr int EXIT_BAD_INPUT = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_OUT_OF_MEMORY = 4;

static int refuse(const std::string& message, int status = EXIT_BAD_INPUT) {
  fprintf(stderr, "tourplan-check: %s\n", message.c_str());
  return status;
}

// Why the reader could not open the problem file, as far as the system can tell.
static std::string open_failure(const char* path, int32_t code) {
  if (code == 1) return std::string(path) + ": cannot measure its length";
  struct stat status;
  if (stat(path, &status) != 0) return std::string(path) + ": cannot open: " + strerror(errno);
  if (!S_ISREG(status.st_mode)) return std::string(path) + ": cannot open: not a regular file";
  return std::string(path) + ": cannot open";
}

// A TSPLIB file starts with a keyword ("NAME : gr17"), which tourplan's reader reads as N = 0.
static bool starts_with_letter(const char* path) {
  FILE* file = fopen(path, "rbe");
  if (!file) return false;
  int c = fgetc(file);
  while (c == ' ' || c == '\t' || c == '\r' || c == '\n') c = fgetc(file);
  fclose(file);
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The problem as tourplan's own reader sees it: N, then N x N items row by row, a missing or
// malformed item reading as 0 or as its numeric beginning. 0, or the exit status of a refusal.
static int read_problem(const char* path, TableBlock* matrix, int64_t* n, std::string* message) {
  const int32_t number = free_file_number();
  const int32_t code = open_for_input(path, number);
  if (code != 0) {
    *message = open_failure(path, code);
    return EXIT_BAD_INPUT;
  }
  begin_input(number);
  read_number(n);
  if (*n < 2) {
    close_file(number);
    if (starts_with_letter(path)) {
      *message = std::string(path) +
                 ": looks like a TSPLIB file, not a tourplan problem file; convert it with "
                 "tourplan-import, or solve it with tourplan-solve";
      return EXIT_BAD_INPUT;
    }
    *message =
        std::string(path) + ":1: N is " + std::to_string(*n) + "; a tour needs at least 2 points";
    return EXIT_BAD_INPUT;
  }
  if (create_table_2d(matrix, 1, *n, 1, *n, sizeof(int64_t)) != 0) {
    close_file(number);
    *message = std::string(path) + ": the " + std::to_string(*n) + " x " + std::to_string(*n) +
               " cost matrix does not fit in memory";
    return EXIT_OUT_OF_MEMORY;
  }
  int64_t* cells = static_cast<int64_t*>(matrix->cells);
  for (int64_t cell = 0; cell < *n * *n; ++cell) {
    begin_input(number);
    read_number(&cells[cell]);
    // What is left would read as 0, which the new table already holds.
    if (cell % *n == *n - 1 && input_exhausted(number)) break;
  }
  close_file(number);
  return 0;
}

static int check_command(int argc, char** argv) {
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(USAGE, stdout);
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    fputs("tourplan-check " TOURPLAN_VERSION "\n", stdout);
    return 0;
  }
  const char* tour_file = nullptr;
  const char* names[2] = {nullptr, nullptr};
  int given = 0;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--tour-file") == 0 && i + 1 < argc && !tour_file) {
      tour_file = argv[++i];
    } else if (given < 2 && (argv[i][0] != '-' || argv[i][1] == 0)) {
      names[given++] = argv[i];
    } else {
      given = 3;
      break;
    }
  }
  if (given != 2) {
    fputs(USAGE, stderr);
    return EXIT_USAGE;
  }
  const char* problem_path = names[0];
  const std::string solution_path = names[1];

  // The reader classifies bytes by the user's locale, as it does in tourplan.
  runtime_start();
  TableBlock matrix{};
  int64_t n = 0;
  std::string message;
  if (const int status = read_problem(problem_path, &matrix, &n, &message); status != 0) {
    return refuse(message, status);
  }

  // The matrix is given back on every way out, a refusal included.
  auto refuse_and_free = [&matrix](const std::string& why) {
    free_table(&matrix);
    return refuse(why);
  };
  std::string text;
  if (!read_input(solution_path, &text, &message)) return refuse_and_free(message);
  Tour tour;
  TourError error;
  const std::string shown = solution_path == "-" ? "standard input" : solution_path;
  if (!parse_tour(text, n, &tour, &error)) {
    return refuse_and_free(shown + ":" + (error.line > 0 ? std::to_string(error.line) + ":" : "") +
                           " " + error.message);
  }
  const std::string cost =
      decimal_text(tour_cost(tour.points, static_cast<int64_t*>(matrix.cells)));
  free_table(&matrix);

  if (tour_file) {
    if (!write_output(tour_file, tsplib_tour_text(problem_name(problem_path), tour.points, cost),
                      &message)) {
      return refuse(message);
    }
  }
  // A tour file on standard output stands alone there; its COMMENT carries the cost.
  if (tour_file && strcmp(tour_file, "-") == 0) return 0;
  printf("Problem: %s, %lld points\n", problem_path, static_cast<long long>(n));
  printf("Tour: %s, a %s\n", shown.c_str(),
         tour.from_tsplib ? "TSPLIB tour file" : "tourplan solution file");
  printf("Cost: %s\n", cost.c_str());
  if (fflush(stdout) != 0 || ferror(stdout)) return refuse("standard output: cannot write");
  return 0;
}

// The tour reader's tables and the texts are allocated as they grow.
int main(int argc, char** argv) {
  try {
    return check_command(argc, argv);
  } catch (const std::bad_alloc&) {
    return refuse("out of memory", EXIT_OUT_OF_MEMORY);
  }
}
