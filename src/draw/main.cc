// tourplan-draw: draws a tour over a TSPLIB instance's own coordinates as an SVG picture.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "check/tour.h"
#include "import/tsplib.h"
#include "version.h"

static const char USAGE[] =
    "usage: tourplan-draw INSTANCE.tsp SOLUTION OUT.svg\n"
    "       tourplan-draw --help | --version\n"
    "Draws a tour (a tourplan solution file or a TSPLIB TOUR file) over the coordinates of a\n"
    "TSPLIB instance as an SVG picture.\n";

constexpr double PLOT_SIZE = 640;  // pixels on the longer side of the points' bounding box
constexpr double MARGIN = 30;
constexpr double TITLE_HEIGHT = 40;
constexpr double MIN_WIDTH = 420;  // room for the title

static int refuse(const std::string& message) {
  fprintf(stderr, "tourplan-draw: %s\n", message.c_str());
  return 1;
}

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

// The picture: the tour as a closed line, a dot and its number for every point, point 1 in red,
// and the name and cost as the title. North (larger y) is up.
static std::string svg_text(const Problem& problem, const Tour& tour, const std::string& name,
                            const std::string& cost) {
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
  for (size_t i = 0; i < tour.points.size(); ++i) {
    if (i > 0) svg += ' ';
    svg += sx(tour.points[i]) + "," + sy(tour.points[i]);
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

int main(int argc, char** argv) {
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(USAGE, stdout);
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    fputs("tourplan-draw " TOURPLAN_VERSION "\n", stdout);
    return 0;
  }
  if (argc != 4) {
    fputs(USAGE, stderr);
    return 2;
  }
  const std::string instance_path = argv[1], solution_path = argv[2], output = argv[3];
  auto shown = [](const std::string& path) { return path == "-" ? "standard input" : path; };
  std::string text, message;
  if (!read_input(instance_path, &text, &message)) return refuse(message);
  Problem problem;
  ImportError import_error;
  if (!parse_tsplib(text, &problem, &import_error)) {
    return refuse(shown(instance_path) + ":" +
                  (import_error.line > 0 ? std::to_string(import_error.line) + ":" : "") + " " +
                  import_error.message);
  }
  if (problem.drawing.empty()) {
    return refuse(shown(instance_path) +
                  ": no coordinates to draw (no NODE_COORD_SECTION or DISPLAY_DATA_SECTION)");
  }
  if (!read_input(solution_path, &text, &message)) return refuse(message);
  Tour tour;
  TourError error;
  if (!parse_tour(text, problem.dimension, &tour, &error)) {
    return refuse(shown(solution_path) + ":" +
                  (error.line > 0 ? std::to_string(error.line) + ":" : "") + " " + error.message);
  }
  // The cost from the instance's own distances, as the importer computes them.
  const std::string cost = decimal_text(tour_cost(tour.points, problem.costs.data()));
  const std::string name = problem.name.empty() ? base_name(instance_path) : problem.name;
  if (!write_output(output, svg_text(problem, tour, name, cost), &message)) {
    return refuse(message);
  }
  return 0;
}
