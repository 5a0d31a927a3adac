// POSIX (Linux) implementation of the platform layer.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

double clock_seconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void sleep_milliseconds(int32_t ms) {
  if (ms <= 0) return;
  timespec rest{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

// Key input and the terminal's mode.
//
// DESIGN
// The terminal must never be left in key input's mode while the process is stopped or after
// it has ended. Three threads touch the mode: the main thread switches key input on at the
// pause; the signal thread restores the mode before a stop (Ctrl+Z) or a default ending
// (Ctrl+\, a hang-up) and switches key input on again when continued; whichever thread ends
// the run restores it for good. A stop lands at a moment of the kernel's choosing, so the
// restore and the stop must come with no change of mode in between: the mode is changed only
// under terminal_lock, and the thread that stops the process holds it from its restore until
// the process runs again, so that no other thread can switch key input on in between (were
// the mode switched on and the state not yet recorded, a restore that reads the state would
// see nothing to restore). Once restored for good (state 3) key input never comes back.
// console_restore, for a thread inside a signal handler that ends the process at once, takes
// no lock: it only ever ends key input.
//
// The mode before key input began: written once by console_start_key_input before the state
// says key input is on; read by the restores, possibly inside a signal handler.
static termios saved_terminal_mode;
static termios key_input_mode;
// 0 untouched, 1 key input on, 2 off while the process is stopped, 3 restored for good.
static std::atomic<int> key_input_state{0};
static pthread_mutex_t terminal_lock = PTHREAD_MUTEX_INITIALIZER;

// Only the foreground job may change the mode of its controlling terminal: the system stops a
// background job that tries (SIGTTOU), and leaves it stopped until someone brings it to the
// foreground. A terminal that is not the controlling one has no foreground job (-1).
static bool in_background() {
  const pid_t foreground = tcgetpgrp(STDIN_FILENO);
  return foreground > 0 && foreground != getpgrp();
}

bool console_start_key_input() {
  pthread_mutex_lock(&terminal_lock);
  bool on = key_input_state.load() == 1;
  termios mode;
  if (key_input_state.load() == 0 && isatty(STDIN_FILENO) && !in_background() &&
      tcgetattr(STDIN_FILENO, &mode) == 0) {
    saved_terminal_mode = mode;
    mode.c_lflag &= ~(ICANON | ECHO);
    mode.c_lflag |= ISIG;  // Ctrl+C must stay an interrupt, not become a key
    mode.c_cc[VMIN] = 0;
    mode.c_cc[VTIME] = 0;
    key_input_mode = mode;
    // TCSANOW: bytes typed before the pause must survive the switch, so nothing is flushed.
    if (tcsetattr(STDIN_FILENO, TCSANOW, &mode) == 0) {
      key_input_state.store(1);
      on = true;
    }
  }
  pthread_mutex_unlock(&terminal_lock);
  return on;
}

int console_read_pending(unsigned char* bytes, int capacity) {
  if (key_input_state.load() != 1) return 0;
  ssize_t got = read(STDIN_FILENO, bytes, static_cast<size_t>(capacity));
  return got > 0 ? static_cast<int>(got) : 0;
}

void console_restore() {
  int expected = 1;
  if (key_input_state.compare_exchange_strong(expected, 3)) {
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal_mode);
  }
}

void console_end_key_input() {
  pthread_mutex_lock(&terminal_lock);
  if (key_input_state.exchange(3) == 1) tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal_mode);
  pthread_mutex_unlock(&terminal_lock);
}

void console_while_restored(void (*action)(int), int argument) {
  pthread_mutex_lock(&terminal_lock);
  int expected = 1;
  const bool was_on = key_input_state.compare_exchange_strong(expected, 2);
  if (was_on) tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal_mode);
  action(argument);
  // Running again. Continued in the background, key input stays off: the pause then runs its
  // full time.
  expected = 2;
  if (was_on && !in_background() && key_input_state.compare_exchange_strong(expected, 1)) {
    tcsetattr(STDIN_FILENO, TCSANOW, &key_input_mode);
  }
  pthread_mutex_unlock(&terminal_lock);
}

int platform_open_input(const char* name, int* fd, int64_t* size) {
  // Only regular files are accepted, and anything else is refused before it is opened: opening
  // has effects of its own on some files (a writer waiting at a FIFO goes on, some devices
  // start working).
  struct stat named;
  if (stat(name, &named) != 0 || !S_ISREG(named.st_mode)) return 2;
  // O_NONBLOCK keeps the open from waiting should the name have changed to a FIFO meanwhile.
  int handle = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (handle < 0) return 2;
  struct stat info;
  if (fstat(handle, &info) != 0 || !S_ISREG(info.st_mode) || info.st_dev != named.st_dev ||
      info.st_ino != named.st_ino) {
    close(handle);
    return 2;
  }
  int flags = fcntl(handle, F_GETFL);
  if (flags >= 0) fcntl(handle, F_SETFL, flags & ~O_NONBLOCK);
  off_t end = lseek(handle, 0, SEEK_END);
  if (end < 0 || lseek(handle, 0, SEEK_SET) != 0) {
    close(handle);
    return 1;  // "illegal function call": the file's length cannot be measured
  }
  *fd = handle;
  *size = static_cast<int64_t>(end);
  return 0;
}

int platform_open_output(const char* name, int* fd) {
  // O_NONBLOCK: a pipe (FIFO) without a reader fails at once instead of waiting for one,
  // which could last for ever with the global lock held and no signal able to end the run.
  int handle =
      open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
  if (handle < 0) return 2;
  int flags = fcntl(handle, F_GETFL);
  if (flags >= 0) fcntl(handle, F_SETFL, flags & ~O_NONBLOCK);
  *fd = handle;
  return 0;
}

int64_t platform_read(int fd, unsigned char* bytes, int64_t capacity) {
  for (;;) {
    ssize_t got = read(fd, bytes, static_cast<size_t>(capacity));
    if (got >= 0) return got;
    if (errno != EINTR) return 0;
  }
}

bool platform_write(int fd, const unsigned char* bytes, int64_t count) {
  while (count > 0) {
    ssize_t put = write(fd, bytes, static_cast<size_t>(count));
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += put;
    count -= put;
  }
  return true;
}

bool platform_close(int fd) {
  // Linux releases the descriptor even when close reports EINTR, so it is never retried.
  return close(fd) == 0 || errno == EINTR;
}

void platform_hold_standard_streams() {
  for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream) {
    if (fcntl(stream, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free number is this one: those below it are open by now.
    int held = open("/dev/null", O_RDONLY);
    if (held >= 0 && held != stream) close(held);
  }
}

void platform_write_stderr(const char* bytes, int64_t count) {
  platform_write(STDERR_FILENO, reinterpret_cast<const unsigned char*>(bytes), count);
}

// Reads one decimal number (or "max") from a control-group file; -1 when absent or unlimited.
static int64_t read_limit_file(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char text[64];
  ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  if (got <= 0) return -1;
  text[got] = 0;
  if (text[0] < '0' || text[0] > '9') return -1;
  unsigned long long value = strtoull(text, nullptr, 10);
  if (value >= (1ULL << 62)) return -1;
  return static_cast<int64_t>(value);
}

static void take_lower_limit(int64_t* limit, int64_t candidate) {
  if (candidate > 0 && candidate < *limit) *limit = candidate;
}

// Every memory limit that applies to this process's control group and its ancestors, in
// both control-group layouts.
static void take_control_group_limits(int64_t* limit) {
  FILE* groups = fopen("/proc/self/cgroup", "re");
  if (!groups) return;
  char line[4096];
  while (fgets(line, sizeof line, groups)) {
    line[strcspn(line, "\n")] = 0;
    char* first_colon = strchr(line, ':');
    if (!first_colon) continue;
    char* second_colon = strchr(first_colon + 1, ':');
    if (!second_colon) continue;
    *second_colon = 0;
    const char* controllers = first_colon + 1;
    char group[4096];
    snprintf(group, sizeof group, "%s", second_colon + 1);
    const bool unified = controllers[0] == 0;
    const bool memory_v1 = strcmp(controllers, "memory") == 0;
    if (!unified && !memory_v1) continue;
    const char* root = unified ? "/sys/fs/cgroup" : "/sys/fs/cgroup/memory";
    const char* file = unified ? "memory.max" : "memory.limit_in_bytes";
    // Walk from the group up to the mount's root; the nearest directories that exist are
    // those visible in this namespace.
    for (;;) {
      char path[8300];
      snprintf(path, sizeof path, "%s%s/%s", root, group, file);
      take_lower_limit(limit, read_limit_file(path));
      char* slash = strrchr(group, '/');
      if (!slash) break;
      *slash = 0;
      if (group[0] == 0) {
        snprintf(path, sizeof path, "%s/%s", root, file);
        take_lower_limit(limit, read_limit_file(path));
        break;
      }
    }
  }
  fclose(groups);
}

int64_t process_memory_limit() {
  static std::atomic<int64_t> remembered{0};
  int64_t known = remembered.load();
  if (known > 0) return known;
  int64_t limit = INT64_MAX;
  long pages = sysconf(_SC_PHYS_PAGES);
  long page_size = sysconf(_SC_PAGESIZE);
  if (pages > 0 && page_size > 0 && pages <= INT64_MAX / page_size) {
    limit = static_cast<int64_t>(pages) * page_size;
  }
  take_control_group_limits(&limit);
  // An address-space limit: tables past it would fail as they grow, not up front.
  rlimit space{};
  if (getrlimit(RLIMIT_AS, &space) == 0 && space.rlim_cur != RLIM_INFINITY &&
      space.rlim_cur < static_cast<rlim_t>(INT64_MAX)) {
    take_lower_limit(&limit, static_cast<int64_t>(space.rlim_cur));
  }
  remembered.store(limit);
  return limit;
}

bool platform_huge_pages = true;

void* platform_map_pages(int64_t bytes) {
  void* pages = mmap(nullptr, static_cast<size_t>(bytes), PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) return nullptr;
  // Advice only: where the system has no huge pages the table works with small ones.
  if (platform_huge_pages) madvise(pages, static_cast<size_t>(bytes), MADV_HUGEPAGE);
  return pages;
}

void platform_unmap_pages(void* pages, int64_t bytes) {
  munmap(pages, static_cast<size_t>(bytes));
}

int32_t processor_count() {
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
    int count = CPU_COUNT(&allowed);
    if (count > 0) return count;
  }
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int32_t>(online) : 1;
}
