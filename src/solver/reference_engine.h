// The reference engine: one column (end point) of one subset size at a time, a 64-bit cost
// table and a byte table of choices for every subset and end point. Slow and large, kept as
// the plain reading of the algorithm against which the tests check the other engines.
#pragma once

#include <cstdint>

#include "solver/solver.h"

// The tables: CostTable and NextTable, subsets 1..M by end points 2..N. Global so that the
// column computations of every thread reach them.
extern TableBlock CostTable;
extern TableBlock NextTable;

// Creates both tables (raised at their lines) for the matrix's points.
void reference_prepare(const DistanceMatrix* matrix);
void reference_fill_first_size();
// Fills cost(S, a) and next(S, a) for every S of exactly k points without a.
void fill_column(int64_t n, int64_t a, int64_t k);
// One size phase: fill_column for every end point a = 2..N, each on a worker thread of its
// own, all joined before it returns.
void run_size_phase(int64_t n, int64_t k);
// Cell (S, a); the empty subset (N = 2) is the way back to point 1.
PathCost reference_cost(uint64_t subset, int64_t end_point);
int64_t reference_next(uint64_t subset, int64_t end_point);
void reference_release();

// N and the subset size k of the phase that runs; written only while no worker runs.
extern int64_t PhaseParams[2];
// Whether the phases run their columns on worker threads (the program) or one after another
// on the calling thread (a reference for tests and benchmarks).
extern bool run_phases_in_parallel;
