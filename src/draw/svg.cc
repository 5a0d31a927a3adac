// The picture of a tour; see svg.h.
#include "draw/svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <utility>

constexpr double PLOT_SIZE = 640;  // pixels on the longer side of the points' bounding box
constexpr double MARGIN = 30;
constexpr double TITLE_HEIGHT = 40;
constexpr double MIN_WIDTH = 420;  // room for the title
constexpr int DOT_RADIUS = 3;
constexpr int START_RADIUS = 6;  // point 1's mark
constexpr int FONT_SIZE = 11;
// A label's box: a generous width for a digit or a comma, bold included, so that boxes kept
// apart here stay apart in any common sans-serif font; the height of a digit and a comma.
constexpr double CHAR_WIDTH = 0.7 * FONT_SIZE;
constexpr double ASCENT = 9;
constexpr double DESCENT = 2;
constexpr double LABEL_GAP = 3;  // between a mark and its label

// degrees.minutes as decimal degrees: 16.30 is 16.5.
static double geo_degrees(double degrees_minutes) {
  const double degrees = std::trunc(degrees_minutes);
  return degrees + 5.0 * (degrees_minutes - degrees) / 3.0;
}

static std::string escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

static std::string number(double value) {
  char text[32];
  snprintf(text, sizeof text, "%.2f", value);
  return text;
}

namespace {

struct Box {
  double left, top, right, bottom;
};

double overlap_area(const Box& a, const Box& b) {
  const double width = std::min(a.right, b.right) - std::max(a.left, b.left);
  const double height = std::min(a.bottom, b.bottom) - std::max(a.top, b.top);
  return width > 0 && height > 0 ? width * height : 0;
}

// The points drawn at one spot, numbered in one label: "3,7".
struct Spot {
  double x, y;
  std::string label;
  bool start = false;  // holds point 1
  Box mark;            // the dot, or point 1's mark
  double text_x = 0, baseline = 0;
};

// The marks and the labels placed so far, filed under the cells of a grid over the picture
// that they cover, so that a place is weighed against its neighbours only.
constexpr double CELL = 16;
struct Obstacles {
  Box picture;
  int64_t columns, rows;
  std::vector<std::vector<size_t>> cells;
  std::vector<Box> boxes;
  std::vector<size_t> met;  // the last query that met each box, so that each counts once
  size_t queries = 0;

  static int64_t cells_across(double length) {
    return std::max<int64_t>(1, static_cast<int64_t>(std::ceil(length / CELL)));
  }

  explicit Obstacles(const Box& area)
      : picture(area),
        columns(cells_across(area.right - area.left)),
        rows(cells_across(area.bottom - area.top)),
        cells(static_cast<size_t>(columns * rows)) {}

  // Cells outside the grid count as its border cells.
  int64_t cell(double offset, int64_t count) const {
    return static_cast<int64_t>(std::clamp(std::floor(offset / CELL), 0.0, count - 1.0));
  }

  template <typename Visit>
  void each_cell(const Box& box, Visit visit) const {
    const int64_t c1 = cell(box.right - picture.left, columns);
    const int64_t r1 = cell(box.bottom - picture.top, rows);
    for (int64_t r = cell(box.top - picture.top, rows); r <= r1; ++r) {
      for (int64_t c = cell(box.left - picture.left, columns); c <= c1; ++c) visit(r * columns + c);
    }
  }

  void add(const Box& box) {
    boxes.push_back(box);
    met.push_back(0);
    each_cell(box, [&](int64_t at) { cells[at].push_back(boxes.size() - 1); });
  }

  // The area of box that the others cover, box number skip left out.
  double covered(const Box& box, size_t skip) {
    ++queries;
    double area = 0;
    each_cell(box, [&](int64_t at) {
      for (size_t other : cells[at]) {
        if (other == skip || met[other] == queries) continue;
        met[other] = queries;
        area += overlap_area(box, boxes[other]);
      }
    });
    return area;
  }
};

// Places the labels in order, each at the first of a few places around its mark that no label
// placed before, no other mark and no edge of the picture cuts into; where every place is cut,
// at the one cut least. Deterministic, and the same for the same spots.
void place_labels(std::vector<Spot>* spots, const Box& picture) {
  Obstacles obstacles(picture);
  for (const Spot& spot : *spots) obstacles.add(spot.mark);  // box k: the mark of spot k
  for (size_t k = 0; k < spots->size(); ++k) {
    Spot& spot = (*spots)[k];
    const double w = static_cast<double>(spot.label.size()) * CHAR_WIDTH;
    const double h = ASCENT + DESCENT;
    const double r = spot.start ? START_RADIUS : DOT_RADIUS;
    double best_cost = -1;
    Box best{};
    // Two rings of places: the right and left corners, the sides, above and below.
    for (int ring = 0; ring < 2 && best_cost != 0; ++ring) {
      const double d = r + LABEL_GAP + ring * h;
      const double right = spot.x + d, left = spot.x - d - w, middle = spot.x - w / 2;
      const double above = spot.y - d - h + LABEL_GAP, below = spot.y + d - LABEL_GAP;
      const double places[8][2] = {{right, above},          {right, below},
                                   {left, above},           {left, below},
                                   {right, spot.y - h / 2}, {left, spot.y - h / 2},
                                   {middle, above - 1},     {middle, below + 1}};
      for (const auto& place : places) {
        const Box box{place[0], place[1], place[0] + w, place[1] + h};
        const bool inside = box.left >= picture.left && box.right <= picture.right &&
                            box.top >= picture.top && box.bottom <= picture.bottom;
        const double cost =
            (inside ? 0 : w * h - overlap_area(box, picture)) + obstacles.covered(box, k);
        if (best_cost < 0 || cost < best_cost) {
          best_cost = cost;
          best = box;
        }
        if (cost == 0) break;
      }
    }
    obstacles.add(best);
    spot.text_x = best.left;
    spot.baseline = best.top + ASCENT;
  }
}

}  // namespace

std::string svg_text(const Problem& problem, const std::vector<int64_t>& tour,
                     const std::string& name, const std::string& cost, bool closed) {
  const int64_t n = problem.dimension;
  std::vector<double> x(n), y(n);
  for (int64_t i = 0; i < n; ++i) {
    const Point& p = problem.drawing[i];
    x[i] = problem.geographic ? geo_degrees(p.y) : p.x;  // longitude east
    y[i] = problem.geographic ? geo_degrees(p.x) : p.y;  // latitude north
  }
  const double min_x = *std::min_element(x.begin(), x.end());
  const double max_x = *std::max_element(x.begin(), x.end());
  const double min_y = *std::min_element(y.begin(), y.end());
  const double max_y = *std::max_element(y.begin(), y.end());
  // Halves, so that no difference of two finite coordinates can overflow.
  auto half_offset = [](double value, double low) { return value / 2 - low / 2; };
  const double half_span = std::max(half_offset(max_x, min_x), half_offset(max_y, min_y));
  const double scale = half_span > 0 ? PLOT_SIZE / half_span : 1;  // pixels per half unit
  const double plot_width = half_offset(max_x, min_x) * scale;
  const double width = std::max(plot_width + 2 * MARGIN, MIN_WIDTH);
  const double height = half_offset(max_y, min_y) * scale + 2 * MARGIN + TITLE_HEIGHT;
  const double left = (width - plot_width) / 2;
  auto px = [&](int64_t point) { return left + half_offset(x[point - 1], min_x) * scale; };
  auto py = [&](int64_t point) {
    return TITLE_HEIGHT + MARGIN + half_offset(max_y, y[point - 1]) * scale;
  };
  auto sx = [&](int64_t point) { return number(px(point)); };
  auto sy = [&](int64_t point) { return number(py(point)); };
  const std::string title = escaped(name) + (closed ? ": tour cost " : ": path cost ") + cost +
                            ", " + std::to_string(n) + " points";
  std::string svg =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
      number(width) + "\" height=\"" + number(height) + "\" viewBox=\"0 0 " + number(width) + " " +
      number(height) + "\">\n<title>" + title +
      "</title>\n"
      "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
      "<text x=\"" +
      number(width / 2) +
      "\" y=\"26\" text-anchor=\"middle\" "
      "font-family=\"sans-serif\" font-size=\"16\">" +
      title + "</text>\n<" + (closed ? "polygon" : "polyline") +
      " fill=\"none\" stroke=\"#3465a4\" stroke-width=\"1.5\" points=\"";
  for (size_t i = 0; i < tour.size(); ++i) {
    if (i > 0) svg += ' ';
    svg += sx(tour[i]) + "," + sy(tour[i]);
  }
  svg += "\"/>\n<g fill=\"black\">\n";
  for (int64_t point = 2; point <= n; ++point) {
    svg += "<circle cx=\"" + sx(point) + "\" cy=\"" + sy(point) + "\" r=\"" +
           std::to_string(DOT_RADIUS) + "\"/>\n";
  }
  svg += "</g>\n<g font-family=\"sans-serif\" font-size=\"" + std::to_string(FONT_SIZE) +
         "\" fill=\"#333333\">\n";
  // Points drawn at the same spot share a label; spots in the order of their lowest point.
  std::vector<Spot> spots;
  std::map<std::pair<std::string, std::string>, size_t> spot_at;
  for (int64_t point = 1; point <= n; ++point) {
    const auto [found, added] = spot_at.emplace(std::make_pair(sx(point), sy(point)), spots.size());
    if (added) {
      const double radius = point == 1 ? START_RADIUS : DOT_RADIUS;
      const double x = px(point), y = py(point);
      spots.push_back(Spot{x, y, std::to_string(point), point == 1,
                           Box{x - radius, y - radius, x + radius, y + radius}});
    } else {
      spots[found->second].label.append(",").append(std::to_string(point));
    }
  }
  place_labels(&spots, Box{0, TITLE_HEIGHT, width, height});
  for (const Spot& spot : spots) {
    svg += "<text x=\"" + number(spot.text_x) + "\" y=\"" + number(spot.baseline) + "\"" +
           (spot.start ? " fill=\"#cc0000\" font-weight=\"bold\"" : "") + ">" + spot.label +
           "</text>\n";
  }
  // Point 1's mark last, over any dot or line drawn at its spot.
  return svg + "</g>\n<circle cx=\"" + sx(1) + "\" cy=\"" + sy(1) + "\" r=\"" +
         std::to_string(START_RADIUS) +
         "\" fill=\"#cc0000\"><title>point 1, start and end</title></circle>\n</svg>\n";
}
