#include "core/netenv/UpdateCheck.h"

#include "BuildConfig.h"
#include "core/base/TextLines.h"
#include "core/netenv/NetEnvTexts.h"
#include "core/netenv/TUPnPData.h"
#include "core/protocol/TransferResultCode.h"
#include "core/settings/Conversions.h"

namespace corvid {

UpdateHost UpdateHost::fromBuild()
{
    return UpdateHost{QStringLiteral(CORVID_UPDATE_HOST), QStringLiteral(CORVID_UPDATE_ADDRESS), 80};
}

void UpdateCheck::MakeHttpGetRequest(const QString& url, const QString& host, const QString& version,
                                     QStringList& lines)
{
    lines.clear();
    lines << QStringLiteral("GET ") + url + QStringLiteral(" HTTP/") + version
          << QStringLiteral("Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*")
          << QStringLiteral("Referer: http://") + host + QStringLiteral("/halvard123/")
          << QStringLiteral("Accept-Language: ja")
          << QStringLiteral("User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1)")
          << QStringLiteral("Host: ") + host << QString();
}

bool UpdateCheck::FetchHttpText(TcpConnection& c, const QString& url, const QString& host, QList<QByteArray>& lines,
                                const ReplyLimits& limits)
{
    QStringList request;
    MakeHttpGetRequest(url, host, QStringLiteral("1.0"), request);
    if (!c.writeAll(TUPnPData::JoinLines(request)))
        return false;
    QList<QByteArray> head;
    // Any head goes on, whatever its status line says; only a failed read
    // or an empty head ends here.
    if (ReplyReader::ReadLines(c, head, kFirstLineMs, limits) != ReplyEnd::Done || head.isEmpty())
        return false;
    QStringList headText;
    for (const QByteArray& l : head)
        headText << QString::fromLatin1(l);
    bool ok = false;
    const qint64 length =
        Conversions::ParseThousands(TUPnPData::GetHeaderValue(QStringLiteral("Content-Length"), headText), &ok);
    if (!ok || length <= 0)
        return false;
    QByteArray body;
    if (!ReplyReader::ReadExactly(c, body, length, limits))
        return false;
    lines = TextLines::Split(body);
    return true;
}

std::optional<int> UpdateCheck::FetchVersionFile(const UpdateHost& host, QList<QByteArray>& lines, NetCancel* cancel,
                                                 const ReplyLimits& limits)
{
    if (!host.configured())
        return std::nullopt;
    NetCancel own;
    NetCancel& watch = cancel ? *cancel : own;
    TcpConnection c;
    if (!watch.connect(c, host.address, host.port, kConnectMs))
        return std::nullopt;
    const QString url = QStringLiteral("http://") + host.name + QLatin1String(kPath);
    const bool fetched = FetchHttpText(c, url, host.name, lines, limits);
    watch.unwatch(c);
    c.close();
    return fetched ? RcVersionChecked : RcVersionCheckFailed;
}

QString UpdateCheck::VersionFileValue(const QList<QByteArray>& lines, const QString& name)
{
    const QByteArray key = name.toLatin1();
    for (const QByteArray& line : lines) {
        const qsizetype eq = line.indexOf('=');
        if (eq < 0)
            continue;
        if (line.left(eq).compare(key, Qt::CaseInsensitive) == 0)
            return QString::fromUtf8(line.mid(eq + 1));
    }
    return QString();
}

QString UpdateCheck::Evaluate(const QList<QByteArray>& lines, const QString& ownVersion, const QString& makerUrl)
{
    const auto webAddress = [](const QString& a) {
        return a.startsWith(QLatin1String("http://"), Qt::CaseInsensitive)
               || a.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
    };
    const QString url = VersionFileValue(lines, QStringLiteral("URL"));
    // The file comes over plain HTTP: only a web address is taken as the
    // link, anything else falls back to the maker's page.
    const QString downloadLink = webAddress(url) ? url : makerUrl;
    const QString version = VersionFileValue(lines, QStringLiteral("Version"));
    if (version.isEmpty() || version == ownVersion)
        return QString();
    // A build without the maker's address has nowhere to point: a link
    // line then would lead nowhere.
    if (!webAddress(downloadLink))
        return QString();
    return LinkLine(downloadLink);
}

QString UpdateCheck::LinkLine(const QString& link)
{
    // The address goes into an attribute: it must not end it or add markup.
    QString safe = link;
    safe.replace(QLatin1Char('&'), QLatin1String("&amp;"))
        .replace(QLatin1Char('"'), QLatin1String("&quot;"))
        .replace(QLatin1Char('<'), QLatin1String("&lt;"))
        .replace(QLatin1Char('>'), QLatin1String("&gt;"));
    return QStringLiteral("<a href=\"") + safe + QStringLiteral("\">") + NetEnvTexts::NewerVersion()
           + QStringLiteral("</a>");
}

QString UpdateCheck::VersionCheckResultLine(int code)
{
    if (code == RcVersionChecked)
        return NetEnvTexts::VersionChecked();
    if (code == RcVersionCheckFailed)
        return NetEnvTexts::VersionCheckFailed();
    return QString();
}

} // namespace corvid
