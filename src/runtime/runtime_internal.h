// Between the error state and the signal handling of the run-time; not for other subsystems.
#pragma once

#include <cstdint>

// Whether the calling thread is running a signal handler of the run-time, and the mark
// that it has left it (a jump out of the handler).
bool in_signal_handler();
void leave_signal_handler();

// The end of the run. The first thread to claim it ends the run; claim_end_of_run is false
// for every later caller.
bool claim_end_of_run();
// Builds the pending abort message (no library call: safe inside a handler).
void set_abort_message(int32_t number, int32_t line, const char* module, const char* function);
// From the thread that claimed the end: waits until the signal thread has taken every
// signal sent so far, then takes the last step. closed: runtime_exit has run; it cannot
// inside a handler, and then the signal thread does both.
[[noreturn]] void hand_off_end_of_run(int32_t status, bool closed);
// The last step: a late interrupt or termination request decides the status, unless an abort
// message is pending; then the message is written and the process ends.
[[noreturn]] void exit_process(int32_t status);
// A jump to the handler gives up the console if it left a write of this thread's unfinished.
void release_console();
// The abort path for error number with no line and no module, as the signal thread takes it;
// returns (false) only when another thread has already claimed the end.
bool try_abort_with_message(int32_t number);
// For the end of the run: 9 when an interrupt arrived that did not end the run, 13 when a
// termination request arrived that no report has shown, else 0.
int32_t late_signal_error();

// Writes the pending abort message, if any, to standard error. Safe inside a handler.
void write_pending_abort_message();

// Blocks the calling thread until the process has ended.
[[noreturn]] void wait_for_process_end();

// Tells the signal handling whether the main thread has an error handler registered.
void note_handler_change(bool has_handler);
