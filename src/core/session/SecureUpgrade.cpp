#include "core/session/SecureUpgrade.h"

#include "core/protocol/HeaderBlock.h"
#include "core/protocol/ProtocolLevel.h"
#include "core/protocol/TcpConnection.h"
#include "core/protocol/Transport.h"
#include "core/security/PeerPins.h"
#include "core/security/TrustTexts.h"
#include "core/security/VerificationCode.h"

#include <cctype>

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
    return hex.size() == 2 * bytes ? QByteArray::fromHex(hex) : QByteArray();
}

// The values both sides heard in the Connect exchange, said again inside TLS.
bool sameConnect(const HeaderBlock& b, const SecureUpgrade::Peer& peer)
{
    return Header::Value(b, "Name") == peer.peerWireName && Header::Value(b, "PeerName") == peer.ownWireName
           && Header::IntValue(b, "Protocol") == std::optional<qint32>(peer.protocol);
}

HeaderBlock confirmBlock(const SecureUpgrade::Peer& peer, const char* key, const QByteArray& value)
{
    HeaderBlock b;
    b << QByteArrayLiteral("Command=Confirm") << field("Name", peer.ownWireName) << field("PeerName", peer.peerWireName)
      << field("Protocol", QByteArray::number(peer.protocol)) << field(key, value.toHex()) << QByteArray();
    return b;
}

QString verdictLine(const SecureOutcome& out, const SecureUpgrade::Peer& peer)
{
    switch (out.verdict) {
    case TrustVerdict::Verified: return TrustTexts::Verified(out.code);
    case TrustVerdict::New: return TrustTexts::New(out.peerKey, out.code);
    case TrustVerdict::NotEncrypted: return TrustTexts::NotEncrypted();
    case TrustVerdict::KeyChanged: return TrustTexts::KeyChanged(peer.name, peer.address, out.knownKey, out.peerKey);
    case TrustVerdict::Downgraded: return TrustTexts::Downgraded(peer.name, peer.address);
    case TrustVerdict::InvitationMismatch: return TrustTexts::InvitationMismatch(peer.address, out.knownKey, out.peerKey);
    }
    return {};
}

bool accepted(TrustVerdict v)
{
    return v == TrustVerdict::Verified || v == TrustVerdict::New || v == TrustVerdict::NotEncrypted;
}

// The pins' word on the peer; fills verdict, known key and line.
void judge(SecureOutcome& out, PeerPins& pins, const SecureUpgrade::Peer& peer)
{
    const auto known = pins.expected(peer.address) ? pins.expected(peer.address) : pins.pinned(peer.name, peer.address);
    out.knownKey = known.value_or(QByteArray());
    out.verdict = TrustRules::JudgeAndPin(pins, {peer.name, peer.address, out.encrypted, out.peerKey});
    out.line = verdictLine(out, peer);
    out.proceed = accepted(out.verdict);
}

QString code(TcpConnection& c, const TlsContext& tls, TlsRole role, const QByteArray& serverNonce,
             const QByteArray& clientNonce)
{
    const QByteArray exporter = c.tls()->exportKey(VerificationCode::kExporterLabel, VerificationCode::kExporterBytes);
    const QByteArray own = tls.identity().fingerprint();
    const QByteArray peer = c.peerFingerprint();
    const bool server = role == TlsRole::Server;
    return exporter.isEmpty() ? QString()
                              : VerificationCode::Code(exporter, server ? own : peer, server ? peer : own,
                                                       serverNonce, clientNonce);
}

} // namespace

// The connecting side: Confirm with its commitment, the listener's Confirm
// with its value, the own verdict, Reveal, and the listener's verdict.
void SecureUpgrade::RunClient(TcpConnection& c, const TlsContext& tls, PeerPins& pins, int timeoutMs, const Peer& peer,
                              SecureOutcome& out)
{
    const QByteArray nonce = VerificationCode::NewNonce();
    HeaderBlock theirs;
    if (nonce.isEmpty() || !Transport::WriteHeader(c, confirmBlock(peer, "Commit", VerificationCode::Commit(nonce)))
        || !readBlock(c, theirs, "Confirm", timeoutMs)) {
        out.line = TrustTexts::ConfirmIncomplete();
        return;
    }
    const QByteArray serverNonce = hexValue(theirs, "Nonce", VerificationCode::kNonceBytes);
    out.code = code(c, tls, TlsRole::Client, serverNonce, nonce);
    if (!sameConnect(theirs, peer) || serverNonce.isEmpty() || out.code.isEmpty()) {
        out.line = TrustTexts::ConfirmMismatch();
        return;
    }
    judge(out, pins, peer);
    if (!out.proceed)
        return;
    HeaderBlock reveal;
    reveal << QByteArrayLiteral("Command=Reveal") << field("Nonce", nonce.toHex()) << QByteArray();
    HeaderBlock verdict;
    if (!Transport::WriteHeader(c, reveal) || !readBlock(c, verdict, "Result", timeoutMs)
        || !Header::EqualsIgnoreCase(Header::Value(verdict, "Result"), "True")) {
        out.proceed = false;
        out.line = TrustTexts::PeerRefusedOurKey();
    }
}

// The listening side: the peer's commitment, its own value, the peer's
// value checked against the commitment, the verdict, and the verdict sent.
void SecureUpgrade::RunServer(TcpConnection& c, const TlsContext& tls, PeerPins& pins, int timeoutMs, const Peer& peer,
                              SecureOutcome& out)
{
    const QByteArray nonce = VerificationCode::NewNonce();
    HeaderBlock theirs;
    if (nonce.isEmpty() || !readBlock(c, theirs, "Confirm", timeoutMs)) {
        out.line = TrustTexts::ConfirmIncomplete();
        return;
    }
    const QByteArray commitment = hexValue(theirs, "Commit", 32);
    if (!sameConnect(theirs, peer) || commitment.isEmpty()) {
        out.line = TrustTexts::ConfirmMismatch();
        return;
    }
    HeaderBlock reveal;
    if (!Transport::WriteHeader(c, confirmBlock(peer, "Nonce", nonce)) || !readBlock(c, reveal, "Reveal", timeoutMs)) {
        out.line = TrustTexts::ConfirmIncomplete();
        return;
    }
    const QByteArray clientNonce = hexValue(reveal, "Nonce", VerificationCode::kNonceBytes);
    out.code = code(c, tls, TlsRole::Server, nonce, clientNonce);
    if (!VerificationCode::Opens(commitment, clientNonce) || out.code.isEmpty()) {
        out.line = TrustTexts::ConfirmMismatch();
        return;
    }
    judge(out, pins, peer);
    HeaderBlock verdict;
    verdict << QByteArrayLiteral("Command=Result") << field("Result", Header::BoolText(out.proceed)) << QByteArray();
    if (!Transport::WriteHeader(c, verdict) && out.proceed) {
        out.proceed = false;
        out.line = TrustTexts::ConfirmIncomplete();
    }
}

SecureOutcome SecureUpgrade::Run(TcpConnection& c, TlsRole role, const TlsContext* tls, PeerPins& pins,
                                 int timeoutMs, const Peer& peer)
{
    SecureOutcome out;
    if (!ProtocolLevel::Extended(peer.protocol)) {
        judge(out, pins, peer);  // only a peer once seen encrypted is refused
    } else if (!tls) {
        out.line = TrustTexts::TlsFailed(TlsStream::Failure::Closed, CertProblem::None);
    } else if (const TlsStream::Result r = c.startTls(*tls, role, timeoutMs); r.failure != TlsStream::Failure::None) {
        out.line = TrustTexts::TlsFailed(r.failure, r.problem);
    } else {
        out.encrypted = true;
        out.peerKey = c.peerFingerprint();
        if (role == TlsRole::Client)
            RunClient(c, *tls, pins, timeoutMs, peer, out);
        else
            RunServer(c, *tls, pins, timeoutMs, peer, out);
    }
    if (!out.proceed)
        c.shutdown();
    return out;
}

} // namespace corvid
