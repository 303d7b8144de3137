#pragma once
#include <QByteArray>
#include <QString>

#include <optional>

namespace corvid {

// One line a user hands to a partner so that even the first connect is held
// to a known key:  corvid://<host>:<port>#<64 hex digits>
// An IPv6 host is written in brackets; the port is always given.
struct Invitation {
    static constexpr const char* Scheme = "corvid://";

    QString host; // without brackets
    quint16 port = 0;
    QByteArray fingerprint; // 32 bytes

    static QString Format(const QString& host, quint16 port, const QByteArray& fp);
    // Blanks around are ignored and the scheme may be in any case; the
    // fingerprint may be grouped (Fingerprint::Parse). nullopt for anything
    // else, including an IPv6 host without brackets (its port could not be
    // told from the address) and a host with characters no host name has.
    static std::optional<Invitation> Parse(const QString& text);
};

} // namespace corvid
