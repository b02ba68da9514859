// Owned Python references in C++ code.
#ifndef KORVO_PYREF_H
#define KORVO_PYREF_H

#include <Python.h>

#include <utility>

// Owns one strong reference; move-only. Release with release() to hand the
// reference on, or let the destructor drop it.
class [[nodiscard]] PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new reference (may be null).
  explicit PyRef(PyObject *owned) noexcept : obj_(owned) {}
  // Takes a new reference to a borrowed object.
  static PyRef borrow(PyObject *borrowed) noexcept {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }
  PyRef(const PyRef &) = delete;
  PyRef &operator=(const PyRef &) = delete;
  PyRef(PyRef &&other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
  PyRef &operator=(PyRef &&other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = other.obj_;
      other.obj_ = nullptr;
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject *get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  [[nodiscard]] PyObject *release() noexcept { return std::exchange(obj_, nullptr); }
  void reset(PyObject *owned = nullptr) noexcept { Py_XDECREF(std::exchange(obj_, owned)); }

 private:
  PyObject *obj_ = nullptr;
};

// Holds the interpreter lock for a scope (for calls from engine threads).
class [[nodiscard]] GilGuard {
 public:
  GilGuard() noexcept : state_(PyGILState_Ensure()) {}
  ~GilGuard() { PyGILState_Release(state_); }
  GilGuard(const GilGuard &) = delete;
  GilGuard &operator=(const GilGuard &) = delete;

 private:
  PyGILState_STATE state_;
};

// Holds one of the module's mutexes for a scope.
class [[nodiscard]] MutexGuard {
 public:
  explicit MutexGuard(pthread_mutex_t &m) noexcept : m_(m) { pthread_mutex_lock(&m_); }
  ~MutexGuard() { pthread_mutex_unlock(&m_); }
  MutexGuard(const MutexGuard &) = delete;
  MutexGuard &operator=(const MutexGuard &) = delete;

 private:
  pthread_mutex_t &m_;
};

#endif
