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
// - SIGHUP runs the console's close action (the window-close key) once the console's key
//   input has begun, and otherwise keeps its default action;
// - SIGQUIT keeps its default action, SIGTSTP stops the process; both put the terminal back
//   first, and key input is switched on again on resuming.
// A signal that the process was started with ignored stays ignored and is never blocked: the
// caller chose so (nohup ignores the hang-up, a script's background job ignores Ctrl+C).
// The signal thread blocks the fault signals too, so that a fault signal sent from outside
// (kill -SEGV reaches any thread that does not block it) cannot interrupt it; it takes such a
// signal with sigwait instead, as a fault on a thread without a handler, and ends the run
// with files closed and output flushed like every other abort. A fault signal sent from
// outside (kill, not the processor) is deferred to the main thread while it has an error
// handler, like a termination request (defer_sent_fault).
//
// The end of the run: the thread that claims it closes the files and flushes, keeping the
// global lock from then on, and tells the signal thread, which needs no lock for anything it
// may still do. That thread takes signals one at a time: once it has come to the hand-off it
// has taken every signal sent before it, and it takes none after. So an interrupt or a
// termination request is either noted already or still pending when the ending thread makes
// its last check, and the run ends with 9 or 13: none is lost, however late it comes. (Inside
// a handler the ending thread can do none of this; the signal thread then ends the run.)
//
// Without a signal thread (it could not be started) the asynchronous signals get a handler
// that only notes them, and the main thread acts on them at its safe points as the signal
// thread would have.
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>

#include "platform/platform.h"
#include "runtime/runtime.h"
#include "runtime/runtime_internal.h"

// Linux reports some bad memory accesses as SIGBUS; they count as segmentation violations.
constexpr int SIGNAL_TABLE_SIZE = 32;
static int32_t signal_errors[SIGNAL_TABLE_SIZE];

constexpr int HAND_OFF_SIGNAL = SIGUSR1;
constexpr int FAULT_SIGNALS[] = {SIGABRT, SIGFPE, SIGILL, SIGSEGV, SIGBUS};
constexpr int ASYNCHRONOUS_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};
constexpr size_t SIGNAL_STACK_BYTES = 64 * 1024;

bool signal_thread_start_fails = false;

static thread_local bool running_signal_handler = false;
static pthread_t main_thread;
static pthread_t signal_thread;
static std::atomic<bool> signal_thread_running{false};
static std::atomic<bool> main_has_handler{false};
static std::atomic<int32_t> pending_main_error{0};
static std::atomic<bool> interrupt_after_end{false};
static std::atomic<uint32_t> noted_signals{0};  // without a signal thread: one bit per signal
static std::atomic<int32_t> handed_off_status{-1};
static std::atomic<bool> handed_off_closed{false};
static sem_t signal_thread_stopped;
static std::atomic<void (*)()> console_close_action{nullptr};
static sigset_t handled_signals;  // the asynchronous ones not ignored at the start

static void fault_signal_set(sigset_t* faults);

static constexpr uint32_t signal_bit(int signal_number) { return uint32_t{1} << signal_number; }

bool in_signal_handler() { return running_signal_handler; }

void leave_signal_handler() { running_signal_handler = false; }

void wait_for_process_end() {
  for (;;) pause();
}

void hand_off_end_of_run(int32_t status, bool closed) {
  if (signal_thread_running.load() && !pthread_equal(pthread_self(), signal_thread)) {
    handed_off_closed.store(closed);
    handed_off_status.store(status);
    kill(getpid(), HAND_OFF_SIGNAL);
    if (!closed) wait_for_process_end();
    // The signal thread has taken every signal before the hand-off and takes no more: what
    // comes later stays pending, where exit_process sees it. This thread ends the process,
    // and flushes the console it printed to.
    while (sem_wait(&signal_thread_stopped) != 0) {
    }
  }
  if (!closed) {
    // Inside a handler with no thread to hand over to: end here with only what is safe.
    console_restore();
    write_pending_abort_message();
    _exit(status);
  }
  exit_process(status);
}

int32_t late_signal_error() {
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  const uint32_t noted = noted_signals.load();
  auto arrived = [&](int signal_number) {
    return (noted & signal_bit(signal_number)) != 0 ||
           (sigismember(&handled_signals, signal_number) == 1 &&
            sigismember(&pending, signal_number) == 1);
  };
  if (interrupt_after_end.load() || arrived(SIGINT)) return signal_errors[SIGINT];
  if (int32_t pending = pending_main_error.load()) return pending;
  if (arrived(SIGTERM)) return signal_errors[SIGTERM];
  return 0;
}

void note_handler_change(bool has_handler) {
  if (pthread_equal(pthread_self(), main_thread)) main_has_handler.store(has_handler);
}

int32_t pending_signal_error() {
  if (int32_t error = pending_main_error.load(std::memory_order_relaxed)) return error;
  // Without a signal thread: an interrupt or a termination request not yet acted on.
  const uint32_t noted = noted_signals.load(std::memory_order_relaxed);
  if (noted & signal_bit(SIGINT)) return signal_errors[SIGINT];
  if (noted & signal_bit(SIGTERM)) return signal_errors[SIGTERM];
  return 0;
}

void set_console_close_action(void (*action)()) { console_close_action.store(action); }

// A fault signal sent by another process is no fault of the code it interrupts: while the
// main thread has an error handler it gets that signal's report at its next safe point, as a
// termination request does, whichever thread the system handed the signal to. Jumping out
// of the handler instead would leave whatever the interrupted thread was doing half done
// (a sanitizer's bookkeeping, a lock), and only the main thread can print the report.
static bool defer_sent_fault(int signal_number) {
  if (!main_has_handler.load()) return false;
  int32_t none = 0;
  pending_main_error.compare_exchange_strong(none, signal_errors[signal_number]);
  return true;
}

static void report_fault(int signal_number, siginfo_t* info, void*) {
  if (info && info->si_code == SI_USER && info->si_pid != getpid() &&
      defer_sent_fault(signal_number)) {
    return;
  }
  report_signal(signal_number);
}

void report_signal(int signal_number) {
  running_signal_handler = true;
  int32_t error = signal_number > 0 && signal_number < SIGNAL_TABLE_SIZE
                      ? signal_errors[signal_number]
                      : 0;
  throw_error(error, -1, nullptr);
}

// Lets the signal take its default action on this thread: the process ends or stops. When it
// was a stop, the earlier action and mask come back once the process is continued.
static void raise_with_default_action(int signal_number) {
  struct sigaction default_action {};
  struct sigaction earlier {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  sigaction(signal_number, &default_action, &earlier);
  sigset_t just_this;
  sigset_t mask;
  sigemptyset(&just_this);
  sigaddset(&just_this, signal_number);
  raise(signal_number);
  pthread_sigmask(SIG_UNBLOCK, &just_this, &mask);
  pthread_sigmask(SIG_SETMASK, &mask, nullptr);
  sigaction(signal_number, &earlier, nullptr);
}

// The same with the terminal's own mode in place from before the signal lands until the
// process runs again (key input then comes back), whichever moment the signal came at.
static void take_default_action(int signal_number) {
  console_while_restored(raise_with_default_action, signal_number);
}

// What a signal taken as ordinary code does: on the signal thread, or without one on the
// main thread at a safe point.
static void act_on_signal(int signal_number) {
  switch (signal_number) {
    case SIGINT:
      if (!try_abort_with_message(signal_errors[SIGINT])) interrupt_after_end.store(true);
      break;
    case SIGTERM:
      if (main_has_handler.load() || !try_abort_with_message(signal_errors[SIGTERM])) {
        pending_main_error.store(signal_errors[SIGTERM]);
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
      take_default_action(console_close_action.load() ? SIGSTOP : SIGTSTP);
      break;
    default:  // a fault signal sent from outside to the signal thread
      if (!defer_sent_fault(signal_number)) try_abort_with_message(signal_errors[signal_number]);
      break;
  }
}

void poll_pending_signal() {
  if (noted_signals.load(std::memory_order_relaxed) != 0) {
    const uint32_t noted = noted_signals.exchange(0);
    for (int signal_number : ASYNCHRONOUS_SIGNALS) {
      if (noted & signal_bit(signal_number)) act_on_signal(signal_number);
    }
  }
  int32_t error = pending_main_error.exchange(0);
  if (error != 0) throw_error(error, -1, nullptr);
}

static void* signal_thread_main(void*) {
  sigset_t waited = handled_signals;
  for (int signal_number : FAULT_SIGNALS) sigaddset(&waited, signal_number);
  for (;;) {
    int signal_number = 0;
    if (sigwait(&waited, &signal_number) != 0) continue;
    if (signal_number != HAND_OFF_SIGNAL) {
      act_on_signal(signal_number);
    } else if (int32_t status = handed_off_status.load(); status >= 0) {
      // The thread that handed off has already claimed the end of the run.
      if (!handed_off_closed.load()) {
        runtime_exit();
        exit_process(status);
      }
      sem_post(&signal_thread_stopped);
      wait_for_process_end();
    }
  }
  return nullptr;
}

static void note_signal(int signal_number) { noted_signals.fetch_or(signal_bit(signal_number)); }

static char main_signal_stack[SIGNAL_STACK_BYTES];

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
  action.sa_sigaction = report_fault;
  action.sa_flags = SA_ONSTACK | SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  for (int signal_number : FAULT_SIGNALS) sigaction(signal_number, &action, nullptr);
  // A closed pipe, a full device or the file-size limit is a failed write, not the end of the
  // process.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);

  sigemptyset(&handled_signals);
  for (int signal_number : ASYNCHRONOUS_SIGNALS) {
    struct sigaction at_start {};
    if (sigaction(signal_number, nullptr, &at_start) == 0 && at_start.sa_handler == SIG_IGN) {
      continue;
    }
    sigaddset(&handled_signals, signal_number);
  }
  sigaddset(&handled_signals, HAND_OFF_SIGNAL);
  pthread_sigmask(SIG_BLOCK, &handled_signals, nullptr);
  sem_init(&signal_thread_stopped, 0, 0);
  // The signal thread inherits the fault signals blocked: none can ever interrupt it.
  sigset_t faults;
  fault_signal_set(&faults);
  pthread_sigmask(SIG_BLOCK, &faults, nullptr);
  const bool started = !signal_thread_start_fails &&
                       pthread_create(&signal_thread, nullptr, signal_thread_main, nullptr) == 0;
  pthread_sigmask(SIG_UNBLOCK, &faults, nullptr);
  if (started) {
    pthread_detach(signal_thread);
    signal_thread_running.store(true);
    return;
  }
  // Without it a handler notes the signal for the main thread; the hand-off stays blocked.
  sigdelset(&handled_signals, HAND_OFF_SIGNAL);
  struct sigaction noting {};
  noting.sa_handler = note_signal;
  noting.sa_flags = SA_RESTART;
  sigemptyset(&noting.sa_mask);
  for (int signal_number : ASYNCHRONOUS_SIGNALS) {
    if (sigismember(&handled_signals, signal_number) == 1) {
      sigaction(signal_number, &noting, nullptr);
    }
  }
  pthread_sigmask(SIG_UNBLOCK, &handled_signals, nullptr);
}

static thread_local void* worker_signal_stack = nullptr;
static thread_local bool worker_unblocked_faults = false;

static void fault_signal_set(sigset_t* faults) {
  sigemptyset(faults);
  for (int signal_number : FAULT_SIGNALS) sigaddset(faults, signal_number);
}

int create_worker_thread(pthread_t* thread, const pthread_attr_t* attributes,
                         void* (*body)(void*), void* argument) {
  sigset_t faults, mask;
  fault_signal_set(&faults);
  pthread_sigmask(SIG_BLOCK, &faults, &mask);
  const int result = pthread_create(thread, attributes, body, argument);
  pthread_sigmask(SIG_SETMASK, &mask, nullptr);
  return result;
}

static void set_up_worker_signal_stack() {
  stack_t current{};
  if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE) == 0) return;
  void* memory =
      mmap(nullptr, SIGNAL_STACK_BYTES, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return;
  stack_t alternate{};
  alternate.ss_sp = memory;
  alternate.ss_size = SIGNAL_STACK_BYTES;
  if (sigaltstack(&alternate, nullptr) != 0) {
    munmap(memory, SIGNAL_STACK_BYTES);
    return;
  }
  worker_signal_stack = memory;
}

// Only a thread that create_worker_thread started has the fault signals blocked: the main
// thread, running a worker's code itself, keeps them as they are.
void begin_worker_signal_stack() {
  set_up_worker_signal_stack();
  sigset_t faults, mask;
  fault_signal_set(&faults);
  pthread_sigmask(SIG_UNBLOCK, &faults, &mask);
  worker_unblocked_faults = sigismember(&mask, SIGSEGV) == 1;
}

void end_worker_signal_stack() {
  if (worker_unblocked_faults) {
    sigset_t faults;
    fault_signal_set(&faults);
    pthread_sigmask(SIG_BLOCK, &faults, nullptr);
    worker_unblocked_faults = false;
  }
  if (!worker_signal_stack) return;
  stack_t off{};
  off.ss_flags = SS_DISABLE;
  sigaltstack(&off, nullptr);
  munmap(worker_signal_stack, SIGNAL_STACK_BYTES);
  worker_signal_stack = nullptr;
}
