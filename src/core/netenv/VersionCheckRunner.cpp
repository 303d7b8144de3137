#include "core/netenv/VersionCheckRunner.h"

#include "core/protocol/TransferResultCode.h"
#include "core/settings/VersionReader.h"

#include <memory>

namespace corvid {

VersionCheckRunner::VersionCheckRunner(Config config, ILogSink& log, UiHandOver& ui)
    : config_(std::move(config))
    , log_(log)
    , ui_(ui)
{
}

VersionCheckRunner::~VersionCheckRunner()
{
    threads_.stopAll();
}

void VersionCheckRunner::StartVersionCheck()
{
    auto cancel = std::make_shared<NetCancel>();
    threads_.start([this, cancel] { run(*cancel); }, [cancel] { cancel->cancel(); });
}

void VersionCheckRunner::Evaluate(const QList<QByteArray>& lines)
{
    VersionReader reader;
    const VersionReader::Result version = reader.creationError().isEmpty()
                                              ? reader.Query(QStringLiteral("FileVersion"))
                                              : VersionReader::Result{QString(), reader.creationError()};
    if (!version.ok()) {
        // Without our own version nothing can be compared; say why.
        log_.AddLogLine(version.error.toHtmlEscaped(), LineSys);
        return;
    }
    const QString line = UpdateCheck::Evaluate(lines, version.text, config_.makerUrl);
    if (!line.isEmpty())
        log_.AddLogLine(line, LineSys);
}

void VersionCheckRunner::run(NetCancel& cancel)
{
    QList<QByteArray> lines;
    const std::optional<int> code = UpdateCheck::FetchVersionFile(config_.host, lines, &cancel, config_.limits);
    if (!code)
        return;
    // A cancelled check gives up its wait, so the owner can join it from
    // the UI thread.
    const auto cancelled = [&cancel] { return cancel.cancelled(); };
    bool go = true;
    if (*code == RcVersionChecked)
        go = ui_.runAndWait([&] { Evaluate(lines); }, cancelled);
    if (go)
        ui_.runAndWait([&] { log_.AddLogLine(UpdateCheck::VersionCheckResultLine(*code), LineSys); }, cancelled);
}

} // namespace corvid
