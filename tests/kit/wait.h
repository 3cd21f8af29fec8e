#pragma once

#include <chrono>
#include <thread>

namespace kestavo::testkit {

// Polls condition every millisecond until it holds or the limit passes; true when it held.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::steady_clock::duration limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace kestavo::testkit
