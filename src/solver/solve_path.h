// Open paths: the least-cost path from point 1 through every point, ending anywhere or at a
// point given, solved exactly as the tour of a transformed problem by solve_problem.
//
// Ending anywhere: every arc into point 1 costs 0. The tour 1, p2, ..., pn, 1 then costs what
// the path 1, p2, ..., pn costs, and tours and paths are the same sequences of points, so the
// first optimal tour in lexicographic order is the first optimal path.
//
// Ending at point k: points 1 and k become one point, left as point 1 and entered as point k
// (from it to j costs what 1 to j does, from i to it what i to k does), and the other points
// keep their order, renumbered 2..n-1. The tour 1, q2, ..., q(n-1), 1 of these n - 1 points
// costs what the path 1, q2, ..., q(n-1), k costs, and each such path is one such tour. Since
// the renumbering keeps the order of the points and every path begins with 1 and ends with k,
// the lexicographic order of the tours is that of the paths: the first optimal tour gives the
// first optimal path. No large cost is added, so no sum can pass the range of the original's.
#pragma once

#include <cstdint>
#include <vector>

#include "solver/solve_problem.h"

// Solves the path problem over n points (n >= 2) whose costs solve_problem takes, row by row;
// they are transformed in place, hence taken by value. end is the last point (2..n), or 0 for
// any. The result is solve_problem's, with the path in tour (n points, 1 first, no return), its
// cost and a lower bound on every such path's cost, in the units of costs.
SolveResult solve_path(int64_t n, std::vector<int64_t> costs, int64_t end,
                       const SolveOptions& options);
