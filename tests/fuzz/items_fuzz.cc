// The item reader and the number conversion on arbitrary bytes.
//
// Every input is read item by item through the real file table and compared with a model of
// the reading rules that works on positions in the bytes instead of a byte source with push
// back: same texts, same float flags, and the reader has used up exactly the bytes the model
// says after every item. Then invariants that need no model: lengths, the float flag against
// the text, values against independent conversions, the same results when the bytes are read
// again, when each item's text is read alone, and when the bytes are cut at an item boundary,
// and nothing but empty items past the end.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/scratch.h"
#include "input/reader.h"
#include "runtime/runtime.h"

namespace {

[[noreturn]] void fail(const char* what, size_t item) {
  fprintf(stderr, "fuzz_items: %s (item %zu)\n", what, item);
  abort();
}

void check(bool holds, const char* what, size_t item = 0) {
  if (!holds) fail(what, item);
}

// ---- The model -------------------------------------------------------------------------

struct Token {
  int byte;      // END_OF_DATA at the end
  size_t start;  // where it begins in the bytes
  size_t end;    // where the bytes after it begin, once it is used up
};

struct Bytes {
  const uint8_t* data;
  size_t size;
  size_t data_end;  // the first byte 26, or size
};

// The text-mode byte at p: CR LF is one LF. Byte 26 ends the data, and meeting it uses it up.
Token token_at(const Bytes& bytes, size_t p) {
  if (p >= bytes.data_end) {
    return {END_OF_DATA, p, p == bytes.data_end && p < bytes.size ? p + 1 : p};
  }
  if (bytes.data[p] == '\r' && p + 1 < bytes.data_end && bytes.data[p + 1] == '\n') {
    return {'\n', p, p + 2};
  }
  return {bytes.data[p], p, p + 1};
}

bool blank(int byte) { return byte == ' ' || byte == '\t'; }

// A lone CR ends a line, together with a line end right after it.
size_t after_lone_cr(const Bytes& bytes, const Token& cr) {
  Token next = token_at(bytes, cr.end);
  return next.byte == '\n' || next.byte == END_OF_DATA ? next.end : cr.end;
}

// Where the next item begins, given the token after an item's last character.
size_t after_separator(const Bytes& bytes, Token token) {
  while (blank(token.byte)) token = token_at(bytes, token.end);
  if (token.byte == '\n' || token.byte == ',' || token.byte == END_OF_DATA) return token.end;
  if (token.byte == '\r') return after_lone_cr(bytes, token);
  return token.start;
}

struct ModelItem {
  std::string text;
  bool is_float = false;
  size_t end = 0;  // where the next item begins
};

ModelItem model_item(const Bytes& bytes, size_t p) {
  ModelItem item;
  Token token = token_at(bytes, p);
  while (blank(token.byte)) token = token_at(bytes, token.end);
  bool quoted = false;
  bool radix = false;
  for (;;) {
    const int byte = token.byte;
    if (byte == END_OF_DATA || byte == '\n' || (byte == ',' && !quoted)) {
      item.end = token.end;
      return item;
    }
    if (byte == '\r') {
      item.end = after_lone_cr(bytes, token);
      return item;
    }
    if (blank(byte) && !quoted) {
      item.end = after_separator(bytes, token);
      return item;
    }
    char kept = static_cast<char>(byte);
    bool keep = true;
    if (byte == '"' && (quoted || item.text.empty())) {
      quoted = !quoted;
      keep = false;
    } else if (byte == '&') {
      radix = true;
    } else if (!radix && (byte == 'd' || byte == 'D')) {
      kept = byte == 'd' ? 'e' : 'E';
      item.is_float = true;
    } else if (!radix && (byte == '.' || byte == 'e' || byte == 'E')) {
      item.is_float = true;
    }
    if (keep) item.text.push_back(kept);
    token = token_at(bytes, token.end);
    if (token.byte == END_OF_DATA || item.text.size() >= static_cast<size_t>(MAX_ITEM_LENGTH)) {
      item.end = after_separator(bytes, token);
      return item;
    }
  }
}

// ---- The real reader -------------------------------------------------------------------

struct ReadItem {
  Item item;
  int64_t value;
  size_t end;  // bytes used up after it
};

// Bytes of the file used up: read from the file, less those still in the buffer, pushed back
// or held after a CR. Each pushed-back byte stands for one byte of the file.
size_t used_up(const FileHandle* file) {
  off_t read_so_far = lseek(file->descriptor, 0, SEEK_CUR);
  check(read_so_far >= 0, "the file's position is unknown");
  return static_cast<size_t>(read_so_far) -
         static_cast<size_t>(file->buffer_length - file->buffer_position) -
         static_cast<size_t>(file->pushback_count) - (file->lookahead != END_OF_DATA ? 1 : 0);
}

size_t data_end(const uint8_t* data, size_t size) {
  return static_cast<size_t>(std::find(data, data + size, uint8_t{26}) - data);
}

// Reads items until three in a row have used up nothing (the end), with the model's items
// alongside.
void read_all(const uint8_t* data, size_t size, std::vector<ReadItem>* items,
              std::vector<ModelItem>* model) {
  scratch_write(data, size);
  const int32_t number = free_file_number();
  check(number == 1, "a file number was left in use");
  check(open_for_input(scratch_name(), number) == 0, "the input cannot be opened");
  FileHandle* file = file_handle(number);
  const Bytes bytes{data, size, data_end(data, size)};
  size_t position = 0;
  int at_end = 0;
  // Every item but those at the end uses up at least one byte.
  for (size_t guard = 0; at_end < 3; ++guard) {
    check(guard <= size + 3, "the reader stopped advancing", guard);
    ModelItem expected = model_item(bytes, position);
    ReadItem got{};
    set_error_number(0);
    read_item(file, MAX_ITEM_LENGTH, &got.item);
    check(error_number() == 0, "a push back failed", items->size());
    got.value = item_value(&got.item);
    got.end = used_up(file);
    at_end = expected.end == position ? at_end + 1 : 0;
    position = expected.end;
    items->push_back(got);
    model->push_back(expected);
  }
  check(close_file(number) == 0, "closing the input failed");
}

bool same_item(const Item& a, const Item& b) {
  return a.length == b.length && a.is_float == b.is_float &&
         memcmp(a.text, b.text, static_cast<size_t>(a.length)) == 0;
}

// ---- Independent conversions -----------------------------------------------------------

// The text with the leading spaces that the conversion skips.
const char* after_spaces(const char* text) {
  while (*text == ' ') ++text;
  return text;
}

// Short decimal items: optional white space and sign, then digits; the value fits 32 bits.
int64_t short_decimal(const char* text) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  int64_t sign = 1;
  if (*text == '-' || *text == '+') sign = *text++ == '-' ? -1 : 1;
  int64_t value = 0;
  while (*text >= '0' && *text <= '9') value = value * 10 + (*text++ - '0');
  return sign * value;
}

// &H, &O, &B or & and digits: the value modulo 2^64 depends only on the last digits that
// fill 64 bits, which the C library converts without overflow.
int64_t radix_digits_value(const char* text) {
  int base = 8;
  const char* digits = text + 1;
  const char letter = static_cast<char>(text[1] | 0x20);
  if (letter == 'h' || letter == 'o' || letter == 'b') {
    base = letter == 'h' ? 16 : letter == 'o' ? 8 : 2;
    digits = text + 2;
  }
  std::string run;
  for (; *digits; ++digits) {
    const char c = *digits;
    int value = c >= '0' && c <= '9' ? c - '0'
                : (c | 0x20) >= 'a' && (c | 0x20) <= 'z' ? (c | 0x20) - 'a' + 10
                                                          : 99;
    if (value >= base) break;
    run.push_back(c);
  }
  const size_t keep = base == 16 ? 16 : base == 2 ? 64 : 21;
  uint64_t top = 0;
  if (base == 8 && run.size() > keep) {
    // The 22nd digit from the end reaches bit 63 with its lowest bit only.
    top = static_cast<uint64_t>(run[run.size() - 22] - '0') & 1;
  }
  if (run.size() > keep) run.erase(0, run.size() - keep);
  return static_cast<int64_t>(strtoull(run.c_str(), nullptr, base) | top << 63);
}

// Rounding to the nearest whole number with halves to even, without the library's rounding.
int64_t rounded_half_even(double value) {
  if (!(value >= -9223372036854775808.0 && value < 9223372036854775808.0)) return INT64_MIN;
  double whole = std::floor(value);
  const double part = value - whole;
  if (part > 0.5 || (part == 0.5 && std::fmod(whole, 2.0) != 0)) whole += 1;
  if (!(whole < 9223372036854775808.0)) return INT64_MIN;
  return static_cast<int64_t>(whole);
}

// Whether text (white space, then the rest) is a plain decimal number with at least one digit.
bool plain_decimal(const char* text) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  if (*text == '+' || *text == '-') ++text;
  int digits = 0;
  while (*text >= '0' && *text <= '9') ++text, ++digits;
  if (*text == '.') {
    ++text;
    while (*text >= '0' && *text <= '9') ++text, ++digits;
  }
  if (digits == 0) return false;
  if (*text == 'e' || *text == 'E') {
    ++text;
    if (*text == '+' || *text == '-') ++text;
    if (!(*text >= '0' && *text <= '9')) return false;
    while (*text >= '0' && *text <= '9') ++text;
  }
  return *text == 0;
}

void check_value(const ReadItem& read, size_t index) {
  const Item& item = read.item;
  const char* text = after_spaces(item.text);
  if (!item.is_float) {
    if (text[0] == '&' && text[1] != 0) {
      check(read.value == radix_digits_value(text), "radix value", index);
    } else {
      // Decimal, wrapping modulo 2^64 and -1 past it: the C library's unsigned conversion.
      check(read.value == static_cast<int64_t>(strtoull(text, nullptr, 10)), "decimal value",
            index);
      if (item.length <= SHORT_ITEM_LENGTH) {
        check(read.value == short_decimal(text), "short decimal value", index);
      }
    }
    return;
  }
  if (plain_decimal(text)) {
    check(read.value == rounded_half_even(strtod(text, nullptr)), "float value", index);
  }
  if (text[0] == '0' && (text[1] | 0x20) == 'x') check(read.value == 0, "0x is not hexadecimal");
}

// The float flag follows the text: a full stop or an exponent letter before the first &,
// where d has become e.
void check_float_flag(const Item& item, size_t index) {
  bool marked = false;
  for (int32_t i = 0; i < item.length && item.text[i] != '&'; ++i) {
    const char c = item.text[i];
    check(c != 'd' && c != 'D', "d left before &", index);
    marked = marked || c == '.' || c == 'e' || c == 'E';
  }
  check(marked == item.is_float, "float flag", index);
}

bool separator_free(const Item& item) {
  for (int32_t i = 0; i < item.length; ++i) {
    if (strchr(" \t,\r\n\"\x1a", item.text[i]) && item.text[i] != 0) return false;
  }
  return true;
}

// The items of data[from, to): count items equal to items[first...], then only empty ones.
void check_part(const uint8_t* data, size_t from, size_t to, const std::vector<ReadItem>& items,
                size_t first, size_t count, const char* what) {
  std::vector<ReadItem> part;
  std::vector<ModelItem> model;
  read_all(data + from, to - from, &part, &model);
  check(part.size() >= count, what, first);
  for (size_t i = 0; i < part.size(); ++i) {
    check(i < count ? same_item(part[i].item, items[first + i].item) : part[i].item.length == 0,
          what, first + i);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<ReadItem> items;
  std::vector<ModelItem> model;
  read_all(data, size, &items, &model);

  const size_t real_items = items.size() - 3;  // the last three are past the end
  for (size_t i = 0; i < items.size(); ++i) {
    const Item& item = items[i].item;
    check(item.length >= 0 && item.length <= MAX_ITEM_LENGTH, "item length", i);
    check(item.text[item.length] == 0, "text not terminated", i);
    check(model[i].text == std::string(item.text, static_cast<size_t>(item.length)),
          "text differs from the model", i);
    check(model[i].is_float == item.is_float, "float flag differs from the model", i);
    check(model[i].end == items[i].end, "bytes used up differ from the model", i);
    check_float_flag(item, i);
    check_value(items[i], i);
    if (i >= real_items) check(item.length == 0 && items[i].value == 0, "past the end", i);
  }

  // The same bytes again, item by item and through read_number as the driver reads them.
  std::vector<ReadItem> again;
  std::vector<ModelItem> unused;
  read_all(data, size, &again, &unused);
  check(again.size() == items.size(), "a second reading differs");
  scratch_write(data, size);
  const int32_t number = free_file_number();
  check(open_for_input(scratch_name(), number) == 0, "the input cannot be opened");
  for (size_t i = 0; i < items.size(); ++i) {
    check(same_item(again[i].item, items[i].item), "a second reading differs", i);
    int64_t value = 1;
    begin_input(number);
    check(read_number(&value) == 0 && value == items[i].value, "read_number differs", i);
  }
  check(close_file(number) == 0, "closing the input failed");

  // Each item's text read alone, one per line, when it holds no separator.
  std::string lines;
  std::vector<size_t> alone;
  for (size_t i = 0; i < real_items; ++i) {
    if (!separator_free(items[i].item)) continue;
    lines.append(items[i].item.text, static_cast<size_t>(items[i].item.length));
    lines.push_back('\n');
    alone.push_back(i);
  }
  std::vector<ReadItem> reread;
  read_all(reinterpret_cast<const uint8_t*>(lines.data()), lines.size(), &reread, &unused);
  for (size_t j = 0; j < alone.size(); ++j) {
    check(same_item(reread[j].item, items[alone[j]].item) &&
              reread[j].value == items[alone[j]].value,
          "an item read alone differs", alone[j]);
  }

  // Cut at a few item boundaries: the part before holds the items before, the part after the
  // items after, unless byte 26 had ended the data before the cut.
  const size_t text_end = data_end(data, size);
  for (size_t cut : {size_t{0}, real_items / 2, real_items > 0 ? real_items - 1 : 0}) {
    if (cut >= real_items) continue;
    const size_t at = items[cut].end;
    check_part(data, 0, at, items, 0, cut + 1, "the part before a cut differs");
    if (at <= text_end) {
      check_part(data, at, size, items, cut + 1, real_items - cut - 1,
                 "the part after a cut differs");
    }
  }
  return 0;
}
