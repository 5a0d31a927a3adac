// Signals and processor faults.
//
// DESIGN
// Synchronous signals (SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT) arrive on the thread that
// caused them and run report_signal there. With a handler registered on that thread (the main
// thread once the driver's error report is in place) report_signal jumps to it, out of the
// signal handler, and the report runs as ordinary code. Without one it builds the abort
// message, which needs no library call, and hands the end of the run to the signal thread,
// because closing files and flushing output are not safe inside a handler.
//
// The asynchronous signals (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP and the hand-off signal)
// are blocked in every thread, workers included, and taken with sigwait by one thread of our
// own, the signal thread, which has no error handler. There they are handled as ordinary code:
// - SIGINT always takes the abort path with error 9;
// - SIGTERM takes the abort path with error 13, unless the main thread has an error handler:
//   then it is left pending for the main thread, which raises it at its next safe point
//   (poll_pending_signal), and workers stop early (pending_signal_error);
// - SIGHUP appends the window-close key once the console's key input has begun, and otherwise
//   keeps its default action;
// - SIGQUIT keeps its default action, SIGTSTP stops the process; both put the terminal back
//   first, and key input is switched on again on resuming.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "platform/platform.h"
#include "runtime/runtime.h"
#include "runtime/runtime_internal.h"

// Linux reports some bad memory accesses as SIGBUS; they count as segmentation violations.
constexpr int SIGNAL_TABLE_SIZE = 32;
static int32_t signal_errors[SIGNAL_TABLE_SIZE];

constexpr int HAND_OFF_SIGNAL = SIGUSR1;

static thread_local bool running_signal_handler = false;
static pthread_t main_thread;
static pthread_t signal_thread;
static std::atomic<bool> signal_thread_running{false};
static std::atomic<bool> main_has_handler{false};
static std::atomic<int32_t> pending_main_error{0};
static std::atomic<int32_t> handed_off_status{-1};
static std::atomic<void (*)()> console_close_action{nullptr};

bool in_signal_handler() { return running_signal_handler; }

void leave_signal_handler() { running_signal_handler = false; }

void wait_for_process_end() {
  for (;;) pause();
}

void hand_off_end_of_run(int32_t status) {
  if (!signal_thread_running.load() || pthread_equal(pthread_self(), signal_thread)) {
    // No thread to hand over to: end here with only what is safe in a handler.
    console_restore();
    write_pending_abort_message();
    _exit(status);
  }
  handed_off_status.store(status);
  kill(getpid(), HAND_OFF_SIGNAL);
  wait_for_process_end();
}

void note_handler_change(bool has_handler) {
  if (pthread_equal(pthread_self(), main_thread)) main_has_handler.store(has_handler);
}

int32_t pending_signal_error() { return pending_main_error.load(std::memory_order_relaxed); }

void poll_pending_signal() {
  int32_t error = pending_main_error.exchange(0);
  if (error != 0) throw_error(error, -1, nullptr);
}

void set_console_close_action(void (*action)()) { console_close_action.store(action); }

void report_signal(int signal_number) {
  running_signal_handler = true;
  int32_t error = signal_number > 0 && signal_number < SIGNAL_TABLE_SIZE
                      ? signal_errors[signal_number]
                      : 0;
  throw_error(error, -1, nullptr);
}

static void asynchronous_signals(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, SIGINT);
  sigaddset(set, SIGTERM);
  sigaddset(set, SIGHUP);
  sigaddset(set, SIGQUIT);
  sigaddset(set, SIGTSTP);
  sigaddset(set, HAND_OFF_SIGNAL);
}

// Lets the signal take its default action on this thread: the process ends or stops.
static void take_default_action(int signal_number) {
  console_restore();
  signal(signal_number, SIG_DFL);
  sigset_t just_this;
  sigemptyset(&just_this);
  sigaddset(&just_this, signal_number);
  raise(signal_number);
  pthread_sigmask(SIG_UNBLOCK, &just_this, nullptr);
  // Still here: the action was to stop, and the process has been continued.
  pthread_sigmask(SIG_BLOCK, &just_this, nullptr);
}

static void* signal_thread_main(void*) {
  sigset_t waited;
  asynchronous_signals(&waited);
  for (;;) {
    int signal_number = 0;
    if (sigwait(&waited, &signal_number) != 0) continue;
    switch (signal_number) {
      case SIGINT:
        throw_error(signal_errors[SIGINT], -1, nullptr);
      case SIGTERM:
        if (main_has_handler.load()) {
          pending_main_error.store(signal_errors[SIGTERM]);
        } else {
          throw_error(signal_errors[SIGTERM], -1, nullptr);
        }
        break;
      case SIGHUP:
        if (void (*action)() = console_close_action.load()) {
          action();
        } else {
          take_default_action(SIGHUP);
        }
        break;
      case SIGQUIT:
        take_default_action(SIGQUIT);
        break;
      case SIGTSTP:
        if (console_close_action.load()) {
          take_default_action(SIGSTOP);
          console_resume_key_input();
        } else {
          take_default_action(SIGTSTP);
        }
        break;
      default:
        if (int32_t status = handed_off_status.load(); status >= 0) {
          // The thread that handed off has already claimed the end of the run.
          runtime_exit();
          exit(status);
        }
        break;
    }
  }
  return nullptr;
}

static char main_signal_stack[64 * 1024];

void install_signal_handlers() {
  for (int32_t& error : signal_errors) error = 0;
  signal_errors[SIGABRT] = 14;
  signal_errors[SIGFPE] = 11;
  signal_errors[SIGILL] = 10;
  signal_errors[SIGSEGV] = 12;
  signal_errors[SIGBUS] = 12;
  signal_errors[SIGTERM] = 13;
  signal_errors[SIGINT] = 9;

  main_thread = pthread_self();

  // The main thread's own stack may be what overflowed.
  stack_t alternate{};
  alternate.ss_sp = main_signal_stack;
  alternate.ss_size = sizeof main_signal_stack;
  sigaltstack(&alternate, nullptr);

  struct sigaction action {};
  action.sa_handler = report_signal;
  action.sa_flags = SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int signal_number : {SIGABRT, SIGFPE, SIGILL, SIGSEGV, SIGBUS}) {
    sigaction(signal_number, &action, nullptr);
  }
  // A closed pipe, a full device or the file-size limit is a failed write, not the end of the
  // process.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);

  sigset_t waited;
  asynchronous_signals(&waited);
  pthread_sigmask(SIG_BLOCK, &waited, nullptr);
  if (pthread_create(&signal_thread, nullptr, signal_thread_main, nullptr) == 0) {
    pthread_detach(signal_thread);
    signal_thread_running.store(true);
  } else {
    // Without the signal thread, the asynchronous signals keep their default actions.
    pthread_sigmask(SIG_UNBLOCK, &waited, nullptr);
  }
}
