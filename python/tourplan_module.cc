// The Python module tourplan: the in-process solver (solver/solve_problem.h), the TSPLIB reader
// of tourplan-import and the TSPLIB TOUR writer of tourplan-solve, with Python's values and
// exceptions. Points count from 0 here, as Python counts; the programs count from 1.
//
// Ctrl+C. Python's signal handler only notes the signal; the handler in Python (which raises
// KeyboardInterrupt) runs when the main thread next calls PyErr_CheckSignals. So the solve runs
// on a thread of its own, and the calling thread waits for it with the GIL released, taking the
// GIL back every WAIT_SLICE to call PyErr_CheckSignals. When that raises, the solve's interrupt
// flag is set, the solving thread is joined (it stops within moments) and the exception goes on.
// This answers at once whatever the solver is doing (a long relaxation reports no progress), and
// the solving thread never needs the GIL. That thread and the solver's helpers, which inherit
// its signal mask, block the asynchronous signals, so that these reach Python's thread.
#include <pybind11/pybind11.h>
#include <pthread.h>
#include <signal.h>

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
#include "runtime/runtime.h"
#include "solver/solve_problem.h"

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
};

// ---- Solving ----

// The engines' tables are global: one solve at a time. The calling thread takes its turn, so
// that Ctrl+C also ends a wait behind another thread's solve.
static std::timed_mutex solve_turn;

struct SolveJob {
  int64_t n = 0;
  const int64_t* costs = nullptr;
  SolveOptions options;
  std::atomic<bool> interrupt{false};
  std::mutex lock;
  std::condition_variable finished;
  bool done = false;
  SolveResult result;
};

static void run_solve(SolveJob* job) {
  SolveResult result;
  try {
    result = solve_problem(job->n, job->costs, job->options);
  } catch (const std::bad_alloc&) {  // the result's own tour
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

static Solution solve(py::handle costs_object, py::handle time_limit) {
  std::vector<int64_t> costs;
  SolveJob job;
  job.n = read_points(costs_object, &costs);
  job.costs = costs.data();
  job.options.time_limit = read_time_limit(time_limit);
  job.options.interrupt = &job.interrupt;

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
  std::thread solving = start_solving_thread(&job);
  {
    py::gil_scoped_release released;
    std::unique_lock<std::mutex> hold(job.lock);
    while (!job.done) {
      if (job.finished.wait_for(hold, WAIT_SLICE, [&] { return job.done; })) break;
      if (raised) continue;  // already stopping: the first exception stands
      hold.unlock();
      if (signal_raised()) {
        raised = true;
        job.interrupt.store(true);
      }
      hold.lock();
    }
    hold.unlock();
    solving.join();
  }
  turn.unlock();
  if (raised) throw py::error_already_set();

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
      PyErr_SetString(PyExc_MemoryError,
                      ("the solver's tables for " + std::to_string(job.n) +
                       " points do not fit in memory: " + because).c_str());
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

PYBIND11_MODULE(tourplan, module) {
  py::options options;
  options.disable_function_signatures();  // each docstring begins with its own
  module.doc() =
      "Exact travelling salesman solving with tourplan's engines.\n"
      "\n"
      "solve() gives the proven optimum of a square cost matrix and, among several optimal\n"
      "tours, always the same one: the first in lexicographic order, as the tourplan program\n"
      "prints it. read_tsplib() reads a TSPLIB instance, tour_cost() prices a tour and\n"
      "write_tour() writes one as a TSPLIB TOUR file. Points count from 0.";

  py::class_<Solution>(module, "Solution",
                       "What solve() returns: tour (points from 0 back to 0), cost (int),\n"
                       "proven (the tour is optimal), lower_bound (no tour costs less; the cost\n"
                       "itself when proven) and seconds (the solve's time).")
      .def_readonly("tour", &Solution::tour)
      .def_readonly("cost", &Solution::cost)
      .def_readonly("proven", &Solution::proven)
      .def_readonly("lower_bound", &Solution::lower_bound)
      .def_readonly("seconds", &Solution::seconds)
      .def("__repr__", [](const Solution& s) {
        return py::str("Solution(tour={!r}, cost={!r}, proven={!r}, lower_bound={!r}, "
                       "seconds={:.6f})")
            .format(s.tour, s.cost, s.proven, s.lower_bound, s.seconds);
      });

  py::class_<Instance>(module, "Instance",
                       "What read_tsplib() returns: name (the NAME, else the file's name),\n"
                       "costs (the N x N matrix as lists of ints, symmetric ones in full),\n"
                       "coordinates (where to draw each point, (x, y) from the display data or\n"
                       "the node coordinates, else None) and geographic (the coordinates are\n"
                       "GEO latitudes and longitudes, in degrees.minutes).")
      .def_readonly("name", &Instance::name)
      .def_readonly("costs", &Instance::costs)
      .def_readonly("coordinates", &Instance::coordinates)
      .def_readonly("geographic", &Instance::geographic)
      .def("__repr__", [](const Instance& i) {
        return py::str("Instance(name={!r}, points={}, coordinates={}, geographic={!r})")
            .format(i.name, py::len(i.costs), i.coordinates.is_none() ? "None" : "[...]",
                    i.geographic);
      });

  module.def("solve", &solve, py::arg("costs"), py::kw_only(), py::arg("time_limit") = py::none(),
             "solve(costs, *, time_limit=None) -> Solution\n"
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
             "\n"
             "time_limit, in seconds: stop then with the best tour found, proven False (unless\n"
             "it is already proven optimal) and lower_bound, a cost no tour goes below.\n"
             "\n"
             "The solver's tables are global, so solves are serialised by a lock: a call from\n"
             "another thread waits for the one in progress. The GIL is released while solving,\n"
             "and Ctrl+C (KeyboardInterrupt) stops the solve within moments.\n"
             "\n"
             "Raises ValueError for a matrix that is not square, a cost that is not an integer\n"
             "or lies outside the 64-bit range (naming its row and column, from 0), or fewer\n"
             "than 2 points; TypeError for something that is not a matrix; MemoryError where\n"
             "the solver's tables do not fit in memory.");
  module.def("read_tsplib", &read_tsplib, py::arg("path"),
             "read_tsplib(path) -> Instance\n"
             "\n"
             "Reads a TSPLIB instance (TYPE TSP or ATSP; EXPLICIT matrices in any format or one\n"
             "of the coordinate types) by the rules of tourplan-import: name, costs (N x N, as\n"
             "lists of ints), coordinates and geographic.\n"
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
}
