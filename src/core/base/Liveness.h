#pragma once
#include <memory>

namespace corvid {

// Tells work handed to another thread (a posted UI step, a lookup's answer)
// whether the object that asked for it still exists. The owner keeps one
// and ends it before its members go; holders of a token check it at the
// moment they would touch the owner. Ending and token() belong to the
// owner's thread; a token may be read on any thread.
class Liveness {
public:
    Liveness() = default;
    ~Liveness() = default;
    Liveness(const Liveness&) = delete;
    Liveness& operator=(const Liveness&) = delete;

    std::weak_ptr<void> token() const { return alive_; }
    // From now on every token reads as expired. Idempotent.
    void end() { alive_.reset(); }
    bool ended() const { return alive_ == nullptr; }

private:
    std::shared_ptr<void> alive_ = std::make_shared<int>(0);
};

} // namespace corvid
