// The optimizer callbacks registered on a problem: one list per kind, each
// ordered by priority (highest first, registration order among equals).
// Solves take a snapshot of a list before calling into it, so a callback may
// add or remove registrations without disturbing the calls under way.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

namespace krvs {

// Kind numbers; the per-problem message callbacks have a list of their own
// (krvs_problem_s::message_callbacks), so CB_MESSAGE has no list here.
enum CallbackKind : int {
  CB_BARITERATION = 0,
  CB_BARLOG = 1,
  CB_CHGBRANCHOBJECT = 2,
  CB_CUTLOG = 3,
  CB_DESTROYMT = 4,
  CB_GAPNOTIFY = 5,
  CB_GLOBALLOG = 6,
  CB_INFNODE = 7,
  CB_INTSOL = 8,
  CB_LPLOG = 9,
  CB_MESSAGE = 10,
  CB_MIPTHREAD = 11,
  CB_NEWNODE = 12,
  CB_NODECUTOFF = 13,
  CB_OPTNODE = 14,
  CB_PREINTSOL = 15,
  CB_PRENODE = 16,
  CB_USERSOLNOTIFY = 17,
  CB_CHECKTIME = 18,
  CB_KIND_COUNT = 19,
};

struct CallbackEntry {
  void (*fn)();  // the registered function, cast back to its kind's type when called
  void *data;
  int priority;
};

class CallbackStore {
 public:
  void add(int kind, void (*fn)(), void *data, int priority) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto &list = lists_[kind];
    auto pos = list.begin();
    while (pos != list.end() && pos->priority >= priority) ++pos;
    list.insert(pos, CallbackEntry{fn, data, priority});
    counts_[kind].store(int(list.size()), std::memory_order_release);
  }
  // A null function removes every registration of the kind (those with the
  // given data when data is not null); returns the number removed.
  size_t remove(int kind, void (*fn)(), void *data) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto &list = lists_[kind];
    const size_t before = list.size();
    std::vector<CallbackEntry> kept;
    for (const CallbackEntry &e : list)
      if (!((!fn || e.fn == fn) && (!data || e.data == data))) kept.push_back(e);
    list.swap(kept);
    counts_[kind].store(int(list.size()), std::memory_order_release);
    return before - list.size();
  }
  std::vector<CallbackEntry> snapshot(int kind) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lists_[kind];
  }
  // Without the lock: solves ask this on every iteration and node.
  bool any(int kind) const { return counts_[kind].load(std::memory_order_acquire) != 0; }

 private:
  mutable std::mutex mutex_;
  std::vector<CallbackEntry> lists_[CB_KIND_COUNT];
  std::atomic<int> counts_[CB_KIND_COUNT] = {};
};

// Calls every registration of a kind in priority order as
// fn(prob, data, args...), the function cast to Fn.
template <class Fn, class Prob, class... Args>
void call_each(const CallbackStore &store, int kind, Prob prob, Args... args) {
  for (const CallbackEntry &e : store.snapshot(kind)) reinterpret_cast<Fn>(e.fn)(prob, e.data, args...);
}

}  // namespace krvs
