#include "core/settings/VersionReader.h"

#include "core/settings/VersionBlock.h"

#include <QFileInfo>
#include <QLocale>
#include <QtEndian>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace corvid {
namespace {

QString errorText(int e)
{
    return QString::fromLocal8Bit(std::strerror(e));
}

// The full path with every link and relative part resolved.
bool fullPath(const QString& path, QString& out, QString& error)
{
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.toLocal8Bit().constData(), nullptr),
                                                         &std::free);
    if (!resolved) {
        error = QStringLiteral("GetFullPathName:") + errorText(errno);
        return false;
    }
    out = QString::fromLocal8Bit(resolved.get());
    return true;
}

} // namespace

VersionReader::VersionReader()
    : loader_(&VersionReader::LoadOwnBlock)
    , language_(UserDefaultLanguage())
{
    if (!fullPath(QStringLiteral("/proc/self/exe"), fileName_, creationError_))
        fileName_.clear();
}

VersionReader::VersionReader(const QString& file, Loader loader, std::optional<quint16> language)
    : fileName_(file)
    , loader_(loader ? std::move(loader) : Loader(&VersionReader::LoadOwnBlock))
    , language_(language.value_or(UserDefaultLanguage()))
{
}

bool VersionReader::LoadOwnBlock(const QString& file, QByteArray& block, QString& error)
{
    QString mine;
    QString self;
    QString ignored;
    if (!fullPath(file, mine, error))
        return false;
    if (!fullPath(QStringLiteral("/proc/self/exe"), self, ignored) || mine != self) {
        error = errorText(ENODATA);
        return false;
    }
    block = ownVersionBlock();
    return true;
}

quint16 VersionReader::UserDefaultLanguage()
{
    // Language identifiers of the locales a user is likely to run.
    static const struct {
        QLocale::Language language;
        QLocale::Territory territory;
        quint16 id;
    } known[] = {
        {QLocale::Japanese, QLocale::AnyTerritory, 0x0411}, {QLocale::English, QLocale::UnitedKingdom, 0x0809},
        {QLocale::English, QLocale::AnyTerritory, 0x0409},  {QLocale::German, QLocale::AnyTerritory, 0x0407},
        {QLocale::French, QLocale::AnyTerritory, 0x040C},   {QLocale::Korean, QLocale::AnyTerritory, 0x0412},
        {QLocale::Chinese, QLocale::Taiwan, 0x0404},        {QLocale::Chinese, QLocale::AnyTerritory, 0x0804},
        {QLocale::Spanish, QLocale::AnyTerritory, 0x0C0A},  {QLocale::Italian, QLocale::AnyTerritory, 0x0410},
        {QLocale::Russian, QLocale::AnyTerritory, 0x0419},  {QLocale::Portuguese, QLocale::Brazil, 0x0416},
    };
    const QLocale l = QLocale::system();
    for (const auto& k : known)
        if (l.language() == k.language && (k.territory == QLocale::AnyTerritory || l.territory() == k.territory))
            return k.id;
    return 0;
}

QString VersionReader::ChooseTranslation(const QByteArray& pairs, quint16 language)
{
    const qsizetype count = pairs.size() / 4;
    if (count == 0)
        return QString();
    auto pairAt = [&](qsizetype i) {
        return qMakePair(qFromLittleEndian<quint16>(pairs.constData() + 4 * i),
                         qFromLittleEndian<quint16>(pairs.constData() + 4 * i + 2));
    };
    qsizetype chosen = 0;
    for (qsizetype i = count - 1; i >= 1; --i)
        if (pairAt(i).first == language) {
            chosen = i;
            break;
        }
    const auto [lang, codePage] = pairAt(chosen);
    return QStringLiteral("%1%2").arg(lang, 4, 16, QLatin1Char('0')).arg(codePage, 4, 16, QLatin1Char('0')).toUpper();
}

VersionReader::Result VersionReader::Query(const QString& name)
{
    const QString prefix = QStringLiteral("QueryVersionInfo:");
    if (!loaded_) {
        QString error;
        if (fileName_.isEmpty() || !loader_(fileName_, block_, error))
            return {QString(), prefix + (error.isEmpty() ? errorText(ENOENT) : error)};
        loaded_ = true;
    }
    QByteArray pairs;
    VersionBlock::Query(block_, QStringLiteral("\\VarFileInfo\\Translation"), pairs);
    const QString translation = ChooseTranslation(pairs, language_);
    // Without a translation there is no string table to read from.
    if (translation.isEmpty())
        return {QString(), prefix + errorText(ENODATA)};
    QByteArray value;
    bool text = false;
    if (!VersionBlock::Query(block_, QStringLiteral("\\StringFileInfo\\") + translation + QLatin1Char('\\') + name,
                             value, &text)
        || !text)
        return {QString(), prefix + errorText(ENODATA)};
    return {VersionBlock::Text(value), QString()};
}

} // namespace corvid
