#include "fuzz/scratch.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

static int scratch_descriptor = -1;
static char scratch_path[64];

static void open_scratch() {
  if (scratch_descriptor >= 0) return;
  scratch_descriptor = memfd_create("tourplan-fuzz", MFD_CLOEXEC);
  if (scratch_descriptor < 0) {
    perror("memfd_create");
    abort();
  }
  snprintf(scratch_path, sizeof scratch_path, "/proc/self/fd/%d", scratch_descriptor);
}

void scratch_write(const uint8_t* data, size_t size) {
  open_scratch();
  if (ftruncate(scratch_descriptor, 0) != 0) abort();
  size_t done = 0;
  while (done < size) {
    ssize_t put = pwrite(scratch_descriptor, data + done, size - done, static_cast<off_t>(done));
    if (put <= 0) abort();
    done += static_cast<size_t>(put);
  }
}

const char* scratch_name() {
  open_scratch();
  return scratch_path;
}
