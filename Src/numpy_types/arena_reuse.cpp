// Every element of an array operation is a new object, so each operation
// over a large array allocates tens of megabytes of small objects, and the
// operand it consumed (a temporary of the same size) dies right after. The
// interpreter returns an arena to the system as soon as it is empty and maps
// a fresh one for the next allocation, so a chain such as
// (a - b) / h - 0.5 * (c + d) spent about half of its time in page faults,
// zeroing pages and unmapping them. Keeping a bounded stock of freed arenas
// and handing them out again removes that churn; a new arena is mapped only
// when the stock is empty.
//
// New arenas are carved out of larger mappings aligned to 2 MiB with a
// request for huge pages: the first touch of a fresh arena then costs one
// page fault per 2 MiB instead of one per 4 KiB, and walking millions of
// objects misses the TLB far less (a chain of element-wise operations over
// 250k elements spent a sixth of its time in the kernel's page faults). A
// carved arena is given back with munmap of its own range like any other.
#include "numpy_types/arena_reuse.h"

#include <Python.h>
#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace {

// At most this many bytes of freed arenas are kept (the interpreter's arenas
// are 1 MiB on 64-bit builds, so 64 of them). The stock is memory held after
// the temporaries are gone, so it adds up to this much to a process's peak
// when a larger allocation of another kind follows array arithmetic (lqcp
// 500: 385 -> 449 MiB for 0.87 -> 0.71 s); 64 MiB gave nearly all of the
// gain of 128 MiB.
constexpr size_t kKeptBytes = size_t(64) << 20;
constexpr size_t kMaxKept = 512;

PyObjectArenaAllocator previous;  // the interpreter's own allocator
void *kept[kMaxKept];
size_t kept_count = 0;
size_t kept_size = 0;  // size of every kept arena (the interpreter uses one size)
bool installed = false;

// The arena allocator is one per process, while interpreters with a lock of
// their own may allocate arenas at the same time: the stock has its own lock
// (taken once per megabyte of objects).
pthread_mutex_t stock_lock = PTHREAD_MUTEX_INITIALIZER;

// ---- carving arenas out of huge-page mappings (under stock_lock) ----

constexpr size_t kHugePage = size_t(2) << 20;
constexpr size_t kChunkBytes = size_t(32) << 20;  // one mapping, carved into arenas
constexpr size_t kMaxChunks = 4096;                // 128 GiB of arenas

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kCarve = false;  // sanitizer builds keep the interpreter's own mappings
#else
constexpr bool kCarve = true;
#endif

// Address ranges of every chunk mapped, so that an arena mapped by the
// interpreter's allocator (before this one was installed, or when no chunk
// could be mapped) is told apart from a carved one. Should such an arena lie
// in the hole a freed carved arena left, it is unmapped here rather than by
// the interpreter's allocator, which does the same munmap.
uintptr_t chunk_begin[kMaxChunks];
size_t chunk_count = 0;
char *carve_next = nullptr;  // uncarved rest of the newest chunk
char *carve_end = nullptr;

bool is_carved(const void *ptr) {
  uintptr_t p = reinterpret_cast<uintptr_t>(ptr);
  for (size_t i = chunk_count; i-- > 0;)
    if (p >= chunk_begin[i] && p - chunk_begin[i] < kChunkBytes) return true;
  return false;
}

// A new chunk of kChunkBytes aligned to a huge page; false if none can be mapped.
bool map_chunk() {
  if (chunk_count == kMaxChunks) return false;
  void *raw = mmap(nullptr, kChunkBytes + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return false;
  const uintptr_t begin = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (begin + kHugePage - 1) & ~uintptr_t(kHugePage - 1);
  if (aligned > begin) munmap(raw, aligned - begin);
  const uintptr_t tail = begin + kChunkBytes + kHugePage - (aligned + kChunkBytes);
  if (tail > 0) munmap(reinterpret_cast<void *>(aligned + kChunkBytes), tail);
  madvise(reinterpret_cast<void *>(aligned), kChunkBytes, MADV_HUGEPAGE);  // a hint only
  chunk_begin[chunk_count++] = aligned;
  carve_next = reinterpret_cast<char *>(aligned);
  carve_end = carve_next + kChunkBytes;
  return true;
}

// An arena of `size` bytes from the newest chunk, or null when arenas of
// that size are not carved or no chunk can be mapped.
void *carve(size_t size) {
  if (!kCarve || size == 0 || kHugePage % size != 0) return nullptr;
  if (carve_end - carve_next < static_cast<std::ptrdiff_t>(size) && !map_chunk()) return nullptr;
  void *arena = carve_next;
  carve_next += size;
  return arena;
}

size_t kept_limit() { return kept_size ? std::min(kMaxKept, kKeptBytes / kept_size) : kMaxKept; }

void *reuse_alloc(void *, size_t size) {
  void *arena = nullptr;
  pthread_mutex_lock(&stock_lock);
  if (kept_count > 0 && size == kept_size)
    arena = kept[--kept_count];
  else
    arena = carve(size);
  pthread_mutex_unlock(&stock_lock);
  return arena ? arena : previous.alloc(previous.ctx, size);
}

void reuse_free(void *, void *ptr, size_t size) {
  bool stocked = false, carved = false;
  pthread_mutex_lock(&stock_lock);
  if (ptr && (kept_count == 0 || size == kept_size)) {
    if (kept_count == 0) kept_size = size;
    if (kept_count < kept_limit()) {
      kept[kept_count++] = ptr;
      stocked = true;
    }
  }
  if (!stocked && ptr) carved = is_carved(ptr);
  pthread_mutex_unlock(&stock_lock);
  if (stocked) return;
  if (carved)
    munmap(ptr, size);
  else
    previous.free(previous.ctx, ptr, size);
}

}  // namespace

void arena_reuse_install(void) {
  if (installed) return;
  PyObject_GetArenaAllocator(&previous);
  if (!previous.alloc || !previous.free) return;
  PyObjectArenaAllocator reuse = {nullptr, reuse_alloc, reuse_free};
  PyObject_SetArenaAllocator(&reuse);
  installed = true;
}
