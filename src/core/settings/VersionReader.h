#pragma once
#include <QByteArray>
#include <QString>
#include <functional>
#include <optional>

namespace corvid {

// Reads strings from a file's version-information block. The block is
// loaded on the first query and kept. Failures come back as error texts
// ("GetFullPathName:..." at creation, "QueryVersionInfo:..." on a query).
class VersionReader {
public:
    // Loads the block of `file`; false with the platform's text for the
    // failure in `error`.
    using Loader = std::function<bool(const QString& file, QByteArray& block, QString& error)>;

    struct Result {
        QString text;
        QString error;  // empty on success
        bool ok() const { return error.isEmpty(); }
    };

    // Reads the program's own file (its full path, links resolved).
    VersionReader();
    // Reads `file` through `loader` (the default knows the program's own
    // block); `language` is the user's default language identifier.
    explicit VersionReader(const QString& file, Loader loader = {}, std::optional<quint16> language = {});

    QString fileName() const { return fileName_; }
    // Set when the own path could not be resolved at creation.
    QString creationError() const { return creationError_; }

    // The string `name` of the chosen translation.
    Result Query(const QString& name);

    // The chosen translation as eight upper-case hex digits: the last pair
    // in the user's language, searching down to the second; else the first;
    // empty when the list holds no pair.
    static QString ChooseTranslation(const QByteArray& pairs, quint16 language);
    // The user's default language identifier from the locale (0 when unknown).
    static quint16 UserDefaultLanguage();
    // The block of the running program, for its own path; other files
    // carry none.
    static bool LoadOwnBlock(const QString& file, QByteArray& block, QString& error);

private:
    QString fileName_;
    QString creationError_;
    Loader loader_;
    quint16 language_;
    bool loaded_ = false;
    QByteArray block_;
};

} // namespace corvid
