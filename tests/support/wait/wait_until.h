// Polls a condition that other threads or processes make true, with a bound generous enough for
// a loaded machine; a test asserts on the result instead of sleeping for synchronisation.
#pragma once

#include <chrono>
#include <thread>

namespace Talvaro::Testing {

template <class Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace Talvaro::Testing
