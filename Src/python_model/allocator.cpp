#include "python_model/allocator.h"

#include <cstdlib>

namespace {
void *default_alloc(void *, size_t size) { return malloc(size); }
void *default_realloc(void *, void *block, size_t size) { return realloc(block, size); }
void default_free(void *, void *block) { free(block); }
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
