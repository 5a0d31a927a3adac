// The full-table engine: every layer (subset size) of the row kernels' table kept in one
// block until the tour has been read back from it.
//
// DESIGN
// The layers lie one after another, each starting a cache line, so cost(S, a) is found from
// the size and rank of S and the place of a among the end points outside S. The tour is read
// back from the costs alone (solve_tour.cc). The table is fresh memory, touched once, and held
// whole; the two-layer engine holds less.
#pragma once

#include <cstdint>

#include "solver/solver.h"

// Bytes of the table for n_points points with cells of cell_bytes, or -1 when the count
// overflows.
int64_t full_table_bytes(int64_t n_points, int64_t cell_bytes);
// Creates the table (raised at the cost table's line) and prepares the row kernels.
void full_table_prepare(const DistanceMatrix* matrix, int64_t cell_bytes);
void full_table_fill_first_size();
void full_table_fill_size(int64_t k);
// cost(S, a) for a not in S; the empty subset gives D(a, 1).
PathCost full_table_cost(uint64_t subset, int64_t end_point);
void full_table_release();
