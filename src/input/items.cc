// The item reader and the conversion of an item into a number.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "input/reader.h"
#include "runtime/runtime.h"

static bool is_blank(int byte) { return byte == ' ' || byte == '\t'; }

// The separator after an item: blanks, then one comma or one line end, or nothing; any other
// byte is pushed back to begin the next item.
static void finish_item(FileHandle* source, int in_hand) {
  while (is_blank(in_hand)) in_hand = get_byte(source);
  if (in_hand == '\n' || in_hand == ',' || in_hand == END_OF_DATA) return;
  if (in_hand == '\r') {
    int next = get_byte(source);
    if (next != '\n' && next != END_OF_DATA) {
      unsigned char byte = static_cast<unsigned char>(next);
      push_back(source, &byte, 1);
    }
    return;
  }
  unsigned char byte = static_cast<unsigned char>(in_hand);
  push_back(source, &byte, 1);
}

void read_item(FileHandle* source, int32_t max_length, Item* item) {
  item->is_float = false;
  item->length = 0;
  item->text[0] = 0;
  if (!source) return;
  int byte = get_byte(source);
  while (is_blank(byte)) byte = get_byte(source);
  if (byte == END_OF_DATA) return;

  bool in_quotes = false;
  bool radix = false;
  for (;;) {
    bool stored = true;
    char to_store = static_cast<char>(byte);
    switch (byte) {
      case '\n':
        item->text[item->length] = 0;
        return;
      case '\r': {
        int next = get_byte(source);
        if (next != '\n' && next != END_OF_DATA) {
          unsigned char pushed = static_cast<unsigned char>(next);
          push_back(source, &pushed, 1);
        }
        item->text[item->length] = 0;
        return;
      }
      case ',':
        if (!in_quotes) {
          item->text[item->length] = 0;
          return;
        }
        break;
      case ' ':
      case '\t':
        if (!in_quotes) {
          item->text[item->length] = 0;
          finish_item(source, byte);
          return;
        }
        break;
      case '"':
        if (in_quotes) {
          in_quotes = false;
          stored = false;
        } else if (item->length == 0) {
          in_quotes = true;
          stored = false;
        }
        break;
      case '&':
        radix = true;
        break;
      case 'd':
      case 'D':
        if (!radix) {
          to_store = byte == 'd' ? 'e' : 'E';
          item->is_float = true;
        }
        break;
      case '.':
      case 'e':
      case 'E':
        if (!radix) item->is_float = true;
        break;
      default:
        break;
    }
    if (stored) item->text[item->length++] = to_store;
    byte = get_byte(source);
    if (byte == END_OF_DATA || item->length >= max_length) {
      item->text[item->length] = 0;
      finish_item(source, byte);
      return;
    }
  }
}

static bool is_white_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

static int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

static int64_t radix_value(const char* text) {
  int base = 8;
  const char* digits = text + 1;
  switch (text[1]) {
    case 'H': case 'h': base = 16; digits = text + 2; break;
    case 'O': case 'o': base = 8; digits = text + 2; break;
    case 'B': case 'b': base = 2; digits = text + 2; break;
    default: break;
  }
  uint64_t value = 0;  // wraps modulo 2^64 by design
  for (; *digits && digit_value(*digits) < base; ++digits) {
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit_value(*digits));
  }
  return static_cast<int64_t>(value);
}

static int64_t decimal_value(const char* text, bool short_item) {
  while (is_white_space(*text)) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  if (short_item) {
    // At most nine digits: the exact value fits 32 bits.
    int32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) value = value * 10 + (*text - '0');
    return negative ? -static_cast<int64_t>(value) : value;
  }
  uint64_t magnitude = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    if (__builtin_mul_overflow(magnitude, 10u, &magnitude) ||
        __builtin_add_overflow(magnitude, static_cast<uint64_t>(*text - '0'), &magnitude)) {
      return -1;
    }
  }
  return static_cast<int64_t>(negative ? 0 - magnitude : magnitude);
}

static int64_t integer_value(const char* text, int32_t length) {
  while (*text == ' ') ++text;
  if (*text == 0) return 0;
  if (text[0] == '&' && text[1] != 0) return radix_value(text);
  return decimal_value(text, length <= SHORT_ITEM_LENGTH);
}

static bool starts_with_word(const char* text, const char* word) {
  for (; *word; ++text, ++word) {
    char c = *text;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != *word) return false;
  }
  return true;
}

constexpr int64_t OUT_OF_RANGE_VALUE = INT64_MIN;

static int64_t float_value(const char* text) {
  while (*text == ' ') ++text;
  if (*text == 0) return 0;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) return 0;
  while (is_white_space(*text)) ++text;
  // The longest decimal beginning: sign, digits with at most one full stop, exponent.
  char number[MAX_ITEM_LENGTH + 1];
  int length = 0;
  const char* scan = text;
  if (*scan == '+' || *scan == '-') number[length++] = *scan++;
  if (starts_with_word(scan, "INF") || starts_with_word(scan, "NAN")) return OUT_OF_RANGE_VALUE;
  int digits = 0;
  while (*scan >= '0' && *scan <= '9') number[length++] = *scan++, ++digits;
  if (*scan == '.') {
    number[length++] = *scan++;
    while (*scan >= '0' && *scan <= '9') number[length++] = *scan++, ++digits;
  }
  if (digits == 0) return 0;
  if (*scan == 'e' || *scan == 'E') {
    const char* exponent = scan + 1;
    if (*exponent == '+' || *exponent == '-') ++exponent;
    if (*exponent >= '0' && *exponent <= '9') {
      while (scan < exponent) number[length++] = *scan++;
      while (*scan >= '0' && *scan <= '9') number[length++] = *scan++;
    }
  }
  number[length] = 0;
  // Only decimal text reaches strtod, and the numeric locale is never changed from "C", so
  // the full stop is always the separator.
  double value = strtod(number, nullptr);
  double rounded = std::nearbyint(value);  // the default rounding: halves to even
  if (!(rounded >= -9223372036854775808.0 && rounded < 9223372036854775808.0)) {
    return OUT_OF_RANGE_VALUE;
  }
  return static_cast<int64_t>(rounded);
}

int64_t item_value(const Item* item) {
  if (item->is_float) return float_value(item->text);
  return integer_value(item->text, item->length);
}

// The file bound by begin_input on this thread, or 0.
static thread_local int32_t bound_file_number = 0;

int32_t begin_input(int32_t number) {
  lock_global();
  FileHandle* slot = file_handle(number);
  int32_t code = 1;
  if (slot && slot->mode != FILE_FREE) {
    bound_file_number = number;
    code = 0;
  }
  unlock_global();
  return set_error_number(code);
}

int32_t read_number(int64_t* value) {
  lock_global();
  FileHandle* source = file_handle(bound_file_number);
  if (source && source->mode != FILE_INPUT) source = nullptr;
  Item item;
  read_item(source, MAX_ITEM_LENGTH, &item);
  unlock_global();
  *value = item_value(&item);
  return set_error_number(0);
}
