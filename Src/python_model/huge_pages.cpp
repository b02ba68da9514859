#include "python_model/huge_pages.h"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

size_t huge_pages_size(size_t bytes) { return (bytes + kHugePageBytes - 1) & ~(kHugePageBytes - 1); }

#if defined(__linux__) && defined(MADV_HUGEPAGE)

void *huge_pages_map(size_t bytes) {
  size_t size = huge_pages_size(bytes);
  if (size < bytes) return nullptr;  // overflow
  // One huge page more than needed, then both ends trimmed to the alignment.
  void *raw = mmap(nullptr, size + kHugePageBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  uintptr_t begin = reinterpret_cast<uintptr_t>(raw);
  uintptr_t aligned = (begin + kHugePageBytes - 1) & ~uintptr_t(kHugePageBytes - 1);
  if (aligned > begin) munmap(raw, aligned - begin);
  uintptr_t end = begin + size + kHugePageBytes, used_end = aligned + size;
  if (end > used_end) munmap(reinterpret_cast<void *>(used_end), end - used_end);
  madvise(reinterpret_cast<void *>(aligned), size, MADV_HUGEPAGE);
  return reinterpret_cast<void *>(aligned);
}

void huge_pages_unmap(void *block, size_t bytes) {
  if (block) munmap(block, (bytes + 4095) & ~size_t(4095));
}

#else

void *huge_pages_map(size_t) { return nullptr; }
void huge_pages_unmap(void *, size_t) {}

#endif
