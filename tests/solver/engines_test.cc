// The engines against one another, cell for cell and tour for tour.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "solver/full_table_engine.h"
#include "solver/reference_engine.h"
#include "solver/row_kernels.h"
#include "solver/solver.h"
#include "solver/two_layer_engine.h"
#include "support/problems.h"

namespace {

struct Cells {
  std::map<int64_t, std::vector<PathCost>> cost;  // by subset size: the engine's sizes held
  std::vector<int64_t> next;
  std::vector<int64_t> tour;
  int64_t cut = 0;  // the two-layer engine's, for the whole problem
};

// Which choices to read: all of them up to this many points, every 97th beyond.
constexpr int ALL_CHOICES_UP_TO = 12;
Cells captured;

// Every cell the algorithm defines in the sizes the engine holds: cost(S, a) for a not in S,
// and (but for the two-layer engine, whose choices may solve again) next(S, a).
void capture_defined_cells(int64_t n) {
  const int64_t points = n - 1;
  if (solver_engine_in_use() == ENGINE_BOUNDED) return;  // its tours are compared alone
  const bool two_layer = solver_engine_in_use() == ENGINE_TWO_LAYER;
  if (two_layer) captured.cut = two_layer_cut();
  int64_t counter = 0;
  for (int64_t k = 1; k < points; ++k) {
    if (two_layer && !two_layer_holds_size(k)) continue;
    std::vector<PathCost>& layer = captured.cost[k];
    // The subsets of size k in increasing order (the next mask with as many bits).
    for (uint64_t subset = (uint64_t{1} << k) - 1; subset < (uint64_t{1} << points);) {
      for (int64_t a = 2; a <= n; ++a) {
        if (subset >> (a - 2) & 1) continue;
        layer.push_back(solver_cost(subset, a));
        if (!two_layer && (n <= ALL_CHOICES_UP_TO || counter++ % 97 == 0)) {
          captured.next.push_back(solver_next(subset, a));
        }
      }
      const uint64_t low = subset & (0 - subset);
      const uint64_t ripple = subset + low;
      subset = ripple | (((subset ^ ripple) >> 2) / low);
    }
  }
}

Cells solve_with(SolverEngine engine, const Costs& costs) {
  solver_engine = engine;
  captured = {};
  inspect_solver_tables = capture_defined_cells;
  std::vector<int64_t> tour = solve(costs);
  inspect_solver_tables = nullptr;
  solver_engine = ENGINE_AUTOMATIC;
  Cells cells = captured;
  cells.tour = tour;
  return cells;
}

// The sizes both engines hold must agree; the second must hold every size the first does.
void expect_same(const Cells& engine, const Cells& reference, const std::string& what) {
  EXPECT_EQ(engine.tour, reference.tour) << what;
  for (const auto& [k, cells] : engine.cost) {
    auto other = reference.cost.find(k);
    ASSERT_NE(other, reference.cost.end()) << what << ", size " << k;
    EXPECT_TRUE(cells == other->second) << what << ", size " << k;
  }
  if (!engine.next.empty()) {
    EXPECT_TRUE(engine.next == reference.next) << what;
  }
}

// Both row stores: the compressing one (where the processor has it) and the portable one.
class EnginesByRowStore : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override { row_kernels_may_compress = GetParam(); }
  void TearDown() override { row_kernels_may_compress = true; }
};
INSTANTIATE_TEST_SUITE_P(RowStores, EnginesByRowStore, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "Compressing" : "Portable";
                         });

struct Range {
  int64_t low, high;
};
const Range RANGES[] = {
    {0, 2},                                   // heavy ties, 2-byte cells
    {-5, 5},                                  // negative costs
    {0, 1000000},                             // 4-byte cells
    {-(int64_t{1} << 58), int64_t{1} << 58},  // 8-byte cells
    {INT64_MIN, INT64_MAX},                   // 16-byte cells
};

TEST_P(EnginesByRowStore, SameCellsAndToursOnRandomProblems) {
  uint64_t seed = 500;
  for (int n = 3; n <= 18; ++n) {
    for (const Range& range : RANGES) {
      Costs costs = random_costs(n, range.low, range.high, seed++);
      const std::string what = "n = " + std::to_string(n) + ", seed " + std::to_string(seed - 1);
      const Cells full = solve_with(ENGINE_FULL_TABLE, costs);
      if (range.high < INT64_MAX) expect_same(full, solve_with(ENGINE_REFERENCE, costs), what);
      expect_same(solve_with(ENGINE_TWO_LAYER, costs), full, what);
      EXPECT_EQ(solve_with(ENGINE_BOUNDED, costs).tour, full.tour) << what;
      EXPECT_EQ(solve_with(ENGINE_BRANCH_AND_CUT, costs).tour, full.tour) << what;
    }
  }
}

TEST_P(EnginesByRowStore, TwoLayersSolvingAgainAtEveryChance) {
  // Nothing kept above the buffers: the tour is read back through a new solve every two
  // points, each restricted to the points left, down to two points.
  two_layer_keeps_no_sizes = true;
  uint64_t seed = 900;
  for (int n = 3; n <= 20; ++n) {
    for (const Range& range : RANGES) {
      if (n > 16 && range.high > 1000000) continue;  // the widths are covered below that
      Costs costs = random_costs(n, range.low, range.high, seed++);
      const std::string what = "n = " + std::to_string(n) + ", seed " + std::to_string(seed - 1);
      const Cells two = solve_with(ENGINE_TWO_LAYER, costs);
      EXPECT_EQ(two.cut, n - 1) << what;
      expect_same(two, solve_with(ENGINE_FULL_TABLE, costs), what);
    }
  }
  two_layer_keeps_no_sizes = false;
}

TEST_P(EnginesByRowStore, EveryCellWidthAtItsEdges) {
  // Row maxima summing to INT16_MAX - 1 still fit 2-byte cells, INT32_MAX - 1 4-byte cells,
  // INT64_MAX - 1 8-byte cells; one more needs the next width.
  struct Case {
    uint64_t bound;
    int64_t cell_bytes;
  } cases[] = {
      {INT16_MAX - 1, 2}, {INT16_MAX, 4},          {uint64_t{INT32_MAX} - 1, 4},
      {INT32_MAX, 8},     {uint64_t{INT64_MAX} - 1, 8}, {uint64_t{INT64_MAX}, 16},
  };
  for (const Case& c : cases) {
    const int n = 9;
    Costs costs = random_costs(n, -3, 3, 77 + c.bound);
    const int64_t each = static_cast<int64_t>(c.bound / n);
    for (int r = 0; r < n; ++r) costs[r][(r + 1) % n] = each;
    costs[0][1] += static_cast<int64_t>(c.bound - static_cast<uint64_t>(each) * n);
    DistanceMatrix matrix = make_matrix(costs);
    EXPECT_TRUE(path_cost_bound(&matrix) == c.bound);
    EXPECT_EQ(cell_bytes_for(&matrix), c.cell_bytes) << "bound " << c.bound;
    release_matrix(&matrix);
    const std::string what = "bound " + std::to_string(c.bound);
    const Cells full = solve_with(ENGINE_FULL_TABLE, costs);
    if (c.cell_bytes <= 8) expect_same(full, solve_with(ENGINE_REFERENCE, costs), what);
    expect_same(solve_with(ENGINE_TWO_LAYER, costs), full, what);
  }
}

TEST(Engines, ThreadCountsAndFailedHelpersChangeNothing) {
  Costs costs = random_costs(18, 0, 3, 4242);
  row_kernel_threads = 1;
  for (SolverEngine engine : {ENGINE_FULL_TABLE, ENGINE_TWO_LAYER}) {
    Cells alone = solve_with(engine, costs);
    for (int threads : {2, 3, 5, 8}) {
      row_kernel_threads = threads;
      expect_same(solve_with(engine, costs), alone, "threads " + std::to_string(threads));
    }
    row_kernel_threads = 4;
    thread_start_should_fail = [](int64_t helper) { return helper % 2 == 0; };
    expect_same(solve_with(engine, costs), alone, "helpers failing");
    thread_start_should_fail = [](int64_t) { return true; };
    expect_same(solve_with(engine, costs), alone, "all helpers failing");
    thread_start_should_fail = nullptr;
    row_kernel_threads = 1;
  }
  row_kernel_threads = 0;
}

TEST(Engines, PublicInstancesAgree) {
  two_layer_keeps_no_sizes = true;
  for (int i = 0; i < PUBLIC_INSTANCE_COUNT; ++i) {
    const PublicInstance& instance = PUBLIC_INSTANCES[i];
    if (instance.points > 17) continue;
    Costs costs = load_instance(public_instance_path(instance.file));
    const Cells full = solve_with(ENGINE_FULL_TABLE, costs);
    expect_same(full, solve_with(ENGINE_REFERENCE, costs), instance.file);
    expect_same(solve_with(ENGINE_TWO_LAYER, costs), full, instance.file);
  }
  two_layer_keeps_no_sizes = false;
}

TEST(Engines, TheProgramPicksTheFullTableWhileSmallAndTheBoundsBeyond28Points) {
  auto symmetric = [](Costs costs) {
    for (size_t r = 0; r < costs.size(); ++r) {
      for (size_t c = 0; c < r; ++c) costs[r][c] = costs[c][r];
    }
    return costs;
  };
  struct Case {
    int n;
    bool symmetric;
    SolverEngine expected;
  } cases[] = {{3, false, ENGINE_FULL_TABLE},       {18, false, ENGINE_FULL_TABLE},
               {24, false, ENGINE_TWO_LAYER},       {29, true, ENGINE_BOUNDED},
               {40, true, ENGINE_BOUNDED},          {29, false, ENGINE_BRANCH_AND_CUT},
               {40, false, ENGINE_BRANCH_AND_CUT}, {66, true, ENGINE_BRANCH_AND_CUT}};
  for (const Case& c : cases) {
    Costs costs = random_costs(c.n, 0, 9, c.n);
    solve(c.symmetric ? symmetric(costs) : costs);
    EXPECT_EQ(solver_engine_in_use(), c.expected) << "n = " << c.n;
  }
}

TEST(EnginesDeathTest, TwoLayersRefuseAProblemTheyCannotHoldBeforeAnyCell) {
  // 33 points with 2-byte cells need about 38 GB in two layers.
  if (two_layer_bytes(33, 2) <= process_memory_limit()) GTEST_SKIP() << "a machine this large";
  solver_engine = ENGINE_TWO_LAYER;
  EXPECT_EXIT(solve(random_costs(33, 0, 9, 33)), testing::ExitedWithCode(4),
              testing::StrEq("\nAborting due to runtime error 4 (out of memory) at line 120 of "
                             "tourplan()\n\n"));
  solver_engine = ENGINE_AUTOMATIC;
}

TEST(FastEngines, TablesHoldOnlyTheDefinedCells) {
  // Five points: sizes 1, 2, 3 hold 4 x 3, 6 x 2 and 4 x 1 cells, each size starting a line.
  EXPECT_EQ(full_table_bytes(5, 4), (16 + 16 + 16) * 4);
  EXPECT_EQ(full_table_bytes(5, 8), (16 + 16 + 8) * 8);
  EXPECT_EQ(full_table_bytes(2, 4), 0);
  // The two layers: the largest even size and the largest odd one.
  EXPECT_EQ(two_layer_bytes(5, 4), (16 + 16) * 4);
  // The defined cells, n x 2^(n-1) - n of 4 bytes (n = N - 1), and little more: under a
  // quarter of the reference's 9-byte cells. Two layers hold about 1.6 / sqrt(n) of them.
  for (int64_t points = 10; points <= 40; ++points) {
    const int64_t n = points - 1;
    const double reference = 9.0 * ((int64_t{1} << n) - 1) * n;
    const double defined = 4.0 * (n * (int64_t{1} << (n - 1)) - n);
    const int64_t bytes = full_table_bytes(points, 4);
    EXPECT_GE(bytes, defined);
    EXPECT_LT(bytes, defined * 1.01 + 64 * points);
    EXPECT_LT(bytes, reference * 0.25);
    EXPECT_LT(two_layer_bytes(points, 4), bytes * 1.7 / std::sqrt(n) + 128);
  }
  // 32 points with 2-byte cells: the two largest sizes, under 20 GiB.
  EXPECT_LT(two_layer_bytes(32, 2), int64_t{20} << 30);
  EXPECT_EQ(full_table_bytes(80, 4), -1);
  EXPECT_EQ(two_layer_bytes(80, 4), -1);
}

}  // namespace
