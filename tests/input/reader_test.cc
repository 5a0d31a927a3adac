#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "input/reader.h"
#include "runtime/runtime.h"

namespace {

std::string temp_path(const std::string& name) {
  const char* dir = getenv("TMPDIR");
  return std::string(dir ? dir : "/tmp") + "/tourplan_reader_" + std::to_string(getpid()) + "_" +
         name;
}

std::string write_temp(const std::string& name, const std::string& bytes) {
  std::string path = temp_path(name);
  FILE* file = fopen(path.c_str(), "wb");
  fwrite(bytes.data(), 1, bytes.size(), file);
  fclose(file);
  return path;
}

// Reads count numbers from the bytes as the driver does: open, bind before every read, close.
std::vector<int64_t> read_numbers(const std::string& bytes, int count) {
  std::string path = write_temp("numbers", bytes);
  int32_t number = free_file_number();
  EXPECT_EQ(open_for_input(path.c_str(), number), 0);
  std::vector<int64_t> values;
  for (int i = 0; i < count; ++i) {
    int64_t value = 12345;
    begin_input(number);
    EXPECT_EQ(read_number(&value), 0);
    values.push_back(value);
  }
  EXPECT_EQ(close_file(number), 0);
  unlink(path.c_str());
  return values;
}

int64_t value_of(const std::string& item_bytes) { return read_numbers(item_bytes, 1)[0]; }

const std::vector<int64_t> THREE_BY_THREE = {3, 0, 1, 2, 1, 0, 3, 2, 3, 0};

TEST(ProblemLayout, SameNumbersInEveryLayout) {
  const char* layouts[] = {
      "3\n0 1 2\n1 0 3\n2 3 0\n",
      "3\r\n0 1 2\r\n1 0 3\r\n2 3 0\r\n",
      "3\r0 1 2\r1 0 3\r2 3 0\r",
      "3 0 1 2 1 0 3 2 3 0",
      "3,0,1,2,1,0,3,2,3,0",
      "3, 0, 1, 2, 1, 0, 3, 2, 3, 0",
      "3 \t\n  0 1 2 \t\r\n\t1 0 3   \n2 3 0\t",
      "3\n0\n1\n2\n1\n0\n3\n2\n3\n0\n",
      "3\n0,1,2\n1,0,3\n2,3,0",
      "\"3\" \"0\" 1 2 1 0 3 2 3 0",
  };
  for (const char* layout : layouts) {
    EXPECT_EQ(read_numbers(layout, 10), THREE_BY_THREE) << "layout: " << layout;
  }
}

TEST(ProblemLayout, EmptyItemsShiftTheCells) {
  struct Case {
    const char* bytes;
    std::vector<int64_t> expected;
  } cases[] = {
      // An empty line after N makes cell (1, 1) zero and moves every value on.
      {"3\n\n0 1 2\n1 0 3\n2 3 0\n", {3, 0, 0, 1, 2, 1, 0, 3, 2, 3}},
      // An empty line before N makes N zero.
      {"\n3\n", {0, 3}},
      // A row ending with a comma adds an empty item; two commas enclose one.
      {"1,2,\n3", {1, 2, 0, 3}},
      {"1,,2", {1, 0, 2}},
      {"1, ,2", {1, 0, 2}},
      // A line holding only blanks after a line end is an empty item.
      {"1\n   \n2", {1, 0, 2}},
      // CR CR LF is one line end; CR LF LF is a line end and an empty item.
      {"1\r\r\n2", {1, 2}},
      {"1\r\n\n2", {1, 0, 2}},
      // A line end after a comma is an empty item.
      {"1,\n2", {1, 0, 2}},
      // Past the end every item reads as zero.
      {"5 6", {5, 6, 0, 0}},
      {"", {0, 0}},
      // Byte 26 ends the data.
      {"1 2\x1a 3 4", {1, 2, 0, 0}},
      {"1\r\x1a", {1, 0}},
      // A line end inside quotes still ends the item.
      {"\"12\n34\"", {12, 34}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(read_numbers(c.bytes, static_cast<int>(c.expected.size())), c.expected)
        << "bytes: " << c.bytes;
  }
}

TEST(ItemValue, IntegerAndFloatRules) {
  struct Case {
    const char* item;
    int64_t expected;
  } cases[] = {
      {"0", 0}, {"42", 42}, {"-42", -42}, {"+7", 7}, {"-", 0}, {"--7", 0}, {"1-2", 1},
      {"12abc", 12}, {"abc", 0}, {"0x1F", 0}, {"999999999", 999999999},
      {"-999999999", -999999999}, {"1234567890", 1234567890},
      // Halves go to the even neighbour.
      {"2.5", 2}, {"3.5", 4}, {"-2.5", -2}, {"0.5", 0}, {".5", 0}, {"7.", 7}, {"1.5E1", 15},
      {"1e3", 1000}, {"1d3", 1000}, {"1D3", 1000}, {"1e", 1}, {"1e+", 1}, {"2.5e0", 2},
      {"-0.4", 0}, {"1.e1", 10}, {"0x1.8", 0},
      // Radix forms: after & the letters d and e are digits.
      {"&H1F", 31}, {"&h1f", 31}, {"&O17", 15}, {"&17", 15}, {"&B101", 5}, {"&8", 0}, {"&", 0},
      {"&HFFFFFFFFFFFFFFFF", -1}, {"&H1E", 30}, {"&H1D", 29}, {"&H", 0}, {"&B2", 0},
      {"&H7FFFFFFFFFFFFFFF", INT64_MAX}, {"&H10000000000000001", 1},
      // 64-bit decimal edges.
      {"9223372036854775807", INT64_MAX}, {"9223372036854775808", INT64_MIN},
      {"18446744073709551615", -1}, {"18446744073709551616", -1},
      {"99999999999999999999999", -1}, {"-18446744073709551615", 1},
      {"-9223372036854775808", INT64_MIN},
      // Floats out of range, infinity and not-a-number.
      {"1e19", INT64_MIN}, {"1e400", INT64_MIN}, {"INF.", INT64_MIN}, {"-inf.", INT64_MIN},
      {"NaN.", INT64_MIN}, {"nan(x).", INT64_MIN}, {"1e-400", 0}, {"-9.2233720368547758e18", INT64_MIN},
      {"9007199254740993.", 9007199254740992},
      // Quoted items.
      {"\"42\"", 42}, {"\"1,5\"", 1}, {"\" 42 \"", 42}, {"\"\"", 0}, {"4\"2", 4},
      {"\" &H10\"", 16}, {"\" 2.5\"", 2},
  };
  for (const Case& c : cases) EXPECT_EQ(value_of(c.item), c.expected) << "item: " << c.item;
}

TEST(ItemReader, LongItemsAreCutAfter67Characters) {
  std::string seventy(70, '7');
  // The first 67 digits overflow; the last three form the next item.
  EXPECT_EQ(read_numbers(seventy, 2), (std::vector<int64_t>{-1, 777}));
  // An item of exactly 67 characters followed by a separator leaves no empty item.
  std::string sixty_seven(67, '0');
  EXPECT_EQ(read_numbers(sixty_seven + " 5", 2), (std::vector<int64_t>{0, 5}));
  EXPECT_EQ(read_numbers(sixty_seven + ",5", 2), (std::vector<int64_t>{0, 5}));
  EXPECT_EQ(read_numbers(std::string(67, '0') + "\r\n5", 2), (std::vector<int64_t>{0, 5}));
}

TEST(ItemReader, ByteOrderMarkMakesNZero) {
  EXPECT_EQ(read_numbers("\xEF\xBB\xBF" "3\n0 1 2", 2), (std::vector<int64_t>{0, 0}));
}

TEST(ItemReader, ItemTextAndFloatFlag) {
  struct Case {
    const char* bytes;
    const char* text;
    bool is_float;
  } cases[] = {
      {"1d3", "1e3", true}, {"&H1D", "&H1D", false}, {"\"a b\"", "a b", false},
      {"  12  ,", "12", false}, {"x\"y\"", "x\"y\"", false}, {"1.5", "1.5", true},
      {"\"1\"2", "12", false},
  };
  for (const Case& c : cases) {
    std::string path = write_temp("item", c.bytes);
    int32_t number = free_file_number();
    ASSERT_EQ(open_for_input(path.c_str(), number), 0);
    Item item;
    read_item(file_handle(number), MAX_ITEM_LENGTH, &item);
    EXPECT_STREQ(item.text, c.text) << c.bytes;
    EXPECT_EQ(item.length, static_cast<int32_t>(strlen(c.text)));
    EXPECT_EQ(item.is_float, c.is_float) << c.bytes;
    close_file(number);
    unlink(path.c_str());
  }
}

TEST(ByteSource, TextModeAndPushBack) {
  std::string path = write_temp("bytes", std::string("a\r\nb\rc\r\r\nd\0e\x1a" "f", 14));
  int32_t number = free_file_number();
  ASSERT_EQ(open_for_input(path.c_str(), number), 0);
  FileHandle* source = file_handle(number);
  EXPECT_EQ(source->size, 14);
  std::string seen;
  for (int byte; (byte = get_byte(source)) != END_OF_DATA;) seen.push_back(static_cast<char>(byte));
  EXPECT_EQ(seen, std::string("a\nb\rc\r\nd\0e", 10));
  // Pushed bytes come back first, in their order; more than four are refused whole.
  const unsigned char two[] = {'x', 'y'};
  const unsigned char three[] = {'1', '2', '3'};
  EXPECT_EQ(push_back(source, two, 2), 0);
  EXPECT_EQ(push_back(source, three, 3), 3);
  EXPECT_EQ(error_number(), 3);
  EXPECT_EQ(push_back(source, three, 2), 0);
  std::string again;
  for (int byte; (byte = get_byte(source)) != END_OF_DATA;) again.push_back(static_cast<char>(byte));
  EXPECT_EQ(again, "12xy");
  EXPECT_EQ(close_file(number), 0);
  unlink(path.c_str());
}

TEST(FileTable, NumbersOpensAndCloses) {
  EXPECT_EQ(free_file_number(), 1);
  std::string path = write_temp("table", "1");
  EXPECT_EQ(open_for_input(path.c_str(), 0), 1);
  EXPECT_EQ(open_for_input(path.c_str(), 256), 1);
  EXPECT_EQ(open_for_input(path.c_str(), 1), 0);
  EXPECT_EQ(free_file_number(), 2);
  EXPECT_EQ(open_for_input(path.c_str(), 1), 1);  // in use
  EXPECT_EQ(close_file(1), 0);
  EXPECT_EQ(close_file(1), 1);
  EXPECT_EQ(close_file(0), 1);
  EXPECT_EQ(close_file(300), 1);
  EXPECT_EQ(begin_input(1), 1);
  EXPECT_EQ(error_number(), 1);
  unlink(path.c_str());
}

TEST(FileTable, WhatCannotBeOpenedForInput) {
  std::string fifo = temp_path("fifo");
  mkfifo(fifo.c_str(), 0600);
  std::string unreadable = write_temp("unreadable", "1");
  chmod(unreadable.c_str(), 0);
  const bool root = geteuid() == 0;  // root reads any file
  struct Case {
    std::string name;
    int32_t code;
  } cases[] = {
      {temp_path("missing"), 2}, {"", 2}, {"/", 2}, {fifo, 2}, {"/dev/null", 2},
      {unreadable, root ? 0 : 2},
  };
  for (const Case& c : cases) {
    int32_t number = free_file_number();
    EXPECT_EQ(open_for_input(c.name.c_str(), number), c.code) << c.name;
    EXPECT_EQ(error_number(), c.code);
    if (c.code == 0) {
      close_file(number);
    } else {
      EXPECT_EQ(file_handle(number)->mode, FILE_FREE);
    }
  }
  unlink(fifo.c_str());
  unlink(unreadable.c_str());
}

TEST(FileTable, OutputIsWrittenRawAndFailuresReachTheClose) {
  std::string path = temp_path("output");
  int32_t number = free_file_number();
  ASSERT_EQ(open_for_output(path.c_str(), number), 0);
  std::string big(20000, 'z');
  EXPECT_EQ(write_bytes(number, "a\r\n", 3), 0);
  EXPECT_EQ(write_bytes(number, big.data(), static_cast<int64_t>(big.size())), 0);
  EXPECT_EQ(close_file(number), 0);
  FILE* file = fopen(path.c_str(), "rb");
  std::string back(30000, 0);
  back.resize(fread(back.data(), 1, back.size(), file));
  fclose(file);
  EXPECT_EQ(back, "a\r\n" + big);
  unlink(path.c_str());

  EXPECT_EQ(open_for_output((temp_path("no_such_dir") + "/x").c_str(), number), 2);
  EXPECT_EQ(write_bytes(number, "a", 1), 1);
  ASSERT_EQ(open_for_output("/dev/full", number), 0);
  EXPECT_EQ(write_bytes(number, "a", 1), 0);
  EXPECT_EQ(close_file(number), 3);
  EXPECT_EQ(file_handle(number)->mode, FILE_FREE);
}

TEST(FileTable, ExhaustedOnlyWhenEveryFurtherItemReadsZero) {
  struct Case {
    const char* bytes;
    int reads;
    bool exhausted;
  } cases[] = {
      {"1 2", 1, false},         // an item is still to come
      {"1 2", 2, true},          // the data ended with the last item
      {"1 2\r", 2, true},        // a lone CR at the very end is taken with the item
      {"1,", 1, false},          // the end is not seen yet: no verdict before it is
      {"1,", 2, true},
      {"1\x1a 2", 1, true},      // byte 26 ends the data for good
      {"12 ", 1, true},          // the trailing blanks were skipped with the item
      {"1 x", 1, false},         // a pushed-back byte begins the next item
  };
  for (const Case& c : cases) {
    std::string path = write_temp("exhausted", c.bytes);
    int32_t number = free_file_number();
    ASSERT_EQ(open_for_input(path.c_str(), number), 0);
    for (int i = 0; i < c.reads; ++i) {
      int64_t value;
      begin_input(number);
      read_number(&value);
    }
    EXPECT_EQ(input_exhausted(number), c.exhausted) << c.bytes << " after " << c.reads;
    close_file(number);
    EXPECT_FALSE(input_exhausted(number));
    unlink(path.c_str());
  }
}

TEST(FileTable, ReadingWithNothingBoundFindsTheEnd) {
  int64_t value = 9;
  EXPECT_EQ(read_number(&value), 0);
  EXPECT_EQ(value, 0);
}

}  // namespace
