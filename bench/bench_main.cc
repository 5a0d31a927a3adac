// tourplan-bench: the whole program, with the solver engine chosen by a leading option.
//   tourplan-bench --engine=NAME [problem-file [solution-file]]
// Engines: fast (the program's own), fast-1 (the fast engine on one thread), reference (one
// worker thread per end point), reference-sequential (the columns one after another on the
// main thread).
#include <cstdio>
#include <cstring>

#include "driver/driver.h"
#include "runtime/runtime.h"
#include "solver/fast_engine.h"
#include "solver/solver.h"

int main(int argc, char** argv) {
  if (argc < 2 || strncmp(argv[1], "--engine=", 9) != 0) {
    fprintf(stderr, "usage: %s --engine=fast|fast-1|reference|reference-sequential [problem "
            "[solution]]\n", argv[0]);
    return 64;
  }
  const char* engine = argv[1] + 9;
  if (strcmp(engine, "fast") == 0) {
    solver_engine = ENGINE_FAST;
  } else if (strcmp(engine, "fast-1") == 0) {
    solver_engine = ENGINE_FAST;
    fast_engine_threads = 1;
  } else if (strcmp(engine, "reference") == 0) {
    solver_engine = ENGINE_REFERENCE;
    run_phases_in_parallel = true;
  } else if (strcmp(engine, "reference-sequential") == 0) {
    solver_engine = ENGINE_REFERENCE;
    run_phases_in_parallel = false;
  } else {
    fprintf(stderr, "unknown engine: %s\n", engine);
    return 64;
  }
  argv[1] = argv[0];
  runtime_start();
  install_signal_handlers();
  run_driver(argc - 1, argv + 1);
}
