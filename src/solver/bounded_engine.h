// The bounded engine: the programme over the states that can lie on an optimal tour only,
// for problems beyond the memory of the full table and the two layers (up to 64 points).
//
// DESIGN
// A state (S, a) holds cost(S, a), the least cost of a tail a -> S -> 1, as every engine does.
// With an upper bound UB (the cost of a good tour) and a lower bound on every tour through
// the state (tour_bounds.h), a state whose bound is strictly above UB lies on no optimal tour
// and is dropped; the sizes are built one from the other as usual, from the states kept.
//
// Why the tour is the same as the full programme's. Call a state on some optimal tour T a
// state of T. (1) Every state of an optimal tour is kept: its bound is at most the cost of T,
// which is at most UB. (2) Every kept value is the cost of some real tail, so no kept value is
// below the true cost(S, a), and a dropped state counts as no path. (3) A state of an optimal
// tour T keeps its true value: by induction on |S|, the state of T one size below is kept (1)
// with its true value, and T's tail through it is a least tail (else T would not be optimal),
// so the minimum meets the true value, and by (2) nothing goes below it. The full programme
// reads the tour back as the first optimal tour in lexicographic order, T_lex: the closing
// takes the lowest j attaining the optimum, each step the lowest c attaining cost(S, a). Here
// the same rules meet the same values where T_lex goes, by (3), and nothing below them
// elsewhere, by (2): a lower j or c attains the minimum in neither programme. So each choice
// is the same, and so are the bytes.
//
// Twins. Points that the matrix cannot tell apart (equal rows and columns but for each other,
// and equal costs between them) are interchangeable: cost(S, a) is the same for every state
// that a permutation of twins maps onto another. Only canonical states are kept: in every class
// of twins, S holds its lowest members and a is the lowest one not in S. For a canonical state
// on an optimal tour, permuting the twins of S on its tail gives an optimal tour through it
// whose every tail state is canonical, so (1)-(3) hold on canonical states; the tour is read
// back with each lookup mapped to its canonical state. With all costs equal (the case where no
// bound can drop anything) the points are all twins and each size holds one state.
//
// Storage: each size is a table of states sorted by (S + a, a), so that the states from which
// a row S' is built, (S' - a, a) for a in S', lie together. Every size is kept until the tour
// has been read back, all counted against the memory this process can have: a problem whose
// states outgrow it ends with "out of memory" at the cost table's line.
#pragma once

#include <cstdint>

#include "solver/solver.h"

// Finds the bounds, the twins and the states of the one-point subsets' sources; raises at
// the cost table's line when memory runs out. cell_bytes > 8: costs need 128-bit values.
void bounded_prepare(const DistanceMatrix* matrix, int64_t cell_bytes);
// Fill a size; false when the states would pass bounded_budget_bytes (then nothing is added).
bool bounded_fill_first_size();
bool bounded_fill_size(int64_t k);
// The most bytes the states may take before the engine gives way (0: no limit but memory).
extern int64_t bounded_budget_bytes;
// cost(S, a), or a value above every path cost when the state was dropped.
PathCost bounded_cost(uint64_t subset, int64_t end_point);
void bounded_release();

// States kept in size k (tests and benchmarks).
int64_t bounded_states(int64_t k);
// Test seams: keep every state (no bound), to check the twins and the storage alone; never
// search, so that the programme runs.
extern bool bounded_keeps_every_state;
extern bool bounded_may_search;
// Whether the tour of the solve in progress was found by search.
bool bounded_searched();
