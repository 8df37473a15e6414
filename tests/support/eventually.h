// Waiting in tests for what other threads or processes bring about.
#pragma once

#include <chrono>
#include <thread>

// Polls `condition` every 2 ms until it holds (true) or `timeoutMs` has
// passed (false). Generous by default: the tests run under sanitizers and
// emulators too, and only a failure ever waits that long.
template <typename Condition> bool Eventually(Condition condition, int timeoutMs = 10000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
