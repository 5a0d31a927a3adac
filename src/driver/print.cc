#include "driver/print.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "input/reader.h"
#include "runtime/runtime.h"

int32_t format_integer(char* text, int64_t value) {
  char digits[20];
  int32_t count = 0;
  uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude);
  int32_t length = 0;
  text[length++] = value < 0 ? '-' : ' ';
  while (count > 0) text[length++] = digits[--count];
  text[length] = 0;
  return length;
}

int32_t format_double(char* text, double value) {
  int32_t length = 0;
  if (!std::signbit(value)) text[length++] = ' ';
  length += snprintf(text + length, 31, "%.16g", value);
  if (length > 0 && text[length - 1] == '.') text[--length] = 0;
  return length;
}

static void put(int32_t channel, const char* bytes, int64_t count) {
  if (channel == CONSOLE) {
    console_write(bytes, count);
  } else {
    write_bytes(channel, bytes, count);
  }
}

void print_text(int32_t channel, const char* text) { put(channel, text, strlen(text)); }

void print_integer(int32_t channel, int64_t value) {
  char text[24];
  put(channel, text, format_integer(text, value));
}

void print_double(int32_t channel, double value) {
  char text[40];
  put(channel, text, format_double(text, value));
}

void print_line_end(int32_t channel) { put(channel, "\r\n", 2); }

bool flush_console() { return console_flush(); }
