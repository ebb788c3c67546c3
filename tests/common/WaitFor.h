// Test helper: wait for a condition with a deadline instead of sleeping.
#pragma once

#include <chrono>
#include <thread>

namespace kestrune::test {

// Polls `pred` until it holds or `timeout` passes; returns its last value.
// The short back-off keeps an idle wait cheap without acting as
// synchronisation: callers always state what they wait for.
template <typename Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto pause = std::chrono::microseconds(50);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return pred();
        std::this_thread::sleep_for(pause);
        if (pause < std::chrono::milliseconds(5))
            pause *= 2;
    }
    return true;
}

} // namespace kestrune::test
