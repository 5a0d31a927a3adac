// tourplan-draw: draws a tour over a TSPLIB instance's own coordinates as an SVG picture.
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "check/tour.h"
#include "draw/svg.h"
#include "import/tsplib.h"
#include "version.h"

static const char USAGE[] =
    "usage: tourplan-draw INSTANCE.tsp SOLUTION OUT.svg\n"
    "       tourplan-draw --help | --version\n"
    "Draws a tour (a tourplan solution file or a TSPLIB TOUR file) over the coordinates of a\n"
    "TSPLIB instance as an SVG picture.\n";

constexpr int EXIT_BAD_INPUT = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_OUT_OF_MEMORY = 4;

static int refuse(const std::string& message, int status = EXIT_BAD_INPUT) {
  fprintf(stderr, "tourplan-draw: %s\n", message.c_str());
  return status;
}

static int draw_command(int argc, char** argv) {
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(USAGE, stdout);
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    fputs("tourplan-draw " TOURPLAN_VERSION "\n", stdout);
    return 0;
  }
  // An unknown option is a wrong command line, as in the other companions; '-' is a file.
  bool option = false;
  for (int i = 1; i < argc; ++i) option = option || (argv[i][0] == '-' && argv[i][1] != 0);
  if (argc != 4 || option) {
    fputs(USAGE, stderr);
    return EXIT_USAGE;
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
  if (!write_output(output, svg_text(problem, tour.points, name, cost), &message)) {
    return refuse(message);
  }
  return 0;
}

// The instance, its cost matrix and the picture's text are held whole.
int main(int argc, char** argv) {
  try {
    return draw_command(argc, argv);
  } catch (const std::bad_alloc&) {
    return refuse("out of memory", EXIT_OUT_OF_MEMORY);
  }
}
