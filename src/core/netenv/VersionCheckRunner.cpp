#include "core/netenv/VersionCheckRunner.h"

#include "core/netenv/NetworkEnvironment.h"
#include "core/protocol/TransferResultCode.h"
#include "core/settings/VersionReader.h"

namespace corvid {

VersionCheckRunner::VersionCheckRunner(Config config, ILogSink& log, UiHandOver& ui)
    : config_(std::move(config))
    , log_(log)
    , ui_(ui)
    , report_([this](int code, const QString& name) {
        const QString line = UpdateCheck::VersionCheckResultLine(code);
        if (!line.isEmpty())
            log_.AddLogLine(line + name, LineSys);
    })
{
}

VersionCheckRunner::~VersionCheckRunner()
{
    std::list<std::unique_ptr<Check>> checks;
    {
        std::lock_guard lock(mutex_);
        checks.swap(checks_);
    }
    for (auto& c : checks)
        c->cancel.cancel();
    for (auto& c : checks)
        if (c->thread.joinable())
            c->thread.join();
}

int VersionCheckRunner::running() const
{
    std::lock_guard lock(mutex_);
    int n = 0;
    for (const auto& c : checks_)
        n += c->done ? 0 : 1;
    return n;
}

void VersionCheckRunner::reap()
{
    std::list<std::unique_ptr<Check>> ended;
    {
        std::lock_guard lock(mutex_);
        for (auto it = checks_.begin(); it != checks_.end();) {
            if ((*it)->done) {
                ended.push_back(std::move(*it));
                it = checks_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : ended)
        c->thread.join();  // done: the thread is leaving
}

void VersionCheckRunner::StartVersionCheck()
{
    reap();
    auto check = std::make_unique<Check>();
    Check& c = *check;
    {
        std::lock_guard lock(mutex_);
        checks_.push_back(std::move(check));
        c.thread = std::thread([this, &c] { run(c); });
    }
}

void VersionCheckRunner::Evaluate(const QList<QByteArray>& lines)
{
    QString own;
    VersionReader reader;
    const VersionReader::Result version = reader.creationError().isEmpty()
                                              ? reader.Query(QStringLiteral("FileVersion"))
                                              : VersionReader::Result{QString(), reader.creationError()};
    if (!version.ok()) {
        // Without our own version nothing can be compared; say why.
        log_.AddLogLine(version.error.toHtmlEscaped(), LineSys);
        QString link;
        UpdateCheck::Evaluate(lines, QString(), config_.makerUrl, link);
        NetworkEnvironment::setDownloadLink(link);
        return;
    }
    QString link;
    const QString line = UpdateCheck::Evaluate(lines, version.text, config_.makerUrl, link);
    NetworkEnvironment::setDownloadLink(link);
    if (!line.isEmpty())
        log_.AddLogLine(line, LineSys);
}

void VersionCheckRunner::run(Check& check)
{
    QList<QByteArray> lines;
    const std::optional<int> code = UpdateCheck::FetchVersionFile(config_.host, lines, &check.cancel, config_.limits);
    if (code) {
        // A cancelled check gives up its wait, so the owner can join it
        // from the UI thread.
        const auto cancelled = [&check] { return check.cancel.cancelled(); };
        bool go = true;
        if (*code == RcVersionChecked)
            go = ui_.runAndWait([&] { Evaluate(lines); }, cancelled);
        if (go)
            ui_.runAndWait([&] { report_(*code, QString()); }, cancelled);
    }
    check.done = true;
}

} // namespace corvid
