// The input of a fuzz target as a file that the reader opens by name. It lives in memory and
// has no name in any folder, so nothing is left behind when a run ends, even by a crash.
#pragma once

#include <cstddef>
#include <cstdint>

// Replaces the file's content with these bytes.
void scratch_write(const uint8_t* data, size_t size);
// A name that opens the file (under /proc/self/fd).
const char* scratch_name();
