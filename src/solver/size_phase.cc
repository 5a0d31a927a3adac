// The size phase of the reference engine.
#include "solver/solver.h"

void (*inspect_solver_tables)(int64_t n) = nullptr;

void run_size_phase(int64_t n, int64_t k) {
  for (int64_t a = 2; a <= n; ++a) fill_column(n, a, k);
}
