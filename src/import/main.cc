#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "import/tsplib.h"
#include "version.h"

static const char USAGE[] =
    "usage: tourplan-import input.tsp output.dat\n"
    "       tourplan-import --help | --version\n"
    "Converts a TSPLIB problem into a tourplan problem file; '-' names standard input or "
    "output.\n";

constexpr int EXIT_BAD_INPUT = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_OUT_OF_MEMORY = 4;

static int import_command(int argc, char** argv) {
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(USAGE, stdout);
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    fputs("tourplan-import " TOURPLAN_VERSION "\n", stdout);
    return 0;
  }
  // An unknown option is a wrong command line, as in the other companions; '-' is a file.
  bool option = false;
  for (int i = 1; i < argc; ++i) option = option || (argv[i][0] == '-' && argv[i][1] != 0);
  if (argc != 3 || option) {
    fputs(USAGE, stderr);
    return EXIT_USAGE;
  }
  std::string message, note;
  if (!import_file(argv[1], argv[2], &message, &note)) {
    fprintf(stderr, "tourplan-import: %s\n", message.c_str());
    return EXIT_BAD_INPUT;
  }
  if (!note.empty()) fprintf(stderr, "tourplan-import: %s\n", note.c_str());
  return 0;
}

// The input, the cost matrix and the output's text are held whole.
int main(int argc, char** argv) {
  try {
    return import_command(argc, argv);
  } catch (const std::bad_alloc&) {
    fputs("tourplan-import: out of memory\n", stderr);
    return EXIT_OUT_OF_MEMORY;
  }
}
