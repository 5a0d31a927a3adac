// Run-time errors and termination: the per-thread error state, the error numbers and their
// texts, throwing to a registered handler or aborting, the global lock, and the start and end
// of the process.
//
// A thread's handler is a recovery point (sigjmp_buf) set with sigsetjmp by the procedure that
// registers it. A throw jumps there with siglongjmp, so no procedure between the failing step
// and the handler does any further work. A jump was chosen over a C++ exception because the
// same transfer must also work out of a processor-fault handler, where no exception may be
// thrown. The price: every frame between a registration and a throw site holds only trivially
// destructible locals (plain tables, no containers), which the procedural style gives anyway.
#pragma once

#include <pthread.h>
#include <setjmp.h>

#include <cstdint>

constexpr const char* MODULE_NAME = "tourplan";
constexpr int32_t ERROR_TEXT_COUNT = 18;
constexpr int32_t ABORT_MESSAGE_CAPACITY = 1024;

using ErrorHandler = sigjmp_buf*;

struct ErrorContext {
  ErrorHandler handler;      // the thread's registered recovery point, or null
  int32_t error_number;      // outcome of the latest reporting operation or throw
  int32_t line;              // line of the latest throw that reached the handler; <= 0: none
  const char* module_name;   // constant text, never copied or freed
  const char* function_name; // no operation of this system records one
};

// The text of a run-time error number, or null outside 0..17.
const char* error_text(int32_t number);

// Error state of the calling thread. The context is thread-local storage: zero-filled when the
// thread begins and released with the thread, so creating it can never fail.
ErrorContext* current_error_context();
ErrorHandler set_error_handler(ErrorHandler handler);  // returns the previous handler
int32_t error_number();
int32_t set_error_number(int32_t number);  // returns number

// Records the error and jumps to the thread's handler, or aborts when it has none.
[[noreturn]] void throw_error(int32_t number, int32_t line, const char* module);
[[noreturn]] void throw_at_line(int32_t line, const char* module);
[[noreturn]] void abort_with_message(int32_t number, int32_t line, const char* module,
                                     const char* function);
// Ends the process with this status. Only the first thread to end the run gets through;
// any other thread that tries later waits until the process is gone. An interrupt or a
// termination request that arrives before the process is gone ends it with 9 or 13 instead.
[[noreturn]] void end_run(int32_t status);

// Builds the abort message into buffer (ABORT_MESSAGE_CAPACITY bytes, always terminated) and
// returns its length. Uses no library call, so it is safe inside a signal handler.
int32_t format_abort_message(char* buffer, int32_t number, int32_t line, const char* module,
                             const char* function);

// The console: standard output, written with write(2) from a buffer of the run-time's own and
// sent at each line end, so that every line reaches a terminal or a pipe as it is printed. It
// takes no lock: a jump out of a write, or a write blocked on a full pipe, can never stop the
// thread that ends the run, which then leaves the unsent bytes behind instead of waiting.
void console_write(const char* bytes, int64_t count);
// Sends what is buffered; false once any byte could not be written (a full device, a closed
// pipe, a closed standard output).
bool console_flush();

// Process start and end. runtime_exit runs once, on the thread that ends the run: it removes
// the console handler, closes every file and flushes the console.
void runtime_start();
void runtime_exit();

// Steps that later subsystems arm for the process end, run by runtime_exit in this order.
enum ExitStep { EXIT_REMOVE_CONSOLE_HANDLER, EXIT_CLOSE_FILES, EXIT_STEP_COUNT };
void arm_exit_step(ExitStep step, void (*action)());

// The run-time's global lock, re-entrant. It guards the file table and the console key state.
void lock_global();
void unlock_global();

// Signals. install_signal_handlers runs after runtime_start, before any other thread exists.
// An asynchronous signal (interrupt, termination request, hang-up, quit, stop key) that was
// ignored when the process started stays ignored.
void install_signal_handlers();
// Test seam: when set, install_signal_handlers acts as if the signal thread could not start.
extern bool signal_thread_start_fails;
// A worker thread is created with create_worker_thread (pthread_create's arguments and result)
// and calls begin_worker_signal_stack first and end_worker_signal_stack last, on the thread
// itself. In between the thread has an alternate signal stack of its own, so that a fault
// there, its own stack overflowing included, still reaches report_signal and ends the run
// with the abort message. A thread that has one already (the main thread) keeps it and the end
// leaves it alone; without memory for it the thread runs without one. Outside that span the
// fault signals are blocked on the thread: a fault signal sent from outside then goes to a
// thread that runs our code, never to one that the thread library, or a sanitizer's run-time,
// is still setting up or taking down (where a handler cannot run safely, and a signal taken
// there ended the process as if by the signal itself).
int create_worker_thread(pthread_t* thread, const pthread_attr_t* attributes,
                         void* (*body)(void*), void* argument);
void begin_worker_signal_stack();
void end_worker_signal_stack();
// The handler of the synchronous signals; turns the signal into its run-time error.
void report_signal(int signal_number);
// A termination request waiting for the main thread: its error number, or 0. Workers stop
// early when it is set; the main thread raises it with poll_pending_signal at a safe point.
int32_t pending_signal_error();
void poll_pending_signal();
// What a hang-up of the terminal does once the console's key input has begun (null: the
// default action, ending the process).
void set_console_close_action(void (*action)());

// Table creation with explicit bounds. Cells are zero-filled. Stores and returns the outcome:
// 0, 1 when an upper bound lies below its lower bound, 4 when the storage cannot be had: the
// byte count overflows, exceeds the memory this process can have (counting the tables already
// live), or the allocation fails.
struct TableBlock {
  void* cells;
  int64_t bytes;
  bool mapped;  // pages of the system's own (create_page_table), not the heap
};
int32_t create_table(TableBlock* table, int64_t lower, int64_t upper, int64_t cell_bytes);
int32_t create_table_2d(TableBlock* table, int64_t lower1, int64_t upper1, int64_t lower2,
                        int64_t upper2, int64_t cell_bytes);
// A table of bytes for the solver's largest tables, straight from the system's pages and
// advised for huge pages where the system allows: such a table is touched page by page for
// the first time by its computation, and a fault per 4 KiB page costs far more than one per
// 2 MiB. Zero-filled like every table; outcomes as for create_table.
int32_t create_page_table(TableBlock* table, int64_t bytes);
// Frees the table (if any) and empties the block. Stores 0.
void free_table(TableBlock* table);
// Bytes held by tables now live, and those that a new table may still take.
int64_t live_table_bytes();
int64_t table_bytes_available();

// Test seam: when set, a creation for which it returns true fails with error 4 as if no
// storage could be had. Never set by the program itself.
extern bool (*table_creation_should_fail)(int64_t cell_count, int64_t cell_bytes);
