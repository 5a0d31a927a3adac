#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <string>

#include "driver/driver.h"
#include "driver/keys.h"
#include "driver/print.h"
#include "runtime/runtime.h"
#include "support/faults.h"

namespace {

TEST(Printing, IntegersHaveASignPlace) {
  struct Case {
    int64_t value;
    const char* text;
  } cases[] = {
      {0, " 0"}, {5, " 5"}, {-5, "-5"}, {1234567890123, " 1234567890123"},
      {INT64_MAX, " 9223372036854775807"}, {INT64_MIN, "-9223372036854775808"},
  };
  for (const Case& c : cases) {
    char text[24];
    EXPECT_EQ(format_integer(text, c.value), static_cast<int32_t>(strlen(c.text)));
    EXPECT_STREQ(text, c.text);
  }
}

TEST(Printing, DoublesInTheShortestForm) {
  struct Case {
    double value;
    const char* text;
  } cases[] = {
      {0.5, " 0.5"}, {0.0, " 0"}, {-2.25, "-2.25"}, {100.0, " 100"}, {1.5e-5, " 1.5e-05"},
      {1e16, " 1e+16"}, {0.1 + 0.2, " 0.3"}, {1.0 / 3, " 0.3333333333333333"},
      {123456789.125, " 123456789.125"},
  };
  for (const Case& c : cases) {
    char text[40];
    format_double(text, c.value);
    EXPECT_STREQ(text, c.text) << c.value;
  }
}

double milliseconds_of(void (*action)(int32_t), int32_t ms) {
  auto start = std::chrono::steady_clock::now();
  action(ms);
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// Standard input is not a terminal under the test runner, so no key ever arrives here.
TEST(Pause, LastsItsTimeWithoutAKey) {
  EXPECT_LT(milliseconds_of(pause_or_key, -2), 20);
  EXPECT_GE(milliseconds_of(pause_or_key, 0), 0);
  EXPECT_GE(milliseconds_of(pause_or_key, 99), 99);
  EXPECT_GE(milliseconds_of(pause_or_key, 100), 100);
  EXPECT_GE(milliseconds_of(pause_or_key, 175), 175);
}

TEST(Pause, AWaitingKeyEndsItAtTheFirstCheck) {
  append_key_code('x');
  EXPECT_LT(milliseconds_of(pause_or_key, 5000), 40);
  // The check took the key: the next pause lasts.
  EXPECT_GE(milliseconds_of(pause_or_key, 150), 150);
  // Without a check, a key does not shorten a pause under 100 ms.
  append_key_code('y');
  EXPECT_GE(milliseconds_of(pause_or_key, 80), 80);
  EXPECT_EQ(key_hit(), 1);
  append_key_code(CLOSE_KEY_CODE);
  EXPECT_LT(milliseconds_of(pause_or_key, -1), 40);
}

TEST(Keys, TheQueueDropsItsOldestAndKeepsTheFlag) {
  EXPECT_EQ(key_hit(), 0);
  for (int i = 0; i < 3 * KEY_QUEUE_SIZE; ++i) append_key_code(i);
  EXPECT_EQ(key_hit(), 1);
  EXPECT_EQ(key_hit(), 0);
}

}  // namespace

namespace {

// A death test's child re-runs the test from the start, so the scratch names it computes must
// be the parent's: they travel in the environment, which the child inherits.
std::string scratch_file(const std::string& name) {
  if (!getenv("TOURPLAN_TEST_SCRATCH")) {
    setenv("TOURPLAN_TEST_SCRATCH", ("/tmp/tourplan_driver_" + std::to_string(getpid())).c_str(),
           1);
  }
  return std::string(getenv("TOURPLAN_TEST_SCRATCH")) + "_" + name;
}

std::string file_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The failure that the distance matrix's creation brings about in the driver's run (five
// points: 25 cells of 8 bytes).
void (*failure_at_matrix)();

bool fail_at_matrix(int64_t cell_count, int64_t cell_bytes) {
  if (cell_count != 25 || cell_bytes != 8) return false;
  append_key_code('k');  // the report's pause ends at its first check
  failure_at_matrix();
  return false;
}

// Runs the whole driver on a five-point problem with stdout going to a file.
[[noreturn]] void run_driver_on_five_points(const std::string& problem,
                                            const std::string& console) {
  if (!freopen(console.c_str(), "wb", stdout)) _exit(99);
  runtime_start();
  install_signal_handlers();
  table_creation_should_fail = fail_at_matrix;
  std::string solution = problem + ".out";
  char* argv[] = {const_cast<char*>("tourplan"), const_cast<char*>(problem.c_str()),
                  const_cast<char*>(solution.c_str()), nullptr};
  run_driver(3, argv);
}

using ReportDeathTest = testing::Test;

TEST_F(ReportDeathTest, FaultsAndSignalsOnTheMainThreadEndInTheErrorReport) {
  struct Case {
    const char* name;
    void (*cause)();
    int status;
    const char* after_points;
  } cases[] = {
      {"segmentation fault", cause_segmentation_fault, 12, ""},
      {"bus error", cause_bus_error, 12, ""},
      {"divide error", cause_divide_error, 11, ""},
      {"illegal instruction", cause_illegal_instruction, 10, ""},
      {"abort", cause_abort, 14, ""},
      // A termination request is raised at the next safe point: after the first row read.
      {"termination request",
       [] {
         kill(getpid(), SIGTERM);
         while (pending_signal_error() == 0) usleep(1000);
       },
       13, ""},
  };
  const std::string problem = scratch_file("five.dat");
  const std::string console = scratch_file("console.txt");
  {
    std::ofstream out(problem, std::ios::binary);
    out << "5\r\n0 1 2 3 4\r\n1 0 1 2 3\r\n2 1 0 1 2\r\n3 2 1 0 1\r\n4 3 2 1 0\r\n";
  }
  for (const Case& c : cases) {
    failure_at_matrix = c.cause;
    EXPECT_EXIT(run_driver_on_five_points(problem, console), testing::ExitedWithCode(c.status),
                testing::StrEq(""))
        << c.name;
    EXPECT_EQ(file_text(console), "Input file: " + problem + "\r\nOutput file: " + problem +
                                      ".out\r\nPoints: 5\r\n" + c.after_points + "Error: " +
                                      std::to_string(c.status) + "\r\n")
        << c.name;
  }
  unlink(problem.c_str());
  unlink(console.c_str());
}

}  // namespace
