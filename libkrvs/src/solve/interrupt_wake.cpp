#include "solve/interrupt_wake.h"

#include <thread>

#include "Highs.h"

namespace krvs {

void InterruptWake::publish(Highs *highs) noexcept { highs_.store(highs); }

void InterruptWake::withdraw() noexcept {
  highs_.store(nullptr);
  // A wake() that saw the instance counted itself in before looking, so
  // once the count is back to zero none can touch it any more. A wake()
  // running in a signal handler on this very thread has finished before
  // this loop goes on.
  while (users_.load() != 0) std::this_thread::yield();
}

void InterruptWake::wake() noexcept {
  users_.fetch_add(1);
  if (Highs *highs = highs_.load()) {
    // The callback function is installed while published, so these only
    // set the flags (no log line, no allocation).
    highs->startCallback(kCallbackSimplexInterrupt);
    highs->startCallback(kCallbackIpmInterrupt);
    highs->startCallback(kCallbackMipInterrupt);
  }
  if (InterruptWake *const *workers = workers_.load()) {
    const size_t count = worker_count_.load();
    for (size_t i = 0; i < count; ++i) workers[i]->wake();
  }
  users_.fetch_sub(1);
}

void InterruptWake::attach_workers(InterruptWake *const *workers, size_t count) noexcept {
  // The count first: a wake() that sees the array sees its length.
  worker_count_.store(count);
  workers_.store(workers);
}

void InterruptWake::detach_workers() noexcept {
  workers_.store(nullptr);
  while (users_.load() != 0) std::this_thread::yield();
  worker_count_.store(0);
}

}  // namespace krvs
