// Keys come from standard input when it is a terminal: every byte typed is a key. The
// console's key input and the close action are set up by the first poll, and undone when
// the process ends.
#include "driver/keys.h"

#include <atomic>

#include "platform/platform.h"
#include "runtime/runtime.h"

// Guarded by the global lock. Nothing reads the queued codes; only the flag matters.
static int32_t key_queue[KEY_QUEUE_SIZE];
static int32_t key_write_position = 0;
static int32_t key_read_position = 0;
static int32_t key_waiting = 0;
static bool console_handler_installed = false;

void append_key_code(int32_t code) {
  lock_global();
  key_queue[key_write_position] = code;
  key_write_position = (key_write_position + 1) % KEY_QUEUE_SIZE;
  if (key_write_position == key_read_position) {
    key_read_position = (key_read_position + 1) % KEY_QUEUE_SIZE;
  }
  key_waiting = 1;
  unlock_global();
}

// The close action runs on the signal thread and takes no lock, so that it can never wait for
// a thread that is ending the run; the next poll appends the key.
static std::atomic<bool> console_closed{false};

static void on_console_close() { console_closed.store(true); }

static void remove_console_handler() {
  set_console_close_action(nullptr);
  console_end_key_input();
  console_handler_installed = false;
}

static void poll_console_input() {
  lock_global();
  if (!console_handler_installed) {
    console_handler_installed = true;
    set_console_close_action(on_console_close);
    arm_exit_step(EXIT_REMOVE_CONSOLE_HANDLER, remove_console_handler);
    console_start_key_input();
  }
  unlock_global();
  unsigned char bytes[64];
  int count;
  while ((count = console_read_pending(bytes, sizeof bytes)) > 0) {
    for (int i = 0; i < count; ++i) append_key_code(bytes[i]);
  }
  if (console_closed.exchange(false)) append_key_code(CLOSE_KEY_CODE);
}

int32_t key_hit() {
  poll_console_input();
  lock_global();
  int32_t waiting = key_waiting;
  key_waiting = 0;
  unlock_global();
  return waiting;
}

// A key check of the pause; a termination request raised here ends the pause as well.
static bool key_check() {
  poll_pending_signal();
  return key_hit() == 1;
}

void pause_or_key(int32_t ms) {
  if (ms == -1) {
    for (;;) {
      if (key_check()) return;
      sleep_milliseconds(PAUSE_SLICE_MS);
    }
  }
  if (ms >= 100) {
    do {
      if (key_check()) return;
      sleep_milliseconds(PAUSE_SLICE_MS);
      ms -= PAUSE_SLICE_MS;
    } while (ms > PAUSE_SLICE_MS);
    sleep_milliseconds(ms);
    return;
  }
  if (ms >= 0) sleep_milliseconds(ms);
}
