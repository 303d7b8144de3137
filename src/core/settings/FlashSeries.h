#pragma once

namespace corvid {

// Counting for one series of taskbar flashes: every step inverts the
// button's highlight; a series ends after nine steps (highlighted, so a user
// who never came back still sees it) or at the first step after the program
// became active, then in the normal look. No timer and no window here: the
// owner runs a timer of kStepMs while running() and shows the highlight.
class FlashSeries {
public:
    static constexpr int kStepMs = 1000;
    static constexpr int kMaxSteps = 9;

    // What one step did.
    struct Step {
        int inversions = 0;   // 1, or 2 when the restore undid the step
        bool ended = false;   // the series is over; stop the timer
        bool highlighted = false; // the highlight after this step
    };

    // A log line was shown. A series starts only in the background and only
    // when none is running, so a burst of lines makes one series. Returns
    // true when a series starts now.
    bool lineShown(bool background);
    // One timer step; `active` says whether the program is active now.
    Step tick(bool active);

    bool running() const { return running_; }
    int counter() const { return counter_; }
    bool highlighted() const { return highlighted_; }

private:
    void end();

    bool running_ = false;
    int counter_ = 0;
    bool highlighted_ = false;
};

} // namespace corvid
