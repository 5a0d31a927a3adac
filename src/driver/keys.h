// The key-abortable pause of the error report and the console's key state.
#pragma once

#include <cstdint>

constexpr int32_t KEY_QUEUE_SIZE = 512;
// The key code that closing the terminal appends (Alt+F4), so that a pause ends at once.
constexpr int32_t CLOSE_KEY_CODE = 27647;
constexpr int32_t PAUSE_SLICE_MS = 50;

// Waits ms milliseconds, or less when a key arrives: -1 waits for a key without limit, below
// -1 returns at once, 0..99 sleeps without looking at keys, 100 and more checks for a key
// every 50 ms until the last slice.
void pause_or_key(int32_t ms);
// 1 when a key has arrived since the previous call, else 0; clears the indication.
int32_t key_hit();
// Appends a key code to the queue (dropping the oldest when full) and marks a key waiting.
void append_key_code(int32_t code);
