#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "solver/reference_engine.h"
#include "solver/solver.h"
#include "support/problems.h"

namespace {

struct Tables {
  std::vector<int64_t> cost;
  std::vector<int8_t> next;
  std::vector<int64_t> tour;
};

Tables captured;

void capture_tables(int64_t) {
  const int64_t* cost = static_cast<const int64_t*>(CostTable.cells);
  const int8_t* next = static_cast<const int8_t*>(NextTable.cells);
  captured.cost.assign(cost, cost + CostTable.bytes / 8);
  captured.next.assign(next, next + NextTable.bytes);
}

// The per-end-point phases belong to the reference engine.
class SizePhaseTest : public testing::Test {
 protected:
  void SetUp() override { solver_engine = ENGINE_REFERENCE; }
  void TearDown() override { solver_engine = ENGINE_AUTOMATIC; }
};
using SizePhaseDeathTest = SizePhaseTest;

Tables solve_capturing(const Costs& costs, bool parallel) {
  run_phases_in_parallel = parallel;
  inspect_solver_tables = capture_tables;
  captured = {};
  std::vector<int64_t> tour = solve(costs);
  inspect_solver_tables = nullptr;
  run_phases_in_parallel = true;
  Tables tables = captured;
  tables.tour = tour;
  return tables;
}

void expect_same_tables(const Tables& parallel, const Tables& sequential, const char* what) {
  EXPECT_EQ(parallel.tour, sequential.tour) << what;
  EXPECT_TRUE(parallel.cost == sequential.cost) << what;
  EXPECT_TRUE(parallel.next == sequential.next) << what;
}

TEST_F(SizePhaseTest, ParallelFillsTheSameTablesAsSequential) {
  uint64_t seed = 100;
  for (int n = 3; n <= 16; ++n) {
    for (int64_t high : {2, 50, 1000000}) {
      Costs costs = random_costs(n, -high / 2, high, seed++);
      Tables sequential = solve_capturing(costs, false);
      Tables parallel = solve_capturing(costs, true);
      ASSERT_FALSE(sequential.cost.empty());
      expect_same_tables(parallel, sequential, ("n = " + std::to_string(n)).c_str());
    }
  }
}

std::atomic<int> start_attempts;

TEST_F(SizePhaseTest, ThreadsPerPhase) {
  thread_start_should_fail = [](int64_t) {
    ++start_attempts;
    return false;
  };
  const int expected[] = {0, 0, 0, 0, 3, 4 * 2, 5 * 3};  // (N - 1) workers in N - 3 phases
  for (int n = 2; n <= 6; ++n) {
    start_attempts = 0;
    solve(random_costs(n, 0, 9, n));
    EXPECT_EQ(start_attempts.load(), expected[n]) << "n = " << n;
  }
  thread_start_should_fail = nullptr;
}

TEST_F(SizePhaseTest, WorkersThatCannotStartAreRunOnTheCallingThread) {
  const std::vector<bool (*)(int64_t)> failures = {
      [](int64_t a) { return a % 2 == 0; },
      [](int64_t) { return true; },
      [](int64_t a) { return a == 3; },
  };
  for (int n : {5, 9, 12}) {
    Costs costs = random_costs(n, 0, 3, 7 * n);
    Tables sequential = solve_capturing(costs, false);
    for (auto failure : failures) {
      thread_start_should_fail = failure;
      Tables parallel = solve_capturing(costs, true);
      thread_start_should_fail = nullptr;
      expect_same_tables(parallel, sequential, ("n = " + std::to_string(n)).c_str());
    }
  }
}

pthread_t main_thread;

// On a worker, fails the creation of tables with this many cells.
std::atomic<int64_t> failing_cell_count;

bool fail_on_worker(int64_t cell_count, int64_t) {
  return !pthread_equal(pthread_self(), main_thread) && cell_count == failing_cell_count;
}

TEST_F(SizePhaseDeathTest, AWorkerWithoutStorageAbortsWithItsLine) {
  struct Case {
    int64_t cell_count;
    const char* message;
  } cases[] = {
      // Seven points: the candidate list has 6 cells, the combination of size 3 has 3.
      {6, "\nAborting due to runtime error 4 (out of memory) at line 79 of tourplan()\n\n"},
      {3, "\nAborting due to runtime error 4 (out of memory) at line 88 of tourplan()\n\n"},
  };
  for (const Case& c : cases) {
    failing_cell_count = c.cell_count;
    EXPECT_EXIT(
        {
          runtime_start();
          install_signal_handlers();
          main_thread = pthread_self();
          table_creation_should_fail = fail_on_worker;
          solve(random_costs(7, 0, 9, 1));
        },
        testing::ExitedWithCode(4), testing::StrEq(c.message));
  }
}

TEST_F(SizePhaseDeathTest, AThreadTableWithoutStorageIsRaisedOnTheMainThread) {
  EXPECT_EXIT(
      {
        // Five points: the thread table holds slots 2..5.
        table_creation_should_fail = [](int64_t count, int64_t bytes) {
          return count == 4 && bytes == 16;
        };
        solve(random_costs(5, 0, 9, 1));
      },
      testing::ExitedWithCode(4),
      testing::StrEq(
          "\nAborting due to runtime error 4 (out of memory) at line 138 of tourplan()\n\n"));
}

}  // namespace
