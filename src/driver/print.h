// The printing rules shared by the console report, the solver's progress lines and the
// solution file. Channel 0 is the console (standard output); any other channel is a file
// number open for output.
#pragma once

#include <cstdint>

constexpr int32_t CONSOLE = 0;

void print_text(int32_t channel, const char* text);
// A space (or "-" when negative) and the decimal digits: 5 gives " 5", -5 gives "-5".
void print_integer(int32_t channel, int64_t value);
// A space when not negative, then the "%.16g" form without a trailing ".".
void print_double(int32_t channel, double value);
void print_line_end(int32_t channel);  // CR LF
// Flushes the console; false once any byte printed to it could not be written (a full
// device, a closed pipe, a closed standard output).
bool flush_console();

// The texts that print_integer and print_double write; return their lengths.
int32_t format_integer(char* text, int64_t value);  // room for 21 bytes
int32_t format_double(char* text, double value);    // room for 32 bytes
