// The row kernels; see row_kernels.h for their design.
#include "solver/row_kernels.h"

#include <immintrin.h>

#include <atomic>
#include <cstring>

#include "solver/worker_threads.h"

bool row_kernels_may_compress = true;

constexpr int MAX_VECTORS = 8;  // lane blocks for up to 32 end points of 16-byte cells

static uint64_t binomials[MAX_POINTS + 1][MAX_POINTS + 1];
static std::atomic<bool> binomials_ready{false};

static void fill_binomials() {
  for (int i = 0; i <= MAX_POINTS; ++i) {
    binomials[i][0] = 1;
    for (int j = 1; j <= MAX_POINTS; ++j) {
      binomials[i][j] = i == 0 ? 0 : binomials[i - 1][j - 1] + binomials[i - 1][j];
    }
  }
  binomials_ready.store(true);
}

uint64_t binomial(int m, int k) {
  if (!binomials_ready.load(std::memory_order_relaxed)) fill_binomials();
  return binomials[m][k];
}

int64_t colex_rank(uint64_t subset) {
  int64_t rank = 0;
  for (int i = 0; subset; ++i, subset &= subset - 1) {
    rank += static_cast<int64_t>(binomial(__builtin_ctzll(subset), i + 1));
  }
  return rank;
}

int64_t layer_bytes(int64_t n, int64_t k, int64_t cell_bytes) {
  if (n < 1 || n > MAX_POINTS || k < 1 || k >= n) return -1;
  const uint64_t rows = binomial(static_cast<int>(n), static_cast<int>(k));
  int64_t cells, bytes;
  if (rows > static_cast<uint64_t>(INT64_MAX) ||
      __builtin_mul_overflow(static_cast<int64_t>(rows), n - k, &cells) ||
      __builtin_mul_overflow(cells, cell_bytes, &bytes) ||
      __builtin_add_overflow(bytes, LINE_BYTES - 1, &bytes)) {
    return -1;
  }
  return bytes - bytes % LINE_BYTES;
}

int64_t cell_bytes_for(const DistanceMatrix* matrix) {
  const unsigned __int128 bound = path_cost_bound(matrix);
  if (bound <= static_cast<unsigned __int128>(INT16_MAX - 1)) return 2;
  if (bound <= static_cast<unsigned __int128>(INT32_MAX - 1)) return 4;
  if (bound <= static_cast<unsigned __int128>(INT64_MAX - 1)) return 8;
  return 16;
}

static int lanes_per_vector(int64_t cell_bytes) { return static_cast<int>(64 / cell_bytes); }

static int vectors_for(int64_t n, int64_t cell_bytes) {
  const int lanes = lanes_per_vector(cell_bytes);
  return static_cast<int>((n + lanes - 1) / lanes);
}

// The state of the solve in progress; written only between phases.
static int64_t n = 0;  // points other than point 1
static const DistanceMatrix* matrix = nullptr;
static int64_t cell_bytes = 4;
static int vectors = 1;  // lane blocks per row of the transposed matrix
static TableBlock transposed_block;
static void* transposed = nullptr;  // line-aligned transposed matrix, lanes padded

static void* line_aligned(void* block) {
  uintptr_t address = reinterpret_cast<uintptr_t>(block);
  return reinterpret_cast<void*>((address + LINE_BYTES - 1) & ~uintptr_t{LINE_BYTES - 1});
}

template <typename Cell>
struct Lanes;
template <>
struct Lanes<int16_t> {
  typedef int16_t Signed __attribute__((vector_size(64)));
  typedef uint16_t Unsigned __attribute__((vector_size(64)));
  typedef uint16_t UnsignedCell;
};
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
template <>
struct Lanes<__int128> {
  typedef __int128 Signed __attribute__((vector_size(64)));
  typedef unsigned __int128 Unsigned __attribute__((vector_size(64)));
  typedef unsigned __int128 UnsignedCell;
};

// The largest value of a cell: "no path yet". (Written out, since a strict standard library
// need not describe __int128.)
template <typename Cell>
constexpr Cell largest() {
  typedef typename Lanes<Cell>::UnsignedCell UnsignedCell;
  return static_cast<Cell>(static_cast<UnsignedCell>(~UnsignedCell{0}) >> 1);
}

// The low points 0..LOW_POINTS-1 and the high points above them. For a fixed high part H of
// a subset, the rows of all low parts L lie together, in the colexicographic order of L, so:
// - removing a low member l_j lands on a row whose place depends on L alone, plus a constant
//   for H (the sets below L - l_j with the same H);
// - removing a high member lands on row rank(L) of a block fixed by H.
// Both places are sums: per-L offsets built once per phase, per-H offsets built once per H.
constexpr int LOW_POINTS = 10;

struct LowSubset {
  uint64_t outside;                // low points not in L
  int32_t count;                   // |L|
  int32_t member[LOW_POINTS];      // the members l_0 < l_1 < ...
  uint32_t offset[LOW_POINTS];     // rank(L - l_j) * width below + (l_j - j)
};

static int low_points = 0;                          // min(n, LOW_POINTS)
static LowSubset low_subsets[1 << LOW_POINTS];      // by size, colexicographic within a size
static int32_t low_size_start[LOW_POINTS + 2];

static void build_low_subsets(int64_t previous_width) {
  low_points = n < LOW_POINTS ? static_cast<int>(n) : LOW_POINTS;
  const uint64_t low_mask = (uint64_t{1} << low_points) - 1;
  int32_t next = 0;
  for (int size = 0; size <= low_points; ++size) {
    low_size_start[size] = next;
    for (uint64_t mask = 0; mask <= low_mask; ++mask) {
      if (__builtin_popcountll(mask) != size) continue;
      LowSubset& entry = low_subsets[next++];
      entry.outside = ~mask & low_mask;
      entry.count = 0;
      for (uint64_t rest = mask; rest; rest &= rest - 1) {
        const int member = __builtin_ctzll(rest);
        const int j = entry.count++;
        entry.member[j] = member;
        entry.offset[j] = static_cast<uint32_t>(
            colex_rank(mask & ~(uint64_t{1} << member)) * previous_width + (member - j));
      }
    }
  }
  low_size_start[low_points + 1] = next;
}

// Writes the lanes of the end points outside S (the set bits of outside), in order, to out.
template <typename Cell, int VECTORS>
static inline void store_row_scalar(Cell* out, const Cell* lanes, uint64_t outside) {
  int64_t column = 0;
  for (; outside; outside &= outside - 1) out[column++] = lanes[__builtin_ctzll(outside)];
}

// The same with the processor's compress instructions: a few instructions per lane block
// instead of a few per end point. Masked stores touch no byte past the row.
#define COMPRESS_TARGET "avx512f,avx512bw,avx512vl,avx512vbmi2,bmi,bmi2,popcnt"
template <typename Cell, int VECTORS>
__attribute__((target(COMPRESS_TARGET))) static inline void store_row_compressed(
    Cell* out, const Cell* lanes, uint64_t outside) {
  constexpr int LANES = 64 / sizeof(Cell);
  constexpr uint64_t BLOCK = LANES == 64 ? ~uint64_t{0} : (uint64_t{1} << LANES) - 1;
  for (int v = 0; v < VECTORS; ++v) {
    const uint64_t mask = (outside >> (v * LANES)) & BLOCK;
    const __m512i block = _mm512_load_si512(lanes + v * LANES);
    const int count = __builtin_popcountll(mask);
    const uint64_t keep = (uint64_t{1} << count) - 1;
    if constexpr (sizeof(Cell) == 2) {
      _mm512_mask_storeu_epi16(out, static_cast<__mmask32>(keep),
                               _mm512_maskz_compress_epi16(static_cast<__mmask32>(mask), block));
    } else if constexpr (sizeof(Cell) == 4) {
      _mm512_mask_storeu_epi32(out, static_cast<__mmask16>(keep),
                               _mm512_maskz_compress_epi32(static_cast<__mmask16>(mask), block));
    } else {
      _mm512_mask_storeu_epi64(out, static_cast<__mmask8>(keep),
                               _mm512_maskz_compress_epi64(static_cast<__mmask8>(mask), block));
    }
    out += count;
  }
}

// One size phase: the layers it reads and writes, and the high parts handed out in chunks to
// whichever thread asks next.
typedef void (*Kernel)(int64_t k, uint64_t first, uint64_t end);
struct Phase {
  int64_t k;
  const void* previous;
  void* current;
  uint64_t high_parts;
  uint64_t chunk;
  Kernel kernel;
  std::atomic<uint64_t> next_chunk;
};
static Phase phase;

// Fills the rows of size k whose high parts are first_high..end_high-1 (high parts as masks of
// the points from low_points up, shifted down).
template <typename Cell, int VECTORS, void (*STORE_ROW)(Cell*, const Cell*, uint64_t)>
[[gnu::always_inline]] static inline void fill_rows(int64_t k, uint64_t first_high,
                                                    uint64_t end_high) {
  typedef typename Lanes<Cell>::Signed Signed;
  typedef typename Lanes<Cell>::Unsigned Unsigned;
  typedef typename Lanes<Cell>::UnsignedCell UnsignedCell;
  constexpr int LANES = 64 / sizeof(Cell);
  constexpr Cell INFINITE = largest<Cell>();

  const Cell* previous = static_cast<const Cell*>(phase.previous);
  Cell* current = static_cast<Cell*>(phase.current);
  const Unsigned* rows_of_matrix = static_cast<const Unsigned*>(transposed);
  const uint64_t previous_width = static_cast<uint64_t>(n - k + 1);
  const int64_t width = n - k;
  const int h = low_points;
  const uint64_t high_mask = (uint64_t{1} << (n - h)) - 1;

  for (uint64_t high = first_high; high < end_high; ++high) {
    const int high_count = __builtin_popcountll(high);
    const int low_count = static_cast<int>(k) - high_count;
    if (low_count < 0 || low_count > h) continue;
    int high_member[MAX_POINTS];
    uint64_t head[MAX_POINTS + 1];  // sum of C(P_i, low_count + i + 1) over i below
    uint64_t tail[MAX_POINTS + 1];  // sum of C(P_i, low_count + i) over i from here on
    int count = 0;
    for (uint64_t rest = high; rest; rest &= rest - 1) high_member[count++] = h + __builtin_ctzll(rest);
    head[0] = 0;
    for (int i = 0; i < count; ++i) {
      head[i + 1] = head[i] + binomials[high_member[i]][low_count + i + 1];
    }
    tail[count] = 0;
    for (int i = count - 1; i >= 0; --i) {
      tail[i] = tail[i + 1] + binomials[high_member[i]][low_count + i];
    }
    // Removing a low member: the rows below with this H start at the sets of one point less.
    const uint64_t low_removal_base = tail[0] * previous_width;
    uint64_t high_removal_offset[MAX_POINTS];
    for (int i = 0; i < count; ++i) {
      high_removal_offset[i] = (head[i] + tail[i + 1]) * previous_width +
                               static_cast<uint64_t>(high_member[i] - low_count - i);
    }
    const uint64_t high_outside = (~high & high_mask) << h;
    const LowSubset* low = low_subsets + low_size_start[low_count];
    const int64_t rows = low_size_start[low_count + 1] - low_size_start[low_count];
    Cell* out = current + static_cast<int64_t>(head[count]) * width;
    uint64_t low_rank_base = 0;  // rank(L) * width below
    for (int64_t row = 0; row < rows; ++row, ++low, out += width, low_rank_base += previous_width) {
      Signed best[VECTORS];
      for (int v = 0; v < VECTORS; ++v) best[v] = Signed{} + INFINITE;
      for (int j = 0; j < low_count; ++j) {
        const Unsigned added =
            Unsigned{} + static_cast<UnsignedCell>(previous[low_removal_base + low->offset[j]]);
        const Unsigned* costs_to_p = rows_of_matrix + low->member[j] * VECTORS;
        for (int v = 0; v < VECTORS; ++v) {
          Signed sum = reinterpret_cast<Signed>(costs_to_p[v] + added);
          best[v] = sum < best[v] ? sum : best[v];
        }
      }
      for (int i = 0; i < count; ++i) {
        const Unsigned added = Unsigned{} + static_cast<UnsignedCell>(
                                                previous[low_rank_base + high_removal_offset[i]]);
        const Unsigned* costs_to_p = rows_of_matrix + high_member[i] * VECTORS;
        for (int v = 0; v < VECTORS; ++v) {
          Signed sum = reinterpret_cast<Signed>(costs_to_p[v] + added);
          best[v] = sum < best[v] ? sum : best[v];
        }
      }
      alignas(64) Cell lanes[VECTORS * LANES];
      memcpy(lanes, best, sizeof lanes);
      STORE_ROW(out, lanes, low->outside | high_outside);
    }
  }
}

// Each kernel is compiled for several instruction sets and picked at load time.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KERNEL_CLONES
#else
#define KERNEL_CLONES __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#endif

#define DEFINE_KERNEL(name, Cell, VECTORS)                                              \
  KERNEL_CLONES static void name(int64_t k, uint64_t first, uint64_t end) {          \
    fill_rows<Cell, VECTORS, store_row_scalar<Cell, VECTORS>>(k, first, end);        \
  }                                                                                  \
  __attribute__((target("arch=x86-64-v4," COMPRESS_TARGET))) static void name##_compressed( \
      int64_t k, uint64_t first, uint64_t end) {                                     \
    fill_rows<Cell, VECTORS, store_row_compressed<Cell, VECTORS>>(k, first, end);    \
  }
// 128-bit cells are the rare case of huge costs: one portable kernel, no vector dispatch.
#define DEFINE_HUGE_KERNEL(name, VECTORS)                                          \
  static void name(int64_t k, uint64_t first, uint64_t end) {                      \
    fill_rows<__int128, VECTORS, store_row_scalar<__int128, VECTORS>>(k, first, end); \
  }
DEFINE_KERNEL(fill_short_1, int16_t, 1)
DEFINE_KERNEL(fill_short_2, int16_t, 2)
DEFINE_KERNEL(fill_narrow_1, int32_t, 1)
DEFINE_KERNEL(fill_narrow_2, int32_t, 2)
DEFINE_KERNEL(fill_narrow_3, int32_t, 3)
DEFINE_KERNEL(fill_narrow_4, int32_t, 4)
DEFINE_KERNEL(fill_wide_1, int64_t, 1)
DEFINE_KERNEL(fill_wide_2, int64_t, 2)
DEFINE_KERNEL(fill_wide_3, int64_t, 3)
DEFINE_KERNEL(fill_wide_4, int64_t, 4)
DEFINE_HUGE_KERNEL(fill_huge_1, 1)
DEFINE_HUGE_KERNEL(fill_huge_2, 2)
DEFINE_HUGE_KERNEL(fill_huge_3, 3)
DEFINE_HUGE_KERNEL(fill_huge_4, 4)
DEFINE_HUGE_KERNEL(fill_huge_5, 5)
DEFINE_HUGE_KERNEL(fill_huge_6, 6)
DEFINE_HUGE_KERNEL(fill_huge_7, 7)
DEFINE_HUGE_KERNEL(fill_huge_8, 8)

// By cell width (2, 4, 8, 16 bytes) and lane blocks; 2-byte cells need at most two blocks,
// 4-byte cells four, 8-byte cells four (32 end points, far beyond any memory).
static const Kernel KERNELS[4][MAX_VECTORS] = {
    {fill_short_1, fill_short_2},
    {fill_narrow_1, fill_narrow_2, fill_narrow_3, fill_narrow_4},
    {fill_wide_1, fill_wide_2, fill_wide_3, fill_wide_4},
    {fill_huge_1, fill_huge_2, fill_huge_3, fill_huge_4, fill_huge_5, fill_huge_6, fill_huge_7,
     fill_huge_8},
};
static const Kernel COMPRESSED_KERNELS[4][MAX_VECTORS] = {
    {fill_short_1_compressed, fill_short_2_compressed},
    {fill_narrow_1_compressed, fill_narrow_2_compressed, fill_narrow_3_compressed,
     fill_narrow_4_compressed},
    {fill_wide_1_compressed, fill_wide_2_compressed, fill_wide_3_compressed,
     fill_wide_4_compressed},
    {fill_huge_1, fill_huge_2, fill_huge_3, fill_huge_4, fill_huge_5, fill_huge_6, fill_huge_7,
     fill_huge_8},
};

static int width_index(int64_t bytes) {
  return bytes == 2 ? 0 : bytes == 4 ? 1 : bytes == 8 ? 2 : 3;
}

bool rows_supported(int64_t points, int64_t bytes) {
  if (points < 0 || points > MAX_POINTS - 2) return false;
  const int blocks = points > 0 ? vectors_for(points, bytes) : 1;
  return blocks <= MAX_VECTORS && KERNELS[width_index(bytes)][blocks - 1] != nullptr;
}

static bool processor_compresses() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi2") &&
         __builtin_cpu_supports("bmi2");
}

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
static void write_first_size(void* layer) {
  Cell* first = static_cast<Cell*>(layer);
  for (int64_t q = 0; q < n; ++q) {
    const PathCost back = distance(matrix, q + 2, 1);
    int64_t column = 0;
    for (int64_t a = 0; a < n; ++a) {
      if (a != q) first[q * (n - 1) + column++] = static_cast<Cell>(distance(matrix, a + 2, q + 2) + back);
    }
  }
}

void rows_prepare(const DistanceMatrix* distances, int64_t bytes) {
  binomial(0, 0);  // the kernels read the table directly
  matrix = distances;
  n = distances->n - 1;
  cell_bytes = bytes;
  vectors = n > 0 ? vectors_for(n, bytes) : 1;
  const int64_t rows = n > 0 ? n : 1;
  if (create_table(&transposed_block, 1, rows * vectors * LINE_BYTES + LINE_BYTES, 1) != 0) {
    throw_at_line(LINE_NEXT_TABLE, MODULE_NAME);
  }
  transposed = line_aligned(transposed_block.cells);
  switch (cell_bytes) {
    case 2: write_transposed<int16_t>(); break;
    case 4: write_transposed<int32_t>(); break;
    case 8: write_transposed<int64_t>(); break;
    default: write_transposed<__int128>(); break;
  }
}

void rows_fill_first_size(void* layer) {
  switch (cell_bytes) {
    case 2: write_first_size<int16_t>(layer); break;
    case 4: write_first_size<int32_t>(layer); break;
    case 8: write_first_size<int64_t>(layer); break;
    default: write_first_size<__int128>(layer); break;
  }
}

static void* fill_chunks(void*) {
  for (;;) {
    const uint64_t first = phase.next_chunk.fetch_add(1, std::memory_order_relaxed) * phase.chunk;
    if (first >= phase.high_parts || solver_should_stop()) break;
    const uint64_t end = first + phase.chunk < phase.high_parts ? first + phase.chunk
                                                                 : phase.high_parts;
    phase.kernel(phase.k, first, end);
  }
  return nullptr;
}

void rows_fill_size(int64_t k, const void* previous, void* current) {
  build_low_subsets(n - k + 1);
  const int32_t threads = solver_thread_count();
  phase.k = k;
  phase.previous = previous;
  phase.current = current;
  phase.high_parts = uint64_t{1} << (n - low_points);
  // Several chunks per thread, so that threads finishing early take over the rest.
  phase.chunk = phase.high_parts / (static_cast<uint64_t>(threads) * 32);
  if (phase.chunk == 0) phase.chunk = 1;
  static const bool compress = processor_compresses();
  phase.kernel = (compress && row_kernels_may_compress ? COMPRESSED_KERNELS
                                                       : KERNELS)[width_index(cell_bytes)][vectors - 1];
  phase.next_chunk.store(0);
  const uint64_t chunks = (phase.high_parts + phase.chunk - 1) / phase.chunk;
  run_on_threads(fill_chunks, chunks < static_cast<uint64_t>(threads) ? static_cast<int32_t>(chunks)
                                                                      : threads);
}

void rows_release() {
  free_table(&transposed_block);
  transposed = nullptr;
  matrix = nullptr;
}

PathCost read_cell(const void* layer, int64_t index, int64_t bytes) {
  switch (bytes) {
    case 2: return static_cast<const int16_t*>(layer)[index];
    case 4: return static_cast<const int32_t*>(layer)[index];
    case 8: return static_cast<const int64_t*>(layer)[index];
    default: return static_cast<const __int128*>(layer)[index];
  }
}
