// Combs: cuts that every tour meets, blossoms among them, and their separation by shrinking
// the paths of the solution that lie at 1.
//
// For a handle H and an odd number k >= 3 of disjoint teeth T_1..T_k, each meeting H and its
// outside, every tour has
//   x(E(H)) + sum x(E(T_i)) <= |H| + sum (|T_i| - 1) - (k + 1) / 2
// (the comb inequality of Chvatal, Grotschel and Padberg): adding x(E(S)) <= |S| - 1 for
// S = each T_i, T_i within H and T_i outside H to the degree equations of H and rounding
// down gives it. Every point of a tour has degree 2, so 2 x(E(S)) = 2|S| - x(edges leaving
// S) for each set, and the same inequality reads
//   x(edges leaving H) + sum x(edges leaving T_i) >= 3k + 1,
// the form the relaxation holds (its rows then take only the edges that cross a set).
// A blossom is a comb whose teeth are edges. That holds for any such sets,
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

// Combs by teething: each handle of the cuts given (combs' handles and subtour cuts' sets)
// takes the teeth that gain most, 3 - x(edges leaving T) each, disjoint and odd in number:
// among the edges leaving it with x above 1/2, the light subtour sets that cross it and
// the comb's own teeth. The violation is then 1 - x(edges leaving H) + the gains.
std::vector<LpCut> combs_by_teething(const CapacityGraph& graph, const std::vector<LpCut>& cuts,
                                     int max_cuts, bool (*stop)() = nullptr);

// Combs made deeper one point at a time: a point moved into or out of the handle or into or
// out of a tooth while the sets stay a comb (the teeth disjoint, each meeting the handle and
// its outside). Each move changes the left side by the point's edges into the set and the
// right side by 1, so its effect is known from the point's edges alone. The best move is
// taken each time; with lookahead even one that loses, each point moving once at most, and
// the deepest comb met along the way is kept: a point moved out of a tooth often lets a
// neighbour in (att532's root: 27646 with such moves, 27639 with gains only). Returns the
// combs that end violated by more than they began with, and by at least least_violation;
// every one is a comb (is_comb). Cuts that are not combs are passed over.
std::vector<LpCut> tighten_combs(const CapacityGraph& graph, const std::vector<LpCut>& combs,
                                 double least_violation, bool lookahead,
                                 bool (*stop)() = nullptr);

// Whether the relaxation takes combs and tightens them (subtour_lp_separate); benchmarks
// turn them off to measure what they bring. With them the root's gap below the optimum fell
// from 0.34 to 0.08 % on kroA200, 0.50 to 0.25 % on att532, 0.13 to 0.09 % on pcb442.
extern bool separate_combs;
