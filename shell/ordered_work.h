// Units of work computed on several threads and consumed on the calling
// thread strictly in order, so that records come out in the order of the
// written run whatever the thread count.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "shell/run_control.h"

namespace infodiv {

// The worker count for a requested count (0: every core).
inline unsigned worker_count(unsigned requested) {
  if (requested != 0) return requested;
  unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : cores;
}

// Calls compute(u, slot) for u = 0..count-1 on `threads` threads, at most
// `window` units ahead of the consumer, and consume(u, slot) on the calling
// thread in ascending u. slot = u % window names the caller's storage for the
// unit's results: a slot is reused only after its unit was consumed. An
// exception from consume or compute (or control.poll()) stops the workers and
// propagates. With one thread everything runs on the calling thread.
template <class Compute, class Consume>
void run_in_order(std::size_t count, unsigned threads, std::size_t window, Compute compute, Consume consume,
                  const RunControl& control) {
  if (threads <= 1 || count <= 1) {
    for (std::size_t u = 0; u < count; ++u) {
      control.poll();
      compute(u, u % window);
      consume(u, u % window);
    }
    return;
  }
  std::mutex mutex;
  std::condition_variable work_cv, done_cv;
  std::size_t next = 0, consumed = 0;
  std::vector<char> ready(window, 0);
  bool stop = false;
  std::exception_ptr failure;

  auto worker = [&] {
    for (;;) {
      std::size_t u;
      {
        std::unique_lock lock(mutex);
        work_cv.wait(lock, [&] { return stop || next >= count || next < consumed + window; });
        if (stop || next >= count) return;
        u = next++;
      }
      try {
        compute(u, u % window);
      } catch (...) {
        std::lock_guard lock(mutex);
        if (!failure) failure = std::current_exception();
        stop = true;
        done_cv.notify_all();
        work_cv.notify_all();
        return;
      }
      std::lock_guard lock(mutex);
      ready[u % window] = 1;
      done_cv.notify_all();
    }
  };

  std::vector<std::thread> pool;
  auto finish = [&] {
    {
      std::lock_guard lock(mutex);
      stop = true;
    }
    work_cv.notify_all();
    for (std::thread& t : pool) t.join();
    pool.clear();
  };
  try {
    for (unsigned t = 0; t < threads; ++t) pool.emplace_back(worker);
    for (std::size_t u = 0; u < count; ++u) {
      // Also when the workers keep ahead and no unit is ever waited for.
      control.poll();
      {
        std::unique_lock lock(mutex);
        while (!ready[u % window] && !failure) {
          done_cv.wait_for(lock, std::chrono::milliseconds(50));
          lock.unlock();
          control.poll();
          lock.lock();
        }
        if (failure) std::rethrow_exception(failure);
        ready[u % window] = 0;
      }
      consume(u, u % window);
      {
        std::lock_guard lock(mutex);
        consumed = u + 1;
      }
      work_cv.notify_all();
    }
  } catch (...) {
    finish();
    throw;
  }
  finish();
}

}  // namespace infodiv
