// The picture of a tour over a TSPLIB instance's own coordinates, as tourplan-draw and
// tourplan-solve draw it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "import/tsplib.h"

// An SVG picture: the tour (the points 1..N from point 1, without the return) as a closed
// line, a dot and its number for every point, point 1 in red, and the name and cost as the
// title. North (larger y) is up; GEO coordinates are drawn as longitude and latitude.
// REQUIRES: problem.drawing holds the N points.
std::string svg_text(const Problem& problem, const std::vector<int64_t>& tour,
                     const std::string& name, const std::string& cost);
