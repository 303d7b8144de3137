#include "core/session/SecureUpgrade.h"

#include "core/protocol/HeaderBlock.h"
#include "core/protocol/ProtocolLevel.h"
#include "core/protocol/TcpConnection.h"
#include "core/protocol/Transport.h"
#include "core/security/PeerPins.h"
#include "core/security/TrustTexts.h"
#include "core/security/VerificationCode.h"

namespace corvid {
namespace {

QByteArray field(const char* key, const QByteArray& value)
{
    return QByteArray(key) + '=' + value;
}

bool readBlock(TcpConnection& c, HeaderBlock& b, const char* command, int timeoutMs)
{
    return Transport::ReadHeader(c, b, timeoutMs) && Header::EqualsIgnoreCase(Header::Value(b, "Command"), command);
}

// A hex value of exactly `bytes` bytes; empty otherwise.
QByteArray hexValue(const HeaderBlock& b, const char* key, int bytes)
{
    const QByteArray hex = Header::Value(b, key);
    for (const char ch : hex)
        if (!std::isxdigit(static_cast<unsigned char>(ch)))
            return {};
    const QByteArray raw = QByteArray::fromHex(hex);
    return hex.size() == 2 * bytes && raw.size() == bytes ? raw : QByteArray();
}

// The values both sides heard in the Connect exchange, said again inside TLS.
bool sameConnect(const HeaderBlock& b, const SecureUpgrade::Peer& peer)
{
    return Header::Value(b, "Name") == peer.peerWireName && Header::Value(b, "PeerName") == peer.ownWireName
           && Header::IntValue(b, "Protocol") == std::optional<qint32>(peer.protocol);
}

} // namespace

bool SecureUpgrade::Confirm(TcpConnection& c, TlsRole role, const TlsContext& tls, int timeoutMs, const Peer& peer,
                            QString& code)
{
    const QByteArray ownNonce = VerificationCode::NewNonce();
    if (ownNonce.isEmpty())
        return false;
    HeaderBlock mine;
    mine << QByteArrayLiteral("Command=Confirm") << field("Name", peer.ownWireName)
         << field("PeerName", peer.peerWireName) << field("Protocol", QByteArray::number(peer.protocol));
    HeaderBlock theirs;
    QByteArray serverNonce;
    QByteArray clientNonce;
    if (role == TlsRole::Client) {
        // Committed first, revealed only after the server's value is in.
        mine << field("Commit", VerificationCode::Commit(ownNonce).toHex()) << QByteArray();
        if (!Transport::WriteHeader(c, mine) || !readBlock(c, theirs, "Confirm", timeoutMs) || !sameConnect(theirs, peer))
            return false;
        serverNonce = hexValue(theirs, "Nonce", VerificationCode::kNonceBytes);
        HeaderBlock reveal;
        reveal << QByteArrayLiteral("Command=Reveal") << field("Nonce", ownNonce.toHex()) << QByteArray();
        if (serverNonce.isEmpty() || !Transport::WriteHeader(c, reveal))
            return false;
        clientNonce = ownNonce;
    } else {
        if (!readBlock(c, theirs, "Confirm", timeoutMs) || !sameConnect(theirs, peer))
            return false;
        const QByteArray commitment = hexValue(theirs, "Commit", 32);
        mine << field("Nonce", ownNonce.toHex()) << QByteArray();
        HeaderBlock reveal;
        if (commitment.isEmpty() || !Transport::WriteHeader(c, mine) || !readBlock(c, reveal, "Reveal", timeoutMs))
            return false;
        clientNonce = hexValue(reveal, "Nonce", VerificationCode::kNonceBytes);
        if (!VerificationCode::Opens(commitment, clientNonce))
            return false;
        serverNonce = ownNonce;
    }
    const QByteArray exporter = c.tls()->exportKey(VerificationCode::kExporterLabel, VerificationCode::kExporterBytes);
    if (exporter.isEmpty())
        return false;
    const QByteArray ownKey = tls.identity().fingerprint();
    const QByteArray peerKey = c.peerFingerprint();
    const bool server = role == TlsRole::Server;
    code = VerificationCode::Code(exporter, server ? ownKey : peerKey, server ? peerKey : ownKey, serverNonce,
                                  clientNonce);
    return true;
}

SecureOutcome SecureUpgrade::Run(TcpConnection& c, TlsRole role, const TlsContext* tls, PeerPins& pins,
                                 int timeoutMs, const Peer& peer)
{
    SecureOutcome out;
    const auto known = pins.expected(peer.address) ? pins.expected(peer.address) : pins.pinned(peer.name, peer.address);
    out.knownKey = known.value_or(QByteArray());
    if (ProtocolLevel::Extended(peer.protocol)) {
        if (!tls) {
            out.line = TrustTexts::TlsFailed(TlsStream::Failure::Closed, CertProblem::None);
            c.shutdown();
            return out;
        }
        const TlsStream::Result r = c.startTls(*tls, role, timeoutMs);
        if (r.failure != TlsStream::Failure::None) {
            out.line = TrustTexts::TlsFailed(r.failure, r.problem);
            return out;
        }
        if (!Confirm(c, role, *tls, timeoutMs, peer, out.code)) {
            c.shutdown();
            out.line = TrustTexts::ConfirmMismatch();
            return out;
        }
        out.encrypted = true;
        out.peerKey = c.peerFingerprint();
    }
    out.verdict = TrustRules::JudgeAndPin(pins, {peer.name, peer.address, out.encrypted, out.peerKey});
    switch (out.verdict) {
    case TrustVerdict::Verified: out.line = TrustTexts::Verified(out.code); break;
    case TrustVerdict::New: out.line = TrustTexts::New(out.peerKey, out.code); break;
    case TrustVerdict::NotEncrypted: out.line = TrustTexts::NotEncrypted(); break;
    case TrustVerdict::KeyChanged: out.line = TrustTexts::KeyChanged(peer.name, peer.address, out.knownKey, out.peerKey); break;
    case TrustVerdict::Downgraded: out.line = TrustTexts::Downgraded(peer.name, peer.address); break;
    case TrustVerdict::InvitationMismatch:
        out.line = TrustTexts::InvitationMismatch(peer.address, out.knownKey, out.peerKey);
        break;
    }
    out.proceed = out.verdict == TrustVerdict::Verified || out.verdict == TrustVerdict::New
                  || out.verdict == TrustVerdict::NotEncrypted;
    if (!out.proceed)
        c.shutdown();
    return out;
}

} // namespace corvid
