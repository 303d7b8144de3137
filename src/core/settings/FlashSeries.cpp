#include "core/settings/FlashSeries.h"

namespace corvid {

bool FlashSeries::lineShown(bool background)
{
    if (!background || running_ || counter_ != 0)
        return false;
    running_ = true;
    return true;
}

FlashSeries::Step FlashSeries::tick(bool active)
{
    Step step;
    if (!running_)
        return step;
    highlighted_ = !highlighted_;
    step.inversions = 1;
    if (++counter_ >= kMaxSteps)
        end();
    if (active) {
        // Back in the normal look. Decided by the highlight itself rather
        // than by the count, which the last step has already reset.
        if (highlighted_) {
            highlighted_ = false;
            ++step.inversions;
        }
        end();
    }
    step.ended = !running_;
    step.highlighted = highlighted_;
    return step;
}

void FlashSeries::end()
{
    running_ = false;
    counter_ = 0;
}

} // namespace corvid
