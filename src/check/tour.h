// Tours read strictly: tourplan's own solution file, or a TSPLIB TOUR file from another tool.
// Shared by tourplan-check and tourplan-draw, which see a tour exactly the same way.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct Tour {
  std::vector<int64_t> points;  // the N points in order from point 1, without the return
  bool from_tsplib = false;     // read from a TSPLIB TOUR file, not a solution file
};

struct TourError {
  int64_t line = 0;  // 1-based; 0 when the fault belongs to no single line
  std::string message;
};

// Reads a tour of the points 1..dimension. A text that begins with a letter is a TSPLIB TOUR
// file (keyword lines, TOUR_SECTION, the points, -1, optionally EOF), which may start anywhere
// and is turned to start at point 1. Any other text is a solution file: dimension + 1 lines,
// each a space or '-' then digits, LF or CR LF line ends, point 1 first and last.
bool parse_tour(std::string_view text, int64_t dimension, Tour* tour, TourError* error);

// The tour's cost over an N x N matrix stored row by row (costs[(r - 1) * N + c - 1] from r to
// c), back to point 1 included: exact for any 64-bit costs.
__int128 tour_cost(const std::vector<int64_t>& points, const int64_t* costs);

std::string decimal_text(__int128 value);

// A TSPLIB TOUR file: NAME, TYPE, COMMENT with the length, DIMENSION, TOUR_SECTION, -1, EOF.
std::string tsplib_tour_text(std::string_view name, const std::vector<int64_t>& points,
                             std::string_view length);

// The last part of a path, for names in files and titles.
std::string base_name(std::string_view path);
// A tour's NAME taken from its problem file: the file's name without its extension.
std::string problem_name(std::string_view path);
