#pragma once
#include <functional>

namespace corvid {

// How netenv's threads reach the UI thread: the window's hand-over
// (UiHandOver) behind three plain functions, so this library needs no
// link to the session's.
struct UiSteps {
    // Runs the step on the UI thread later, in order; dropped after shutdown.
    std::function<void(std::function<void()>)> post;
    // Runs the step on the UI thread and waits; false = "not done".
    std::function<bool(const std::function<void()>&)> runAndWait;
    // Makes every pending and future runAndWait return false.
    std::function<void()> beginShutdown;
};

} // namespace corvid
