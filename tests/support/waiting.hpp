#pragma once
// Bounded waiting for what another thread brings about: no test waits on the wall clock alone.
#include <chrono>
#include <thread>

namespace corvane::testing {

inline constexpr std::chrono::milliseconds kWait{5000};

// True as soon as the condition holds, false when it still does not after `timeout`. A test that
// expects something not to happen waits for it with a short timeout: EXPECT_FALSE(eventually(...)).
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout = kWait,
                std::chrono::milliseconds interval = std::chrono::milliseconds(2)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(interval);
  }
  return true;
}

}  // namespace corvane::testing
