#pragma once
#include "core/base/Guarded.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace corvid {

// The peers' keys as first seen, one per peer name and address, and the keys
// invitations told us to expect at an address. Kept in corvid-peers.txt in
// the settings folder, one pin a line:
//   <64 hex digits>\t<address>\t<name>
// An empty name is an invitation's key for that address, whoever answers.
// Backslash, tab, CR and LF in a name or address are written as \\ \t \r \n,
// so a name from the network can never add a line of its own. A line that
// cannot be read is skipped (and gone after the next write).
//
// Addresses are compared in one spelling: IPv6 in its short lowercase form
// without brackets, an IPv4-mapped IPv6 address as the IPv4 address, host
// names in lower case. Names are compared exactly.
//
// Memory is the truth once loaded: every change is written at once, the
// whole file replaced atomically with mode 0600. One PeerPins per file.
// Any thread: connection threads judge and pin while a window reads.
class PeerPins {
public:
    static constexpr const char* FileName = "corvid-peers.txt";
    // A stranger can make a new pin with every connect under a new name; past
    // this many name pins the table takes no more, so that a flood can never
    // push out the pins of real partners. Expectations (made by the user)
    // do not count.
    static constexpr int kMaxPins = 4096;
    // Read no further than this; a cut line at the end is dropped.
    static constexpr qint64 kMaxFileBytes = 16 * 1024 * 1024;

    struct Pin {
        QByteArray fingerprint; // 32 bytes
        QString address;
        QString name; // empty: an invitation's expected key
        bool operator==(const Pin&) const = default;
    };

    // The pins without lock or file: what a step given to update() works on.
    class Table {
    public:
        std::optional<QByteArray> pinned(const QString& name, const QString& address) const;
        std::optional<QByteArray> expected(const QString& address) const;
        // Adds or replaces. False, and no change, for an empty name, a
        // fingerprint that is not 32 bytes, or a new pin in a full table.
        bool pin(const QString& name, const QString& address, const QByteArray& fp);
        // False, and no change, for a fingerprint that is not 32 bytes.
        bool expect(const QString& address, const QByteArray& fp);
        void forgetExpected(const QString& address);

        const QList<Pin>& pins() const { return pins_; }
        // Counts the changes, so a step's caller knows whether to save.
        quint64 revision() const { return revision_; }

        QByteArray toText() const;
        // skipped: how many non-empty lines could not be read.
        static Table FromText(const QByteArray& text, int* skipped = nullptr);

    private:
        qsizetype find(const QString& name, const QString& address) const;
        bool put(Pin pin);

        QList<Pin> pins_;
        int namePins_ = 0;
        quint64 revision_ = 0;
    };

    // An empty path keeps the pins in memory only.
    explicit PeerPins(QString filePath = {});

    const QString& filePath() const { return path_; }

    // Reads the file; a missing file is an empty table. False, with the
    // system's reason in `error`, when it exists but cannot be read: the
    // table stays as it was and is never written over that file.
    bool load(QString* error = nullptr);

    std::optional<QByteArray> pinned(const QString& name, const QString& address) const;
    // The key an invitation gave for this address.
    std::optional<QByteArray> expected(const QString& address) const;
    // This peer was seen encrypted before: it has a pin.
    bool everEncrypted(const QString& name, const QString& address) const;
    // All pins in file order, expectations included.
    QList<Pin> pins() const;

    // Each changes the table and saves it. False when the change was refused
    // (see Table) or could not be saved (then it holds in memory only, and
    // lastError() says why).
    bool pin(const QString& name, const QString& address, const QByteArray& fp);
    bool expect(const QString& address, const QByteArray& fp);
    bool forgetExpected(const QString& address);

    // Why the last save failed, or why the file could not be read; empty
    // when the last save went through.
    QString lastError() const;

    // Runs step(const Table&) under the lock and gives what it gives.
    template <class F>
    auto read(F&& step) const
    {
        return state_.with([&](const State& s) { return step(s.table); });
    }
    // Runs step(Table&) under the lock and saves when it changed the table,
    // so that a judgement and the pin it makes are one step. step must give
    // a value; whether the save went through is lastError()'s.
    template <class F>
    auto update(F&& step)
    {
        return state_.with([&](State& s) {
            const quint64 before = s.table.revision();
            auto result = step(s.table);
            if (s.table.revision() != before)
                save(s);
            return result;
        });
    }

private:
    struct State {
        Table table;
        bool fileUnreadable = false;
        QString lastError;
    };
    bool save(State& s) const;

    QString path_;
    Guarded<State> state_;
};

} // namespace corvid
