// tourplan-tour: the chained Lin-Kernighan search alone on a TSPLIB instance, for a time.
//   tourplan-tour SECONDS FILE [SEED]
// Prints the cost of the best tour after the time (or once the search ends), the seconds
// taken and the kicks' budget left unused, on one line. Symmetric instances only.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "import/tsplib.h"
#include "platform/platform.h"
#include "tour/lin_kernighan.h"

static double deadline = 0;

static bool past_deadline() { return clock_seconds() >= deadline; }

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s SECONDS FILE [SEED]\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[2], std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  Problem problem;
  ImportError error;
  if (!in || !parse_tsplib(text.str(), &problem, &error)) {
    fprintf(stderr, "%s: cannot read it: %s\n", argv[2], error.message.c_str());
    return 1;
  }
  const int n = static_cast<int>(problem.dimension);
  const double start = clock_seconds();
  deadline = start + atof(argv[1]);
  LocalSearchOptions options;
  options.kicks = INT64_MAX;
  options.seed = argc > 3 ? strtoull(argv[3], nullptr, 10) : 1;
  options.stop = past_deadline;
  const std::vector<int> order = lin_kernighan_tour(n, problem.costs.data(), {}, options);
  int64_t cost = 0;
  for (int t = 0; t < n; ++t) cost += problem.costs[static_cast<size_t>(order[t]) * n + order[(t + 1) % n]];
  printf("%lld %.3f\n", static_cast<long long>(cost), clock_seconds() - start);
  return 0;
}
