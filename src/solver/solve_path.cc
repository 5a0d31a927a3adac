#include "solver/solve_path.h"

#include <utility>

SolveResult solve_path(int64_t n, std::vector<int64_t> costs, int64_t end,
                       const SolveOptions& options) {
  if (end == 0) {
    for (int64_t r = 1; r < n; ++r) costs[r * n] = 0;
    SolveResult result = solve_problem(n, costs.data(), options);
    if (!result.tour.empty()) result.tour.pop_back();
    return result;
  }
  if (n == 2) {  // one path only: no problem of a single point to solve
    SolveResult result;
    result.status = SOLVE_DONE;
    result.tour = {1, 2};
    result.cost = result.lower_bound = costs[1];
    result.proven = true;
    return result;
  }
  // kept[j]: the original point (0-based) at the merged problem's 0-based point j.
  std::vector<int64_t> kept;
  kept.reserve(n - 1);
  for (int64_t p = 0; p < n; ++p) {
    if (p != end - 1) kept.push_back(p);
  }
  const int64_t m = n - 1;
  // Compacted in place, row by row: each cell moves to an index no greater than its own, and
  // rows are read before they are written over. Into the merged point comes column end - 1.
  for (int64_t r = 0; r < m; ++r) {
    const int64_t from = kept[r];
    for (int64_t c = 0; c < m; ++c) {
      const int64_t to = c == 0 ? end - 1 : kept[c];
      costs[r * m + c] = costs[from * n + to];
    }
  }
  SolveResult result = solve_problem(m, costs.data(), options);
  if (!result.tour.empty()) {
    result.tour.pop_back();
    for (int64_t& point : result.tour) point = kept[point - 1] + 1;
    result.tour.push_back(end);
  }
  return result;
}
