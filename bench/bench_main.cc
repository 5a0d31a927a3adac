// tourplan-bench: the whole program, with the solver engine chosen by a leading option.
//   tourplan-bench --engine=NAME [--small-pages] [problem-file [solution-file]]
// Engines: fast (the program's own choice), full-table (every size kept, in fresh memory: the
// engine of earlier versions), two-layer (two sizes at a time), each also on one thread
// (fast-1, full-table-1, two-layer-1); reference (one worker thread per end point) and
// reference-sequential (the columns one after another on the main thread); bounded (the
// programme over the states the bounds keep) and branch-and-cut (the search over the LP's
// bounds, any size; branch-and-cut-1 on one thread; branch-and-cut-root ends after the root's
// relaxation and writes the good tour, proven or not, for the root's figures;
// branch-and-cut-root-components the same with blossoms by the odd-component heuristic
// alone; branch-and-cut-root-no-combs and branch-and-cut-no-combs without combs;
// branch-and-cut-paths without the cost proof, the search over paths alone).
// --small-pages: no huge-page advice for the large tables.
// After the run, standard error gets one line: "sizes: S" with the seconds from the start of
// the program until every size was filled (the computing, with the problem's reading).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bounds/blossoms.h"
#include "bounds/combs.h"
#include "driver/driver.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "solver/branch_and_cut_engine.h"
#include "solver/reference_engine.h"
#include "solver/row_kernels.h"
#include "solver/solver.h"

static double start_seconds;
static double sizes_seconds;

static void note_sizes_filled(int64_t) { sizes_seconds = clock_seconds() - start_seconds; }

static void report_sizes() {
  fprintf(stderr, "sizes: %.6f\n", sizes_seconds);
  if (solver_engine_in_use() == ENGINE_BRANCH_AND_CUT) {
    const BranchAndCutCounts& counts = branch_and_cut_counts;
    fprintf(stderr, "search: %lld rounds, %lld nodes, %lld arcs kept, root bound %.3f, good tour %lld, "
            "root LP columns %lld, root %.3f s, proof nodes %lld, proof done %.3f s, questions %lld, "
            "refuted by them %lld, their nodes %lld, their time %.3f s, spared by local search %lld, "
            "every optimal tour: %lld nodes, %lld tours, done %.3f s\n",
            static_cast<long long>(counts.rounds), static_cast<long long>(counts.nodes), static_cast<long long>(counts.arcs_kept),
            counts.root_bound, static_cast<long long>(counts.good_tour_cost),
            static_cast<long long>(counts.root_columns), counts.root_seconds,
            static_cast<long long>(counts.proof_nodes), counts.proof_seconds,
            static_cast<long long>(counts.questions), static_cast<long long>(counts.refuted_by_questions),
            static_cast<long long>(counts.question_nodes), counts.question_seconds,
            static_cast<long long>(counts.witnesses_by_local_search),
            static_cast<long long>(counts.every_tour_nodes), static_cast<long long>(counts.every_tour_tours),
            counts.every_tour_seconds);
  }
}

int main(int argc, char** argv) {
  start_seconds = clock_seconds();
  if (argc < 2 || strncmp(argv[1], "--engine=", 9) != 0) {
    fprintf(stderr, "usage: %s --engine=NAME [--small-pages] [problem [solution]]\n", argv[0]);
    return 64;
  }
  const char* engine = argv[1] + 9;
  const struct {
    const char* name;
    SolverEngine engine;
    int32_t threads;
  } engines[] = {
      {"fast", ENGINE_AUTOMATIC, 0},         {"fast-1", ENGINE_AUTOMATIC, 1},
      {"full-table", ENGINE_FULL_TABLE, 0},  {"full-table-1", ENGINE_FULL_TABLE, 1},
      {"two-layer", ENGINE_TWO_LAYER, 0},    {"two-layer-1", ENGINE_TWO_LAYER, 1},
      {"bounded", ENGINE_BOUNDED, 0},        {"branch-and-cut", ENGINE_BRANCH_AND_CUT, 0},
      {"branch-and-cut-1", ENGINE_BRANCH_AND_CUT, 1},
      {"branch-and-cut-root", ENGINE_BRANCH_AND_CUT, 0},
      {"branch-and-cut-root-components", ENGINE_BRANCH_AND_CUT, 0},
      {"branch-and-cut-root-no-combs", ENGINE_BRANCH_AND_CUT, 0},
      {"branch-and-cut-no-combs", ENGINE_BRANCH_AND_CUT, 0},
      {"branch-and-cut-paths", ENGINE_BRANCH_AND_CUT, 0},
      {"reference", ENGINE_REFERENCE, 0},    {"reference-sequential", ENGINE_REFERENCE, 0},
  };
  bool known = false;
  for (const auto& entry : engines) {
    if (strcmp(engine, entry.name) != 0) continue;
    known = true;
    solver_engine = entry.engine;
    row_kernel_threads = entry.threads;
    run_phases_in_parallel = strcmp(engine, "reference-sequential") != 0;
    branch_and_cut_root_only = strncmp(engine, "branch-and-cut-root", 19) == 0;
    separate_blossoms_by_cut_tree = strcmp(engine, "branch-and-cut-root-components") != 0;
    separate_combs = strstr(engine, "-no-combs") == nullptr &&
                     strcmp(engine, "branch-and-cut-root-components") != 0;
    branch_and_cut_cost_proof = strcmp(engine, "branch-and-cut-paths") != 0;
  }
  if (!known) {
    fprintf(stderr, "unknown engine: %s\n", engine);
    return 64;
  }
  int shift = 1;
  if (argc > 2 && strcmp(argv[2], "--small-pages") == 0) {
    platform_huge_pages = false;
    shift = 2;
  }
  inspect_solver_tables = note_sizes_filled;
  atexit(report_sizes);
  argv[shift] = argv[0];
  runtime_start();
  install_signal_handlers();
  run_driver(argc - shift, argv + shift);
}
