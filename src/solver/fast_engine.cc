// The fast engine; see fast_engine.h for its design.
#include "solver/fast_engine.h"

#include <pthread.h>

#include <atomic>
#include <cstring>

#include "platform/platform.h"

int32_t fast_engine_threads = 0;  // 0: one per processor

constexpr int MAX_POINTS = 64;     // bit masks of 64 bits; memory ends far sooner
constexpr int64_t CHUNK_ROWS = 1024;  // a multiple of 16: chunks start on a cache line
constexpr int64_t LINE_BYTES = 64;
constexpr int MAX_VECTORS = 4;     // lanes for up to 64 (narrow) or 32 (wide) end points

// The state of the solve in progress; written only between phases.
static int64_t n = 0;  // points other than point 1
static const DistanceMatrix* matrix = nullptr;
static bool narrow = true;
static int vectors = 1;  // lane blocks per row of the transposed matrix
static TableBlock cost_block;
static TableBlock transposed_block;
static void* cells = nullptr;             // line-aligned start of the cost table
static void* transposed = nullptr;        // line-aligned transposed matrix, lanes padded
static int64_t layer_base[MAX_POINTS + 1];  // first cell of the rows of each size
static uint64_t binomial[MAX_POINTS + 1][MAX_POINTS + 1];
// For the phase in progress: C(p, i) times the row width of the size below, so that the place
// of a row there is a sum, with no multiplication.
static uint64_t scaled_binomial[MAX_POINTS + 1][MAX_POINTS + 1];

static void fill_binomials() {
  for (int i = 0; i <= MAX_POINTS; ++i) {
    binomial[i][0] = 1;
    for (int j = 1; j <= MAX_POINTS; ++j) {
      binomial[i][j] = i == 0 ? 0 : binomial[i - 1][j - 1] + binomial[i - 1][j];
    }
  }
}

static int64_t cells_per_line(int64_t cell_bytes) { return LINE_BYTES / cell_bytes; }

// Fills layer_base for n points besides point 1; returns the total cell count, or -1.
static int64_t lay_out_sizes(int64_t points, int64_t cell_bytes) {
  const int64_t line = cells_per_line(cell_bytes);
  for (int64_t& base : layer_base) base = 0;
  int64_t total = 0;
  for (int64_t k = 1; k < points; ++k) {
    layer_base[k] = total;
    int64_t rows = static_cast<int64_t>(binomial[points][k]);
    int64_t size;
    if (rows < 0 || __builtin_mul_overflow(rows, points - k, &size) ||
        __builtin_add_overflow(total, size + line - 1, &total)) {
      return -1;
    }
    total -= total % line;
  }
  return total;
}

int64_t fast_table_bytes(int64_t n_points, int64_t cell_bytes) {
  if (n_points < 2 || n_points - 1 > MAX_POINTS - 2) return -1;
  if (binomial[1][1] == 0) fill_binomials();
  int64_t count = lay_out_sizes(n_points - 1, cell_bytes);
  int64_t bytes;
  if (count < 0 || __builtin_mul_overflow(count, cell_bytes, &bytes)) return -1;
  return bytes;
}

bool fast_cells_are_narrow() { return narrow; }

static void* line_aligned(void* block) {
  uintptr_t address = reinterpret_cast<uintptr_t>(block);
  return reinterpret_cast<void*>((address + LINE_BYTES - 1) & ~uintptr_t{LINE_BYTES - 1});
}

static int64_t colex_rank(uint64_t subset) {
  int64_t rank = 0;
  for (int i = 0; subset; ++i, subset &= subset - 1) {
    rank += static_cast<int64_t>(binomial[__builtin_ctzll(subset)][i + 1]);
  }
  return rank;
}

// The subset of k members with this colexicographic rank.
static uint64_t colex_unrank(int64_t rank, int64_t k) {
  uint64_t subset = 0;
  uint64_t left = static_cast<uint64_t>(rank);
  for (int64_t i = k; i >= 1; --i) {
    int64_t p = i - 1;
    while (binomial[p + 1][i] <= left) ++p;
    subset |= uint64_t{1} << p;
    left -= binomial[p][i];
  }
  return subset;
}

// The next larger mask with as many bits.
static inline uint64_t next_subset(uint64_t subset) {
  const uint64_t ripple = subset + (subset & (0 - subset));
  return ripple | (((subset ^ ripple) >> 2) >> __builtin_ctzll(subset));
}

// Position of end point q in the row of S: the points below q that are not in S.
static inline int64_t column_in_row(uint64_t subset, int64_t q) {
  return q - __builtin_popcountll(subset & ((uint64_t{1} << q) - 1));
}

template <typename Cell>
static inline Cell* cell_table() {
  return static_cast<Cell*>(cells);
}

int64_t fast_cost(uint64_t subset, int64_t end_point) {
  if (subset == 0) return distance(matrix, end_point, 1);
  const int64_t k = __builtin_popcountll(subset);
  const int64_t index =
      layer_base[k] + colex_rank(subset) * (n - k) + column_in_row(subset, end_point - 2);
  return narrow ? cell_table<int32_t>()[index] : cell_table<int64_t>()[index];
}

int64_t fast_next(uint64_t subset, int64_t end_point) {
  const int64_t target = fast_cost(subset, end_point);
  for (uint64_t rest = subset; rest; rest &= rest - 1) {
    const int64_t q = __builtin_ctzll(rest);
    const uint64_t without = subset & ~(uint64_t{1} << q);
    if (distance(matrix, end_point, q + 2) + fast_cost(without, q + 2) == target) return q + 2;
  }
  return 0;  // unreachable while the table holds true minima
}

template <typename Cell>
struct Lanes;
template <>
struct Lanes<int32_t> {
  typedef int32_t Signed __attribute__((vector_size(64)));
  typedef uint32_t Unsigned __attribute__((vector_size(64)));
  typedef uint32_t UnsignedCell;
};
template <>
struct Lanes<int64_t> {
  typedef int64_t Signed __attribute__((vector_size(64)));
  typedef uint64_t Unsigned __attribute__((vector_size(64)));
  typedef uint64_t UnsignedCell;
};

// Fills the rows of size k with ranks first..end-1.
template <typename Cell, int VECTORS>
[[gnu::always_inline]] static inline void fill_rows(int64_t k, int64_t first, int64_t end) {
  typedef typename Lanes<Cell>::Signed Signed;
  typedef typename Lanes<Cell>::Unsigned Unsigned;
  typedef typename Lanes<Cell>::UnsignedCell UnsignedCell;
  constexpr int LANES = 64 / sizeof(Cell);
  constexpr Cell INFINITE = static_cast<Cell>(~UnsignedCell{0} >> 1);

  const Cell* previous = cell_table<Cell>() + layer_base[k - 1];
  Cell* current = cell_table<Cell>() + layer_base[k];
  const Unsigned* rows_of_matrix = static_cast<const Unsigned*>(transposed);
  const int64_t width = n - k;
  const uint64_t everyone = n == 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;

  uint64_t subset = colex_unrank(first, k);
  Cell* out = current + first * width;
  for (int64_t rank = first; rank < end; ++rank, out += width) {
    // For each member p_j: the place of cost(S - p_j, p_j) in the size below is
    //   (sum_{i<j} C(p_i, i + 1) + sum_{i>j} C(p_i, i)) * previous_width + (p_j - j).
    int member[MAX_POINTS];
    uint64_t head_step[MAX_POINTS];  // C(p_j, j + 1), scaled
    uint64_t tail_step[MAX_POINTS];  // C(p_j, j), scaled
    int count = 0;
    uint64_t tail = 0;
    for (uint64_t rest = subset; rest; rest &= rest - 1, ++count) {
      const int p = __builtin_ctzll(rest);
      member[count] = p;
      head_step[count] = scaled_binomial[p][count + 1];
      tail_step[count] = scaled_binomial[p][count];
      tail += tail_step[count];
    }
    Signed best[VECTORS];
    for (int v = 0; v < VECTORS; ++v) best[v] = Signed{} + INFINITE;
    uint64_t head = 0;
    for (int j = 0; j < count; ++j) {
      const int p = member[j];
      tail -= tail_step[j];
      const Cell value = previous[head + tail + static_cast<uint64_t>(p - j)];
      head += head_step[j];
      const Unsigned added = Unsigned{} + static_cast<UnsignedCell>(value);
      const Unsigned* costs_to_p = rows_of_matrix + p * VECTORS;
      for (int v = 0; v < VECTORS; ++v) {
        Signed sum = reinterpret_cast<Signed>(costs_to_p[v] + added);
        best[v] = sum < best[v] ? sum : best[v];
      }
    }
    alignas(64) Cell lanes[VECTORS * LANES];
    memcpy(lanes, best, sizeof lanes);
    int64_t column = 0;
    for (uint64_t outside = ~subset & everyone; outside; outside &= outside - 1) {
      out[column++] = lanes[__builtin_ctzll(outside)];
    }
    subset = next_subset(subset);
  }
}

// Each kernel is compiled for several instruction sets and picked at load time.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KERNEL_CLONES
#else
#define KERNEL_CLONES __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#endif

#define DEFINE_KERNEL(name, Cell, VECTORS) \
  KERNEL_CLONES static void name(int64_t k, int64_t first, int64_t end) { \
    fill_rows<Cell, VECTORS>(k, first, end);                           \
  }
DEFINE_KERNEL(fill_narrow_1, int32_t, 1)
DEFINE_KERNEL(fill_narrow_2, int32_t, 2)
DEFINE_KERNEL(fill_narrow_3, int32_t, 3)
DEFINE_KERNEL(fill_narrow_4, int32_t, 4)
DEFINE_KERNEL(fill_wide_1, int64_t, 1)
DEFINE_KERNEL(fill_wide_2, int64_t, 2)
DEFINE_KERNEL(fill_wide_3, int64_t, 3)
DEFINE_KERNEL(fill_wide_4, int64_t, 4)

typedef void (*Kernel)(int64_t k, int64_t first, int64_t end);
static const Kernel KERNELS[2][MAX_VECTORS] = {
    {fill_wide_1, fill_wide_2, fill_wide_3, fill_wide_4},
    {fill_narrow_1, fill_narrow_2, fill_narrow_3, fill_narrow_4},
};

template <typename Cell>
static void write_transposed() {
  constexpr int LANES = 64 / sizeof(Cell);
  Cell* rows = static_cast<Cell*>(transposed);
  const int64_t stride = static_cast<int64_t>(vectors) * LANES;
  for (int64_t c = 0; c < n; ++c) {
    for (int64_t a = 0; a < n; ++a) {
      // The diagonal lane is never used; zero keeps it in range.
      rows[c * stride + a] = a == c ? 0 : static_cast<Cell>(distance(matrix, a + 2, c + 2));
    }
  }
}

template <typename Cell>
static void write_first_size() {
  Cell* first = cell_table<Cell>() + layer_base[1];
  for (int64_t q = 0; q < n; ++q) {
    const int64_t back = distance(matrix, q + 2, 1);
    int64_t column = 0;
    for (int64_t a = 0; a < n; ++a) {
      if (a != q) first[q * (n - 1) + column++] = static_cast<Cell>(distance(matrix, a + 2, q + 2) + back);
    }
  }
}

void fast_prepare(int64_t n_points, const DistanceMatrix* distances) {
  if (binomial[1][1] == 0) fill_binomials();
  matrix = distances;
  n = n_points - 1;
  narrow = path_cost_bound(distances) <= static_cast<uint64_t>(INT32_MAX - 1);
  const int64_t cell_bytes = narrow ? 4 : 8;
  const int64_t lanes = cells_per_line(cell_bytes);
  vectors = static_cast<int>((n + lanes - 1) / lanes);
  const int64_t bytes = fast_table_bytes(n_points, cell_bytes);
  if (bytes < 0 || vectors > MAX_VECTORS ||
      create_table(&cost_block, 1, bytes + LINE_BYTES, 1) != 0) {
    set_error_number(4);
    throw_at_line(LINE_COST_TABLE, MODULE_NAME);
  }
  cells = line_aligned(cost_block.cells);
  const int64_t rows = n > 0 ? n : 1;
  if (create_table(&transposed_block, 1, rows * vectors * LINE_BYTES + LINE_BYTES, 1) != 0) {
    throw_at_line(LINE_NEXT_TABLE, MODULE_NAME);
  }
  transposed = line_aligned(transposed_block.cells);
  if (narrow) {
    write_transposed<int32_t>();
  } else {
    write_transposed<int64_t>();
  }
}

void fast_fill_first_size() {
  if (narrow) {
    write_first_size<int32_t>();
  } else {
    write_first_size<int64_t>();
  }
}

// One size phase: the rows are handed out in chunks to whichever thread asks next.
struct Phase {
  int64_t k;
  int64_t rows;
  Kernel kernel;
  std::atomic<int64_t> next_chunk;
};
static Phase phase;

static void* fill_chunks(void*) {
  for (;;) {
    const int64_t chunk = phase.next_chunk.fetch_add(1, std::memory_order_relaxed);
    const int64_t first = chunk * CHUNK_ROWS;
    if (first >= phase.rows || pending_signal_error() != 0) break;
    const int64_t end = first + CHUNK_ROWS < phase.rows ? first + CHUNK_ROWS : phase.rows;
    phase.kernel(phase.k, first, end);
  }
  return nullptr;
}

static int32_t thread_count() {
  int32_t wanted = fast_engine_threads > 0 ? fast_engine_threads : processor_count();
  return wanted < 1 ? 1 : wanted > 64 ? 64 : wanted;
}

void fast_fill_size(int64_t k) {
  for (int p = 0; p <= MAX_POINTS; ++p) {
    for (int i = 0; i <= MAX_POINTS; ++i) {
      scaled_binomial[p][i] = binomial[p][i] * static_cast<uint64_t>(n - k + 1);
    }
  }
  phase.k = k;
  phase.rows = static_cast<int64_t>(binomial[n][k]);
  phase.kernel = KERNELS[narrow ? 1 : 0][vectors - 1];
  phase.next_chunk.store(0);
  const int64_t chunks = (phase.rows + CHUNK_ROWS - 1) / CHUNK_ROWS;
  int32_t helpers = thread_count() - 1;
  if (helpers > chunks - 1) helpers = static_cast<int32_t>(chunks - 1);
  pthread_t threads[64];
  bool started[64] = {};
  for (int32_t t = 0; t < helpers; ++t) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) continue;
    pthread_attr_setstacksize(&attributes, 1 << 20);
    // A helper that cannot start leaves its chunks to the others.
    started[t] = !(thread_start_should_fail && thread_start_should_fail(t)) &&
                 pthread_create(&threads[t], &attributes, fill_chunks, nullptr) == 0;
    pthread_attr_destroy(&attributes);
  }
  fill_chunks(nullptr);
  for (int32_t t = 0; t < helpers; ++t) {
    if (started[t]) pthread_join(threads[t], nullptr);
  }
}

void fast_release() {
  free_table(&cost_block);
  free_table(&transposed_block);
  cells = nullptr;
  transposed = nullptr;
}
