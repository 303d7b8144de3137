#pragma once
#include <QString>
#include <QtGlobal>

#include <optional>

namespace corvid {

// The attribute word that travels in FileAttr (read-only 1, hidden 2,
// system 4, archive 32, ...). On Linux it lives in the extended attribute
// user.corvid.attrib as decimal text; read-only is also mirrored in the
// permission bits. A file without the attribute has 32, or 33 when it is
// not writable.
class FileAttributes {
public:
    static constexpr quint32 kReadOnly = 1;
    static constexpr quint32 kHidden = 2;
    static constexpr quint32 kSystem = 4;
    static constexpr quint32 kArchive = 32;
    static constexpr quint32 kReceiving = kHidden | kArchive;  // 34: a reception in progress
    static constexpr char kXattrName[] = "user.corvid.attrib";
    // Beside the word on a partial copy: the reception it belongs to, as
    // "<expected size>/<entry>" or, when the listed modification time is
    // known, "<expected size>:<time>/<entry>". The entry is the row's name,
    // a relative path for a file in a listed folder; it follows the first "/".
    static constexpr char kPartialXattrName[] = "user.corvid.partial";
    // A listed time that is not known.
    static constexpr qint64 kNoTime = -1;

    // nullopt when the file cannot be examined.
    static std::optional<quint32> Read(const QString& path);
    static std::optional<quint32> ReadFd(int fd);
    // False when the extended attribute cannot be set (the permission bits
    // are still adjusted).
    static bool Write(const QString& path, quint32 word);
    static bool WriteFd(int fd, quint32 word);

    // What a partial copy records of its reception. A copy made before the
    // record existed has none (nullopt); a record that does not parse reads
    // as expected size -1, which matches no reception. `time` is kNoTime in
    // a record without one.
    struct PartialMark {
        qint64 expected = -1;
        qint64 time = kNoTime;
        QString entry;
    };
    static std::optional<PartialMark> ReadPartialFd(int fd);
    // A negative `time` writes the form without a time.
    static bool WritePartialFd(int fd, qint64 expected, const QString& entry, qint64 time = kNoTime);
    static void ClearPartialFd(int fd);

    static bool IsHidden(quint32 word) { return (word & kHidden) != 0; }
    // The word a finished reception keeps from the sender's FileAttr: never
    // hidden, since a hidden file is taken for a partial copy and would be
    // appended to. nullopt for a value no attribute word can have.
    static std::optional<quint32> FinishedWord(qint64 peerWord);
};

} // namespace corvid
