// Between the error state and the signal handling of the run-time; not for other subsystems.
#pragma once

#include <cstdint>

// Whether the calling thread is running a signal handler of the run-time, and the mark
// that it has left it (a jump out of the handler).
bool in_signal_handler();
void leave_signal_handler();

// Writes the pending abort message, if any, to standard error. Safe inside a handler.
void write_pending_abort_message();

// From inside a signal handler: lets the signal thread end the run with this status (so that
// closing files and flushing output happen outside the handler) and never returns.
[[noreturn]] void hand_off_end_of_run(int32_t status);

// Blocks the calling thread until the process has ended.
[[noreturn]] void wait_for_process_end();

// Tells the signal handling whether the main thread has an error handler registered.
void note_handler_change(bool has_handler);
