// tourplan-solve: one command from a TSPLIB instance (or a tourplan problem file) to its
// optimal tour, solved in-process by tourplan's own engines (solve_problem.h): the report or
// a JSON object on standard output, and the tour, picture and solution files on request, all
// of them or none.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "check/tour.h"
#include "draw/svg.h"
#include "import/tsplib.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "solver/solve_path.h"
#include "solver/solve_problem.h"
#include "tour/geometric_tour.h"
#include "version.h"

constexpr int EXIT_SOLVED = 0;
constexpr int EXIT_BAD_INPUT = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_TIME_LIMIT = 3;
constexpr int EXIT_OUT_OF_MEMORY = 4;

static const char USAGE[] = "usage: tourplan-solve [options] FILE\n";
static const char HELP[] =
    "Solves a TSPLIB instance (.tsp, .atsp) or a tourplan problem file exactly and prints its\n"
    "name, its number of points, the optimal tour from point 1 and its cost. FILE '-' is\n"
    "standard input.\n"
    "\n"
    "  --tour FILE        also write the tour as a TSPLIB TOUR file\n"
    "  --svg FILE         also draw the tour over the instance's coordinates as SVG\n"
    "  --solution FILE    also write the tour as tourplan's solution file\n"
    "  --json             print one JSON object instead of the report\n"
    "  --open             the least-cost path from point 1 through every point instead of\n"
    "                     the tour: no return to point 1, the path ends anywhere\n"
    "  --end K            the least-cost path from point 1 that ends at point K\n"
    "  --time-limit SEC   stop after SEC seconds with the best tour and a lower bound\n"
    "                     (within about a second, whatever the size; Ctrl+C likewise)\n"
    "  --progress         show progress on standard error even when not a terminal\n"
    "  --help, --version\n"
    "\n"
    "Memory: 8 bytes for each pair of points (the costs), and for the solve up to 28\n"
    "points the subsets, 1 GiB at 28 points where they fit; beyond, 64 bytes for each\n"
    "pair of points (1.2 GiB at 4461 points). A problem that cannot fit is refused\n"
    "before the solve, with exit status 4.\n"
    "\n"
    "Beyond 5000 points, up to 10000000, an instance given by coordinates (EUC_2D,\n"
    "CEIL_2D, ATT, GEO, EUC_3D) is too large to prove: it is searched without a table of\n"
    "costs (about 500 bytes a point) for the time limit, 60 s when none is given, and the\n"
    "best tour found is reported with a lower bound, with exit status 3.\n"
    "\n"
    "Exit status: 0 solved, 1 bad input or a file not written, 2 bad command line,\n"
    "3 time limit reached, 4 out of memory, 130 interrupted (Ctrl+C).\n";

// The search of an instance too large to prove, when no time limit is given.
constexpr double DEFAULT_SEARCH_SECONDS = 60;

struct Options {
  const char* input = nullptr;
  const char* tour = nullptr;
  const char* svg = nullptr;
  const char* solution = nullptr;
  bool json = false;
  bool progress = false;
  double time_limit = 0;
  bool open = false;  // a path, not a tour
  int64_t end = 0;    // the path's last point; 0: any
};

static int usage_error(const std::string& why) {
  fprintf(stderr, "tourplan-solve: %s\n%sTry 'tourplan-solve --help'.\n", why.c_str(), USAGE);
  return EXIT_USAGE;
}

static int refuse(const std::string& message) {
  fprintf(stderr, "tourplan-solve: %s\n", message.c_str());
  return EXIT_BAD_INPUT;
}

// ---- Signals ----
//
// Until the output files are staged and once they are in place, an interrupt ends the process
// at once; in between it only sets the flag that stops the solve, and the temporaries are
// removed before the process ends.
static std::atomic<bool> interrupted{false};
static std::atomic<bool> interrupt_ends_at_once{true};
static std::atomic<int> interrupt_signal{SIGINT};

static void on_interrupt(int signal_number) {
  if (interrupt_ends_at_once.load()) _exit(128 + signal_number);
  interrupt_signal.store(signal_number);
  interrupted.store(true);
}

static void catch_interrupts() {
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction earlier {};
    // One the caller ignored (a background job, nohup) stays ignored.
    if (sigaction(signal_number, nullptr, &earlier) == 0 && earlier.sa_handler == SIG_IGN) {
      continue;
    }
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal_number, &action, nullptr);
  }
}

// ---- The progress line ----
//
// A thread of its own redraws it a few times a second from the latest report, so that the
// elapsed time moves also while the solver reports nothing (a long relaxation).
constexpr double PROGRESS_AFTER_SECONDS = 0.5;
constexpr auto PROGRESS_EVERY = std::chrono::milliseconds(200);

struct ProgressLine {
  std::mutex lock;
  std::condition_variable wake;
  bool done = false;
  bool terminal = false;
  int64_t points = 0;
  SolveProgress latest{"", 0, false, 0, false, 0, 0};
  double start = 0;
  size_t shown = 0;  // the width of the line on the screen
};

static std::string percent_text(__int128 part, __int128 whole) {
  char text[32];
  snprintf(text, sizeof text, "%.2f%%",
           100.0 * static_cast<double>(part) / std::fabs(static_cast<double>(whole)));
  return text;
}

static std::string progress_text(const ProgressLine& line, double seconds) {
  const SolveProgress& p = line.latest;
  std::string text = std::string(p.phase);
  if (p.step > 0)
    text += ", step " + std::to_string(p.step) + "/" + std::to_string(line.points - 1);
  if (p.has_best) text += ", best " + decimal_text(p.best);
  if (p.has_lower_bound) text += ", bound " + decimal_text(p.lower_bound);
  if (p.has_best && p.has_lower_bound && p.best != 0) {
    text += " (gap " + percent_text(p.best - p.lower_bound, p.best) + ")";
  }
  char time[32];
  snprintf(time, sizeof time, ", %.1f s", seconds);
  return text + time;
}

static void draw_progress(ProgressLine* line) {
  std::string text = progress_text(*line, clock_seconds() - line->start);
  const size_t width = text.size();
  if (width < line->shown) text.append(line->shown - width, ' ');  // over what was there
  line->shown = width;
  fputc('\r', stderr);
  fputs(text.c_str(), stderr);
  fflush(stderr);
}

static void run_progress_line(ProgressLine* line) {
  std::unique_lock<std::mutex> hold(line->lock);
  while (!line->done) {
    line->wake.wait_for(hold, PROGRESS_EVERY);
    if (!line->done && clock_seconds() - line->start >= PROGRESS_AFTER_SECONDS) {
      draw_progress(line);
    }
  }
  // A terminal gets its line back empty; elsewhere the last state stays on a line of its own.
  if (line->shown > 0) {
    std::string blank(line->shown + 2, ' ');
    blank.front() = blank.back() = '\r';
    fputs(line->terminal ? blank.c_str() : "\n", stderr);
    fflush(stderr);
  }
}

static void note_progress(const SolveProgress& progress, void* context) {
  ProgressLine* line = static_cast<ProgressLine*>(context);
  std::lock_guard<std::mutex> hold(line->lock);
  line->latest = progress;
}

// ---- Output ----

static std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 32) {
      char escape[8];
      snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

static std::string report_text(const std::string& name, int64_t n, const SolveResult& result,
                               const Options& options) {
  std::string tour;
  for (int64_t point : result.tour) tour.append(" ").append(std::to_string(point));
  std::string text = "Name: " + name + "\nPoints: " + std::to_string(n) +
                     (options.open ? "\nPath:" : "\nTour:") + tour +
                     "\nCost: " + decimal_text(result.cost) + "\n";
  if (result.status == SOLVE_TIME_LIMIT) {
    const __int128 gap = result.cost - result.lower_bound;
    char limit[32];
    snprintf(limit, sizeof limit, "%g", options.time_limit);
    text += "Lower bound: " + decimal_text(result.lower_bound) + ", gap " + decimal_text(gap) +
            (result.cost != 0 ? " (" + percent_text(gap, result.cost) + ")" : "") +
            "; the time limit of " + limit + " s was reached\n";
  }
  return text;
}

static std::string json_text(const std::string& name, int64_t n, const SolveResult& result) {
  std::string tour;
  for (int64_t point : result.tour) tour += (tour.empty() ? "" : ", ") + std::to_string(point);
  char seconds[32];
  snprintf(seconds, sizeof seconds, "%.6f", result.seconds);
  return "{\"name\": " + json_string(name) + ", \"points\": " + std::to_string(n) +
         ", \"tour\": [" + tour + "], \"cost\": " + decimal_text(result.cost) +
         ", \"seconds\": " + seconds + ", \"proven\": " + (result.proven ? "true" : "false") +
         ", \"lower_bound\": " + decimal_text(result.lower_bound) + "}\n";
}

// tourplan's solution file: the tour from point 1 back to point 1, a point a line, CR LF.
static std::string solution_text(const std::vector<int64_t>& tour) {
  std::string text;
  for (int64_t point : tour) text.append(" ").append(std::to_string(point)).append("\r\n");
  return text;
}

// ---- The command ----

// "--name VALUE" or "--name=VALUE"; false when argv[*i] is not this option.
static bool option_value(int argc, char** argv, int* i, const char* name, const char** value,
                         std::string* missing) {
  const size_t length = strlen(name);
  if (strncmp(argv[*i], name, length) != 0) return false;
  if (argv[*i][length] == '=') {
    *value = argv[*i] + length + 1;
  } else if (argv[*i][length] != 0) {
    return false;
  } else if (*i + 1 < argc) {
    *value = argv[++*i];
  } else {
    *missing = std::string(name) + " needs a value";
  }
  return true;
}

// 0 when the command line is sound; else the exit status (help and version end it with 0).
static int parse_command_line(int argc, char** argv, Options* options, bool* finished) {
  *finished = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    const char* value = nullptr;
    std::string missing;
    if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
      fputs(USAGE, stdout);
      fputs(HELP, stdout);
      *finished = true;
      return 0;
    }
    if (strcmp(arg, "--version") == 0) {
      puts("tourplan-solve " TOURPLAN_VERSION);
      *finished = true;
      return 0;
    }
    if (strcmp(arg, "--json") == 0) {
      options->json = true;
    } else if (strcmp(arg, "--progress") == 0) {
      options->progress = true;
    } else if (strcmp(arg, "--open") == 0) {
      options->open = true;
    } else if (option_value(argc, argv, &i, "--end", &value, &missing)) {
      if (!missing.empty()) return usage_error(missing);
      char* end = nullptr;
      errno = 0;
      const long long point = strtoll(value, &end, 10);
      if (end == value || *end != 0 || errno != 0 || point < 2) {
        return usage_error("--end needs a point other than the start 1 (2 to N), not '" +
                           std::string(value) + "'");
      }
      options->open = true;
      options->end = point;
    } else if (option_value(argc, argv, &i, "--tour", &value, &missing) ||
               option_value(argc, argv, &i, "--svg", &value, &missing) ||
               option_value(argc, argv, &i, "--solution", &value, &missing) ||
               option_value(argc, argv, &i, "--time-limit", &value, &missing)) {
      if (!missing.empty()) return usage_error(missing);
      const std::string name(arg, strcspn(arg, "="));
      if (name == "--time-limit") {
        char* end = nullptr;
        const double seconds = strtod(value, &end);
        if (end == value || *end != 0 || !(seconds > 0) || !std::isfinite(seconds)) {
          return usage_error("--time-limit needs a number of seconds above 0, not '" +
                             std::string(value) + "'");
        }
        options->time_limit = seconds;
      } else if (value[0] == 0 || strcmp(value, "-") == 0) {
        return usage_error(name + " needs a file name (standard output holds the report)");
      } else if (name == "--tour") {
        options->tour = value;
      } else if (name == "--svg") {
        options->svg = value;
      } else {
        options->solution = value;
      }
    } else if (arg[0] == '-' && arg[1] != 0) {
      return usage_error(std::string("unknown option '") + arg + "'");
    } else if (options->input) {
      return usage_error(std::string("one problem file only; '") + arg + "' is a second");
    } else {
      options->input = arg;
    }
  }
  if (!options->input) return usage_error("no problem file given");
  return 0;
}

// A tourplan problem file starts with a number, a TSPLIB file with a keyword.
static bool is_problem_file(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return true;  // empty: refused as a problem file
  const char c = text[first];
  return (c >= '0' && c <= '9') || c == '-' || c == '+';
}

static void discard_all(std::vector<StagedOutput>* staged) {
  for (StagedOutput& file : *staged) discard_staged_output(&file);
}

static int end_interrupted(std::vector<StagedOutput>* staged) {
  discard_all(staged);
  fputs("tourplan-solve: interrupted; nothing written\n", stderr);
  return 128 + interrupt_signal.load();
}

// ---- Instances too large to prove ----

static double search_deadline = 0;

static bool search_should_stop() {
  return interrupted.load() || clock_seconds() >= search_deadline;
}

struct SearchProgress {
  const SolveOptions* options;
  double start;
};

static void note_search_progress(void* context, const char* phase, bool has_best, int64_t best,
                                 bool has_bound, int64_t bound) {
  const SearchProgress& search = *static_cast<const SearchProgress*>(context);
  if (!search.options->progress) return;
  search.options->progress({phase, 0, has_best, best, has_bound, bound,
                            clock_seconds() - search.start},
                           search.options->context);
}

// The best tour of a time's search and a lower bound, as a solve that reached its time limit
// reports them (a stop request: an interrupted one).
static SolveResult search_problem(const Problem& problem, const SolveOptions& options) {
  const double start = clock_seconds();
  search_deadline = start + options.time_limit;
  SearchProgress progress{&options, start};
  CoordinateSearchOptions search;
  search.search.kicks = INT64_MAX;
  search.search.stop = search_should_stop;
  search.progress = note_search_progress;
  search.context = &progress;
  const CoordinateSearchResult found = coordinate_search(problem, search);
  SolveResult result;
  result.status = interrupted.load() ? SOLVE_INTERRUPTED : SOLVE_TIME_LIMIT;
  for (int point : found.order) result.tour.push_back(point + 1);
  result.tour.push_back(1);
  result.cost = found.cost;
  // Every distance is at least 0, so is every tour.
  result.lower_bound = found.has_bound ? std::max<int64_t>(found.lower_bound, 0) : 0;
  result.seconds = clock_seconds() - start;
  return result;
}

// staged: the output files, kept by the caller so that it can remove them on any way out.
static int solve_command(int argc, char** argv, std::vector<StagedOutput>* staged_outputs) {
  // A closed standard stream must not be taken over by a file opened later.
  platform_hold_standard_streams();
  Options options;
  bool finished = false;
  if (const int status = parse_command_line(argc, argv, &options, &finished);
      status != 0 || finished) {
    return status;
  }
  catch_interrupts();

  const std::string input = options.input;
  const std::string shown = input == "-" ? "standard input" : input;
  std::string text, message;
  if (!read_input(input, &text, &message)) return refuse(message);
  Problem problem;
  ImportError error;
  const bool parsed = is_problem_file(text) ? parse_problem_file(text, &problem, &error)
                                            : parse_tsplib(text, &problem, &error, MAX_DIMENSION,
                                                           MAX_POINTS_WITHOUT_TABLE);
  if (!parsed) {
    return refuse(shown + ":" + (error.line > 0 ? std::to_string(error.line) + ":" : "") + " " +
                  error.message);
  }
  std::string().swap(text);
  std::string name = problem.name;
  if (name.empty()) name = input == "-" ? "stdin" : problem_name(input);
  const int64_t n = problem.dimension;
  const bool searched = problem.costs.empty();  // read without a table: too large to prove
  if (options.end > n) {
    return usage_error("--end " + std::to_string(options.end) + ": " + shown + " has " +
                       std::to_string(n) + " points");
  }
  if (searched && options.open) {
    return refuse(shown + ": a path (--open, --end) is solved over a table of costs, for " +
                  std::to_string(MAX_DIMENSION) + " points at most; this has " + std::to_string(n));
  }
  if (searched) {
    if (options.time_limit <= 0) options.time_limit = DEFAULT_SEARCH_SECONDS;
    fprintf(stderr,
            "tourplan-solve: note: %s has %lld points, more than the exact search takes "
            "(%lld); searching %g s for a good tour and a lower bound\n",
            shown.c_str(), static_cast<long long>(n), static_cast<long long>(MAX_DIMENSION),
            options.time_limit);
  }
  const bool drawn = options.svg && !problem.drawing.empty();
  if (options.svg && !drawn) {
    fprintf(stderr, "tourplan-solve: note: %s has no coordinates to draw; %s not written\n",
            shown.c_str(), options.svg);
  }

  // The output files exist only as temporaries until every one of them is complete.
  interrupt_ends_at_once.store(false);
  std::vector<StagedOutput>& staged = *staged_outputs;
  const char* wanted[3] = {options.tour, drawn ? options.svg : nullptr, options.solution};
  StagedOutput* outputs[3] = {};
  staged.reserve(3);
  for (int k = 0; k < 3; ++k) {
    if (!wanted[k]) continue;
    staged.emplace_back();
    if (!stage_output(wanted[k], &staged.back(), &message)) {
      discard_all(&staged);
      return refuse(message);
    }
    outputs[k] = &staged.back();
  }

  ProgressLine line;
  line.terminal = isatty(STDERR_FILENO) == 1;
  line.points = n;
  line.start = clock_seconds();
  std::thread drawer;
  SolveOptions solve_options;
  solve_options.time_limit = options.time_limit;
  solve_options.interrupt = &interrupted;
  if (line.terminal || options.progress) {
    solve_options.progress = note_progress;
    solve_options.context = &line;
    drawer = std::thread(run_progress_line, &line);
  }
  const SolveResult result =
      searched       ? search_problem(problem, solve_options)
      : options.open ? solve_path(n, std::move(problem.costs), options.end, solve_options)
                     : solve_problem(n, problem.costs.data(), solve_options);
  if (drawer.joinable()) {
    {
      std::lock_guard<std::mutex> hold(line.lock);
      line.done = true;
    }
    line.wake.notify_one();
    drawer.join();
  }

  if (result.status == SOLVE_INTERRUPTED || interrupted.load()) return end_interrupted(&staged);
  if (result.status == SOLVE_OUT_OF_MEMORY || result.status == SOLVE_ERROR) {
    discard_all(&staged);
    const std::string because =
        "run-time error " + std::to_string(result.error_number) + " (" +
        (error_text(result.error_number) ? error_text(result.error_number) : "unknown") + ")";
    if (result.status == SOLVE_OUT_OF_MEMORY) {
      fprintf(stderr, "tourplan-solve: %s: the solver's tables do not fit in memory: %s\n",
              shown.c_str(), because.c_str());
      return EXIT_OUT_OF_MEMORY;
    }
    return refuse(shown + ": the solver failed: " + because);
  }

  // A tour's return to point 1 is left out of the files; a path has none.
  const std::vector<int64_t> tour_points(result.tour.begin(),
                                         result.tour.end() - (options.open ? 0 : 1));
  const std::string cost = decimal_text(result.cost);
  const std::string contents[3] = {
      options.tour ? tsplib_tour_text(name, tour_points, cost) : "",
      drawn ? svg_text(problem, tour_points, name, cost, !options.open) : "",
      options.solution ? solution_text(result.tour) : ""};
  for (int k = 0; k < 3; ++k) {
    if (outputs[k] && !fill_staged_output(outputs[k], contents[k], &message)) {
      discard_all(&staged);
      return refuse(message);
    }
  }
  if (interrupted.load()) return end_interrupted(&staged);
  for (StagedOutput& file : staged) {
    if (!commit_staged_output(&file, &message)) {
      discard_all(&staged);
      return refuse(message);
    }
  }
  interrupt_ends_at_once.store(true);

  const std::string report =
      options.json ? json_text(name, n, result) : report_text(name, n, result, options);
  if (fputs(report.c_str(), stdout) < 0 || fflush(stdout) != 0 || ferror(stdout)) {
    return refuse("standard output: cannot write");
  }
  return result.status == SOLVE_TIME_LIMIT ? EXIT_TIME_LIMIT : EXIT_SOLVED;
}

// Reading, the importer's tables and the texts of the files allocate as they grow.
int main(int argc, char** argv) {
  std::vector<StagedOutput> staged;
  try {
    return solve_command(argc, argv, &staged);
  } catch (const std::bad_alloc&) {
    discard_all(&staged);
    fputs("tourplan-solve: out of memory\n", stderr);
    return EXIT_OUT_OF_MEMORY;
  }
}
