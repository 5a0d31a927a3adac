#include "support/faults.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

void cause_segmentation_fault() {
  void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  *static_cast<volatile int*>(page) = 1;
}

void cause_bus_error() {
  char name[] = "/tmp/tourplan_bus_XXXXXX";
  int fd = mkstemp(name);
  unlink(name);
  void* page = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
  (void)*static_cast<volatile int*>(page);
}

void cause_divide_error() {
  // In assembly so that no sanitizer reports the division before the processor does.
  int zero = 0;
  int result;
  asm volatile("cltd\n\tidivl %1" : "=a"(result) : "r"(zero), "a"(1) : "edx");
  (void)result;
}

void cause_illegal_instruction() { asm volatile("ud2"); }

void cause_abort() { abort(); }

// Each frame stays in use during the next call, which reads it: no call can reuse its
// caller's frame, and nothing but the end of the stack ends the recursion.
static int descend(volatile char* caller) {
  volatile char frame[512];
  frame[0] = caller[0];
  frame[1] = 0;
  return caller[1] == 1 ? 0 : descend(frame) + frame[0];
}

void cause_stack_overflow() {
  static volatile char start[2];
  (void)descend(start);
}
