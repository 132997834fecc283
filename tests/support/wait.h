// Bounded waiting for conditions that another thread makes true.
#pragma once

#include <chrono>
#include <thread>

namespace quillon::testing {

// Polls `condition` every millisecond until it holds or `timeout_ms` passes;
// returns its last value.
template <typename Condition>
bool WaitUntil(Condition condition, int timeout_ms = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace quillon::testing
