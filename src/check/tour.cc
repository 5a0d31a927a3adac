#include "check/tour.h"

#include <charconv>

#include "import/tsplib.h"

namespace {

bool fail(TourError* error, int64_t line, std::string message) {
  error->line = line;
  error->message = std::move(message);
  return false;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trim(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}


std::string points_range(int64_t n) { return "1.." + std::to_string(n); }

// Remembers where each point was seen; false with a message for a point out of range or
// seen before.
struct Seen {
  std::vector<int64_t> line_of;  // by point 1..n at 1..n; 0: not yet seen
  bool add(int64_t point, int64_t line, TourError* error) {
    const int64_t n = static_cast<int64_t>(line_of.size()) - 1;
    if (point < 1 || point > n) {
      return fail(error, line,
                  "point " + std::to_string(point) + " is not one of " + points_range(n));
    }
    if (line_of[point] != 0) {
      return fail(error, line,
                  "point " + std::to_string(point) + " appears twice (first on line " +
                      std::to_string(line_of[point]) + ")");
    }
    line_of[point] = line;
    return true;
  }
};

// " 12" or "-3": the form in which tourplan prints a point. Digits past the 64-bit range give
// a value no point has.
bool point_line(std::string_view line, int64_t* point) {
  if (line.size() < 2 || (line[0] != ' ' && line[0] != '-')) return false;
  uint64_t value = 0;
  for (size_t i = 1; i < line.size(); ++i) {
    if (line[i] < '0' || line[i] > '9') return false;
    if (value < (uint64_t{1} << 62)) value = value * 10 + static_cast<uint64_t>(line[i] - '0');
  }
  const int64_t magnitude = value < (uint64_t{1} << 62) ? static_cast<int64_t>(value) : INT64_MAX;
  *point = line[0] == '-' ? -magnitude : magnitude;
  return true;
}

bool parse_solution(std::string_view text, int64_t n, Tour* tour, TourError* error) {
  const std::string need = std::to_string(n) + " points need " + std::to_string(n + 1) + " lines";
  Seen seen{std::vector<int64_t>(n + 1, 0)};
  int64_t line = 0;
  size_t at = 0;
  while (at < text.size()) {
    ++line;
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view content = text.substr(at, end - at);
    at = end + 1;
    if (!content.empty() && content.back() == '\r') content.remove_suffix(1);
    if (line > n + 1) return fail(error, line, "more lines than a tour has: " + need);
    int64_t point = 0;
    if (!point_line(content, &point)) {
      return fail(error, line,
                  "expected a space or '-' then digits, found " + quoted_item(content));
    }
    if (line == 1 && point != 1) {
      return fail(error, line, "the tour must start at point 1, not " + std::to_string(point));
    }
    if (line == n + 1) {
      if (point != 1) {
        return fail(error, line, "the tour must end at point 1, not " + std::to_string(point));
      }
      continue;
    }
    // Point 1 again on the file's last line: the tour closes early, some line is missing.
    if (point == 1 && line > 1 && at >= text.size()) {
      return fail(error, line, "the tour ends after " + std::to_string(line) + " lines; " + need);
    }
    if (!seen.add(point, line, error)) return false;
    tour->points.push_back(point);
  }
  if (line < n + 1) {
    return fail(error, line, "the tour ends after " + std::to_string(line) + " lines; " + need);
  }
  return true;
}

bool parse_whole(std::string_view word, int64_t* value) {
  auto [end, failure] = std::from_chars(word.data(), word.data() + word.size(), *value);
  return failure == std::errc() && end == word.data() + word.size();
}

bool starts_number(std::string_view word) {
  const char c = word.empty() ? 0 : word.front();
  return (c >= '0' && c <= '9') || c == '-' || c == '+';
}

std::vector<std::string_view> split_words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && is_blank(line[i])) ++i;
    const size_t start = i;
    while (i < line.size() && !is_blank(line[i])) ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

struct Lines {
  std::vector<std::string_view> text;
  size_t next = 0;  // index of the next line to read
};

// The points after TOUR_SECTION (line index section) up to -1, across lines in any layout.
bool read_tour_section(Lines* lines, size_t section, int64_t n, Tour* tour, TourError* error) {
  Seen seen{std::vector<int64_t>(n + 1, 0)};
  const std::string of = " of " + std::to_string(n) + " points";
  size_t index = section + 1;
  for (; index < lines->text.size(); ++index) {
    const int64_t line = static_cast<int64_t>(index) + 1;
    const std::vector<std::string_view> words = split_words(lines->text[index]);
    if (words.empty()) continue;
    if (!starts_number(words[0])) break;
    for (size_t w = 0; w < words.size(); ++w) {
      int64_t point = 0;
      if (!parse_whole(words[w], &point)) {
        return fail(error, line, quoted_item(words[w]) + " is not a point number");
      }
      if (point == -1) {
        if (static_cast<int64_t>(tour->points.size()) < n) {
          return fail(error, line,
                      "TOUR_SECTION ends after " + std::to_string(tour->points.size()) + of);
        }
        if (w + 1 < words.size()) return fail(error, line, "nothing may follow -1 on its line");
        lines->next = index + 1;
        return true;
      }
      if (static_cast<int64_t>(tour->points.size()) == n) {
        return fail(error, line,
                    "TOUR_SECTION holds more than " + std::to_string(n) +
                        " points; -1 must follow the last");
      }
      if (!seen.add(point, line, error)) return false;
      tour->points.push_back(point);
    }
  }
  const int64_t last = static_cast<int64_t>(index);  // the line before the one that stopped
  if (static_cast<int64_t>(tour->points.size()) < n) {
    return fail(error, last, "TOUR_SECTION ends after " + std::to_string(tour->points.size()) + of);
  }
  return fail(error, last, "TOUR_SECTION has no -1 after its points");
}

bool parse_tsplib_tour(std::string_view text, int64_t n, Tour* tour, TourError* error) {
  Lines lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    lines.text.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  std::vector<std::string> seen;
  bool has_section = false;
  while (lines.next < lines.text.size()) {
    const size_t index = lines.next++;
    const int64_t line = static_cast<int64_t>(index) + 1;
    const std::string_view content = trim(lines.text[index]);
    if (content.empty()) continue;
    std::string_view keyword = content, value;
    const size_t colon = content.find(':');
    if (colon != std::string_view::npos) {
      keyword = trim(content.substr(0, colon));
      value = trim(content.substr(colon + 1));
    } else if (const size_t blank = content.find_first_of(" \t\v\f");
               blank != std::string_view::npos) {
      keyword = content.substr(0, blank);
      value = trim(content.substr(blank));
    }
    if (keyword.empty() || starts_number(keyword) || split_words(keyword).size() != 1) {
      return fail(error, line, "expected a keyword, found " + quoted_item(content));
    }
    const bool section = keyword == "TOUR_SECTION" || keyword == "EOF";
    if (section && !value.empty()) {
      return fail(error, line, std::string(keyword) + " takes no value");
    }
    if (!section && colon == std::string_view::npos) {
      return fail(error, line, std::string(keyword) + " needs ':' before its value");
    }
    if (keyword != "COMMENT") {
      for (const std::string& earlier : seen) {
        if (earlier == keyword) return fail(error, line, std::string(keyword) + " appears twice");
      }
      seen.emplace_back(keyword);
    }
    if (keyword == "EOF") break;
    if (keyword == "TOUR_SECTION") {
      if (!read_tour_section(&lines, index, n, tour, error)) return false;
      has_section = true;
    } else if (keyword == "TYPE") {
      if (value != "TOUR") return fail(error, line, "TYPE " + quoted_item(value) + " is not TOUR");
    } else if (keyword == "DIMENSION") {
      int64_t dimension = 0;
      if (!parse_whole(value, &dimension) || dimension != n) {
        return fail(error, line,
                    "DIMENSION " + quoted_item(value) + " does not match the problem's " +
                        std::to_string(n) + " points");
      }
    } else if (keyword != "NAME" && keyword != "COMMENT") {
      return fail(error, line, "unknown keyword " + quoted_item(keyword));
    }
  }
  if (!has_section) return fail(error, 0, "no TOUR_SECTION");
  // Turned to start at point 1, the direction kept.
  std::vector<int64_t>& points = tour->points;
  size_t first = 0;
  while (points[first] != 1) ++first;
  std::vector<int64_t> turned(points.begin() + first, points.end());
  turned.insert(turned.end(), points.begin(), points.begin() + first);
  points = turned;
  tour->from_tsplib = true;
  return true;
}

}  // namespace

bool parse_tour(std::string_view text, int64_t dimension, Tour* tour, TourError* error) {
  tour->points.clear();
  tour->from_tsplib = false;
  const char c = text.empty() ? 0 : text.front();
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
    return parse_tsplib_tour(text, dimension, tour, error);
  }
  return parse_solution(text, dimension, tour, error);
}

__int128 tour_cost(const std::vector<int64_t>& points, const int64_t* costs) {
  const int64_t n = static_cast<int64_t>(points.size());
  __int128 cost = 0;
  for (int64_t i = 0; i < n; ++i) {
    const int64_t from = points[i];
    const int64_t to = points[(i + 1) % n];
    cost += costs[(from - 1) * n + (to - 1)];
  }
  return cost;
}

std::string decimal_text(__int128 value) {
  // Digits of the magnitude, taken in unsigned arithmetic so that the lowest value works too.
  unsigned __int128 magnitude = value < 0 ? 0 - static_cast<unsigned __int128>(value) : value;
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(magnitude % 10)));
    magnitude /= 10;
  } while (magnitude != 0);
  return value < 0 ? "-" + digits : digits;
}

std::string tsplib_tour_text(std::string_view name, const std::vector<int64_t>& points,
                             std::string_view length) {
  std::string text = "NAME : " + std::string(name) +
                     "\nTYPE : TOUR\nCOMMENT : Length = " + std::string(length) +
                     "\nDIMENSION : " + std::to_string(points.size()) + "\nTOUR_SECTION\n";
  for (int64_t point : points) text += std::to_string(point) + "\n";
  return text + "-1\nEOF\n";
}

std::string base_name(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const size_t slash = path.rfind('/');
  std::string name(slash == std::string_view::npos ? path : path.substr(slash + 1));
  // A line break in a file name would break the line it is written on.
  for (char& c : name) {
    if (static_cast<unsigned char>(c) < 32) c = '?';
  }
  return name;
}

std::string problem_name(std::string_view path) {
  std::string name = base_name(path);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}
