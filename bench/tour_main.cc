// tourplan-tour: the chained Lin-Kernighan search alone on a TSPLIB instance, for a time.
//   tourplan-tour SECONDS FILE [SEED] [--table]
// Prints the cost of the best tour after the time (or once the search ends), the seconds
// taken and, for an instance given by coordinates, the lower bound, on one line. Coordinates
// are searched without a table of costs (two threads: a chain, then the bound and a second
// chain) unless --table asks for the table and one chain over it, as branch and cut runs it.
// Symmetric instances only.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "import/tsplib.h"
#include "platform/platform.h"
#include "tour/geometric_tour.h"
#include "tour/lin_kernighan.h"

static double deadline = 0;

static bool past_deadline() { return clock_seconds() >= deadline; }

int main(int argc, char** argv) {
  bool table = false;
  std::vector<const char*> args;
  for (int k = 1; k < argc; ++k) {
    if (strcmp(argv[k], "--table") == 0) {
      table = true;
    } else {
      args.push_back(argv[k]);
    }
  }
  if (args.size() < 2) {
    fprintf(stderr, "usage: %s SECONDS FILE [SEED] [--table]\n", argv[0]);
    return 2;
  }
  std::ifstream in(args[1], std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  Problem problem;
  ImportError error;
  if (!in || !parse_tsplib(text.str(), &problem, &error, table ? MAX_DIMENSION : 0,
                           MAX_POINTS_WITHOUT_TABLE)) {
    fprintf(stderr, "%s: cannot read it: %s\n", args[1], error.message.c_str());
    return 1;
  }
  const int n = static_cast<int>(problem.dimension);
  const double start = clock_seconds();
  deadline = start + atof(args[0]);
  LocalSearchOptions options;
  options.kicks = INT64_MAX;
  options.seed = args.size() > 2 ? strtoull(args[2], nullptr, 10) : 1;
  options.stop = past_deadline;
  if (!table && n >= 5) {
    CoordinateSearchOptions search;
    search.search = options;
    const CoordinateSearchResult found = coordinate_search(problem, search);
    printf("%lld %.3f %lld\n", static_cast<long long>(found.cost), clock_seconds() - start,
           static_cast<long long>(found.lower_bound));
    return 0;
  }
  const std::vector<int> order = lin_kernighan_tour(n, problem.costs.data(), {}, options);
  int64_t cost = 0;
  for (int t = 0; t < n; ++t) cost += problem.costs[static_cast<size_t>(order[t]) * n + order[(t + 1) % n]];
  printf("%lld %.3f\n", static_cast<long long>(cost), clock_seconds() - start);
  return 0;
}
