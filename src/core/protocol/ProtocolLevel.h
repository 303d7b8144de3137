#pragma once
#include <QtGlobal>

namespace corvid {

// The protocol numbers a session can run at. An original peer speaks 1 (or
// less); two of our own agree on 2, which allows 64-bit sizes, relative
// paths in lists, the source's modification time as a fourth list field and
// a digest after a file's data. Nothing of that is ever sent below 2.
class ProtocolLevel {
public:
    static constexpr int kOriginal = 1;
    static constexpr int kOwn = 2;

    static bool Extended(int protocol) { return protocol >= kOwn; }
    // The largest size a size field may carry at the protocol.
    static qint64 MaxFileSize(int protocol) { return Extended(protocol) ? kMaxSize64 : kMaxSize32; }

    static constexpr qint64 kMaxSize32 = 0x7FFFFFFF;
    static constexpr qint64 kMaxSize64 = 0x7FFFFFFFFFFFFFFF;
};

} // namespace corvid
