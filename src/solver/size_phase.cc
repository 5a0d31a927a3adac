// The size phase of the reference engine: one worker thread per end point.
//
// DESIGN
// Each size k is a fork-join: the main thread sets PhaseParams, starts one worker per end
// point a = 2..N (in increasing order, each with a 1 MiB stack and a as its one argument),
// then joins them in the same order, and only then moves to the next size. Worker a writes
// only column a of the rows with k points, and reads only rows with k - 1 points, finished in
// the previous phase, so no lock guards the tables; PhaseParams changes only while no worker
// runs, and thread start and join order those accesses.
// Workers inherit the main thread's signal mask, in which the asynchronous signals are
// blocked, so only the signal thread receives them. A worker has no error handler: a failure
// there takes the abort path and ends the process.
// A worker that cannot be started does not leave its column as zeros: its column is computed
// on the calling thread once the others are running, so the result stays exact.
#include <pthread.h>

#include "solver/reference_engine.h"

int64_t PhaseParams[2];  // N and the current subset size k

bool (*thread_start_should_fail)(int64_t end_point) = nullptr;
bool run_phases_in_parallel = true;

constexpr size_t WORKER_STACK_BYTES = 1 << 20;

static void* size_phase_worker(void* argument) {
  begin_worker_signal_stack();
  const int64_t a = reinterpret_cast<intptr_t>(argument);
  fill_column(PhaseParams[0], a, PhaseParams[1]);
  end_worker_signal_stack();
  return nullptr;
}

struct ThreadSlot {
  pthread_t thread;
  int64_t started;
};

static bool start_worker(ThreadSlot* slot, int64_t a) {
  if (thread_start_should_fail && thread_start_should_fail(a)) return false;
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_attr_setstacksize(&attributes, WORKER_STACK_BYTES);
  bool started = create_worker_thread(&slot->thread, &attributes, size_phase_worker,
                                      reinterpret_cast<void*>(static_cast<intptr_t>(a))) == 0;
  pthread_attr_destroy(&attributes);
  return started;
}

void run_size_phase(int64_t n, int64_t k) {
  if (!run_phases_in_parallel) {
    for (int64_t a = 2; a <= n; ++a) fill_column(n, a, k);
    return;
  }
  PhaseParams[0] = n;
  PhaseParams[1] = k;
  TableBlock thread_table;
  if (create_table(&thread_table, 2, n, sizeof(ThreadSlot)) != 0) {
    throw_at_line(LINE_THREAD_TABLE, MODULE_NAME);
  }
  ThreadSlot* slots = static_cast<ThreadSlot*>(thread_table.cells);  // slots[a - 2]
  for (int64_t a = 2; a <= n; ++a) slots[a - 2].started = start_worker(&slots[a - 2], a);
  for (int64_t a = 2; a <= n; ++a) {
    if (!slots[a - 2].started) fill_column(n, a, k);
  }
  for (int64_t a = 2; a <= n; ++a) {
    if (slots[a - 2].started) pthread_join(slots[a - 2].thread, nullptr);
  }
  free_table(&thread_table);
}
