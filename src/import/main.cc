#include <cstdio>
#include <cstring>
#include <string>

#include "import/tsplib.h"
#include "version.h"

static const char USAGE[] =
    "usage: tourplan-import input.tsp output.dat\n"
    "       tourplan-import --help | --version\n"
    "Converts a TSPLIB problem into a tourplan problem file; '-' names standard input or "
    "output.\n";

int main(int argc, char** argv) {
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(USAGE, stdout);
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    fputs("tourplan-import " TOURPLAN_VERSION "\n", stdout);
    return 0;
  }
  if (argc != 3) {
    fputs(USAGE, stderr);
    return 2;
  }
  std::string message, note;
  if (!import_file(argv[1], argv[2], &message, &note)) {
    fprintf(stderr, "tourplan-import: %s\n", message.c_str());
    return 1;
  }
  if (!note.empty()) fprintf(stderr, "tourplan-import: %s\n", note.c_str());
  return 0;
}
