// tourplan's problem file, read strictly; see tsplib.h.
#include <algorithm>
#include <charconv>

#include "import/tsplib.h"

namespace {

bool fail(ImportError* error, int64_t line, std::string message) {
  error->line = line;
  error->message = std::move(message);
  return false;
}


// The items of the text one by one, with the line each is on.
struct Items {
  std::string_view text;
  size_t at = 0;
  int64_t line = 1;

  bool next(std::string_view* item, int64_t* item_line) {
    while (at < text.size()) {
      const char c = text[at];
      if (c == ' ' || c == '\t') {
        ++at;
      } else if (c == '\n' || c == '\r') {
        // CR LF is one line end, as is a lone CR or LF.
        at += c == '\r' && at + 1 < text.size() && text[at + 1] == '\n' ? 2 : 1;
        ++line;
      } else {
        break;
      }
    }
    if (at == text.size()) return false;
    const size_t start = at;
    while (at < text.size() && text[at] != ' ' && text[at] != '\t' && text[at] != '\n' &&
           text[at] != '\r') {
      ++at;
    }
    *item = text.substr(start, at - start);
    *item_line = line;
    return true;
  }
};

// A whole number: an optional sign, then decimal digits, in the 64-bit range.
bool whole_number(std::string_view item, int64_t line, int64_t* value, ImportError* error) {
  std::string_view digits = item;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  if (!digits.empty() && digits.front() == '-' && digits.size() < item.size()) digits = {};
  const bool sign_only = digits.empty() || digits == "-";
  auto [end, failure] = std::from_chars(digits.data(), digits.data() + digits.size(), *value);
  if (sign_only || end != digits.data() + digits.size() ||
      (failure != std::errc() && failure != std::errc::result_out_of_range)) {
    return fail(error, line, quoted_item(item) + " is not a whole number");
  }
  if (failure == std::errc::result_out_of_range) {
    return fail(error, line, quoted_item(item) + " is beyond the 64-bit range");
  }
  return true;
}

}  // namespace

std::string quoted_item(std::string_view text) {
  static const char HEX[] = "0123456789abcdef";
  std::string shown = "'";
  for (size_t i = 0; i < text.size() && i < 40; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\r') {
      shown += "\\r";
    } else if (c < 32 || c >= 127) {
      shown += "\\x";
      shown += HEX[c >> 4];
      shown += HEX[c & 15];
    } else {
      shown += static_cast<char>(c);
    }
  }
  if (text.size() > 40) shown += "...";
  return shown + "'";
}

bool parse_problem_file(std::string_view text, Problem* problem, ImportError* error) {
  Items items{text};
  std::string_view item;
  int64_t line = 0;
  if (!items.next(&item, &line)) return fail(error, 0, "empty file: expected N, then N x N costs");
  int64_t n = 0;
  if (!whole_number(item, line, &n, error)) return false;
  if (n < 2) {
    return fail(error, line, "N is " + std::to_string(n) + "; a tour needs at least 2 points");
  }
  const std::string square = std::to_string(n) + " x " + std::to_string(n);
  // Every cost takes two bytes at least: a larger N cannot be met, and is not allocated for.
  const unsigned __int128 wanted = static_cast<unsigned __int128>(n) * static_cast<uint64_t>(n);
  problem->costs.clear();
  problem->costs.reserve(
      static_cast<size_t>(std::min<unsigned __int128>(wanted, text.size() / 2 + 1)));
  int64_t last_line = line;
  while (items.next(&item, &line)) {
    if (problem->costs.size() == wanted) {
      return fail(error, line,
                  "more items than N and the " + square + " costs: " + quoted_item(item));
    }
    int64_t cost = 0;
    if (!whole_number(item, line, &cost, error)) return false;
    problem->costs.push_back(cost);
    last_line = line;
  }
  if (problem->costs.size() < wanted) {
    return fail(error, last_line,
                "the file ends after " + std::to_string(problem->costs.size()) + " of the " +
                    square + " costs");
  }
  problem->dimension = n;
  problem->name.clear();
  problem->drawing.clear();
  problem->geographic = false;
  return true;
}
