// The fast engine: the same cells as the reference engine, computed a row at a time.
//
// DESIGN
// Points 2..N are numbered 0..n-1 here (n = N - 1; point c is number c - 2), so a subset is a
// bit mask exactly as in the reference tables. Only the cells the algorithm defines are kept:
// for a subset S of k points, the n - k end points outside S, in increasing order. The rows
// of one size lie together, in increasing order of their masks (the colexicographic order),
// so the row of S is found from its rank among the subsets of its size:
//   rank(S) = sum over the members p_0 < p_1 < ... of C(p_i, i + 1).
// A row is computed whole: the k values cost(S - p_j, p_j) are gathered once, then for every
// end point a at once (vector lanes over a, reading a transposed copy of the matrix)
//   cost(S, a) = min over j of D(a, p_j) + cost(S - p_j, p_j).
// No choice table is kept: the lowest c attaining the minimum is exactly the reference's
// choice, so the tour is rebuilt from the costs alone.
// Cells are 16-bit or 32-bit when every path cost fits (by the overflow bound), else 64-bit;
// small costs are the common case, and narrower cells mean less memory and more lanes. Lanes for end
// points inside S hold sums of unrelated values; they are computed in wrapping arithmetic and
// thrown away.
// Within a size, the points split into the ten lowest and the rest: for a fixed high part H
// the rows of all low parts L lie together, so every gathered cell's place is a sum of an
// offset kept per L (built once per phase) and one kept per H, and consecutive rows read the
// size below almost in sequence. The high parts are handed out in chunks to one thread per
// processor; two threads can share a cache line only where their chunks meet. Rows of size
// k read only rows of size k - 1, finished in the previous phase.
#pragma once

#include <cstdint>

#include "solver/solver.h"

// Creates the engine's tables for n_points points: the cost table (raised at the cost table's
// line) and the transposed matrix (at the line of the reference's second table).
void fast_prepare(int64_t n_points, const DistanceMatrix* matrix);
// Fills the rows of the one-point subsets.
void fast_fill_first_size();
// Fills every row with k points, on one thread per processor.
void fast_fill_size(int64_t k);
// cost(S, a) for a not in S; the empty subset gives D(a, 1).
int64_t fast_cost(uint64_t subset, int64_t end_point);
// The choice of cell (S, a): the lowest member c of S attaining the minimum.
int64_t fast_next(uint64_t subset, int64_t end_point);
void fast_release();

// Bytes the fast engine's cost table takes for n_points points with cells of bytes_per_cell,
// or -1 when the count overflows.
int64_t fast_table_bytes(int64_t n_points, int64_t bytes_per_cell);
// The cell width of the solve in progress: 2, 4 or 8 bytes.
int64_t fast_cell_bytes();
// Threads the fast engine uses (default: one per processor).
extern int32_t fast_engine_threads;
// Whether rows may be stored with the processor's compress instructions where it has them
// (the default); tests turn it off to check the portable kernels on such processors too.
extern bool fast_engine_may_compress;
