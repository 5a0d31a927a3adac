// The console writer. Only the thread that runs the report prints, but the thread that ends
// the run (the signal thread, after Ctrl+C) flushes too: the busy flag keeps the two apart.
// The ending thread never waits for it, because the printing thread may never come back (a
// write blocked on a pipe nobody reads, a jump out of a write).
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "platform/platform.h"
#include "runtime/runtime.h"
#include "runtime/runtime_internal.h"

constexpr int64_t CONSOLE_BUFFER_BYTES = 4096;

static char console_buffer[CONSOLE_BUFFER_BYTES];
static int64_t console_length = 0;
static bool console_failed = false;
static std::atomic<bool> console_busy{false};
static thread_local bool holds_console = false;

static bool take_console() {
  if (console_busy.exchange(true, std::memory_order_acquire)) return false;
  holds_console = true;
  return true;
}

static void give_console() {
  holds_console = false;
  console_busy.store(false, std::memory_order_release);
}

// Sends the buffer; the caller holds the console.
static void send_buffer() {
  if (console_length > 0 && !console_failed) {
    console_failed = !platform_write(STDOUT_FILENO,
                                    reinterpret_cast<const unsigned char*>(console_buffer),
                                    console_length);
  }
  console_length = 0;
}

void console_write(const char* bytes, int64_t count) {
  // Busy means the run is ending on another thread: these bytes would come too late anyway.
  if (!take_console()) return;
  const bool line_end = memchr(bytes, '\n', static_cast<size_t>(count)) != nullptr;
  while (count > 0) {
    if (console_length == CONSOLE_BUFFER_BYTES) send_buffer();
    const int64_t room = CONSOLE_BUFFER_BYTES - console_length;
    const int64_t part = count < room ? count : room;
    memcpy(console_buffer + console_length, bytes, static_cast<size_t>(part));
    console_length += part;
    bytes += part;
    count -= part;
  }
  if (line_end) send_buffer();
  give_console();
}

bool console_flush() {
  if (!take_console()) return false;
  send_buffer();
  const bool sound = !console_failed;
  give_console();
  return sound;
}

void release_console() {
  if (holds_console) give_console();
}
