// The fast engine against the reference engine, cell for cell and tour for tour.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "solver/fast_engine.h"
#include "solver/solver.h"
#include "support/problems.h"

namespace {

struct Cells {
  std::vector<int64_t> cost;
  std::vector<int64_t> next;
  std::vector<int64_t> tour;
};

// Which choices to read: all of them up to this many points, every 97th beyond.
constexpr int ALL_CHOICES_UP_TO = 12;
Cells captured;

// Every cell the algorithm defines: cost(S, a) and next(S, a) for a not in S.
void capture_defined_cells(int64_t n) {
  const uint64_t full = (uint64_t{1} << (n - 1)) - 1;
  int64_t counter = 0;
  for (uint64_t subset = 1; subset <= full; ++subset) {
    for (int64_t a = 2; a <= n; ++a) {
      if (subset >> (a - 2) & 1) continue;
      captured.cost.push_back(solver_cost(nullptr, static_cast<int64_t>(subset), a));
      if (n <= ALL_CHOICES_UP_TO || counter++ % 97 == 0) {
        captured.next.push_back(solver_next(static_cast<int64_t>(subset), a));
      }
    }
  }
}

Cells solve_with(SolverEngine engine, const Costs& costs) {
  solver_engine = engine;
  captured = {};
  inspect_solver_tables = capture_defined_cells;
  std::vector<int64_t> tour = solve(costs);
  inspect_solver_tables = nullptr;
  solver_engine = ENGINE_FAST;
  Cells cells = captured;
  cells.tour = tour;
  return cells;
}

void expect_same(const Cells& fast, const Cells& reference, const std::string& what) {
  ASSERT_FALSE(reference.cost.empty()) << what;
  EXPECT_EQ(fast.tour, reference.tour) << what;
  EXPECT_TRUE(fast.cost == reference.cost) << what;
  EXPECT_TRUE(fast.next == reference.next) << what;
}

// Both row stores: the compressing one (where the processor has it) and the portable one.
class EnginesByRowStore : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override { fast_engine_may_compress = GetParam(); }
  void TearDown() override { fast_engine_may_compress = true; }
};
INSTANTIATE_TEST_SUITE_P(RowStores, EnginesByRowStore, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "Compressing" : "Portable";
                         });

TEST_P(EnginesByRowStore, SameCellsAndToursOnRandomProblems) {
  struct Range {
    int64_t low, high;
  } ranges[] = {
      {0, 2},                                   // heavy ties, 2-byte cells
      {-5, 5},                                  // negative costs
      {0, 1000000},                             // 4-byte cells
      {-(int64_t{1} << 58), int64_t{1} << 58},  // 8-byte cells
  };
  uint64_t seed = 500;
  for (int n = 3; n <= 18; ++n) {
    for (const Range& range : ranges) {
      Costs costs = random_costs(n, range.low, range.high, seed++);
      expect_same(solve_with(ENGINE_FAST, costs), solve_with(ENGINE_REFERENCE, costs),
                  "n = " + std::to_string(n) + ", seed " + std::to_string(seed - 1));
    }
  }
}

TEST_P(EnginesByRowStore, EveryCellWidthAtItsEdges) {
  // Row maxima summing to INT16_MAX - 1 still fit 2-byte cells, INT32_MAX - 1 4-byte cells;
  // one more needs the next width.
  struct Case {
    int64_t bound;
    int64_t cell_bytes;
  } cases[] = {
      {INT16_MAX - 1, 2}, {INT16_MAX, 4}, {int64_t{INT32_MAX} - 1, 4}, {INT32_MAX, 8},
  };
  for (const Case& c : cases) {
    const int n = 9;
    Costs costs = random_costs(n, -3, 3, 77 + c.bound);
    const int64_t each = c.bound / n;
    for (int r = 0; r < n; ++r) costs[r][(r + 1) % n] = each;
    costs[0][1] += c.bound - each * n;
    DistanceMatrix matrix = make_matrix(costs);
    EXPECT_EQ(path_cost_bound(&matrix), static_cast<uint64_t>(c.bound));
    release_matrix(&matrix);
    static int64_t width_seen;
    inspect_solver_tables = [](int64_t) { width_seen = fast_cell_bytes(); };
    solve(costs);
    inspect_solver_tables = nullptr;
    EXPECT_EQ(width_seen, c.cell_bytes) << "bound " << c.bound;
    expect_same(solve_with(ENGINE_FAST, costs), solve_with(ENGINE_REFERENCE, costs),
                "bound " + std::to_string(c.bound));
  }
}

TEST(Engines, ThreadCountsAndFailedHelpersChangeNothing) {
  Costs costs = random_costs(18, 0, 3, 4242);
  fast_engine_threads = 1;
  Cells alone = solve_with(ENGINE_FAST, costs);
  for (int threads : {2, 3, 5, 8}) {
    fast_engine_threads = threads;
    expect_same(solve_with(ENGINE_FAST, costs), alone, "threads " + std::to_string(threads));
  }
  fast_engine_threads = 4;
  thread_start_should_fail = [](int64_t helper) { return helper % 2 == 0; };
  expect_same(solve_with(ENGINE_FAST, costs), alone, "helpers failing");
  thread_start_should_fail = [](int64_t) { return true; };
  expect_same(solve_with(ENGINE_FAST, costs), alone, "all helpers failing");
  thread_start_should_fail = nullptr;
  fast_engine_threads = 0;
}

TEST(Engines, PublicInstancesAgree) {
  for (int i = 0; i < PUBLIC_INSTANCE_COUNT; ++i) {
    const PublicInstance& instance = PUBLIC_INSTANCES[i];
    if (instance.points > 17) continue;
    Costs costs = load_instance(public_instance_path(instance.file));
    expect_same(solve_with(ENGINE_FAST, costs), solve_with(ENGINE_REFERENCE, costs),
                instance.file);
  }
}

TEST(FastEngine, TableHoldsOnlyTheDefinedCellsSizeBySize) {
  // Five points: sizes 1, 2, 3 hold 4 x 3, 6 x 2 and 4 x 1 cells, each size starting a line.
  EXPECT_EQ(fast_table_bytes(5, 4), (16 + 16 + 16) * 4);
  EXPECT_EQ(fast_table_bytes(5, 8), (16 + 16 + 8) * 8);
  EXPECT_EQ(fast_table_bytes(2, 4), 0);
  // The defined cells, n x 2^(n-1) - n of 4 bytes (n = N - 1), and little more: under a
  // quarter of the reference's 9-byte cells.
  for (int64_t points = 10; points <= 40; ++points) {
    const int64_t n = points - 1;
    const double reference = 9.0 * ((int64_t{1} << n) - 1) * n;
    const double defined = 4.0 * (n * (int64_t{1} << (n - 1)) - n);
    const int64_t bytes = fast_table_bytes(points, 4);
    EXPECT_GE(bytes, defined);
    EXPECT_LT(bytes, defined * 1.01 + 64 * points);
    EXPECT_LT(bytes, reference * 0.25);
  }
  EXPECT_EQ(fast_table_bytes(80, 4), -1);
}

}  // namespace
