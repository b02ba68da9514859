// Memory for large blocks, mapped on its own and marked for huge pages: a
// block of tens of megabytes then faults in 2 MiB at a time instead of
// 4 KiB, which saves the kernel's per-page work. Where the system grants no
// huge pages such memory keeps ordinary pages.
#ifndef KORVO_HUGE_PAGES_H
#define KORVO_HUGE_PAGES_H

#include <cstddef>

constexpr size_t kHugePageBytes = size_t(2) << 20;

// At least `bytes` (rounded up to whole huge pages) aligned to a huge page;
// null when the mapping fails or the system has no such mappings.
void *huge_pages_map(size_t bytes);
// Releases [block, block + bytes) of memory from huge_pages_map (any part
// of it, in whole 4 KiB pages; bytes is rounded up as huge_pages_map did).
void huge_pages_unmap(void *block, size_t bytes);
// The size huge_pages_map maps for `bytes`.
size_t huge_pages_size(size_t bytes);

#endif
