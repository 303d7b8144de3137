#pragma once
#include <atomic>

namespace corvid {

// The pressed state of a start toggle ("受信開始" / "送信開始"), written by the
// UI thread and read by transfer threads before every chunk.
class RunToggle {
public:
    RunToggle() = default;
    RunToggle(const RunToggle&) = delete;
    RunToggle& operator=(const RunToggle&) = delete;

    bool IsPressed() const { return pressed_.load(std::memory_order_acquire); }
    void SetPressed(bool pressed) { pressed_.store(pressed, std::memory_order_release); }

private:
    std::atomic<bool> pressed_{false};
};

} // namespace corvid
