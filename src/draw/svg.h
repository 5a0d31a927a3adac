// The picture of a tour over a TSPLIB instance's own coordinates, as tourplan-draw and
// tourplan-solve draw it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "import/tsplib.h"

// An SVG picture: the tour (the points 1..N from point 1, without the return) as a closed
// line (an open path, from point 1 to its last point, when closed is false), a dot for every point, a label for every spot (the points drawn there: "3,7") placed
// clear of the others, point 1 in red on top, and the name and cost as the title. North
// (larger y) is up; GEO coordinates are drawn as longitude and latitude.
// REQUIRES: problem.drawing holds the N points.
std::string svg_text(const Problem& problem, const std::vector<int64_t>& tour,
                     const std::string& name, const std::string& cost, bool closed = true);
