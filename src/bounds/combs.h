// Combs: cuts that every tour meets, blossoms among them, and their separation by shrinking
// the paths of the solution that lie at 1.
//
// For a handle H and an odd number k >= 3 of disjoint teeth T_1..T_k, each meeting H and its
// outside, every tour has
//   x(E(H)) + sum x(E(T_i)) <= |H| + sum (|T_i| - 1) - (k + 1) / 2
// (the comb inequality of Chvatal, Grotschel and Padberg): adding x(E(S)) <= |S| - 1 for
// S = each T_i, T_i within H and T_i outside H to the degree equations of H and rounding
// down gives it. A blossom is a comb whose teeth are edges. That holds for any such sets,
// whatever found them: each cut is checked for the structure (is_comb) before it is handed on.
//
// Shrinking. Most of a solution is paths of edges at 1. Each such path u .. v of two or
// more edges is replaced by one edge u - v at 1, its inner points left out; a blossom of the
// smaller graph (blossoms.h) then gives a comb of the solution: a tooth that is such an edge
// becomes the path's points (a tooth of |P| points, its |P| - 1 edges at 1 in x(E(T))), and a
// path with both ends in the handle brings its inner points into the handle. Either way the
// left side and the right side grow alike, so the comb is violated by at least as much as
// the blossom was; the violation is measured again on the solution all the same.
#pragma once

#include <vector>

#include "bounds/subtour_lp.h"

// Whether the cut is a comb as above: an odd number, 3 or more, of disjoint teeth, each of
// points in increasing order meeting the handle and its outside.
bool is_comb(const LpCut& cut);

// By how much the solution (the support graph: x(i, j) + x(j, i) on each edge) violates the
// comb: x(E(H)) + sum x(E(T_i)) - |H| - sum (|T_i| - 1) + (k + 1) / 2.
double comb_violation(const CapacityGraph& graph, const LpCut& cut);

// Combs by shrinking the paths at 1 and looking for blossoms in what is left: by the odd
// components, and by the cut tree too when cut_tree is set. None when there is no path to
// shrink (the blossom separators see that graph themselves).
std::vector<LpCut> combs_by_shrinking(const CapacityGraph& graph, int max_cuts, bool cut_tree,
                                      bool (*stop)() = nullptr);

// Whether the relaxation takes combs (subtour_lp_separate). Off in the program: they lower the
// root's gap by a tenth to a fifth (kroA200 99 to 85 units, att532 137 to 116, pr1002 715
// to 640), yet the cost proof then branched more (kroA200 69 nodes and 13 s, with them 129
// nodes and 63 s) and took on pr76 (2.4 s to 8.9 s). Benchmarks turn them on.
extern bool separate_combs;
