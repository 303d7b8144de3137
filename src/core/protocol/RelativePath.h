#pragma once
#include <QString>
#include <QStringList>

namespace corvid {

// The path firewall: the one rule for a file name a peer sends us. A name
// is a relative path of components joined by "/" ("photos/2026/a.jpg"); a
// bare name is the one-component case. Every rule is checked on the decoded
// text, so a Shift-JIS trail byte of 0x5C is no backslash.
class RelativePath {
public:
    enum class Problem {
        None,
        Empty,             // no text at all
        Absolute,          // starts with "/"
        EmptyComponent,    // "a//b", or a trailing "/"
        DotComponent,      // "." or ".." as a component
        Backslash,         // "\" anywhere
        ControlCharacter,  // C0, DEL or another control character
        ComponentTooLong,  // a component of more than 255 bytes (the last: 248, room for "_N")
        TooLong,           // more than 4096 bytes in all
        TooDeep,           // more than 64 components
    };

    static constexpr int kMaxComponentBytes = 255;
    static constexpr int kMaxLastComponentBytes = kMaxComponentBytes - 7;
    static constexpr int kMaxPathBytes = 4096;
    static constexpr int kMaxDepth = 64;

    // Bytes are counted in the file system's encoding.
    static Problem Check(const QString& path);
    static bool IsSafe(const QString& path) { return Check(path) == Problem::None; }
    // Checks a bare name only: Check plus "no /".
    static bool IsSafeBareName(const QString& name);
    // The components of a path that passed Check.
    static QStringList Components(const QString& path) { return path.split(u'/'); }
    // A short English word for tests and traces.
    static const char* Describe(Problem p);
};

} // namespace corvid
