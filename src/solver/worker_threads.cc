// Helper threads of the fast engines.
#include "solver/worker_threads.h"

#include <pthread.h>

#include "platform/platform.h"
#include "solver/solver.h"

int32_t row_kernel_threads = 0;

constexpr int32_t MOST_THREADS = 64;

int32_t solver_thread_count() {
  int32_t wanted = row_kernel_threads > 0 ? row_kernel_threads : processor_count();
  return wanted < 1 ? 1 : wanted > MOST_THREADS ? MOST_THREADS : wanted;
}

// The job of the helpers; written only while none runs.
static void* (*helper_work)(void*) = nullptr;

// A helper's own signal stack lets a fault there, a stack overflow included, still end the
// run with its message.
static void* run_helper(void*) {
  begin_worker_signal_stack();
  helper_work(nullptr);
  end_worker_signal_stack();
  return nullptr;
}

void run_on_threads(void* (*work)(void*), int32_t threads) {
  helper_work = work;
  pthread_t handles[MOST_THREADS];
  bool started[MOST_THREADS] = {};
  const int32_t helpers = threads - 1 < MOST_THREADS ? threads - 1 : MOST_THREADS;
  for (int32_t t = 0; t < helpers; ++t) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) continue;
    pthread_attr_setstacksize(&attributes, 1 << 20);
    started[t] = !(thread_start_should_fail && thread_start_should_fail(t)) &&
                 create_worker_thread(&handles[t], &attributes, run_helper, nullptr) == 0;
    pthread_attr_destroy(&attributes);
  }
  work(nullptr);
  for (int32_t t = 0; t < helpers; ++t) {
    if (started[t]) pthread_join(handles[t], nullptr);
  }
}
