// Bounds on tour costs for the bounded engine: a good tour found quickly (the upper bound),
// and lower bounds on every tour through a state of the programme.
//
// DESIGN
// Every bound is a whole number in scaled units: each cost D is first cut to floor(D / 2^t)
// (t = 0 unless the costs are huge), then multiplied by K, a power of two that leaves the sums
// room in 64 bits. For a tour T, cost_t(T) <= cost(T) / 2^t, so an optimal tour T satisfies
// K * cost_t(T) <= K * floor(UB / 2^t) =: limit, UB being the cost of any tour.
//
// The lower bounds come from a Lagrangian relaxation, solved by subgradient steps with whole-
// number multipliers, so that every identity below holds exactly:
// - Asymmetric costs: the assignment problem, with the subtour cuts x(out of Q) >= 1 moved
//   into the costs with multipliers y_Q >= 0 (Q taken from the cycles of the assignments met
//   on the way). The assignment's potentials u, v give weights
//     w(i, j) = K D_t(i, j) - u_i - v_j - sum of y_Q over the Q that i is in and j is not >= 0,
//   and for every tour K cost_t(T) = base + sum of w over T + sum of y_Q (crossings - 1) >=
//   base + sum of w over T, where base = sum u + sum v + sum y.
// - Symmetric costs: the 1-tree relaxation with node penalties p (Held and Karp). The weights
//   w(i, j) = K D_t(i, j) + p_i + p_j give K cost_t(T) = base + sum of w over T exactly, with
//   base = -2 sum p.
// A state (S, a) of the programme stands for the paths a -> S -> 1 (its tail); a tour through
// it adds a head 1 -> R -> a through the rest R. So base + (the least w over its tails) + (a
// lower bound on w over its heads) is a lower bound on K cost_t of every tour through it.
// Heads: asymmetric, the least assignment of {1} + R to R + {a} in the weights w (>= 0);
// symmetric, a head is a spanning tree of R + {a} plus an edge from point 1, so the weight of
// a least spanning tree of R + {a} and the cheapest edge into it from 1.
#pragma once

#include <cstdint>

#include "solver/solver.h"

constexpr int MAX_BOUND_POINTS = 64;

struct TourBounds {
  int64_t n;            // points 1..n
  bool symmetric;
  int64_t base;         // the constant of the identities above
  int64_t limit;        // K * floor(UB / 2^t): a state whose bound exceeds it is on no optimal tour
  int64_t weight[MAX_BOUND_POINTS][MAX_BOUND_POINTS];  // w(i, j) at [i - 1][j - 1]
  PathCost upper;       // UB: the cost of tour
  int64_t tour[MAX_BOUND_POINTS + 1];  // the good tour, 1 first and last
  int64_t lower_scaled; // the best Lagrangian bound (K units)
  int64_t scale;        // K
  int32_t shift;        // t
};

// The bounds of the solve in progress.
extern TourBounds tour_bounds;

// Finds a good tour and the relaxation's weights for the matrix (at most 64 points). The local
// search for the tour ends early, with the best tour so far, once stop (when given) is true.
void prepare_tour_bounds(const DistanceMatrix* matrix, bool (*stop)() = nullptr);

// Lower bounds on the weight of the heads of the states (visited, b) for every b outside
// visited (a mask of the points 2..n, bit c - 2): the paths from point 1 through the points
// outside visited but b, to b. head[b] is set for those b; head needs room for points 0..n.
void head_bounds(uint64_t visited, int64_t* head);

// A lower bound on the weight of the paths from start through every point of rest (a mask
// of the points 2..n, bit c - 2, without start) to point 1.
int64_t tail_bound(int64_t start, uint64_t rest);

// A tour's exact cost.
PathCost tour_cost_of(const DistanceMatrix* matrix, const int64_t* tour);
