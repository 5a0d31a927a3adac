// Rows of the cost table computed whole: what the full-table and the two-layer engines share.
//
// DESIGN
// Points 2..N are numbered 0..n-1 here (n = N - 1; point c is number c - 2), so a subset is a
// bit mask exactly as in the reference tables. Only the cells the algorithm defines are kept:
// for a subset S of k points, the n - k end points outside S, in increasing order. The rows
// of one size (a layer) lie together, in increasing order of their masks (the colexicographic
// order), so the row of S is found from its rank among the subsets of its size:
//   rank(S) = sum over the members p_0 < p_1 < ... of C(p_i, i + 1).
// A row is computed whole: the k values cost(S - p_j, p_j) are gathered once, then for every
// end point a at once (vector lanes over a, reading a transposed copy of the matrix)
//   cost(S, a) = min over j of D(a, p_j) + cost(S - p_j, p_j).
// No choice table is kept: the lowest c attaining the minimum is exactly the reference's
// choice, so the tour is rebuilt from the costs alone.
// Cells are 16, 32 or 64 bits wide when every path cost fits (by the bound on path costs),
// else 128 bits, which hold every path cost of a matrix of signed 64-bit costs; narrower cells
// mean less memory and more lanes. Lanes for end points inside S hold sums of unrelated values;
// they are computed in wrapping arithmetic and thrown away.
// Within a size, the points split into the ten lowest and the rest: for a fixed high part H
// the rows of all low parts L lie together, so every gathered cell's place is a sum of an
// offset kept per L (built once per phase) and one kept per H, and consecutive rows read the
// size below almost in sequence. The high parts are handed out in chunks to one thread per
// processor; two threads can share a cache line only where their chunks meet. Rows of size
// k read only rows of size k - 1, finished in the previous phase.
// Where the layers lie is the engine's business: a size phase is given the layer it reads and
// the layer it writes.
#pragma once

#include <cstdint>

#include "solver/solver.h"
#include "solver/worker_threads.h"

constexpr int MAX_POINTS = 64;  // bit masks of 64 bits; memory ends far sooner
constexpr int64_t LINE_BYTES = 64;

// C(m, k) for 0 <= m, k <= MAX_POINTS.
uint64_t binomial(int m, int k);
// Rank of a subset among the subsets of its size, in increasing order of their masks.
int64_t colex_rank(uint64_t subset);
// Position of end point q in the row of S: the points below q that are not in S.
inline int64_t column_in_row(uint64_t subset, int64_t q) {
  return q - __builtin_popcountll(subset & ((uint64_t{1} << q) - 1));
}
// Bytes of layer k (1..n-1) for n points besides point 1, rounded up to whole lines: C(n, k)
// rows of n - k cells. -1 when the count overflows.
int64_t layer_bytes(int64_t n, int64_t k, int64_t cell_bytes);

// The narrowest cell (2, 4, 8 or 16 bytes) that holds every path cost of the matrix, with
// room for the largest value of the width as "no path".
int64_t cell_bytes_for(const DistanceMatrix* matrix);
// Whether rows of n points besides point 1 can be computed in cells of this width.
bool rows_supported(int64_t n, int64_t cell_bytes);

// Prepares the size phases of a solve of the matrix with cells of cell_bytes: builds the
// transposed matrix (its storage failing is raised at the line of the reference's second table).
// REQUIRES: rows_supported(matrix->n - 1, cell_bytes).
void rows_prepare(const DistanceMatrix* matrix, int64_t cell_bytes);
// Writes the layer of the one-point subsets.
void rows_fill_first_size(void* layer);
// Writes layer k from layer k - 1, on one thread per processor.
void rows_fill_size(int64_t k, const void* previous, void* current);
void rows_release();

// Cell index of a layer in cells of the width in use.
PathCost read_cell(const void* layer, int64_t index, int64_t cell_bytes);

// Whether rows may be stored with the processor's compress instructions where it has them
// (the default); tests turn it off to check the portable kernels on such processors too.
extern bool row_kernels_may_compress;
