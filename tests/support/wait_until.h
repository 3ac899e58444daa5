// Polls a condition on the real clock until it holds; the bound only keeps a
// broken run from hanging, so it is generous.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

inline bool WaitUntil(const std::function<bool()>& condition, int limitMs = 20000) {
    for (int waited = 0; waited < limitMs; waited += 5) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}
