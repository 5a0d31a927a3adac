// The two-layer engine: the row kernels' layers in two buffers used in turn, so that memory is
// about the two largest adjacent sizes instead of all of them, with the same tour.
//
// DESIGN
// Size k reads only size k - 1, so the sizes below a cut K live in two buffers, even sizes in
// one and odd sizes in the other, each as large as its largest size: writing size k overwrites
// size k - 2, which nothing reads any more. The sizes from K up, which are small (C(n, k)
// shrinks fast towards the top), are kept whole. The buffers are one mapping of the system's
// pages, advised for huge pages, and reused from size to size: after the two largest sizes no
// page is touched for the first time.
//
// After the last size the engine holds sizes K - 2 .. n - 1 (the kept sizes and the last two
// in the buffers). Reading the tour back walks down from the top: from end point a with the
// set S still to visit, the next point is the lowest c in S attaining the least
// D(a, c) + cost(S - c, c), which reads size |S| - 1. Once the walk needs a size no longer
// held, the engine solves again, restricted to S: the problem of point 1 and the points of S,
// numbered in the same increasing order. cost(T, c) for T within S is the same number in that
// problem as in the whole one (it depends only on the points of T, c and point 1), and the
// order of the points is kept, so every choice, ties included, is the one the whole table
// would give. The restricted problem has |S| <= K - 2 points and is solved the same way (its
// own cut, its own buffers, in the memory the whole solve has given back), so all the solving
// again together costs about 2^(K - 2 - n) of the first solve.
//
// K is the lowest cut whose kept sizes take at most a sixteenth of the two buffers (or all
// sizes are kept when everything is small), and is raised as far as the memory this process
// can have requires.
#pragma once

#include <cstdint>

#include "solver/solver.h"

// The least memory the engine needs for n_points points with cells of cell_bytes: the two
// buffers with nothing kept above them. -1 when the count overflows.
int64_t two_layer_bytes(int64_t n_points, int64_t cell_bytes);
// Plans the cut, creates the buffers (raised at the cost table's line) and prepares the row
// kernels.
void two_layer_prepare(const DistanceMatrix* matrix, int64_t cell_bytes);
void two_layer_fill_first_size();
void two_layer_fill_size(int64_t k);
// cost(S, a) for a not in S, while the engine holds size |S|; the empty subset gives D(a, 1).
PathCost two_layer_cost(uint64_t subset, int64_t end_point);
// Makes the engine hold size |S| - 1 of the points of S, solving again where it does not:
// what reading the choice of a state (S, a) back from the costs needs.
void two_layer_hold_size_below(uint64_t subset);
// Whether the engine now holds the cells of size k of the problem in hand (the whole one
// until the first solving again).
bool two_layer_holds_size(int64_t k);
void two_layer_release();

// Test seam: keep no size above the buffers, so that the tour is read back through every
// solving again that can occur.
extern bool two_layer_keeps_no_sizes;
// The cut of the solve in progress.
int64_t two_layer_cut();
