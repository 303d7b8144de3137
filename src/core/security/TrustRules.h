#pragma once
#include <QByteArray>
#include <QString>

namespace corvid {

class PeerPins;

// What a connecting peer's key means, by the pins.
enum class TrustVerdict {
    Verified,           // the key pinned for it, or the key its invitation gave
    New,                // encrypted, never seen: pinned now
    NotEncrypted,       // an original peer we never saw encrypted
    KeyChanged,         // another key than the pinned one
    Downgraded,         // pinned or invited, and now not encrypted
    InvitationMismatch, // another key than the invitation gave
};

struct TrustInput {
    QString name;
    QString address;
    bool encrypted = false;
    QByteArray fingerprint; // 32 bytes when encrypted
};

// Trust on first use, and an invitation's key before any pin: the rules in
// order,
//  1. an invitation's key for the address: not encrypted -> Downgraded,
//     that key -> Verified, another -> InvitationMismatch;
//  2. a pin for the name at the address: not encrypted -> Downgraded,
//     that key -> Verified, another -> KeyChanged;
//  3. otherwise NotEncrypted or New.
// An invitation counts for whoever answers at its address; a pin only for
// the same name at the same address.
class TrustRules {
public:
    static TrustVerdict Judge(const PeerPins& pins, const TrustInput& in);
    // Judges and, in the same step, pins a Verified or New key for the name
    // and address; a met invitation becomes that pin and is forgotten. Two
    // threads with the same peer never both see New.
    static TrustVerdict JudgeAndPin(PeerPins& pins, const TrustInput& in);
};

} // namespace corvid
