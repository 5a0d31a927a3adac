// The per-thread error state, throwing and aborting, and the process's start and end.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <clocale>
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"
#include "runtime/runtime.h"
#include "runtime/runtime_internal.h"

static const char* const ERROR_TEXTS[] = {
    /* 0 */ "",
    /* 1 */ "illegal function call",
    /* 2 */ "file not found",
    /* 3 */ "file I/O error",
    /* 4 */ "out of memory",
    /* 5 */ "illegal resume",
    /* 6 */ "out of bounds array access",
    /* 7 */ "null pointer access",
    /* 8 */ "no privileges",
    /* 9 */ "\"interrupted\" signal",
    /* 10 */ "\"illegal instruction\" signal",
    /* 11 */ "\"floating point error\" signal",
    /* 12 */ "\"segmentation violation\" signal",
    /* 13 */ "\"termination request\" signal",
    /* 14 */ "\"abnormal termination\" signal",
    /* 15 */ "\"quit request\" signal",
    /* 16 */ "return without gosub",
    /* 17 */ "end of file",
};
static_assert(sizeof ERROR_TEXTS / sizeof ERROR_TEXTS[0] == ERROR_TEXT_COUNT);

const char* error_text(int32_t number) {
  if (number < 0 || number >= ERROR_TEXT_COUNT) return nullptr;
  return ERROR_TEXTS[number];
}

static thread_local ErrorContext thread_error_context;

static void release_global_lock();

ErrorContext* current_error_context() { return &thread_error_context; }

ErrorHandler set_error_handler(ErrorHandler handler) {
  ErrorContext* context = current_error_context();
  ErrorHandler previous = context->handler;
  context->handler = handler;
  note_handler_change(handler != nullptr);
  return previous;
}

int32_t error_number() { return current_error_context()->error_number; }

int32_t set_error_number(int32_t number) {
  current_error_context()->error_number = number;
  return number;
}

void throw_error(int32_t number, int32_t line, const char* module) {
  ErrorContext* context = current_error_context();
  if (context->handler) {
    context->error_number = number;
    context->line = line;
    if (module) context->module_name = module;
    leave_signal_handler();
    release_global_lock();
    release_console();
    siglongjmp(*context->handler, 1);
  }
  abort_with_message(number, line, module ? module : context->module_name,
                     context->function_name);
}

void throw_at_line(int32_t line, const char* module) { throw_error(error_number(), line, module); }

// Appends text to buffer within the capacity, keeping room for the terminator.
static void append_text(char* buffer, int32_t* length, const char* text) {
  while (*text && *length < ABORT_MESSAGE_CAPACITY - 1) buffer[(*length)++] = *text++;
}

static void append_decimal(char* buffer, int32_t* length, int32_t value) {
  char digits[16];
  int count = 0;
  // Negate in unsigned arithmetic so that the lowest value has a magnitude too.
  uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude);
  if (value < 0) digits[count++] = '-';
  char text[17];
  for (int i = 0; i < count; ++i) text[i] = digits[count - 1 - i];
  text[count] = 0;
  append_text(buffer, length, text);
}

int32_t format_abort_message(char* buffer, int32_t number, int32_t line, const char* module,
                             const char* function) {
  int32_t length = 0;
  append_text(buffer, &length, "\nAborting due to runtime error ");
  append_decimal(buffer, &length, number);
  if (const char* text = error_text(number)) {
    append_text(buffer, &length, " (");
    append_text(buffer, &length, text);
    append_text(buffer, &length, ")");
  }
  if (line > 0) {
    append_text(buffer, &length, " at line ");
    append_decimal(buffer, &length, line);
  }
  if (module) {
    append_text(buffer, &length, line > 0 ? " of " : " in ");
    append_text(buffer, &length, module);
    if (function) {
      append_text(buffer, &length, "::");
      append_text(buffer, &length, function);
    }
    append_text(buffer, &length, "()\n\n");
  } else {
    append_text(buffer, &length, "\n\n");
  }
  buffer[length] = 0;
  return length;
}

// One process-wide message: the thread that claims the end of the run builds it, so two
// threads aborting at once can never mix their texts.
static char abort_message_buffer[ABORT_MESSAGE_CAPACITY];
static int32_t abort_message_length = 0;
static const char* pending_abort_message = nullptr;
static std::atomic<bool> ending{false};

bool claim_end_of_run() {
  bool expected = false;
  return ending.compare_exchange_strong(expected, true);
}

void set_abort_message(int32_t number, int32_t line, const char* module, const char* function) {
  abort_message_length = format_abort_message(abort_message_buffer, number, line, module, function);
  pending_abort_message = abort_message_buffer;
}

// Closing files and flushing output are not safe inside a signal handler: there they are
// left to the signal thread.
[[noreturn]] static void finish_run(int32_t status) {
  const bool closed = !in_signal_handler();
  if (closed) runtime_exit();
  hand_off_end_of_run(status, closed);
}

void abort_with_message(int32_t number, int32_t line, const char* module, const char* function) {
  if (!claim_end_of_run()) wait_for_process_end();
  set_abort_message(number, line, module, function);
  finish_run(number);
}

void end_run(int32_t status) {
  if (!claim_end_of_run()) wait_for_process_end();
  finish_run(status);
}

bool try_abort_with_message(int32_t number) {
  if (!claim_end_of_run()) return false;
  set_abort_message(number, -1, nullptr, nullptr);
  finish_run(number);
}

void exit_process(int32_t status) {
  if (!pending_abort_message) {
    const int32_t late = late_signal_error();
    if (late == 9) set_abort_message(9, -1, nullptr, nullptr);
    if (late != 0) status = late;
  }
  write_pending_abort_message();
  exit(status);
}

static pthread_mutex_t global_lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
static thread_local int32_t global_lock_depth = 0;

void lock_global() {
  pthread_mutex_lock(&global_lock);
  ++global_lock_depth;
}

void unlock_global() {
  --global_lock_depth;
  pthread_mutex_unlock(&global_lock);
}

// A jump to the handler leaves whatever locked region it interrupted (a fault while reading
// a byte): the thread's holds go with it, or no other thread could ever take the lock again.
static void release_global_lock() {
  while (global_lock_depth > 0) unlock_global();
}

static void (*exit_steps[EXIT_STEP_COUNT])() = {};

void arm_exit_step(ExitStep step, void (*action)()) {
  lock_global();
  exit_steps[step] = action;
  unlock_global();
}

void runtime_start() {
  // The contexts live in thread-local storage and the lock is initialised statically, so
  // what remains is the character-class locale, and the standard streams' numbers.
  platform_hold_standard_streams();
  setlocale(LC_CTYPE, "");
}

void runtime_exit() {
  // Held until the process is gone: no thread opens a file or starts key input again. The
  // signal thread, which the ending thread waits for, needs the lock for nothing it may do.
  lock_global();
  for (int step = 0; step < EXIT_STEP_COUNT; ++step) {
    if (exit_steps[step]) exit_steps[step]();
  }
  console_flush();
}

void write_pending_abort_message() {
  if (pending_abort_message) platform_write_stderr(pending_abort_message, abort_message_length);
}
