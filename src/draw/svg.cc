// The picture of a tour; see svg.h.
#include "draw/svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

constexpr double PLOT_SIZE = 640;  // pixels on the longer side of the points' bounding box
constexpr double MARGIN = 30;
constexpr double TITLE_HEIGHT = 40;
constexpr double MIN_WIDTH = 420;  // room for the title

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

std::string svg_text(const Problem& problem, const std::vector<int64_t>& tour,
                     const std::string& name, const std::string& cost) {
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
  const std::string title =
      escaped(name) + ": tour cost " + cost + ", " + std::to_string(n) + " points";
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
      title +
      "</text>\n"
      "<polygon fill=\"none\" stroke=\"#3465a4\" stroke-width=\"1.5\" points=\"";
  for (size_t i = 0; i < tour.size(); ++i) {
    if (i > 0) svg += ' ';
    svg += sx(tour[i]) + "," + sy(tour[i]);
  }
  svg += "\"/>\n<g fill=\"black\">\n";
  for (int64_t point = 2; point <= n; ++point) {
    svg += "<circle cx=\"" + sx(point) + "\" cy=\"" + sy(point) + "\" r=\"3\"/>\n";
  }
  svg += "</g>\n<circle cx=\"" + sx(1) + "\" cy=\"" + sy(1) +
         "\" r=\"6\" fill=\"#cc0000\"><title>point 1, start and end</title></circle>\n"
         "<g font-family=\"sans-serif\" font-size=\"11\" fill=\"#333333\">\n";
  for (int64_t point = 1; point <= n; ++point) {
    svg += "<text x=\"" + number(px(point) + 6) + "\" y=\"" + number(py(point) - 5) + "\"" +
           (point == 1 ? " fill=\"#cc0000\" font-weight=\"bold\"" : "") + ">" +
           std::to_string(point) + "</text>\n";
  }
  return svg + "</g>\n</svg>\n";
}
