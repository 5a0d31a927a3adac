// Whether tourplan can solve the problem in this machine's memory as it would like to. People
// should learn that before a long run, so the import says so; the import itself goes on.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "import/tsplib.h"

// The solver keeps two layers of subsets at a time, one of each parity: layer k (k = 1..n-1,
// n = N - 1) holds C(n, k) * (n - k) cells, each as wide as the largest path cost needs.
// Counted in long double: exact below 2^64, and no overflow for any DIMENSION.
long double solver_footprint(const Problem& problem) {
  const int64_t n = problem.dimension - 1;
  // B bounds every path cost: per row, the largest absolute off-diagonal cost.
  unsigned __int128 bound = 0;
  for (int64_t r = 0; r < problem.dimension; ++r) {
    unsigned __int128 largest = 0;
    for (int64_t c = 0; c < problem.dimension; ++c) {
      const int64_t cost = problem.costs[r * problem.dimension + c];
      // Negated in unsigned arithmetic, so that INT64_MIN gives 2^63.
      const uint64_t magnitude = cost < 0 ? 0 - static_cast<uint64_t>(cost) : cost;
      if (r != c && magnitude > largest) largest = magnitude;
    }
    bound += largest;
  }
  const long double cell_bytes = bound <= 32766                  ? 2
                                 : bound <= 2147483646           ? 4
                                 : bound <= 9223372036854775806u ? 8
                                                                 : 16;
  long double subsets = 1;  // C(n, k), built up one k at a time
  long double largest[2] = {0, 0};
  for (int64_t k = 1; k <= n - 1; ++k) {
    subsets = subsets * static_cast<long double>(n - k + 1) / static_cast<long double>(k);
    const long double cells = subsets * static_cast<long double>(n - k);
    if (cells > largest[k % 2]) largest[k % 2] = cells;
  }
  return cell_bytes * (largest[0] + largest[1]);
}

// One number from a control-group file; -1 when it is missing or says "max".
static int64_t limit_in_file(const std::string& path) {
  FILE* file = fopen(path.c_str(), "re");
  if (!file) return -1;
  char text[64] = {0};
  const bool read = fgets(text, sizeof text, file) != nullptr;
  fclose(file);
  if (!read || text[0] < '0' || text[0] > '9') return -1;
  const unsigned long long value = strtoull(text, nullptr, 10);
  return value < (1ULL << 62) ? static_cast<int64_t>(value) : -1;
}

// The lowest limit of the process's memory control groups, from its own group up to the root,
// in either layout of the hierarchy.
static void lower_to_control_groups(int64_t* memory) {
  FILE* groups = fopen("/proc/self/cgroup", "re");
  if (!groups) return;
  char line[4096];
  while (fgets(line, sizeof line, groups)) {
    std::string entry(line, strcspn(line, "\n"));
    const size_t first = entry.find(':');
    const size_t second = first == std::string::npos ? first : entry.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string controllers = entry.substr(first + 1, second - first - 1);
    const std::string group = entry.substr(second + 1);
    std::string root, file;
    if (controllers.empty()) {
      root = "/sys/fs/cgroup/";
      file = "memory.max";
    } else if (controllers == "memory") {
      root = "/sys/fs/cgroup/memory/";
      file = "memory.limit_in_bytes";
    } else {
      continue;
    }
    // Inside a namespace only the nearer groups are visible; each one that exists counts.
    // length covers the group's path up to (not including) its last slash: "" is the root.
    size_t length = group.size();
    if (length > 0 && group[length - 1] == '/') --length;
    for (;;) {
      std::string path = root;
      if (length > 1) path.append(group, 1, length - 1).push_back('/');
      path.append(file);
      const int64_t limit = limit_in_file(path);
      if (limit > 0 && limit < *memory) *memory = limit;
      if (length == 0) break;
      length = group.rfind('/', length - 1);
      if (length == std::string::npos) break;
    }
  }
  fclose(groups);
}

int64_t machine_memory() {
  int64_t memory = INT64_MAX;
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages > 0 && page_size > 0 && pages <= INT64_MAX / page_size) {
    memory = static_cast<int64_t>(pages) * page_size;
  }
  lower_to_control_groups(&memory);
  return memory;
}

// How tourplan's solver goes about a problem (solve_tour.cc, branch_and_cut_engine.cc), repeated
// here because the importer stands apart from it. Up to EXHAUSTIVE_POINTS points it fills every
// subset where they all fit in memory, and otherwise only those its bounds leave open, searching
// by branch and cut once they grow too many; beyond, it searches under bounds or by branch and
// cut. The branch-and-cut search takes SEARCH_BYTES_PER_PAIR bytes for each of the N x N pairs
// of points, and refuses with error 4 a problem for which that does not fit.
constexpr int64_t EXHAUSTIVE_POINTS = 28;
constexpr int64_t SEARCH_BYTES_PER_PAIR = 64;
constexpr int64_t SEARCH_MOST_POINTS = 46340;
static_assert(MAX_DIMENSION <= SEARCH_MOST_POINTS, "the search takes every problem imported");

static std::string amount(long double bytes) {
  const long double mebibytes = bytes / (1024.0L * 1024);
  const long double value = mebibytes < 1024 ? mebibytes : mebibytes / 1024;
  const char* unit = mebibytes < 1024 ? "MiB" : "GiB";
  char text[64];
  snprintf(text, sizeof text, value < 1e6L ? "%.1Lf %s" : "%.1Le %s", value, unit);
  return text;
}

std::string memory_note(const Problem& problem, long double memory_bytes) {
  const int64_t n = problem.dimension;
  const std::string points = std::to_string(n) + " points";
  const std::string here = " of memory here; ";
  const long double search = static_cast<long double>(n) * static_cast<long double>(n) *
                             static_cast<long double>(SEARCH_BYTES_PER_PAIR);
  if (search > memory_bytes) {
    return "note: tourplan's branch-and-cut search for " + points + " needs about " +
           amount(search) + ", more than the " + amount(memory_bytes) + here +
           "tourplan will stop with error 4 (out of memory)";
  }
  if (n > EXHAUSTIVE_POINTS) return "";
  const long double needed = solver_footprint(problem);
  if (needed <= memory_bytes) return "";
  return "note: filling every subset for " + points + " needs " + amount(needed) +
         ", more than the " + amount(memory_bytes) + here +
         "tourplan will fill only those its bounds leave open, and search by branch and cut "
         "if they grow too many";
}
