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
