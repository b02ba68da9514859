// Stop requests reaching a HiGHS run that polls for none.
//
// HiGHS asks its interrupt callbacks at every simplex and interior-point
// iteration and at every MIP limit check, and builds two message strings on
// the heap for each ask (about 900 instructions an iteration on e226,
// whatever the callback does). A solve therefore starts those callbacks only
// when something must be looked at on every ask (a checktime or bariteration
// callback, gap notification). Every other reason to stop arrives as a stop
// request (KRVSinterrupt from Ctrl-C's signal handler, another thread or a
// callback; a stop control changed by a callback), and the request starts
// the interrupt callbacks on the running instance through this record, so
// HiGHS's next ask sees it.
#pragma once

#include <atomic>
#include <cstddef>

class Highs;

namespace krvs {

class InterruptWake {
 public:
  // The running instance, whose callback function is installed: wake()
  // may start its interrupt callbacks from now on.
  void publish(Highs *highs) noexcept;
  // Before the callback function is removed: returns once no wake() uses
  // the instance any more.
  void withdraw() noexcept;
  // Starts the interrupt callbacks of the running instance, if any. Safe in
  // a signal handler and from any thread: two atomic counters and a flag
  // that HiGHS reads at its next ask (setting it is one word-sized store
  // into the instance's callback record, the only thing written there
  // while HiGHS runs).
  void wake() noexcept;
  // Other records that each wake() of this one wakes too, until
  // detach_workers() (the tree search's workers, each running its own
  // instance: a stop request names the problem being solved). The array
  // must stay valid until detach_workers() has returned.
  void attach_workers(InterruptWake *const *workers, size_t count) noexcept;
  void detach_workers() noexcept;

 private:
  std::atomic<Highs *> highs_{nullptr};
  std::atomic<InterruptWake *const *> workers_{nullptr};
  std::atomic<size_t> worker_count_{0};
  std::atomic<int> users_{0};
};

}  // namespace krvs
