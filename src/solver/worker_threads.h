// Helper threads of the fast engines: one job run on the calling thread and on helpers
// beside it, one per processor.
#pragma once

#include <cstdint>

// Threads the engines use (0: one per processor).
extern int32_t row_kernel_threads;

// The number of threads a job gets: at least 1, at most 64.
int32_t solver_thread_count();

// Runs work on up to threads - 1 helper threads and on the calling thread, and returns once
// all are done. The work shares itself out (each thread takes the next piece until none is
// left), so a helper that cannot start only leaves more to the others.
void run_on_threads(void* (*work)(void*), int32_t threads);
