#include "core/netenv/NetEnvControl.h"

#include "BuildConfig.h"
#include "core/netenv/AddressDiscovery.h"
#include "core/netenv/NetEnvTexts.h"
#include "core/settings/AppSettings.h"
#include "core/settings/IniFile.h"

namespace corvid {

NetEnvConfig NetEnvConfig::fromBuild()
{
    NetEnvConfig c;
    c.makerUrl = QStringLiteral(CORVID_MAKER_URL);
    return c;
}

NetEnvControl::NetEnvControl(AppSettings& settings, QString settingsPath, ILogSink& log, UiHandOver& ui,
                             NetEnvConfig config)
    : settings_(settings)
    , settingsPath_(std::move(settingsPath))
    , log_(log)
    , ui_(ui)
    , config_(std::move(config))
    , checks_(std::make_unique<VersionCheckRunner>(
          VersionCheckRunner::Config{config_.update, config_.makerUrl, ReplyLimits{}}, log, ui_))
    , lanLookup_(ui_)
{
}

NetEnvControl::~NetEnvControl()
{
    lookupCancel_ = true;
    // A search or query has nothing worth waiting for; a mapping request
    // runs to its end so that a mapping it made is known.
    worker_.stopAll();
    // Removes a mapping in force; the worker is joined, so its calls are
    // over.
    upnp_.reset();
    checks_.reset();
}

void NetEnvControl::enqueue(bool cancellable, Work work)
{
    ++outstanding_;
    ThreadOwner::Job stop;
    // upnp_ is set before any cancellable job is queued and lives until
    // the worker is joined.
    if (cancellable && upnp_)
        stop = [upnp = upnp_.get()] { upnp->cancel(); };
    worker_.queue(
        [this, work = std::move(work)] {
            std::function<void()> step = work();
            ui_.post(worker_.token(), [this, step = std::move(step)] {
                --outstanding_;
                if (step)
                    step();
            });
        },
        std::move(stop));
}

void NetEnvControl::FormCreate(const QString& lanAddress, std::function<void()> searchOver)
{
    wan_ = lanAddress;
    startSearch(std::move(searchOver));
}

void NetEnvControl::FormCreate(std::function<void(const QString&)> lanFound, std::function<void()> searchOver)
{
    // First on the worker, so that a router's answer always comes after it.
    enqueue(false, [this, lanFound = std::move(lanFound)]() -> std::function<void()> {
        const QString lan = AddressDiscovery::GetLocalAddress(AddressDiscovery::kLookupLimitMs, &lookupCancel_);
        return [this, lan, lanFound] {
            wan_ = lan;
            if (lanFound)
                lanFound(lan);
        };
    });
    startSearch(std::move(searchOver));
}

void NetEnvControl::RequestLocalAddress(std::function<void(const QString&)> done)
{
    lanLookup_.request(std::move(done));
}

void NetEnvControl::startSearch(std::function<void()> searchOver)
{
    if (!settings_.UseUPnP) {
        if (searchOver)
            searchOver();
        return;
    }
    discovering_ = true;
    searched_ = true;
    searchOver_ = std::move(searchOver);
    upnp_ = std::make_unique<TUPnPData>(config_.ssdp, config_.limits);
    enqueue(true, [this]() -> std::function<void()> {
        found_ = upnp_->Discover();
        const bool found = found_;
        return [this, found] { searchDone(found); };
    });
    enqueue(true, [this]() -> std::function<void()> {
        if (!found_)
            return {};
        const QString address = upnp_->GetExternalIPAddress();
        return [this, address] { wan_ = address; };
    });
}

void NetEnvControl::searchDone(bool found)
{
    discovering_ = false;
    ready_ = found;
    if (!found) {
        settings_.UseUPnP = false;
        log_.AddLogLine(NetEnvTexts::SearchFailed(), LineSys);
        IniFile ini(settingsPath_);
        QString error;
        // Unwritten, the next start searches again; the user should know why.
        if (!ini.writeBool(QStringLiteral("Option"), QStringLiteral("UseUPnP"), false, &error))
            log_.AddLogLine(error.toHtmlEscaped(), LineSys);
    }
    if (auto over = std::move(searchOver_))
        over();
    for (; deferredChecks_ > 0; --deferredChecks_)
        checks_->StartVersionCheck();
}

void NetEnvControl::ServerStarted(quint16 port, std::function<void()> then)
{
    // Without a router search nothing can come before the line: the LAN
    // lookup still pending logs nothing, and waiting for it would let a
    // connection accepted meanwhile log "接続成功" first.
    if (!searched_) {
        if (then)
            then();
        return;
    }
    if (!discovering_ && !ready_) {
        AfterPending(std::move(then));
        return;
    }
    enqueue(false, [this, port, then = std::move(then)]() -> std::function<void()> {
        bool ok = true;
        if (found_)
            ok = upnp_->AddPortMapping(port, port, QStringLiteral("TCP"),
                                       AddressDiscovery::GetLocalAddress(AddressDiscovery::kLookupLimitMs,
                                                                         &lookupCancel_),
                                       QStringLiteral("Corvid"));
        return [this, ok, then] {
            if (!ok)
                log_.AddLogLine(NetEnvTexts::MappingFailed(), LineSys);
            if (then)
                then();
        };
    });
}

void NetEnvControl::AfterPending(std::function<void()> step)
{
    if (outstanding_ == 0) {
        if (step)
            step();
        return;
    }
    enqueue(false, [step = std::move(step)]() -> std::function<void()> { return step; });
}

void NetEnvControl::StartVersionCheck()
{
    if (discovering_) {
        ++deferredChecks_;
        return;
    }
    checks_->StartVersionCheck();
}

} // namespace corvid
