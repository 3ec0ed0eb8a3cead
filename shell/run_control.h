// What a running computation reports outward and listens for: progress of a
// phase and a request to stop. Kernels poll it between blocks of work; it
// never changes any result.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string_view>

#include "shell/run_error.h"

namespace infodiv {

struct RunControl {
  // Called with the phase's name ("triples", "columns"), units done and the
  // phase's total, from the thread that runs the phase; at most every few
  // thousand units.
  std::function<void(std::string_view phase, std::uint64_t done, std::uint64_t total)> progress;
  // Set (e.g. by a signal handler) to stop the run at the next poll with
  // RunError "Interrupted".
  const std::atomic<bool>* interrupted = nullptr;

  void report(std::string_view phase, std::uint64_t done, std::uint64_t total) const {
    if (progress) progress(phase, done, total);
  }
  void poll() const {
    if (interrupted != nullptr && interrupted->load(std::memory_order_relaxed)) {
      throw RunError(ErrorKind::Interrupted, "the user's request");
    }
  }
};

}  // namespace infodiv
