#include "core/security/TrustRules.h"

#include "core/security/PeerPins.h"

namespace corvid {

namespace {

struct Judgement {
    TrustVerdict verdict;
    bool byInvitation;
};

Judgement judge(const PeerPins::Table& pins, const TrustInput& in)
{
    if (const auto invited = pins.expected(in.address)) {
        if (!in.encrypted)
            return { TrustVerdict::Downgraded, true };
        return { in.fingerprint == *invited ? TrustVerdict::Verified
                                            : TrustVerdict::InvitationMismatch,
                 true };
    }
    if (const auto pinned = pins.pinned(in.name, in.address)) {
        if (!in.encrypted)
            return { TrustVerdict::Downgraded, false };
        return { in.fingerprint == *pinned ? TrustVerdict::Verified : TrustVerdict::KeyChanged,
                 false };
    }
    return { in.encrypted ? TrustVerdict::New : TrustVerdict::NotEncrypted, false };
}

} // namespace

TrustVerdict TrustRules::Judge(const PeerPins& pins, const TrustInput& in)
{
    return pins.read([&in](const PeerPins::Table& t) { return judge(t, in).verdict; });
}

TrustVerdict TrustRules::JudgeAndPin(PeerPins& pins, const TrustInput& in)
{
    return pins.update([&in](PeerPins::Table& t) {
        const Judgement j = judge(t, in);
        if (j.verdict == TrustVerdict::Verified || j.verdict == TrustVerdict::New) {
            // An invitation that could not become a pin (a full table)
            // stays, so the next connect is still held to its key.
            if (t.pin(in.name, in.address, in.fingerprint) && j.byInvitation)
                t.forgetExpected(in.address);
        }
        return j.verdict;
    });
}

} // namespace corvid
