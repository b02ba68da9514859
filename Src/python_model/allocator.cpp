#include "python_model/allocator.h"

#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

#include "python_model/huge_pages.h"

namespace {

// Blocks of at least this size are mapped on their own, on huge pages (the
// pending rows of a large addConstraint call, the arrays of a large batch):
// they fault in 2 MiB at a time. Smaller ones come from malloc.
constexpr size_t kLargeBlockBytes = kHugePageBytes;

// The large blocks alive and the sizes they were mapped for. Few at a time,
// so one table under a lock (the heap may be used without the interpreter lock).
std::mutex large_lock;
std::unordered_map<void *, size_t> *large_blocks = nullptr;

bool is_large(void *block, size_t *size) {
  std::lock_guard<std::mutex> guard(large_lock);
  if (!large_blocks) return false;
  auto found = large_blocks->find(block);
  if (found == large_blocks->end()) return false;
  *size = found->second;
  return true;
}

void *map_large(size_t size) {
  void *block = huge_pages_map(size);
  if (!block) return nullptr;
  try {
    std::lock_guard<std::mutex> guard(large_lock);
    if (!large_blocks) large_blocks = new std::unordered_map<void *, size_t>();
    large_blocks->emplace(block, size);
  } catch (const std::bad_alloc &) {
    huge_pages_unmap(block, size);
    return nullptr;
  }
  return block;
}

void unmap_large(void *block, size_t size) {
  {
    std::lock_guard<std::mutex> guard(large_lock);
    large_blocks->erase(block);
  }
  huge_pages_unmap(block, size);
}

void *default_alloc(void *, size_t size) {
  if (size >= kLargeBlockBytes)
    if (void *block = map_large(size)) return block;
  return malloc(size);
}

void default_free(void *, void *block) {
  size_t size = 0;
  if (is_large(block, &size))
    unmap_large(block, size);
  else
    free(block);
}

void *default_realloc(void *, void *block, size_t size) {
  if (!block) return default_alloc(nullptr, size);
  size_t old_size = 0;
  bool large = is_large(block, &old_size);
  if (large && size <= huge_pages_size(old_size) && size >= kLargeBlockBytes) {
    // Still fits the pages mapped for it.
    std::lock_guard<std::mutex> guard(large_lock);
    (*large_blocks)[block] = size;
    return block;
  }
  if (!large && size < kLargeBlockBytes) return realloc(block, size);
  // Moving between malloc and a mapping of its own, or to a larger mapping.
  void *moved = default_alloc(nullptr, size);
  if (!moved) return nullptr;
  size_t kept = large ? old_size : malloc_usable_size(block);
  std::memcpy(moved, block, kept < size ? kept : size);
  default_free(nullptr, block);
  return moved;
}

ko_MemoryAllocator_Heap default_heap = {nullptr, default_alloc, default_realloc, default_free};

}  // namespace

ko_MemoryAllocator_Heap *ko_MemoryAllocator_DefaultHeap = &default_heap;

int ko_MemoryAllocator_Alloc_Untyped(ko_MemoryAllocator_Heap *heap, size_t size, void **out) {
  *out = heap->alloc(heap->context, size);
  return (*out == nullptr && size != 0) ? -1 : 0;
}

int ko_MemoryAllocator_Realloc_Untyped(ko_MemoryAllocator_Heap *heap, void **block, size_t size) {
  void *grown = heap->realloc(heap->context, *block, size);
  if (grown == nullptr && size != 0) return -1;
  *block = grown;
  return 0;
}

void ko_MemoryAllocator_Free_Untyped(ko_MemoryAllocator_Heap *heap, void **block) {
  if (*block) heap->free(heap->context, *block);
  *block = nullptr;
}
