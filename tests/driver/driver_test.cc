#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>

#include "driver/keys.h"
#include "driver/print.h"

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
