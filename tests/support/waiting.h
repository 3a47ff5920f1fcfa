// Waiting for something to happen, not for a time to pass: `ready` is asked again every few
// milliseconds until it holds or a generous limit runs out.
#pragma once

#include <chrono>
#include <thread>

namespace testing_support {

template <class Ready>
bool wait_until(Ready ready, std::chrono::milliseconds limit = std::chrono::minutes(2)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (ready()) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace testing_support
