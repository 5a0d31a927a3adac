#include "solver/solve_problem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "solver/solver.h"
#include "support/problems.h"

namespace {

std::vector<int64_t> flat(const Costs& costs) {
  std::vector<int64_t> cells;
  for (const auto& row : costs) cells.insert(cells.end(), row.begin(), row.end());
  return cells;
}

Costs symmetric_costs(int n, uint64_t seed) {
  Costs costs = random_costs(n, 1, 1000, seed);
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < r; ++c) costs[r][c] = costs[c][r];
  }
  return costs;
}

// Each engine, by the program's choice or named, on a problem it takes.
struct Case {
  SolverEngine engine;
  Costs costs;
};

std::vector<Case> cases() {
  return {{ENGINE_AUTOMATIC, random_costs(2, 1, 9, 5)},
          {ENGINE_AUTOMATIC, random_costs(3, 1, 9, 6)},
          {ENGINE_AUTOMATIC, random_costs(13, 1, 1000, 7)},
          {ENGINE_TWO_LAYER, random_costs(14, 1, 50, 8)},
          {ENGINE_REFERENCE, random_costs(10, 1, 1000, 9)},
          {ENGINE_AUTOMATIC, symmetric_costs(34, 10)},           // bounded
          {ENGINE_AUTOMATIC, random_costs(40, -500, 500, 11)}};  // branch and cut
}

// A progress function that sets the interrupt flag once the solve reaches a step, or a phase
// when one is named; it keeps the phases it saw.
struct StopAt {
  explicit StopAt(int64_t at_step, const char* at_phase = nullptr)
      : step(at_step), phase(at_phase) {}
  int64_t step;
  const char* phase;
  std::atomic<bool> flag{false};
  int64_t reports = 0;
  std::set<std::string> phases;
};

void stop_at_step(const SolveProgress& progress, void* context) {
  StopAt* stop = static_cast<StopAt*>(context);
  ++stop->reports;
  stop->phases.insert(progress.phase);
  if (stop->phase ? strcmp(progress.phase, stop->phase) == 0 : progress.step >= stop->step) {
    stop->flag.store(true);
  }
}

// Every point once from point 1 back to it, at the cost given.
void expect_sound_tour(const SolveResult& result, const Costs& costs) {
  std::vector<int64_t> points(result.tour.begin() + 1, result.tour.end());
  std::sort(points.begin(), points.end());
  std::vector<int64_t> every(costs.size());
  std::iota(every.begin(), every.end(), 1);
  EXPECT_EQ(points, every);
  ASSERT_FALSE(result.tour.empty());
  EXPECT_EQ(result.tour.front(), 1);
  EXPECT_EQ(result.cost, tour_cost(costs, result.tour));
}

TEST(SolveProblem, EveryEngineGivesTheProgramsTourAndPrintsNothing) {
  for (const Case& c : cases()) {
    solver_engine = c.engine;
    const std::vector<int64_t> expected = solve(c.costs);
    const std::vector<int64_t> cells = flat(c.costs);
    testing::internal::CaptureStdout();
    const SolveResult result = solve_problem(c.costs.size(), cells.data(), SolveOptions{});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(result.status, SOLVE_DONE);
    EXPECT_EQ(result.tour, expected) << c.costs.size() << " points";
    EXPECT_EQ(result.cost, tour_cost(c.costs, expected));
    EXPECT_EQ(result.lower_bound, result.cost);
    EXPECT_TRUE(result.proven);
  }
  solver_engine = ENGINE_AUTOMATIC;
}

TEST(SolveProblem, EachEngineStopsWithASoundTourAndBoundAndTheNextSolveIsWhole) {
  for (const Case& c : cases()) {
    const std::vector<int64_t> cells = flat(c.costs);
    const int64_t n = c.costs.size();
    solver_engine = c.engine;
    StopAt watch(INT64_MAX);
    SolveOptions watched;
    watched.progress = stop_at_step;
    watched.context = &watch;
    const SolveResult whole = solve_problem(n, cells.data(), watched);
    // Stopped before anything (the flag set, or the time limit past), at step 3, and as each
    // phase of the search begins (its tables, its relaxation, its good tour, its rounds).
    const struct {
      int64_t step;
      double time_limit;
      const char* phase;
    } stops[] = {{0, 0, nullptr},           {3, 0, nullptr},         {INT64_MAX, 1e-9, nullptr},
                 {0, 0, "relaxation"},      {0, 0, "good tour"},     {0, 0, "search"},
                 {0, 0, "bounds"}};
    for (const auto& at : stops) {
      if (at.time_limit == 0 && at.step >= n - 1) continue;  // nothing left to stop there
      if (at.phase && !watch.phases.count(at.phase)) continue;
      StopAt stop(at.step, at.phase);
      SolveOptions options;
      options.interrupt = &stop.flag;
      options.progress = stop_at_step;
      options.context = &stop;
      options.time_limit = at.time_limit;
      if (at.step == 0) stop.flag.store(true);
      const SolveResult result = solve_problem(n, cells.data(), options);
      SCOPED_TRACE(std::to_string(n) + " points, stopped at " +
                   (at.phase ? at.phase : std::to_string(at.step)));
      EXPECT_EQ(result.status, at.time_limit > 0 ? SOLVE_TIME_LIMIT : SOLVE_INTERRUPTED);
      EXPECT_GT(stop.reports, 0);
      expect_sound_tour(result, c.costs);
      EXPECT_LE(result.lower_bound, whole.cost);
      EXPECT_EQ(result.proven, result.lower_bound == result.cost);
      const SolveResult again = solve_problem(n, cells.data(), SolveOptions{});
      EXPECT_EQ(again.status, SOLVE_DONE);
      EXPECT_EQ(again.tour, whole.tour);
    }
  }
  solver_engine = ENGINE_AUTOMATIC;
}

TEST(SolveProblem, FailuresAreReturnedAndLeaveNothingBehind) {
  const Costs costs = random_costs(20, 1, 1000, 12);
  const std::vector<int64_t> cells = flat(costs);
  const int64_t before = live_table_bytes();
  // The engine's table cannot be had: error 4, raised deep in the solver, comes back here.
  table_creation_should_fail = [](int64_t count, int64_t bytes) { return count * bytes > 4096; };
  const SolveResult failed = solve_problem(20, cells.data(), SolveOptions{});
  table_creation_should_fail = nullptr;
  EXPECT_EQ(failed.status, SOLVE_OUT_OF_MEMORY);
  EXPECT_EQ(failed.error_number, 4);
  EXPECT_TRUE(failed.tour.empty());
  EXPECT_EQ(live_table_bytes(), before);
  const SolveResult one_point = solve_problem(1, cells.data(), SolveOptions{});
  EXPECT_EQ(one_point.status, SOLVE_ERROR);
  EXPECT_EQ(one_point.error_number, 1);
  const SolveResult solved = solve_problem(20, cells.data(), SolveOptions{});
  EXPECT_EQ(solved.status, SOLVE_DONE);
  EXPECT_EQ(solved.tour, solve(costs));
}

}  // namespace
