#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "runtime/runtime.h"
#include "platform/platform.h"
#include "support/faults.h"

namespace {

std::string message_of(int32_t number, int32_t line, const char* module, const char* function) {
  char buffer[ABORT_MESSAGE_CAPACITY];
  int32_t length = format_abort_message(buffer, number, line, module, function);
  EXPECT_EQ(length, static_cast<int32_t>(strlen(buffer)));
  return buffer;
}

TEST(AbortMessage, EveryShape) {
  struct Case {
    int32_t number, line;
    const char* module;
    const char* function;
    const char* message;
  } cases[] = {
      {4, 79, "tourplan", nullptr,
       "\nAborting due to runtime error 4 (out of memory) at line 79 of tourplan()\n\n"},
      {4, 88, "tourplan", nullptr,
       "\nAborting due to runtime error 4 (out of memory) at line 88 of tourplan()\n\n"},
      {9, -1, nullptr, nullptr, "\nAborting due to runtime error 9 (\"interrupted\" signal)\n\n"},
      {12, -1, nullptr, nullptr,
       "\nAborting due to runtime error 12 (\"segmentation violation\" signal)\n\n"},
      {0, -1, nullptr, nullptr, "\nAborting due to runtime error 0 ()\n\n"},
      {18, 5, nullptr, nullptr, "\nAborting due to runtime error 18 at line 5\n\n"},
      {-1, 0, "m", nullptr, "\nAborting due to runtime error -1 in m()\n\n"},
      {INT32_MIN, -7, "m", nullptr, "\nAborting due to runtime error -2147483648 in m()\n\n"},
      {17, 0, nullptr, nullptr, "\nAborting due to runtime error 17 (end of file)\n\n"},
      {2, 25, "mod", "fun", "\nAborting due to runtime error 2 (file not found) at line 25 of mod::fun()\n\n"},
      {1, -1, "mod", "fun", "\nAborting due to runtime error 1 (illegal function call) in mod::fun()\n\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(message_of(c.number, c.line, c.module, c.function), c.message);
  }
}

TEST(AbortMessage, ALongModuleIsCutToTheBuffer) {
  std::string module(3000, 'm');
  std::string message = message_of(4, 79, module.c_str(), nullptr);
  EXPECT_EQ(message.size(), static_cast<size_t>(ABORT_MESSAGE_CAPACITY - 1));
  EXPECT_EQ(message.substr(0, 60),
            "\nAborting due to runtime error 4 (out of memory) at line 79 ");
  EXPECT_EQ(message.back(), 'm');
}

TEST(ErrorTexts, TheTableIsComplete) {
  const char* texts[] = {"",
                         "illegal function call",
                         "file not found",
                         "file I/O error",
                         "out of memory",
                         "illegal resume",
                         "out of bounds array access",
                         "null pointer access",
                         "no privileges",
                         "\"interrupted\" signal",
                         "\"illegal instruction\" signal",
                         "\"floating point error\" signal",
                         "\"segmentation violation\" signal",
                         "\"termination request\" signal",
                         "\"abnormal termination\" signal",
                         "\"quit request\" signal",
                         "return without gosub",
                         "end of file"};
  for (int32_t number = 0; number < ERROR_TEXT_COUNT; ++number) {
    EXPECT_STREQ(error_text(number), texts[number]);
  }
  EXPECT_EQ(error_text(-1), nullptr);
  EXPECT_EQ(error_text(18), nullptr);
}

[[noreturn]] void fail_deep_inside(int depth, int32_t number, int32_t line, const char* module) {
  if (depth == 0) {
    set_error_number(number);
    throw_at_line(line, module);
  }
  fail_deep_inside(depth - 1, number, line, module);
}

TEST(ThrowError, JumpsToTheHandlerWithTheErrorRecorded) {
  sigjmp_buf point;
  static int landings;  // static: survives the jump unclobbered
  landings = 0;
  ErrorHandler previous = set_error_handler(&point);
  EXPECT_EQ(previous, nullptr);
  if (sigsetjmp(point, 1) == 0) {
    fail_deep_inside(10, 4, 120, "tourplan");
    ADD_FAILURE() << "the throw returned";
  }
  ++landings;
  ErrorContext* context = current_error_context();
  if (landings == 1) {
    EXPECT_EQ(context->error_number, 4);
    EXPECT_EQ(context->line, 120);
    EXPECT_STREQ(context->module_name, "tourplan");
    // A throw that names no module keeps the earlier one; the handler stays registered.
    throw_error(13, -1, nullptr);
  }
  EXPECT_EQ(landings, 2);
  EXPECT_EQ(context->error_number, 13);
  EXPECT_EQ(context->line, -1);
  EXPECT_STREQ(context->module_name, "tourplan");
  EXPECT_EQ(set_error_handler(nullptr), &point);
  *context = ErrorContext{};
}

TEST(ErrorContext, EachThreadHasItsOwnZeroFilledContext) {
  set_error_number(7);
  ErrorContext* mine = current_error_context();
  ErrorContext seen{};
  ErrorContext* theirs = nullptr;
  std::thread other([&] {
    theirs = current_error_context();
    seen = *theirs;
    set_error_number(3);
  });
  other.join();
  EXPECT_NE(theirs, mine);
  EXPECT_EQ(seen.error_number, 0);
  EXPECT_EQ(seen.handler, nullptr);
  EXPECT_EQ(error_number(), 7);
}

TEST(Tables, BoundsSizesAndTheMemoryLimit) {
  TableBlock table;
  EXPECT_EQ(create_table(&table, 2, 1, 8), 1);
  EXPECT_EQ(error_number(), 1);
  EXPECT_EQ(table.cells, nullptr);
  EXPECT_EQ(create_table_2d(&table, 1, 5, 1, 0, 8), 1);
  EXPECT_EQ(create_table(&table, INT64_MIN, INT64_MAX, 1), 4);
  EXPECT_EQ(create_table_2d(&table, 1, INT64_MAX / 2, 1, 3, 1), 4);
  EXPECT_EQ(create_table(&table, 1, INT64_MAX / 4, 8), 4);  // bytes overflow
  // Larger than this process may have: refused before any allocation.
  EXPECT_EQ(create_table(&table, 1, process_memory_limit() / 8 + 1, 8), 4);
  EXPECT_EQ(error_number(), 4);

  const int64_t before = live_table_bytes();
  EXPECT_EQ(create_table_2d(&table, 0, 9, 2, 11, 8), 0);
  EXPECT_EQ(error_number(), 0);
  EXPECT_EQ(table.bytes, 10 * 10 * 8);
  EXPECT_EQ(live_table_bytes(), before + 800);
  const int64_t* cells = static_cast<const int64_t*>(table.cells);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(cells[i], 0);
  free_table(&table);
  EXPECT_EQ(table.cells, nullptr);
  EXPECT_EQ(live_table_bytes(), before);
  free_table(&table);  // freeing an empty block is harmless

  // Live tables count against the limit: a request that alone would fit is refused when the
  // tables already live leave no room for it.
  TableBlock small;
  ASSERT_EQ(create_table(&small, 1, 4096, 1), 0);
  const int64_t room = process_memory_limit() - live_table_bytes();
  EXPECT_LT(room + 1, process_memory_limit());
  EXPECT_EQ(create_table(&table, 1, room + 1, 1), 4);
  free_table(&small);
}

TEST(Tables, TheTestSeamFailsCreationOnRequest) {
  table_creation_should_fail = [](int64_t count, int64_t) { return count == 3; };
  TableBlock table;
  EXPECT_EQ(create_table(&table, 1, 3, 8), 4);
  EXPECT_EQ(create_table(&table, 1, 4, 8), 0);
  free_table(&table);
  table_creation_should_fail = nullptr;
}

// Runs body on a new thread that holds no error handler, as a worker does.
void on_worker(void (*body)()) {
  pthread_t thread;
  pthread_create(
      &thread, nullptr,
      [](void* argument) -> void* {
        begin_worker_signal_stack();
        reinterpret_cast<void (*)()>(argument)();
        end_worker_signal_stack();
        return nullptr;
      },
      reinterpret_cast<void*>(body));
  pthread_join(thread, nullptr);
}

void start_runtime() {
  runtime_start();
  install_signal_handlers();
}

using AbortDeathTest = testing::Test;

TEST_F(AbortDeathTest, AThrowOnAThreadWithoutAHandlerAborts) {
  EXPECT_EXIT(
      {
        start_runtime();
        on_worker([] {
          set_error_number(4);
          throw_at_line(79, MODULE_NAME);
        });
      },
      testing::ExitedWithCode(4),
      testing::StrEq(
          "\nAborting due to runtime error 4 (out of memory) at line 79 of tourplan()\n\n"));
}

TEST_F(AbortDeathTest, AnAbortWithoutModuleUsesTheOneRecordedEarlier) {
  EXPECT_EXIT(
      {
        start_runtime();
        on_worker([] {
          sigjmp_buf point;
          if (sigsetjmp(point, 1) == 0) {
            set_error_handler(&point);
            throw_error(2, 25, "earlier");
          }
          set_error_handler(nullptr);
          throw_error(3, 0, nullptr);
        });
      },
      testing::ExitedWithCode(3),
      testing::StrEq("\nAborting due to runtime error 3 (file I/O error) in earlier()\n\n"));
}

TEST_F(AbortDeathTest, OutputIsFlushedBeforeTheMessage) {
  struct Case {
    const char* name;
    void (*abort)();
    int status;
    const char* message;
  } cases[] = {
      {"a throw on a worker", [] { on_worker([] { throw_error(4, 88, MODULE_NAME); }); }, 4,
       "\nAborting due to runtime error 4 (out of memory) at line 88 of tourplan()\n\n"},
      // Sent from outside while no other thread takes it.
      {"a fault signal that only the signal thread can take",
       [] {
         sigset_t faults;
         sigemptyset(&faults);
         sigaddset(&faults, SIGSEGV);
         pthread_sigmask(SIG_BLOCK, &faults, nullptr);
         alarm(20);  // rather than wait for ever should no thread take it
         kill(getpid(), SIGSEGV);
         for (;;) pause();
       },
       12, "\nAborting due to runtime error 12 (\"segmentation violation\" signal)\n\n"},
  };
  for (const Case& c : cases) {
    static void (*abort_now)();
    abort_now = c.abort;
    EXPECT_EXIT(
        {
          dup2(STDERR_FILENO, STDOUT_FILENO);  // what reaches standard output can be seen
          start_runtime();
          console_write("partial line", 12);  // still in the buffer at the abort
          abort_now();
        },
        testing::ExitedWithCode(c.status), testing::StrEq(std::string("partial line") + c.message))
        << c.name;
  }
}

TEST_F(AbortDeathTest, ManyThreadsAbortingAtOnceGiveOneMessage) {
  EXPECT_EXIT(
      {
        start_runtime();
        std::vector<pthread_t> threads(16);
        static pthread_barrier_t barrier;
        pthread_barrier_init(&barrier, nullptr, 16);
        for (pthread_t& thread : threads) {
          pthread_create(
              &thread, nullptr,
              [](void*) -> void* {
                pthread_barrier_wait(&barrier);
                throw_error(4, 79, MODULE_NAME);
              },
              nullptr);
        }
        for (pthread_t& thread : threads) pthread_join(thread, nullptr);
      },
      testing::ExitedWithCode(4),
      testing::StrEq(
          "\nAborting due to runtime error 4 (out of memory) at line 79 of tourplan()\n\n"));
}

struct FaultCase {
  const char* name;
  void (*cause)();
  int status;
  const char* message;
};

const FaultCase FAULTS[] = {
    {"segmentation fault", cause_segmentation_fault, 12,
     "\nAborting due to runtime error 12 (\"segmentation violation\" signal)\n\n"},
    {"bus error", cause_bus_error, 12,
     "\nAborting due to runtime error 12 (\"segmentation violation\" signal)\n\n"},
    {"divide error", cause_divide_error, 11,
     "\nAborting due to runtime error 11 (\"floating point error\" signal)\n\n"},
    {"illegal instruction", cause_illegal_instruction, 10,
     "\nAborting due to runtime error 10 (\"illegal instruction\" signal)\n\n"},
    {"abort", cause_abort, 14,
     "\nAborting due to runtime error 14 (\"abnormal termination\" signal)\n\n"},
    {"stack overflow", cause_stack_overflow, 12,
     "\nAborting due to runtime error 12 (\"segmentation violation\" signal)\n\n"},
};

TEST_F(AbortDeathTest, AFaultOnAWorkerAbortsWithItsNumberAndNoLine) {
  for (const FaultCase& fault : FAULTS) {
    static void (*cause)();
    cause = fault.cause;
    EXPECT_EXIT(
        {
          start_runtime();
          on_worker([] { cause(); });
        },
        testing::ExitedWithCode(fault.status), testing::StrEq(fault.message))
        << fault.name;
  }
}

TEST_F(AbortDeathTest, AFaultOnTheMainThreadWithoutAHandlerAborts) {
  EXPECT_EXIT(
      {
        start_runtime();
        cause_segmentation_fault();
      },
      testing::ExitedWithCode(12),
      testing::StrEq("\nAborting due to runtime error 12 (\"segmentation violation\" signal)\n\n"));
}

// Without the signal thread the main thread acts on the signal at its next safe point.
[[noreturn]] void wait_at_safe_points() {
  for (;;) {
    poll_pending_signal();
    usleep(1000);
  }
}

TEST_F(AbortDeathTest, TerminationRequestWithoutAHandlerAborts) {
  for (bool thread_fails : {false, true}) {
    signal_thread_start_fails = thread_fails;
    EXPECT_EXIT(
        {
          start_runtime();
          kill(getpid(), SIGTERM);
          wait_at_safe_points();
        },
        testing::ExitedWithCode(13),
        testing::StrEq("\nAborting due to runtime error 13 (\"termination request\" signal)\n\n"))
        << thread_fails;
  }
  signal_thread_start_fails = false;
}

[[noreturn]] void interrupt_with_a_handler() {
  start_runtime();
  sigjmp_buf point;
  if (sigsetjmp(point, 1) != 0) _exit(100);  // the handler must not be reached
  set_error_handler(&point);
  kill(getpid(), SIGINT);
  wait_at_safe_points();
}

TEST_F(AbortDeathTest, InterruptAbortsEvenWithAHandler) {
  for (bool thread_fails : {false, true}) {
    signal_thread_start_fails = thread_fails;
    EXPECT_EXIT(interrupt_with_a_handler(), testing::ExitedWithCode(9),
                testing::StrEq("\nAborting due to runtime error 9 (\"interrupted\" signal)\n\n"))
        << thread_fails;
  }
  signal_thread_start_fails = false;
}

// Ends the run with status 0 right after the signal, or once the signal thread has taken it.
[[noreturn]] void end_after(int sent, bool taken_first) {
  start_runtime();
  sigjmp_buf point;
  if (sigsetjmp(point, 1) != 0) _exit(100);
  set_error_handler(&point);
  kill(getpid(), sent);
  while (taken_first && pending_signal_error() == 0) usleep(1000);
  end_run(0);
}

TEST_F(AbortDeathTest, AnInterruptOrRequestBeforeTheProcessEndsDecidesItsStatus) {
  struct Case {
    const char* name;
    int sent;
    bool taken_first;  // the signal thread has taken it before the end begins
    int status;
    const char* message;
  } cases[] = {
      {"termination request taken", SIGTERM, true, 13, ""},
      {"termination request just sent", SIGTERM, false, 13, ""},
      {"interrupt just sent", SIGINT, false, 9,
       "\nAborting due to runtime error 9 (\"interrupted\" signal)\n\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EXIT(end_after(c.sent, c.taken_first), testing::ExitedWithCode(c.status),
                testing::StrEq(c.message))
        << c.name;
  }
}

TEST_F(AbortDeathTest, TerminationRequestWaitsForTheMainThreadsSafePoint) {
  EXPECT_EXIT(
      {
        start_runtime();
        sigjmp_buf point;
        if (sigsetjmp(point, 1) != 0) {
          fprintf(stderr, "handler %d", error_number());
          _exit(50);
        }
        set_error_handler(&point);
        kill(getpid(), SIGTERM);
        while (pending_signal_error() == 0) usleep(1000);
        poll_pending_signal();
      },
      testing::ExitedWithCode(50), testing::StrEq("handler 13"));
}

TEST_F(AbortDeathTest, FaultsOnTheMainThreadReachItsHandler) {
  for (const FaultCase& fault : FAULTS) {
    static void (*cause)();
    cause = fault.cause;
    EXPECT_EXIT(
        {
          start_runtime();
          sigjmp_buf point;
          if (sigsetjmp(point, 1) != 0) {
            alarm(20);  // rather than wait for ever for a lock still held
            std::thread([] {
              lock_global();
              unlock_global();
            }).join();
            fprintf(stderr, "handler %d line %d", error_number(), current_error_context()->line);
            _exit(50);
          }
          set_error_handler(&point);
          // As a worker's code does where the main thread runs it: its own stack stays.
          begin_worker_signal_stack();
          end_worker_signal_stack();
          lock_global();  // the jump leaves the locked region, and frees the lock
          cause();
        },
        testing::ExitedWithCode(50),
        testing::StrEq("handler " + std::to_string(fault.status) + " line -1"))
        << fault.name;
  }
}

}  // namespace
