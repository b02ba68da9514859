#include "search/workers.h"

#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/problem.h"
#include "search/branch_object.h"
#include "solve/solve_state.h"

namespace krvs {

int search_worker_count(KRVSprob prob) {
  int64_t wanted = prob->controls.get_int(CTRL_8001);
  if (wanted <= 0) wanted = std::max(1u, std::thread::hardware_concurrency());
  return int(std::min<int64_t>(wanted, 1024));
}

KRVSprob search_worker_problem(KRVSprob prob, int index) {
  auto &workers = prob->search_workers;
  while (int(workers.size()) <= index) {
    auto worker = std::make_unique<krvs_problem_s>();
    worker->search_origin = prob;
    workers.push_back(std::move(worker));
  }
  KRVSprob worker = workers[size_t(index)].get();
  worker->name = prob->name;
  worker->controls = prob->controls;
  {
    std::scoped_lock lock(prob->callback_mutex, worker->callback_mutex);
    // Messages of the engine's functions called on the worker's problem
    // reach the message callbacks of the problem being solved.
    worker->message_callbacks = prob->message_callbacks;
    worker->message_status = prob->message_status;
  }
  worker->model = prob->model;
  worker->solve = std::make_unique<SolveState>();
  // Nothing solves a worker's problem: it has no model of its own.
  worker->solve->running.value.store(true);
  worker->interrupt_reason.store(0);
  stored_branchings(prob);
  worker->stored_branchings = prob->stored_branchings;
  return worker;
}

void release_search_worker_results(KRVSprob prob) {
  for (auto &worker : prob->search_workers) {
    worker->solve->lp.clear();
    worker->solve->mip.clear();
  }
}

void run_worker_threads(int count, const std::function<void(int)> &body, const std::function<void()> &on_failure) {
  std::mutex failure_mutex;
  std::exception_ptr failure;
  auto fail = [&](std::exception_ptr e) {
    {
      std::lock_guard<std::mutex> lock(failure_mutex);
      if (!failure) failure = e;
    }
    on_failure();
  };
  std::vector<std::thread> threads;
  threads.reserve(size_t(count));
  for (int i = 0; i < count; ++i) {
    try {
      threads.emplace_back([&, i] {
        try {
          body(i);
        } catch (...) {
          fail(std::current_exception());
        }
      });
    } catch (...) {
      fail(std::current_exception());
      break;
    }
  }
  for (std::thread &t : threads) t.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace krvs
