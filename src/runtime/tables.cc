// Tables with explicit bounds, with the memory check that keeps a table too large for this
// process from being handed out by an overcommitting kernel and killed later.
#include <atomic>
#include <cstdlib>

#include "platform/platform.h"
#include "runtime/runtime.h"

bool (*table_creation_should_fail)(int64_t cell_count, int64_t cell_bytes) = nullptr;

static std::atomic<int64_t> live_bytes{0};


int64_t live_table_bytes() { return live_bytes.load(); }

int64_t table_bytes_available() {
  const int64_t available = process_memory_limit() - live_bytes.load();
  return available > 0 ? available : 0;
}

// Extent of one index range, or -1 when the upper bound lies below the lower bound; -2 when
// the extent itself overflows.
static int64_t extent(int64_t lower, int64_t upper) {
  if (upper < lower) return -1;
  int64_t span;
  if (__builtin_sub_overflow(upper, lower, &span) || span == INT64_MAX) return -2;
  return span + 1;
}

static int32_t allocate(TableBlock* table, int64_t cell_count, int64_t cell_bytes, bool pages) {
  table->cells = nullptr;
  table->bytes = 0;
  table->mapped = false;
  int64_t bytes;
  if (__builtin_mul_overflow(cell_count, cell_bytes, &bytes)) return set_error_number(4);
  if (table_creation_should_fail && table_creation_should_fail(cell_count, cell_bytes)) {
    return set_error_number(4);
  }
  const int64_t limit = process_memory_limit();
  int64_t live = live_bytes.load();
  for (;;) {
    if (bytes > limit || live > limit - bytes) return set_error_number(4);
    if (live_bytes.compare_exchange_weak(live, live + bytes)) break;
  }
  void* cells = pages ? platform_map_pages(bytes > 0 ? bytes : 1)
                      : calloc(static_cast<size_t>(bytes > 0 ? bytes : 1), 1);
  if (!cells) {
    live_bytes.fetch_sub(bytes);
    return set_error_number(4);
  }
  table->cells = cells;
  table->bytes = bytes;
  table->mapped = pages;
  return set_error_number(0);
}

int32_t create_table(TableBlock* table, int64_t lower, int64_t upper, int64_t cell_bytes) {
  table->cells = nullptr;
  table->bytes = 0;
  table->mapped = false;
  int64_t count = extent(lower, upper);
  if (count == -1) return set_error_number(1);
  if (count < 0) return set_error_number(4);
  return allocate(table, count, cell_bytes, false);
}

int32_t create_page_table(TableBlock* table, int64_t bytes) {
  table->cells = nullptr;
  table->bytes = 0;
  table->mapped = false;
  if (bytes < 0) return set_error_number(4);
  return allocate(table, bytes, 1, true);
}

int32_t create_table_2d(TableBlock* table, int64_t lower1, int64_t upper1, int64_t lower2,
                        int64_t upper2, int64_t cell_bytes) {
  table->cells = nullptr;
  table->bytes = 0;
  table->mapped = false;
  int64_t rows = extent(lower1, upper1);
  int64_t columns = extent(lower2, upper2);
  if (rows == -1 || columns == -1) return set_error_number(1);
  int64_t count;
  if (rows < 0 || columns < 0 || __builtin_mul_overflow(rows, columns, &count)) {
    return set_error_number(4);
  }
  return allocate(table, count, cell_bytes, false);
}

void free_table(TableBlock* table) {
  if (table->cells) {
    if (table->mapped) {
      platform_unmap_pages(table->cells, table->bytes > 0 ? table->bytes : 1);
    } else {
      free(table->cells);
    }
    live_bytes.fetch_sub(table->bytes);
  }
  table->cells = nullptr;
  table->bytes = 0;
  table->mapped = false;
  set_error_number(0);
}
