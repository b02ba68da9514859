// The module's allocator interface: every temporary array handed to the
// engine is made with it. A heap is a context pointer and three operations.
#ifndef KORVO_ALLOCATOR_H
#define KORVO_ALLOCATOR_H

#include <cstddef>

struct ko_MemoryAllocator_Heap {
  void *context;
  void *(*alloc)(void *context, size_t size);
  void *(*realloc)(void *context, void *block, size_t size);
  void (*free)(void *context, void *block);
};

extern ko_MemoryAllocator_Heap *ko_MemoryAllocator_DefaultHeap;

// 0 on success; -1 when a non-zero request fails (realloc then keeps the old block).
int ko_MemoryAllocator_Alloc_Untyped(ko_MemoryAllocator_Heap *heap, size_t size, void **out);
int ko_MemoryAllocator_Realloc_Untyped(ko_MemoryAllocator_Heap *heap, void **block, size_t size);
// Frees *block (nothing for null) and sets it to null.
void ko_MemoryAllocator_Free_Untyped(ko_MemoryAllocator_Heap *heap, void **block);

// Frees a temporary array on every exit path.
template <class T>
class [[nodiscard]] KoArray {
 public:
  KoArray() noexcept = default;
  KoArray(const KoArray &) = delete;
  KoArray &operator=(const KoArray &) = delete;
  KoArray(KoArray &&other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
  ~KoArray() { reset(); }
  // Allocates n elements; false on failure (the array stays empty).
  bool allocate(size_t n) {
    reset();
    void *block = nullptr;
    if (ko_MemoryAllocator_Alloc_Untyped(ko_MemoryAllocator_DefaultHeap, n * sizeof(T), &block) != 0)
      return false;
    ptr_ = static_cast<T *>(block);
    return true;
  }
  void reset() noexcept {
    void *block = ptr_;
    ko_MemoryAllocator_Free_Untyped(ko_MemoryAllocator_DefaultHeap, &block);
    ptr_ = nullptr;
  }
  // Takes ownership of an array made with the module allocator.
  void adopt(T *block) noexcept {
    reset();
    ptr_ = block;
  }
  T *get() const noexcept { return ptr_; }
  T **out() noexcept {
    reset();
    return &ptr_;
  }
  T &operator[](size_t i) const noexcept { return ptr_[i]; }

 private:
  T *ptr_ = nullptr;
};

#endif
