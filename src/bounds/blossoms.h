// Blossoms: cuts of the 2-matching polytope that every tour meets.
//
// For a handle H (a set of points) and an odd number k >= 3 of teeth, disjoint edges each
// with one end in H, every tour has x(E(H)) + x(teeth) <= |H| + (k - 1) / 2: its points have
// degree 2, so 2|H| = 2 x(E(H)) + x(out of H), and x(out of H) is even; when every tooth is
// in the tour, some other edge leaves H too. That holds for any such sets, whatever found
// them: both separators below only choose the sets, and each cut is checked for the
// structure (is_comb: a blossom is a comb whose teeth are edges, combs.h) before it is
// handed on, its teeth as pairs of points in increasing order.
#pragma once

#include <vector>

#include "bounds/combs.h"
#include "bounds/subtour_lp.h"

// The odd-component heuristic: the components of the edges with fractional x are handles,
// the edges with x near 1 that leave them teeth. Fast; finds blossoms of violation near 1.
std::vector<LpCut> blossoms_by_components(const CapacityGraph& graph, int max_cuts,
                                          bool (*stop)() = nullptr);

// Every violated blossom has a handle among the cuts of a cut tree (after Padberg and Rao):
// with w(e) = min(x(e), 1 - x(e)) and the points that meet an odd number of edges with
// x(e) > 1/2 as terminals, a blossom with handle H and the heavy edges leaving H as teeth is
// violated exactly when w(out of H) < 1, and H holds an odd number of terminals. The cut
// tree over the terminals (Gusfield's method, one maximum flow a terminal) holds a lightest
// such cut; each of its odd cuts is tried. Teeth that share an end are mended by moving that
// end across (which never makes the cut lighter). Slower: for when the heuristic finds none.
std::vector<LpCut> blossoms_by_cut_tree(const CapacityGraph& graph, int max_cuts,
                                        bool (*stop)() = nullptr);

// Benchmark seam: false leaves the relaxation to the heuristic alone (the root's gap with
// and without the cut tree); true in the program.
extern bool separate_blossoms_by_cut_tree;
