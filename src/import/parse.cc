// The TSPLIB reader. A file is a header part of "KEYWORD : value" lines and a data part
// of sections, each a keyword line followed by lines of numbers, optionally closed by EOF.
// Everything needed to size a section (TYPE, DIMENSION, EDGE_WEIGHT_TYPE and, for explicit
// weights, EDGE_WEIGHT_FORMAT) must come before it.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <vector>

#include "import/tsplib.h"

namespace {

// A keyword's value this reader knows but does not handle.
constexpr int UNSUPPORTED = -1;

enum ProblemType { TYPE_TSP, TYPE_ATSP };
enum WeightType {
  WEIGHT_EXPLICIT,
  WEIGHT_EUC_2D,
  WEIGHT_CEIL_2D,
  WEIGHT_ATT,
  WEIGHT_GEO,
  WEIGHT_MAN_2D,
  WEIGHT_MAX_2D,
  WEIGHT_EUC_3D,
  WEIGHT_MAN_3D,
  WEIGHT_MAX_3D,
};
// The distance rule of each coordinate type, indexed by WeightType.
double (*const DISTANCE_RULES[])(Point, Point) = {
    nullptr,         euc_2d_distance, ceil_2d_distance, att_distance,    geo_distance,
    man_2d_distance, max_2d_distance, euc_3d_distance,  man_3d_distance, max_3d_distance,
};
enum MatrixFormat {
  FORMAT_FUNCTION,
  FORMAT_FULL_MATRIX,
  FORMAT_UPPER_ROW,
  FORMAT_LOWER_ROW,
  FORMAT_UPPER_DIAG_ROW,
  FORMAT_LOWER_DIAG_ROW,
};
enum CoordType { COORDS_TWOD, COORDS_THREED, COORDS_NONE };

struct Choice {
  const char* name;
  int value;
};

const Choice TYPE_CHOICES[] = {
    {"TSP", TYPE_TSP},    {"ATSP", TYPE_ATSP},   {"SOP", UNSUPPORTED},
    {"HCP", UNSUPPORTED}, {"CVRP", UNSUPPORTED}, {"TOUR", UNSUPPORTED},
};
const Choice WEIGHT_TYPE_CHOICES[] = {
    {"EXPLICIT", WEIGHT_EXPLICIT}, {"EUC_2D", WEIGHT_EUC_2D}, {"CEIL_2D", WEIGHT_CEIL_2D},
    {"ATT", WEIGHT_ATT},           {"GEO", WEIGHT_GEO},       {"EUC_3D", WEIGHT_EUC_3D},
    {"MAX_2D", WEIGHT_MAX_2D},     {"MAX_3D", WEIGHT_MAX_3D}, {"MAN_2D", WEIGHT_MAN_2D},
    {"MAN_3D", WEIGHT_MAN_3D},     {"XRAY1", UNSUPPORTED},    {"XRAY2", UNSUPPORTED},
    {"SPECIAL", UNSUPPORTED},
};
// A column format of a symmetric matrix lists the same numbers as the mirrored row format.
const Choice FORMAT_CHOICES[] = {
    {"FUNCTION", FORMAT_FUNCTION},
    {"FULL_MATRIX", FORMAT_FULL_MATRIX},
    {"UPPER_ROW", FORMAT_UPPER_ROW},
    {"LOWER_ROW", FORMAT_LOWER_ROW},
    {"UPPER_DIAG_ROW", FORMAT_UPPER_DIAG_ROW},
    {"LOWER_DIAG_ROW", FORMAT_LOWER_DIAG_ROW},
    {"UPPER_COL", FORMAT_LOWER_ROW},
    {"LOWER_COL", FORMAT_UPPER_ROW},
    {"UPPER_DIAG_COL", FORMAT_LOWER_DIAG_ROW},
    {"LOWER_DIAG_COL", FORMAT_UPPER_DIAG_ROW},
};
const Choice COORD_TYPE_CHOICES[] = {
    {"TWOD_COORDS", COORDS_TWOD}, {"THREED_COORDS", COORDS_THREED}, {"NO_COORDS", COORDS_NONE}};
enum DisplayType { DISPLAY_COORD, DISPLAY_TWOD, DISPLAY_NONE };
const Choice DISPLAY_TYPE_CHOICES[] = {
    {"COORD_DISPLAY", DISPLAY_COORD}, {"TWOD_DISPLAY", DISPLAY_TWOD}, {"NO_DISPLAY", DISPLAY_NONE}};

// What the header part has said so far. Values as written are kept for messages.
struct Header {
  bool has_type = false;
  int type = TYPE_TSP;
  int64_t dimension = 0;  // 0 until given
  int64_t dimension_line = 0;
  bool has_weight_type = false;
  int weight_type = WEIGHT_EXPLICIT;
  std::string weight_type_name;
  bool has_format = false;
  int format = FORMAT_FUNCTION;
  std::string format_name;
  bool has_coord_type = false;
  int coord_type = COORDS_TWOD;
  std::string coord_type_name;
  int display_type = DISPLAY_COORD;
  std::string name;
};

struct Data {
  bool has_weights = false;
  std::vector<int64_t> weights;  // in the order the section lists them
  bool has_points = false;
  std::vector<Point> points;  // by node, 1..N at 0..N-1
  bool has_display = false;
  std::vector<Point> display;  // likewise
};

struct Reader {
  std::vector<std::string_view> lines;
  size_t next = 0;  // index of the next line to read
  ImportError* error;
  int64_t most_points = MAX_DIMENSION;
};

bool fail(ImportError* error, int64_t line, std::string message) {
  error->line = line;
  error->message = std::move(message);
  return false;
}

bool fail(Reader* reader, size_t index, std::string message) {
  return fail(reader->error, static_cast<int64_t>(index) + 1, std::move(message));
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trim(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

std::vector<std::string_view> split_words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && is_blank(line[i])) ++i;
    size_t start = i;
    while (i < line.size() && !is_blank(line[i])) ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Whether a line's first word starts like a number rather than a keyword.
bool starts_number(std::string_view word) {
  const char c = word.empty() ? 0 : word.front();
  return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.';
}

bool parse_whole(std::string_view word, int64_t* value) {
  auto [end, failure] = std::from_chars(word.data(), word.data() + word.size(), *value);
  return failure == std::errc() && end == word.data() + word.size();
}

bool parse_real(std::string_view word, double* value) {
  auto [end, failure] = std::from_chars(word.data(), word.data() + word.size(), *value);
  return failure == std::errc() && end == word.data() + word.size() && std::isfinite(*value);
}

std::string quoted(std::string_view word) {
  std::string text = "'";
  text += word;
  text += '\'';
  return text;
}

std::string names_of(const Choice* choices, size_t count) {
  std::string names;
  for (size_t i = 0; i < count; ++i) {
    if (choices[i].value == UNSUPPORTED) continue;
    if (!names.empty()) names += ", ";
    names += choices[i].name;
  }
  return names;
}

template <size_t COUNT>
bool choose(Reader* reader, size_t index, std::string_view keyword, std::string_view value,
            const Choice (&choices)[COUNT], int* chosen) {
  for (const Choice& choice : choices) {
    if (value != choice.name) continue;
    if (choice.value == UNSUPPORTED) {
      return fail(reader, index,
                  std::string(keyword) + " " + std::string(value) +
                      " is not supported (supported: " + names_of(choices, COUNT) + ")");
    }
    *chosen = choice.value;
    return true;
  }
  return fail(reader, index,
              "unknown " + std::string(keyword) + " " + quoted(value) +
                  " (supported: " + names_of(choices, COUNT) + ")");
}

// The columns that a matrix format lists in row r (0-based): first .. last, maybe none.
void listed_columns(int format, int64_t n, int64_t r, int64_t* first, int64_t* last) {
  const bool upper = format == FORMAT_UPPER_ROW || format == FORMAT_UPPER_DIAG_ROW;
  const bool lower = format == FORMAT_LOWER_ROW || format == FORMAT_LOWER_DIAG_ROW;
  const bool diagonal = format != FORMAT_UPPER_ROW && format != FORMAT_LOWER_ROW;
  *first = upper ? (diagonal ? r : r + 1) : 0;
  *last = lower ? (diagonal ? r : r - 1) : n - 1;
}

int64_t listed_count(int format, int64_t n) {
  int64_t count = 0;
  for (int64_t r = 0; r < n; ++r) {
    int64_t first, last;
    listed_columns(format, n, r, &first, &last);
    if (last >= first) count += last - first + 1;
  }
  return count;
}

bool is_coordinate_type(int weight_type) { return weight_type != WEIGHT_EXPLICIT; }

// Types whose costs grow with the Euclidean distance in the plane, in space or on the sphere,
// so that the nearest points of a point are found without a table (Problem::geometry).
Geometry geometry_of(int weight_type) {
  switch (weight_type) {
    case WEIGHT_EUC_2D:
    case WEIGHT_CEIL_2D:
    case WEIGHT_ATT:
      return GEOMETRY_PLANE;
    case WEIGHT_EUC_3D:
      return GEOMETRY_SPACE;
    case WEIGHT_GEO:
      return GEOMETRY_SPHERE;
    default:
      return GEOMETRY_NONE;
  }
}

bool is_3d_type(int weight_type) {
  return weight_type == WEIGHT_EUC_3D || weight_type == WEIGHT_MAN_3D ||
         weight_type == WEIGHT_MAX_3D;
}

// How many coordinates a node line of NODE_COORD_SECTION holds.
size_t coordinate_count(const Header& header) {
  if (header.has_coord_type) return header.coord_type == COORDS_THREED ? 3 : 2;
  return is_3d_type(header.weight_type) ? 3 : 2;
}

// Checks that the header is complete and consistent; section names the data section
// about to be read, or is null once the whole file has been read.
// A problem read without a table of costs needs a type with a geometry.
bool table_free(const Header& header, int64_t most_table_points, ImportError* error) {
  if (geometry_of(header.weight_type) != GEOMETRY_NONE) return true;
  return fail(error, header.dimension_line,
              "DIMENSION above " + std::to_string(most_table_points) +
                  " needs EDGE_WEIGHT_TYPE EUC_2D, CEIL_2D, ATT, GEO or EUC_3D, not " +
                  header.weight_type_name);
}

bool check_header(const Header& header, const char* section, int64_t line,
                         ImportError* error) {
  const std::string before = section ? std::string(" before ") + section : "";
  if (!header.has_type) return fail(error, line, "no TYPE" + before);
  if (header.dimension == 0) return fail(error, line, "no DIMENSION" + before);
  if (!header.has_weight_type) return fail(error, line, "no EDGE_WEIGHT_TYPE" + before);
  if (header.dimension > MAX_DIMENSION) return table_free(header, MAX_DIMENSION, error);
  if (header.weight_type == WEIGHT_EXPLICIT) {
    if (!header.has_format) {
      return fail(error, line, "EDGE_WEIGHT_TYPE EXPLICIT needs an EDGE_WEIGHT_FORMAT" + before);
    }
    if (header.format == FORMAT_FUNCTION) {
      return fail(error, line, "EDGE_WEIGHT_FORMAT FUNCTION needs a coordinate EDGE_WEIGHT_TYPE");
    }
    if (header.type == TYPE_ATSP && header.format != FORMAT_FULL_MATRIX) {
      return fail(error, line,
                  "TYPE ATSP needs EDGE_WEIGHT_FORMAT FULL_MATRIX, not " + header.format_name);
    }
    return true;
  }
  if (header.has_format && header.format != FORMAT_FUNCTION) {
    return fail(error, line,
                "EDGE_WEIGHT_FORMAT " + header.format_name + " does not go with EDGE_WEIGHT_TYPE " +
                    header.weight_type_name);
  }
  const bool three = is_3d_type(header.weight_type);
  if (header.has_coord_type && header.coord_type != (three ? COORDS_THREED : COORDS_TWOD)) {
    return fail(error, line,
                "EDGE_WEIGHT_TYPE " + header.weight_type_name + " needs " +
                    (three ? "three" : "two") + " coordinates a node, not NODE_COORD_TYPE " +
                    header.coord_type_name);
  }
  return true;
}

bool surplus(Reader* reader, size_t index, const std::string& shape, std::string_view word) {
  return fail(
      reader, index,
      "EDGE_WEIGHT_SECTION holds more than " + shape + "; the first surplus is " + quoted(word));
}

// Reads the numbers after EDGE_WEIGHT_SECTION (line index section): exactly as many as the
// format lists, across lines in any layout, and no number after them.
bool read_weights(Reader* reader, size_t section, const Header& header, Data* data) {
  if (!check_header(header, "EDGE_WEIGHT_SECTION", section + 1, reader->error)) return false;
  if (header.weight_type != WEIGHT_EXPLICIT) {
    return fail(reader, section,
                "EDGE_WEIGHT_SECTION does not go with EDGE_WEIGHT_TYPE " + header.weight_type_name);
  }
  const size_t needed = listed_count(header.format, header.dimension);
  const std::string shape = std::to_string(needed) + " numbers for DIMENSION " +
                            std::to_string(header.dimension) + " in " + header.format_name;
  data->has_weights = true;
  data->weights.reserve(needed);
  size_t index = section + 1;
  for (; data->weights.size() < needed; ++index) {
    if (index == reader->lines.size()) {
      return fail(reader, index - 1,
                  "EDGE_WEIGHT_SECTION ends after " + std::to_string(data->weights.size()) +
                      " of " + shape);
    }
    std::vector<std::string_view> words = split_words(reader->lines[index]);
    if (words.empty()) continue;
    if (!starts_number(words[0])) {
      return fail(reader, index,
                  "EDGE_WEIGHT_SECTION ends after " + std::to_string(data->weights.size()) +
                      " of " + shape);
    }
    for (std::string_view word : words) {
      int64_t value = 0;
      if (data->weights.size() == needed) return surplus(reader, index, shape, word);
      if (!parse_whole(word, &value)) {
        return fail(reader, index, quoted(word) + " is not a whole number");
      }
      data->weights.push_back(value);
    }
  }
  // A number on a later line would otherwise read as a keyword that is not one.
  for (size_t later = index; later < reader->lines.size(); ++later) {
    const std::vector<std::string_view> words = split_words(reader->lines[later]);
    if (words.empty()) continue;
    if (starts_number(words[0])) return surplus(reader, later, shape, words[0]);
    break;
  }
  reader->next = index;
  return true;
}

// Reads the lines "node x y" (or "node x y z") after a section's keyword up to the next
// keyword. Every node must appear exactly once, in any order.
bool read_node_lines(Reader* reader, size_t section, const char* name, int64_t n,
                     size_t coordinates, std::vector<Point>* points) {
  std::vector<bool> seen(n, false);
  points->assign(n, Point{0, 0});
  size_t index = section + 1;
  for (; index < reader->lines.size(); ++index) {
    std::vector<std::string_view> words = split_words(reader->lines[index]);
    if (words.empty()) continue;
    if (!starts_number(words[0])) break;
    if (words.size() != coordinates + 1) {
      return fail(reader, index,
                  "a node line needs a node number and " + std::to_string(coordinates) +
                      " coordinates, not " + std::to_string(words.size()) + " numbers");
    }
    int64_t node = 0;
    if (!parse_whole(words[0], &node) || node < 1 || node > n) {
      return fail(reader, index,
                  "node number " + quoted(words[0]) + " is not one of 1.." + std::to_string(n));
    }
    if (seen[node - 1]) {
      return fail(reader, index, "node " + std::to_string(node) + " has coordinates twice");
    }
    seen[node - 1] = true;
    double values[3] = {0, 0, 0};
    for (size_t k = 0; k < coordinates; ++k) {
      if (!parse_real(words[k + 1], &values[k])) {
        return fail(reader, index, quoted(words[k + 1]) + " is not a coordinate");
      }
    }
    (*points)[node - 1] = Point{values[0], values[1], values[2]};
  }
  for (int64_t node = 1; node <= n; ++node) {
    if (!seen[node - 1]) {
      return fail(reader, index - 1,
                  std::string(name) + " has no coordinates for node " + std::to_string(node));
    }
  }
  reader->next = index;
  return true;
}

bool read_points(Reader* reader, size_t section, const Header& header, Data* data) {
  if (!check_header(header, "NODE_COORD_SECTION", section + 1, reader->error)) return false;
  if (header.coord_type == COORDS_NONE) {
    return fail(reader, section, "NODE_COORD_SECTION with NODE_COORD_TYPE NO_COORDS");
  }
  data->has_points = true;
  return read_node_lines(reader, section, "NODE_COORD_SECTION", header.dimension,
                         coordinate_count(header), &data->points);
}

// Display data are two coordinates a node, used only for drawing.
bool read_display(Reader* reader, size_t section, const Header& header, Data* data) {
  if (header.dimension == 0) {
    return fail(reader, section, "no DIMENSION before DISPLAY_DATA_SECTION");
  }
  data->has_display = true;
  return read_node_lines(reader, section, "DISPLAY_DATA_SECTION", header.dimension, 2,
                         &data->display);
}

// Passes over a tour that comes with a problem.
void skip_section(Reader* reader, size_t section) {
  size_t index = section + 1;
  for (; index < reader->lines.size(); ++index) {
    std::vector<std::string_view> words = split_words(reader->lines[index]);
    if (!words.empty() && !starts_number(words[0])) break;
  }
  reader->next = index;
}

bool parse_dimension(Reader* reader, size_t index, std::string_view value, Header* header) {
  int64_t n = 0;
  if (!parse_whole(value, &n) || n < 2 || n > reader->most_points) {
    return fail(reader, index,
                "DIMENSION must be a whole number from 2 to " +
                    std::to_string(reader->most_points) + ", not " + quoted(value));
  }
  header->dimension = n;
  header->dimension_line = static_cast<int64_t>(index) + 1;
  return true;
}

bool is_section(std::string_view keyword) {
  return keyword == "EOF" ||
         (keyword.size() > 8 && keyword.substr(keyword.size() - 8) == "_SECTION");
}

// One keyword line: a header entry, or the start of a section, which it reads.
// Returns false on a fault; *at_end is set by EOF.
bool read_keyword_line(Reader* reader, size_t index, Header* header, Data* data,
                       std::vector<std::string>* seen, bool* at_end) {
  std::string_view line = trim(reader->lines[index]);
  std::string_view keyword = line;
  std::string_view value;
  const size_t colon = line.find(':');
  if (colon != std::string_view::npos) {
    keyword = trim(line.substr(0, colon));
    value = trim(line.substr(colon + 1));
  } else {
    const size_t blank = line.find_first_of(" \t\r\v\f");
    if (blank != std::string_view::npos) {
      keyword = line.substr(0, blank);
      value = trim(line.substr(blank));
    }
  }
  if (keyword.empty() || starts_number(keyword) || split_words(keyword).size() != 1) {
    return fail(reader, index, "expected a keyword, found " + quoted(line));
  }
  reader->next = index + 1;
  if (is_section(keyword)) {
    if (!value.empty()) return fail(reader, index, std::string(keyword) + " takes no value");
  } else if (colon == std::string_view::npos) {
    return fail(reader, index, std::string(keyword) + " needs ':' before its value");
  } else if (value.empty() && keyword != "NAME" && keyword != "COMMENT") {
    return fail(reader, index, std::string(keyword) + " has no value");
  }
  if (keyword != "COMMENT") {
    for (const std::string& earlier : *seen) {
      if (earlier == keyword) return fail(reader, index, std::string(keyword) + " appears twice");
    }
    seen->emplace_back(keyword);
  }

  if (keyword == "EOF") {
    *at_end = true;
    return true;
  }
  if (keyword == "NAME") {
    header->name = value;
    return true;
  }
  if (keyword == "COMMENT") return true;
  if (keyword == "TYPE") {
    header->has_type = true;
    return choose(reader, index, keyword, value, TYPE_CHOICES, &header->type);
  }
  if (keyword == "DIMENSION") return parse_dimension(reader, index, value, header);
  if (keyword == "EDGE_WEIGHT_TYPE") {
    header->has_weight_type = true;
    header->weight_type_name = value;
    return choose(reader, index, keyword, value, WEIGHT_TYPE_CHOICES, &header->weight_type);
  }
  if (keyword == "EDGE_WEIGHT_FORMAT") {
    header->has_format = true;
    header->format_name = value;
    return choose(reader, index, keyword, value, FORMAT_CHOICES, &header->format);
  }
  if (keyword == "NODE_COORD_TYPE") {
    header->has_coord_type = true;
    header->coord_type_name = value;
    return choose(reader, index, keyword, value, COORD_TYPE_CHOICES, &header->coord_type);
  }
  if (keyword == "DISPLAY_DATA_TYPE") {
    return choose(reader, index, keyword, value, DISPLAY_TYPE_CHOICES, &header->display_type);
  }
  if (keyword == "EDGE_WEIGHT_SECTION") return read_weights(reader, index, *header, data);
  if (keyword == "NODE_COORD_SECTION") return read_points(reader, index, *header, data);
  if (keyword == "DISPLAY_DATA_SECTION") return read_display(reader, index, *header, data);
  if (keyword == "TOUR_SECTION") {
    skip_section(reader, index);
    return true;
  }
  // Fixed edges would change which tours are allowed; the rest belong to other problem types.
  if (keyword == "FIXED_EDGES_SECTION" || keyword == "EDGE_DATA_SECTION" ||
      keyword == "DEPOT_SECTION" || keyword == "DEMAND_SECTION" || keyword == "CAPACITY" ||
      keyword == "EDGE_DATA_FORMAT") {
    return fail(reader, index, std::string(keyword) + " is not supported");
  }
  return fail(reader, index, "unknown keyword " + quoted(keyword));
}

// Without a table every cost is computed when needed: each must stay below 2^40 (the local
// search's sums over up to 2^22 points stay exact), and the distance of the bounding box's
// corners bounds them all, since each rule grows with every difference of coordinates.
bool check_spread(const Header& header, const Data& data, ImportError* error) {
  Point low = data.points[0], high = data.points[0];
  for (const Point& p : data.points) {
    low = {std::min(low.x, p.x), std::min(low.y, p.y), std::min(low.z, p.z)};
    high = {std::max(high.x, p.x), std::max(high.y, p.y), std::max(high.z, p.z)};
  }
  if (header.weight_type == WEIGHT_GEO) return true;  // half the earth's circumference at most
  const double widest = DISTANCE_RULES[header.weight_type](low, high);
  if (!(widest < 1099511627776.0)) {
    return fail(error, 0,
                "the coordinates lie too far apart for a search without a table of costs "
                "(distances must stay below 2^40)");
  }
  return true;
}

bool build_costs(const Header& header, const Data& data, Problem* problem,
                 int64_t most_table_points, ImportError* error) {
  const int64_t n = header.dimension;
  problem->dimension = n;
  if (is_coordinate_type(header.weight_type)) {
    problem->points = data.points;
    problem->distance = DISTANCE_RULES[header.weight_type];
    problem->geometry = geometry_of(header.weight_type);
    problem->coordinate_type = header.weight_type_name;
  }
  if (n > most_table_points) {
    return table_free(header, most_table_points, error) && check_spread(header, data, error);
  }
  problem->costs.assign(n * n, 0);
  int64_t* costs = problem->costs.data();
  if (header.weight_type == WEIGHT_EXPLICIT) {
    // A full matrix is taken as written, diagonal included; a triangle is mirrored, and
    // without its diagonal the diagonal stays 0.
    const bool mirrored = header.format != FORMAT_FULL_MATRIX;
    size_t k = 0;
    for (int64_t r = 0; r < n; ++r) {
      int64_t first, last;
      listed_columns(header.format, n, r, &first, &last);
      for (int64_t c = first; c <= last; ++c, ++k) {
        costs[r * n + c] = data.weights[k];
        if (mirrored) costs[c * n + r] = data.weights[k];
      }
    }
    return true;
  }
  double (*rule)(Point, Point) = DISTANCE_RULES[header.weight_type];
  for (int64_t r = 0; r < n; ++r) {
    for (int64_t c = 0; c < n; ++c) {
      if (r == c) continue;  // a node's distance to itself is 0, whatever the rule says
      const double cost = rule(data.points[r], data.points[c]);
      // 2^63 is exact in a double; every whole double below it fits.
      if (!(cost < 9223372036854775808.0)) {
        return fail(error, 0,
                    "the distance from node " + std::to_string(r + 1) + " to node " +
                        std::to_string(c + 1) + " is too large");
      }
      costs[r * n + c] = static_cast<int64_t>(cost);
    }
  }
  return true;
}

}  // namespace

bool parse_tsplib(std::string_view text, Problem* problem, ImportError* error,
                  int64_t most_table_points, int64_t most_points) {
  Reader reader;
  reader.lines = split_lines(text);
  reader.error = error;
  reader.most_points = std::max(most_points, std::min(most_table_points, MAX_DIMENSION));
  Header header;
  Data data;
  std::vector<std::string> seen;
  bool at_end = false;
  while (!at_end && reader.next < reader.lines.size()) {
    const size_t index = reader.next;
    if (trim(reader.lines[index]).empty()) {
      reader.next = index + 1;
      continue;
    }
    if (!read_keyword_line(&reader, index, &header, &data, &seen, &at_end)) return false;
  }
  if (!check_header(header, nullptr, 0, error)) return false;
  if (header.weight_type == WEIGHT_EXPLICIT && !data.has_weights) {
    return fail(error, 0, "no EDGE_WEIGHT_SECTION");
  }
  if (is_coordinate_type(header.weight_type) && !data.has_points) {
    return fail(error, 0, "no NODE_COORD_SECTION");
  }
  if (!build_costs(header, data, problem, most_table_points, error)) return false;
  problem->name = header.name;
  if (header.display_type != DISPLAY_NONE) {
    problem->drawing = data.has_display ? data.display : data.points;
    problem->geographic = !data.has_display && header.weight_type == WEIGHT_GEO;
  }
  return true;
}

namespace {

// The weight type of a coordinate type's name; false for EXPLICIT and names not taken.
bool find_coordinate_type(std::string_view type_name, int* weight_type) {
  for (const Choice& choice : WEIGHT_TYPE_CHOICES) {
    if (type_name == choice.name && choice.value != UNSUPPORTED &&
        is_coordinate_type(choice.value)) {
      *weight_type = choice.value;
      return true;
    }
  }
  return false;
}

}  // namespace

bool coordinate_type(std::string_view type_name, int* coordinates, Geometry* geometry) {
  int weight_type = WEIGHT_EXPLICIT;
  if (!find_coordinate_type(type_name, &weight_type)) return false;
  *coordinates = is_3d_type(weight_type) ? 3 : 2;
  *geometry = geometry_of(weight_type);
  return true;
}

std::string coordinate_type_names() {
  std::string names;
  for (const Choice& choice : WEIGHT_TYPE_CHOICES) {
    if (choice.value == UNSUPPORTED || !is_coordinate_type(choice.value)) continue;
    if (!names.empty()) names += ", ";
    names += choice.name;
  }
  return names;
}

bool coordinate_problem(std::string_view type_name, std::vector<Point> points, Problem* problem,
                        ImportError* error, int64_t most_table_points) {
  Header header;
  if (!find_coordinate_type(type_name, &header.weight_type)) {
    return fail(error, 0,
                "unknown coordinate type " + quoted(type_name) +
                    " (supported: " + coordinate_type_names() + ")");
  }
  header.has_type = header.has_weight_type = true;
  header.weight_type_name = std::string(type_name);
  header.dimension = static_cast<int64_t>(points.size());
  if (header.dimension < 1) return fail(error, 0, "no points");
  // Each rule grows with every difference of coordinates, so the distance of the bounding
  // box's corners bounds every cost; GEO's are half the earth's circumference at most.
  Point low = points[0], high = points[0];
  for (const Point& p : points) {
    low = {std::min(low.x, p.x), std::min(low.y, p.y), std::min(low.z, p.z)};
    high = {std::max(high.x, p.x), std::max(high.y, p.y), std::max(high.z, p.z)};
  }
  if (header.weight_type != WEIGHT_GEO &&
      !(DISTANCE_RULES[header.weight_type](low, high) < 9223372036854775808.0)) {
    return fail(error, 0, "the points lie too far apart: a distance passes the 64-bit range");
  }
  Data data;
  data.has_points = true;
  data.points = std::move(points);
  return build_costs(header, data, problem, most_table_points, error);
}
