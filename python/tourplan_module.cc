// The compiled module of the package tourplan (tourplan._tourplan): the in-process solver
// (solver/solve_problem.h, solver/solve_path.h), the search without a table for points too
// many to prove (tour/geometric_tour.h), the TSPLIB reader and distance rules of
// tourplan-import and the TSPLIB TOUR writer of tourplan-solve, with Python's values and
// exceptions. Points count from 0 here, as Python counts; the programs count from 1.
//
// Ctrl+C. Python's signal handler only notes the signal; the handler in Python (which raises
// KeyboardInterrupt) runs when the main thread next calls PyErr_CheckSignals. So the solve runs
// on a thread of its own, and the calling thread waits for it with the GIL released, taking the
// GIL back every WAIT_SLICE to call PyErr_CheckSignals. When that raises, the solve's interrupt
// flag is set, the solving thread is joined (it stops within moments) and the exception goes on.
// This answers at once whatever the solver is doing (a long relaxation reports no progress), and
// the solving thread never needs the GIL.
//
// Progress. The solver reports on the solving thread, which only stores the latest report
// under the job's lock. The calling thread, at its WAIT_SLICE wake-ups, takes the GIL and
// calls the Python callback with that report, at most every PROGRESS_EVERY_SECONDS; an
// exception from the callback is handled as one from a signal handler: the interrupt flag
// is set, the solving thread joined, and the exception goes on to the caller.
//
// Signals. The solving thread and the solver's helpers, which inherit its signal mask, block
// the asynchronous signals, so that these reach Python's thread.
#include <pybind11/pybind11.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "check/tour.h"
#include "import/tsplib.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "solver/solve_path.h"
#include "solver/solve_problem.h"
#include "solver/worker_threads.h"
#include "tour/geometric_tour.h"

namespace py = pybind11;

constexpr auto WAIT_SLICE = std::chrono::milliseconds(20);

// ---- Values from Python ----

// A value as messages show it: its repr, cut short.
static std::string shown_value(py::handle value) {
  std::string text = py::repr(value).cast<std::string>();
  if (text.size() > 40) text = text.substr(0, 37) + "...";
  return text;
}

// A whole number in the 64-bit range (int, or anything with __index__, such as NumPy's
// integers); a ValueError beginning with where otherwise.
static int64_t integer_value(py::handle value, const std::string& where) {
  if (!PyLong_Check(value.ptr()) && !PyIndex_Check(value.ptr())) {
    throw py::value_error(where + ": " + shown_value(value) + " is not an integer");
  }
  const py::object number = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!number) throw py::error_already_set();
  int overflow = 0;
  const long long result = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
  if (overflow != 0) {
    throw py::value_error(where + ": " + shown_value(value) + " is outside the 64-bit range");
  }
  if (result == -1 && PyErr_Occurred()) throw py::error_already_set();
  return result;
}

static std::string cell_name(int64_t row, int64_t column) {
  return "costs row " + std::to_string(row) + ", column " + std::to_string(column);
}

// One cost of an integer buffer: size bytes at cell, swapped from the other byte order.
static bool buffer_cell(const char* cell, int64_t size, bool is_signed, bool swap,
                        int64_t* value) {
  switch (size) {
    case 1: {
      uint8_t bits;
      memcpy(&bits, cell, 1);
      *value = is_signed ? static_cast<int8_t>(bits) : bits;
      return true;
    }
    case 2: {
      uint16_t bits;
      memcpy(&bits, cell, 2);
      if (swap) bits = __builtin_bswap16(bits);
      *value = is_signed ? static_cast<int16_t>(bits) : bits;
      return true;
    }
    case 4: {
      uint32_t bits;
      memcpy(&bits, cell, 4);
      if (swap) bits = __builtin_bswap32(bits);
      *value = is_signed ? static_cast<int32_t>(bits) : static_cast<int64_t>(bits);
      return true;
    }
    default: {
      uint64_t bits;
      memcpy(&bits, cell, 8);
      if (swap) bits = __builtin_bswap64(bits);
      *value = static_cast<int64_t>(bits);
      return is_signed || bits <= static_cast<uint64_t>(INT64_MAX);
    }
  }
}

// The costs of a buffer of N x N integers (a NumPy array, any layout), read without a Python
// object per cost. Returns false, having read nothing, for a buffer of other values (floats,
// objects): the sequence route reads those and names the first cost that is not an integer.
// A large matrix takes a second or more to read: Ctrl+C is seen between its rows (every 16,
// a few milliseconds apart at most), not only once the solve has begun.
static void check_signals_between_rows(int64_t row) {
  if ((row & 15) == 15 && PyErr_CheckSignals() != 0) throw py::error_already_set();
}

static bool read_buffer(const Py_buffer& view, std::vector<int64_t>* costs, int64_t* n) {
  if (view.ndim != 2) {
    throw py::value_error("costs: a " + std::to_string(view.ndim) +
                          "-dimensional array, not a square matrix");
  }
  const char* format = view.format ? view.format : "B";
  char order = '@';
  if (format[0] != 0 && strchr("@=<>!", format[0])) order = *format++;
  const int64_t size = view.itemsize;
  if (format[0] == 0 || format[1] != 0 || !strchr("bBhHiIlLqQ", format[0]) ||
      !(size == 1 || size == 2 || size == 4 || size == 8)) {
    return false;
  }
  const bool is_signed = format[0] >= 'a';
  const bool big_endian = order == '>' || order == '!';
  const bool little_endian = order == '<';
  const bool swap = (big_endian && std::endian::native == std::endian::little) ||
                    (little_endian && std::endian::native == std::endian::big);
  const int64_t rows = view.shape[0];
  const int64_t columns = view.shape[1];
  if (rows != columns) {
    throw py::value_error("costs: a " + std::to_string(rows) + " x " + std::to_string(columns) +
                          " array, not a square matrix");
  }
  *n = rows;
  costs->resize(static_cast<size_t>(rows * columns));
  const char* base = static_cast<const char*>(view.buf);
  for (int64_t r = 0; r < rows; ++r) {
    check_signals_between_rows(r);
    for (int64_t c = 0; c < columns; ++c) {
      const char* cell = base + r * view.strides[0] + c * view.strides[1];
      if (!buffer_cell(cell, size, is_signed, swap, &(*costs)[r * columns + c])) {
        uint64_t bits;
        memcpy(&bits, cell, 8);
        if (swap) bits = __builtin_bswap64(bits);
        throw py::value_error(cell_name(r, c) + ": " + std::to_string(bits) +
                              " is outside the 64-bit range");
      }
    }
  }
  return true;
}

// A square matrix of whole numbers: an integer buffer, or any sequence of sequences. Returns
// the number of points; the costs row by row.
static int64_t read_matrix(py::handle object, std::vector<int64_t>* costs) {
  int64_t n = 0;
  if (PyObject_CheckBuffer(object.ptr())) {
    Py_buffer view;
    if (PyObject_GetBuffer(object.ptr(), &view, PyBUF_RECORDS_RO) == 0) {
      bool done = false;
      try {
        done = read_buffer(view, costs, &n);
      } catch (...) {
        PyBuffer_Release(&view);
        throw;
      }
      PyBuffer_Release(&view);
      if (done) return n;
    } else {
      PyErr_Clear();  // a buffer of another shape: read it as a sequence
    }
  }
  const py::object rows = py::reinterpret_steal<py::object>(
      PySequence_Fast(object.ptr(), "costs must be a square matrix: a sequence of rows"));
  if (!rows) throw py::error_already_set();
  n = PySequence_Fast_GET_SIZE(rows.ptr());
  costs->clear();
  for (int64_t r = 0; r < n; ++r) {
    check_signals_between_rows(r);
    const py::handle item = PySequence_Fast_GET_ITEM(rows.ptr(), r);
    const py::object row = py::reinterpret_steal<py::object>(PySequence_Fast(item.ptr(), ""));
    if (!row) {
      PyErr_Clear();
      throw py::value_error("costs row " + std::to_string(r) + ": " + shown_value(item) +
                            " is not a row of costs");
    }
    const int64_t length = PySequence_Fast_GET_SIZE(row.ptr());
    if (length != n) {
      throw py::value_error("costs row " + std::to_string(r) + " has " + std::to_string(length) +
                            (length == 1 ? " cost" : " costs") + ", not " + std::to_string(n) + ": the matrix must be square");
    }
    for (int64_t c = 0; c < n; ++c) {
      costs->push_back(integer_value(PySequence_Fast_GET_ITEM(row.ptr(), c), cell_name(r, c)));
    }
  }
  return n;
}

static int64_t read_points(py::handle costs_object, std::vector<int64_t>* costs) {
  const int64_t n = read_matrix(costs_object, costs);
  if (n < 2) {
    throw py::value_error("costs: " + std::to_string(n) + (n == 1 ? " point" : " points") +
                          "; a tour needs at least 2");
  }
  return n;
}

// A closed tour of 0-based points, its start again at the end, over n points (n < 0: as many
// as it has). Returns the points 1-based without the return, as the checker and the tour
// writer take them.
static std::vector<int64_t> read_tour(py::handle object, int64_t n) {
  const py::object entries = py::reinterpret_steal<py::object>(
      PySequence_Fast(object.ptr(), "tour must be a sequence of points"));
  if (!entries) throw py::error_already_set();
  const int64_t length = PySequence_Fast_GET_SIZE(entries.ptr());
  if (n < 0) n = length - 1;
  if (n < 2 || length != n + 1) {
    throw py::value_error("tour: " + std::to_string(length) + " entries; a closed tour over " +
                          (n < 2 ? "at least 2 points has at least 3"
                                 : std::to_string(n) + " points has " + std::to_string(n + 1)) +
                          " (its start again at the end)");
  }
  std::vector<int64_t> points(static_cast<size_t>(length));
  for (int64_t i = 0; i < length; ++i) {
    points[i] = integer_value(PySequence_Fast_GET_ITEM(entries.ptr(), i),
                              "tour entry " + std::to_string(i));
  }
  if (points[n] != points[0]) {
    throw py::value_error("tour: ends at " + std::to_string(points[n]) + ", not at its start " +
                          std::to_string(points[0]));
  }
  std::vector<int64_t> seen_at(static_cast<size_t>(n), -1);
  for (int64_t i = 0; i < n; ++i) {
    const int64_t point = points[i];
    if (point < 0 || point >= n) {
      throw py::value_error("tour entry " + std::to_string(i) + ": point " +
                            std::to_string(point) + " is not among the " + std::to_string(n) +
                            " points (0 to " + std::to_string(n - 1) + ")");
    }
    if (seen_at[point] >= 0) {
      throw py::value_error("tour: point " + std::to_string(point) + " comes twice (entries " +
                            std::to_string(seen_at[point]) + " and " + std::to_string(i) + ")");
    }
    seen_at[point] = i;
    points[i] = point + 1;
  }
  points.pop_back();
  return points;
}

// None, or seconds above 0.
static double read_time_limit(py::handle limit) {
  if (limit.is_none()) return 0;
  const double seconds = PyFloat_AsDouble(limit.ptr());
  if (seconds == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (!(seconds > 0) || !std::isfinite(seconds)) {
    throw py::value_error("time_limit must be a number of seconds above 0, not " +
                          shown_value(limit));
  }
  return seconds;
}

// A path as open() takes it: str, bytes or os.PathLike.
static std::string file_path(py::handle path) {
  const py::object fs_path = py::reinterpret_steal<py::object>(PyOS_FSPath(path.ptr()));
  if (!fs_path) throw py::error_already_set();
  py::object bytes = fs_path;
  if (PyUnicode_Check(fs_path.ptr())) {
    bytes = py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(fs_path.ptr()));
    if (!bytes) throw py::error_already_set();
  }
  std::string text(PyBytes_AS_STRING(bytes.ptr()), PyBytes_GET_SIZE(bytes.ptr()));
  if (text.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
  return text;
}

// ---- Values for Python ----

static py::int_ python_int(__int128 value) {
  const std::string digits = decimal_text(value);
  py::int_ number = py::reinterpret_steal<py::int_>(PyLong_FromString(digits.c_str(), nullptr, 10));
  if (!number) throw py::error_already_set();
  return number;
}

// Text from a file, as the file has it (bytes that are not UTF-8 kept as surrogates).
static py::str python_text(const std::string& text) {
  py::str value = py::reinterpret_steal<py::str>(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape"));
  if (!value) throw py::error_already_set();
  return value;
}

// OSError with the errno of a failed system call, so that Python picks its subclass
// (FileNotFoundError, PermissionError, ...), or a plain one; message is "path: reason".
[[noreturn]] static void raise_os_error(const std::string& message, int code, py::handle path) {
  const size_t colon = message.find(": cannot ");
  py::object error;
  if (code != 0 && colon != std::string::npos) {
    error = py::reinterpret_borrow<py::object>(PyExc_OSError)(code, message.substr(colon + 2),
                                                              path);
  } else {
    error = py::reinterpret_borrow<py::object>(PyExc_OSError)(message);
  }
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

struct Solution {
  py::list tour;
  py::int_ cost;
  bool proven = false;
  py::int_ lower_bound;
  double seconds = 0;
};

struct Instance {
  py::str name;
  py::list costs;
  py::object coordinates;  // a list of (x, y), or None
  bool geographic = false;
  py::object metric;  // the coordinate type's name, or None
};

// What a progress callback gets: the solver's latest report and the time.
struct Progress {
  py::str phase;
  int64_t step = 0;
  py::object best;         // an int, or None before the first tour
  py::object lower_bound;  // likewise before the first bound
  double seconds = 0;
};

// ---- Solving ----

// The engines' tables are global: one solve at a time. The calling thread takes its turn, so
// that Ctrl+C also ends a wait behind another thread's solve.
static std::timed_mutex solve_turn;

// A progress callback is called at most this often, from the calling thread.
constexpr double PROGRESS_EVERY_SECONDS = 0.1;

// The search of points too large for a table, when no time limit is given.
constexpr double DEFAULT_SEARCH_SECONDS = 60;

enum SolveKind { SOLVE_TOUR, SOLVE_PATH, SOLVE_SEARCH };

// One solve, shared by the calling thread and the solving thread. The solving thread writes
// result, done and the latest report under lock; interrupt is set by the calling thread only.
struct SolveJob {
  SolveKind kind = SOLVE_TOUR;
  int64_t n = 0;
  std::vector<int64_t> costs;  // SOLVE_TOUR and SOLVE_PATH
  int64_t end = 0;             // SOLVE_PATH: the last point, from 1; 0 for any
  Problem problem;             // SOLVE_SEARCH: the points, read without a table
  SolveOptions options;
  std::atomic<bool> interrupt{false};
  double start = 0;
  std::mutex lock;
  std::condition_variable finished;
  bool done = false;
  SolveResult result;
  bool has_report = false;
  SolveProgress latest{"", 0, false, 0, false, 0, 0};
};

static void note_progress(const SolveProgress& progress, void* context) {
  SolveJob* job = static_cast<SolveJob*>(context);
  std::lock_guard<std::mutex> hold(job->lock);
  job->latest = progress;
  job->has_report = true;
}

// The search of points too large for a table: its stop takes no context, and solves take
// turns, so the job in progress is found here (set and cleared by its solving thread).
static SolveJob* searching = nullptr;
static double search_deadline = 0;

static bool search_should_stop() {
  return searching->interrupt.load() || clock_seconds() >= search_deadline;
}

static void note_search_progress(void* context, const char* phase, bool has_best, int64_t best,
                                 bool has_bound, int64_t bound) {
  SolveJob* job = static_cast<SolveJob*>(context);
  note_progress({phase, 0, has_best, best, has_bound, bound, clock_seconds() - job->start}, job);
}

// The best tour of the time's search and a lower bound, as a solve that reached its time
// limit reports them.
static SolveResult search_points(SolveJob* job) {
  searching = job;
  search_deadline = job->start + job->options.time_limit;
  CoordinateSearchOptions search;
  search.search.kicks = INT64_MAX;
  search.search.stop = search_should_stop;
  search.progress = note_search_progress;
  search.context = job;
  const CoordinateSearchResult found = coordinate_search(job->problem, search);
  searching = nullptr;
  SolveResult result;
  result.status = job->interrupt.load() ? SOLVE_INTERRUPTED : SOLVE_TIME_LIMIT;
  for (int point : found.order) result.tour.push_back(point + 1);
  result.tour.push_back(1);
  result.cost = found.cost;
  // Every distance is at least 0, so is every tour.
  result.lower_bound = found.has_bound ? std::max<int64_t>(found.lower_bound, 0) : 0;
  result.seconds = clock_seconds() - job->start;
  return result;
}

static void run_solve(SolveJob* job) {
  SolveResult result;
  try {
    if (job->kind == SOLVE_SEARCH) {
      result = search_points(job);
    } else if (job->kind == SOLVE_PATH) {
      result = solve_path(job->n, std::move(job->costs), job->end, job->options);
    } else {
      result = solve_problem(job->n, job->costs.data(), job->options);
    }
  } catch (const std::bad_alloc&) {  // the result's own tour, or the search's tables
    searching = nullptr;
    result = SolveResult{};
    result.status = SOLVE_OUT_OF_MEMORY;
    result.error_number = 4;
  }
  std::lock_guard<std::mutex> hold(job->lock);
  job->result = std::move(result);
  job->done = true;
  job->finished.notify_one();
}

// Starts the solving thread with the asynchronous signals blocked (its helpers inherit that);
// the fault signals stay open, as they are on the solver's own threads.
static std::thread start_solving_thread(SolveJob* job) {
  sigset_t blocked, previous;
  sigfillset(&blocked);
  for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigdelset(&blocked, fault);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  std::thread thread;
  try {
    thread = std::thread(run_solve, job);
  } catch (...) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    throw;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return thread;
}

// With the GIL released: takes it to run Python's signal handlers; true when one raised (the
// exception stays set on this thread until it is thrown).
static bool signal_raised() {
  py::gil_scoped_acquire gil;
  return PyErr_CheckSignals() != 0;
}

// With the GIL released: takes it to call the progress callback with a report; true when the
// callback raised (its exception stays set on this thread until it is thrown).
static bool callback_raised(py::handle callback, const SolveProgress& report, double seconds) {
  py::gil_scoped_acquire gil;
  try {
    Progress progress;
    progress.phase = py::str(report.phase);
    progress.step = report.step;
    progress.best = report.has_best ? py::object(python_int(report.best)) : py::none();
    progress.lower_bound =
        report.has_lower_bound ? py::object(python_int(report.lower_bound)) : py::none();
    progress.seconds = seconds;
    callback(py::cast(std::move(progress)));
  } catch (py::error_already_set& error) {
    error.restore();
    return true;
  }
  return false;
}

// Runs the job on a thread of its own (see the top of this file), calling progress (None for
// none) at most every PROGRESS_EVERY_SECONDS from this thread. Throws the exception of a
// signal handler or of the callback once the solving thread has ended.
static void run_job(SolveJob* job, py::handle progress) {
  if (!progress.is_none() && !PyCallable_Check(progress.ptr())) {
    throw py::value_error("progress must be a callable or None, not " + shown_value(progress));
  }
  const bool reporting = !progress.is_none();
  if (reporting) {
    job->options.progress = note_progress;
    job->options.context = job;
  }
  job->options.interrupt = &job->interrupt;
  bool raised = false;
  std::unique_lock<std::timed_mutex> turn(solve_turn, std::defer_lock);
  {
    py::gil_scoped_release released;
    while (!turn.try_lock_for(WAIT_SLICE)) {
      if (signal_raised()) {
        raised = true;
        break;
      }
    }
  }
  if (raised) throw py::error_already_set();
  job->start = clock_seconds();
  std::thread solving = start_solving_thread(job);
  {
    py::gil_scoped_release released;
    double last_call = job->start;
    std::unique_lock<std::mutex> hold(job->lock);
    while (!job->done) {
      if (job->finished.wait_for(hold, WAIT_SLICE, [&] { return job->done; })) break;
      if (raised) continue;  // already stopping: the first exception stands
      const double now = clock_seconds();
      const bool call = reporting && job->has_report && now - last_call >= PROGRESS_EVERY_SECONDS;
      const SolveProgress report = job->latest;
      hold.unlock();
      if (signal_raised() || (call && callback_raised(progress, report, now - job->start))) {
        raised = true;
        job->interrupt.store(true);
      }
      if (call) last_call = now;
      hold.lock();
    }
    hold.unlock();
    solving.join();
  }
  turn.unlock();
  if (raised) throw py::error_already_set();
}

// Points as the caller counts them (from 0), or the path's end (None: any).
static int64_t read_end(py::handle end, int64_t n) {
  if (end.is_none()) return 0;
  const int64_t point = integer_value(end, "end");
  if (point < 1 || point >= n) {
    throw py::value_error("end: " + std::to_string(point) +
                          " is not a point other than the start 0 (1 to " + std::to_string(n - 1) +
                          ")");
  }
  return point + 1;
}

static Solution solution_of(const SolveJob& job) {
  const SolveResult& result = job.result;
  if (result.status == SOLVE_INTERRUPTED) {  // no one else sets the flag; kept for safety
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw py::error_already_set();
  }
  if (result.status == SOLVE_OUT_OF_MEMORY || result.status == SOLVE_ERROR) {
    const char* text = error_text(result.error_number);
    const std::string because = "run-time error " + std::to_string(result.error_number) + " (" +
                                (text ? text : "unknown") + ")";
    if (result.status == SOLVE_OUT_OF_MEMORY) {
      PyErr_SetString(PyExc_MemoryError, ("the solver's tables for " + std::to_string(job.n) +
                                          " points do not fit in memory: " + because)
                                             .c_str());
      throw py::error_already_set();
    }
    throw std::runtime_error("the solver failed: " + because);
  }
  Solution solution;
  for (int64_t point : result.tour) solution.tour.append(point - 1);
  solution.cost = python_int(result.cost);
  solution.proven = result.proven;
  solution.lower_bound = python_int(result.lower_bound);
  solution.seconds = result.seconds;
  return solution;
}

// The job of a table of costs: a tour, or a path (cycle false, or an end given).
static void set_table_job(SolveJob* job, bool cycle, py::handle end) {
  const int64_t last = read_end(end, job->n);
  if (!cycle || last != 0) {
    job->kind = SOLVE_PATH;
    job->end = last;
  }
}

static Solution solve(py::handle costs_object, py::handle time_limit, bool cycle, py::handle end,
                      py::handle progress) {
  SolveJob job;
  job.n = read_points(costs_object, &job.costs);
  job.options.time_limit = read_time_limit(time_limit);
  set_table_job(&job, cycle, end);
  run_job(&job, progress);
  return solution_of(job);
}

// ---- Points by their coordinates ----

// A real number, finite; a ValueError beginning with where otherwise.
static double coordinate_value(py::handle value, const std::string& where) {
  const double number = PyFloat_AsDouble(value.ptr());
  if (number == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    throw py::value_error(where + ": " + shown_value(value) + " is not a number");
  }
  if (!std::isfinite(number)) {
    throw py::value_error(where + ": " + shown_value(value) + " is not a finite number");
  }
  return number;
}

// Points of count coordinates each (a sequence of sequences, or an N x count array), each
// coordinate times scale.
static std::vector<Point> read_coordinates(py::handle object, int count, double scale) {
  const py::object rows = py::reinterpret_steal<py::object>(
      PySequence_Fast(object.ptr(), "points must be a sequence of points"));
  if (!rows) throw py::error_already_set();
  const int64_t n = PySequence_Fast_GET_SIZE(rows.ptr());
  if (n > MAX_POINTS_WITHOUT_TABLE) {
    throw py::value_error("points: " + std::to_string(n) + " points; at most " +
                          std::to_string(MAX_POINTS_WITHOUT_TABLE) + " are taken");
  }
  std::vector<Point> points(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) {
    check_signals_between_rows(i);
    const std::string where = "points row " + std::to_string(i);
    const py::handle item = PySequence_Fast_GET_ITEM(rows.ptr(), i);
    const py::object row = py::reinterpret_steal<py::object>(PySequence_Fast(item.ptr(), ""));
    if (!row) {
      PyErr_Clear();
      throw py::value_error(where + ": " + shown_value(item) + " is not a point");
    }
    const int64_t length = PySequence_Fast_GET_SIZE(row.ptr());
    if (length != count) {
      throw py::value_error(where + " has " + std::to_string(length) +
                            (length == 1 ? " coordinate" : " coordinates") + ", not " +
                            std::to_string(count));
    }
    double values[3] = {0, 0, 0};
    for (int k = 0; k < count; ++k) {
      const std::string name = where + ", coordinate " + std::to_string(k);
      values[k] = coordinate_value(PySequence_Fast_GET_ITEM(row.ptr(), k), name) * scale;
      if (!std::isfinite(values[k])) {
        throw py::value_error(name + ": times the scale, beyond the range of a double");
      }
    }
    points[i] = Point{values[0], values[1], values[2]};
  }
  return points;
}

static Solution solve_points(py::handle points_object, const std::string& metric,
                             py::handle scale_object, py::handle time_limit, bool cycle,
                             py::handle end, py::handle progress) {
  int count = 0;
  Geometry geometry = GEOMETRY_NONE;
  if (!coordinate_type(metric, &count, &geometry)) {
    throw py::value_error("metric: unknown " + shown_value(py::str(metric)) +
                          " (supported: " + coordinate_type_names() + ")");
  }
  const double scale = coordinate_value(scale_object, "scale");
  if (!(scale > 0)) {
    throw py::value_error("scale must be a number above 0, not " + shown_value(scale_object));
  }
  if (metric == "GEO" && scale != 1) {
    throw py::value_error(
        "scale: GEO's coordinates are latitudes and longitudes, not to be scaled");
  }
  std::vector<Point> points = read_coordinates(points_object, count, scale);
  const int64_t n = static_cast<int64_t>(points.size());
  if (n < 2) {
    throw py::value_error("points: " + std::to_string(n) + (n == 1 ? " point" : " points") +
                          "; a tour needs at least 2");
  }
  const bool path = !cycle || !end.is_none();
  if (n > MAX_DIMENSION && (geometry == GEOMETRY_NONE || path)) {
    throw py::value_error("points: " + std::to_string(n) +
                          " points, more than the exact solver's " + std::to_string(MAX_DIMENSION) +
                          "; beyond, only tours are searched, and only under " +
                          "EUC_2D, CEIL_2D, ATT, GEO or EUC_3D");
  }
  SolveJob job;
  job.n = n;
  job.options.time_limit = read_time_limit(time_limit);
  ImportError error;
  bool built = false;
  {
    py::gil_scoped_release released;
    built = coordinate_problem(metric, std::move(points), &job.problem, &error);
  }
  if (!built) throw py::value_error("points: " + error.message);
  if (job.problem.costs.empty()) {
    job.kind = SOLVE_SEARCH;
    if (job.options.time_limit <= 0) job.options.time_limit = DEFAULT_SEARCH_SECONDS;
  } else {
    job.costs = std::move(job.problem.costs);
    set_table_job(&job, cycle, end);
  }
  run_job(&job, progress);
  return solution_of(job);
}

// ---- Files ----

static Instance read_tsplib(py::handle path_object) {
  const std::string path = file_path(path_object);
  std::string text, message;
  Problem problem;
  ImportError error;
  bool read = false, parsed = false;
  int code = 0;
  {
    py::gil_scoped_release released;
    read = read_input(path, &text, &message);
    code = errno;
    if (read) parsed = parse_tsplib(text, &problem, &error);
  }
  if (!read) raise_os_error(message, code, path_object);
  if (!parsed) {
    throw py::value_error(path + ":" + (error.line > 0 ? std::to_string(error.line) + ":" : "") +
                          " " + error.message);
  }
  Instance instance;
  // As tourplan-solve names it: its NAME, else the file's name.
  instance.name = python_text(problem.name.empty() ? base_name(path) : problem.name);
  const int64_t n = problem.dimension;
  for (int64_t r = 0; r < n; ++r) {
    py::list row(static_cast<size_t>(n));
    for (int64_t c = 0; c < n; ++c) row[c] = py::int_(problem.costs[r * n + c]);
    instance.costs.append(row);
  }
  if (problem.drawing.empty()) {
    instance.coordinates = py::none();
  } else {
    py::list points;
    for (const Point& point : problem.drawing) points.append(py::make_tuple(point.x, point.y));
    instance.coordinates = points;
  }
  instance.geographic = problem.geographic;
  instance.metric = problem.coordinate_type.empty() ? py::object(py::none())
                                                    : py::object(py::str(problem.coordinate_type));
  return instance;
}

static py::int_ tour_cost_of(py::handle costs_object, py::handle tour_object) {
  std::vector<int64_t> costs;
  const int64_t n = read_points(costs_object, &costs);
  return python_int(tour_cost(read_tour(tour_object, n), costs.data()));
}

static void write_tour(py::handle path_object, py::handle tour_object, py::str name_object,
                       py::handle cost_object) {
  const std::string path = file_path(path_object);
  const std::vector<int64_t> points = read_tour(tour_object, -1);
  const py::object name_bytes = py::reinterpret_steal<py::object>(
      PyUnicode_AsEncodedString(name_object.ptr(), "utf-8", "surrogateescape"));
  if (!name_bytes) throw py::error_already_set();
  const std::string name(PyBytes_AS_STRING(name_bytes.ptr()), PyBytes_GET_SIZE(name_bytes.ptr()));
  if (name.find_first_of("\r\n") != std::string::npos) {
    throw py::value_error("name: a line break would end the NAME line");
  }
  const py::object cost = py::reinterpret_steal<py::object>(PyNumber_Index(cost_object.ptr()));
  if (!cost) throw py::error_already_set();
  const std::string text = tsplib_tour_text(name, points, py::str(cost).cast<std::string>());
  std::string message;
  bool written = false;
  int code = 0;
  {
    py::gil_scoped_release released;
    written = write_output(path, text, &message);
    code = errno;
  }
  if (!written) raise_os_error(message, code, path_object);
}

// ---- The module ----

// The keywords that solve(), solve_points() and the package's solve_graph() share, as their
// docstrings tell them.
#define SHARED_KEYWORDS_DOC                                                                \
  "time_limit, in seconds: stop then with the best tour found, proven False (unless\n"     \
  "it is already proven optimal) and lower_bound, a cost no tour goes below.\n"            \
  "\n"                                                                                     \
  "cycle=False: the least-cost path from point 0 through every point, ending anywhere:\n"  \
  "tour then lists the N points without a return, and cost is the path's. end=k (a\n"      \
  "point other than 0): the path that ends at point k (cycle need not be given). Among\n"  \
  "several optimal paths, the first in lexicographic order; solved exactly, as the tour\n" \
  "of a transformed problem, its cost and lower_bound in the units of the costs.\n"        \
  "\n"                                                                                     \
  "progress: a callable, called as progress(info) at most ten times a second from the\n"   \
  "calling thread with a Progress (phase, step, best, lower_bound, seconds) once the\n"    \
  "solver has reported; an exception it raises stops the solve and reaches the caller.\n"  \
  "\n"                                                                                     \
  "The solver's tables are global, so solves are serialised by a lock: a call from\n"      \
  "another thread waits for the one in progress. The GIL is released while solving,\n"     \
  "and Ctrl+C (KeyboardInterrupt) stops the solve within moments.\n"

PYBIND11_MODULE(_tourplan, module) {
  py::options options;
  options.disable_function_signatures();  // each docstring begins with its own
  module.doc() =
      "The compiled part of the package tourplan: its solver, reader and writer. Import\n"
      "tourplan, which gives these names and the rest.";

  py::class_<Solution>(module, "Solution",
                       "What solve() returns: tour (points from 0 back to 0; a path's N points\n"
                       "without a return), cost (int), proven (the tour is optimal),\n"
                       "lower_bound (no tour costs less; the cost itself when proven) and\n"
                       "seconds (the solve's time). Solutions pickle, for other processes.")
      .def(py::init(
               [](py::list tour, py::int_ cost, bool proven, py::int_ lower_bound, double seconds) {
                 return Solution{std::move(tour), std::move(cost), proven, std::move(lower_bound),
                                 seconds};
               }),
           py::arg("tour"), py::arg("cost"), py::arg("proven"), py::arg("lower_bound"),
           py::arg("seconds"))
      .def_readonly("tour", &Solution::tour)
      .def_readonly("cost", &Solution::cost)
      .def_readonly("proven", &Solution::proven)
      .def_readonly("lower_bound", &Solution::lower_bound)
      .def_readonly("seconds", &Solution::seconds)
      .def("__repr__",
           [](const Solution& s) {
             return py::str(
                        "Solution(tour={!r}, cost={!r}, proven={!r}, lower_bound={!r}, "
                        "seconds={:.6f})")
                 .format(s.tour, s.cost, s.proven, s.lower_bound, s.seconds);
           })
      .def(py::pickle(
          [](const Solution& s) {
            return py::make_tuple(s.tour, s.cost, s.proven, s.lower_bound, s.seconds);
          },
          [](const py::tuple& state) {
            if (state.size() != 5) throw py::value_error("not the state of a Solution");
            Solution s;
            s.tour = state[0].cast<py::list>();
            s.cost = state[1].cast<py::int_>();
            s.proven = state[2].cast<bool>();
            s.lower_bound = state[3].cast<py::int_>();
            s.seconds = state[4].cast<double>();
            return s;
          }));

  py::class_<Instance>(module, "Instance",
                       "What read_tsplib() returns: name (the NAME, else the file's name),\n"
                       "costs (the N x N matrix as lists of ints, symmetric ones in full),\n"
                       "coordinates (where to draw each point, (x, y) from the display data or\n"
                       "the node coordinates, else None), geographic (the coordinates are\n"
                       "GEO latitudes and longitudes, in degrees.minutes) and metric (the\n"
                       "EDGE_WEIGHT_TYPE of a coordinate type, as solve_points() takes it,\n"
                       "else None).")
      .def_readonly("name", &Instance::name)
      .def_readonly("costs", &Instance::costs)
      .def_readonly("coordinates", &Instance::coordinates)
      .def_readonly("geographic", &Instance::geographic)
      .def_readonly("metric", &Instance::metric)
      .def("__repr__", [](const Instance& i) {
        return py::str(
                   "Instance(name={!r}, points={}, coordinates={}, geographic={!r}, "
                   "metric={!r})")
            .format(i.name, py::len(i.costs), i.coordinates.is_none() ? "None" : "[...]",
                    i.geographic, i.metric);
      });

  py::class_<Progress>(module, "Progress",
                       "What a progress callback gets: phase (\"subsets\", \"bounds\",\n"
                       "\"relaxation\", \"good tour\", \"search\", ...), step (the latest step\n"
                       "of the subsets' phase, else 0), best (the best tour's cost, or None\n"
                       "before the first), lower_bound (a proven bound, or None before the\n"
                       "first) and seconds (since the solve began).")
      .def_readonly("phase", &Progress::phase)
      .def_readonly("step", &Progress::step)
      .def_readonly("best", &Progress::best)
      .def_readonly("lower_bound", &Progress::lower_bound)
      .def_readonly("seconds", &Progress::seconds)
      .def("__repr__", [](const Progress& p) {
        return py::str(
                   "Progress(phase={!r}, step={!r}, best={!r}, lower_bound={!r}, "
                   "seconds={:.3f})")
            .format(p.phase, p.step, p.best, p.lower_bound, p.seconds);
      });

  module.def("solve", &solve, py::arg("costs"), py::kw_only(), py::arg("time_limit") = py::none(),
             py::arg("cycle") = true, py::arg("end") = py::none(), py::arg("progress") = py::none(),
             "solve(costs, *, time_limit=None, cycle=True, end=None, progress=None) -> Solution\n"
             "\n"
             "Solves the travelling salesman problem over costs exactly: costs[r][c] is the cost\n"
             "of going from point r to point c, for N >= 2 points (the diagonal is never used).\n"
             "costs is a square matrix of whole numbers in the signed 64-bit range: a sequence\n"
             "of sequences of ints, or a two-dimensional integer array (NumPy, any layout).\n"
             "\n"
             "Returns a Solution: the tour from point 0 back to point 0 (N + 1 entries), its\n"
             "exact cost (a Python int: the sum may pass 64 bits), proven, lower_bound and\n"
             "seconds. Among several optimal tours it is always the first in lexicographic\n"
             "order, the one the tourplan program prints.\n"
             "\n" SHARED_KEYWORDS_DOC
             "\n"
             "Raises ValueError for a matrix that is not square, a cost that is not an integer\n"
             "or lies outside the 64-bit range (naming its row and column, from 0), fewer\n"
             "than 2 points or an end that is not a point other than 0; TypeError for\n"
             "something that is not a matrix; MemoryError where the solver's tables do not\n"
             "fit in memory.");
  module.def("solve_points", &solve_points, py::arg("points"), py::arg("metric") = "EUC_2D",
             py::kw_only(), py::arg("scale") = 1, py::arg("time_limit") = py::none(),
             py::arg("cycle") = true, py::arg("end") = py::none(), py::arg("progress") = py::none(),
             "solve_points(points, metric=\"EUC_2D\", *, scale=1, time_limit=None, cycle=True,\n"
             "             end=None, progress=None) -> Solution\n"
             "\n"
             "Solves the problem of points given by their coordinates, as solve() solves a\n"
             "matrix: points is a sequence of (x, y) pairs, of (x, y, z) triples for the 3D\n"
             "metrics, or an N x 2 / N x 3 array of numbers. The cost between two points is\n"
             "TSPLIB's distance for metric (EUC_2D, CEIL_2D, ATT, GEO, MAN_2D, MAX_2D, EUC_3D,\n"
             "MAN_3D, MAX_3D), computed by read_tsplib()'s own code, with its rounding to a\n"
             "whole number: EUC_2D rounds the distance to the nearest integer, CEIL_2D up, and\n"
             "so on. Every coordinate is multiplied by scale first (not for GEO, whose\n"
             "coordinates are degrees.minutes), so that float data keep the precision wanted:\n"
             "scale=1000 counts thousandths. The cost, lower_bound and progress are in those\n"
             "rounded units.\n"
             "\n"
             "Beyond 5000 points (up to 10,000,000; EUC_2D, CEIL_2D, ATT, GEO or EUC_3D, tours\n"
             "only) the problem is too large to prove: no matrix is built; the points are\n"
             "searched for time_limit seconds (60 when None) and the best tour found comes\n"
             "back with proven False and a lower bound.\n"
             "\n" SHARED_KEYWORDS_DOC
             "\n"
             "Raises ValueError for an unknown metric, a point with too few or too many\n"
             "coordinates, a coordinate that is not a finite number (naming its row, from 0),\n"
             "points so far apart that a cost passes 64 bits, or fewer than 2 points.");
  module.def("read_tsplib", &read_tsplib, py::arg("path"),
             "read_tsplib(path) -> Instance\n"
             "\n"
             "Reads a TSPLIB instance (TYPE TSP or ATSP; EXPLICIT matrices in any format or one\n"
             "of the coordinate types) by the rules of tourplan-import: name, costs (N x N, as\n"
             "lists of ints), coordinates, geographic and metric.\n"
             "\n"
             "'-' is standard input, as for the programs. Raises OSError (FileNotFoundError,\n"
             "...) when the file cannot be read, ValueError 'path:line: reason' for a fault in\n"
             "it.");
  module.def("tour_cost", &tour_cost_of, py::arg("costs"), py::arg("tour"),
             "tour_cost(costs, tour) -> int\n"
             "\n"
             "The exact cost of a closed tour over costs (a matrix as solve() takes it): tour\n"
             "lists every point 0..N-1 once and then its start again. ValueError for a matrix\n"
             "as solve() refuses it, or a tour that is not such a permutation.");
  module.def("write_tour", &write_tour, py::arg("path"), py::arg("tour"), py::arg("name"),
             py::arg("cost"),
             "write_tour(path, tour, name, cost)\n"
             "\n"
             "Writes a closed tour (as solve() returns it) as a TSPLIB TOUR file, the same bytes\n"
             "as tourplan-solve --tour: NAME, TYPE, COMMENT : Length = cost, DIMENSION, the\n"
             "points counted from 1, -1, EOF. The file is written to a temporary beside it and\n"
             "renamed into place, so it is complete or not there; '-' is standard output.\n"
             "\n"
             "Raises ValueError for a tour that is not a permutation closed at its start or a\n"
             "name with a line break, OSError when the file cannot be written.");
  module.def(
      "_set_threads",
      [](int32_t threads) {
        std::lock_guard<std::timed_mutex> turn(solve_turn);  // read as each solve begins
        row_kernel_threads = threads;
      },
      py::arg("threads"),
      "_set_threads(threads)\n"
      "\n"
      "The threads each solve uses (0: one per processor, as by default). solve_many's\n"
      "worker processes take 1: the processes share out the cores.");
  // The package re-exports these names: help() and pickle name them where users find them.
  for (const char* name : {"Solution", "Instance", "Progress", "solve", "solve_points",
                           "read_tsplib", "tour_cost", "write_tour"}) {
    module.attr(name).attr("__module__") = "tourplan";
  }
}
