#include "core/netenv/NetEnvControl.h"

#include "BuildConfig.h"
#include "core/netenv/AddressDiscovery.h"
#include "core/netenv/NetworkEnvironment.h"
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
    *alive_ = false;
    lookupCancel_ = true;
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        jobs_.clear();
        // A search or query has nothing worth waiting for; a mapping request
        // runs to its end so that a mapping it made is known and removed.
        if (runningCancellable_ && upnp_)
            upnp_->cancel();
    }
    cv_.notify_all();
    if (worker_.joinable())
        worker_.join();
    checks_.reset();
}

void NetEnvControl::enqueue(Job job)
{
    ++outstanding_;
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
        if (!worker_.joinable())
            worker_ = std::thread([this] { workerLoop(); });
    }
    cv_.notify_all();
}

void NetEnvControl::workerLoop()
{
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            cv_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
            if (stop_)
                break;
            job = std::move(jobs_.front());
            jobs_.pop_front();
            runningCancellable_ = job.cancellable;
            if (upnp_)
                upnp_->resetCancel();
        }
        std::function<void()> step = job.work();
        {
            std::lock_guard lock(mutex_);
            runningCancellable_ = false;
        }
        finishOnUi(std::move(step));
    }
    // Removes a mapping in force, here rather than on the UI thread.
    upnp_.reset();
}

void NetEnvControl::finishOnUi(std::function<void()> step)
{
    std::shared_ptr<bool> alive = alive_;
    ui_.post([this, alive, step = std::move(step)] {
        if (!*alive)
            return;
        --outstanding_;
        if (step)
            step();
    });
}

void NetEnvControl::FormCreate(const QString& lanAddress, std::function<void()> searchOver)
{
    wan_ = lanAddress;
    NetworkEnvironment::setWanAddress(wan_);
    startSearch(std::move(searchOver));
}

void NetEnvControl::FormCreate(std::function<void(const QString&)> lanFound, std::function<void()> searchOver)
{
    // First on the worker, so that a router's answer always comes after it.
    enqueue({false, [this, lanFound = std::move(lanFound)]() -> std::function<void()> {
                 const QString lan = AddressDiscovery::GetLocalAddress(AddressDiscovery::kLookupLimitMs,
                                                                       &lookupCancel_);
                 return [this, lan, lanFound] {
                     wan_ = lan;
                     NetworkEnvironment::setWanAddress(lan);
                     if (lanFound)
                         lanFound(lan);
                 };
             }});
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
    searchOver_ = std::move(searchOver);
    upnp_ = std::make_unique<TUPnPData>(config_.ssdp, config_.limits);
    enqueue({true, [this]() -> std::function<void()> {
                 found_ = upnp_->Discover();
                 const bool found = found_;
                 return [this, found] { searchDone(found); };
             }});
    enqueue({true, [this]() -> std::function<void()> {
                 if (!found_)
                     return {};
                 const QString address = upnp_->GetExternalIPAddress();
                 return [this, address] {
                     wan_ = address;
                     NetworkEnvironment::setWanAddress(address);
                 };
             }});
}

void NetEnvControl::searchDone(bool found)
{
    discovering_ = false;
    ready_ = found;
    NetworkEnvironment::setUPnPReady(found);
    if (!found) {
        settings_.UseUPnP = false;
        log_.AddLogLine(QStringLiteral("UPnP検出失敗"), LineSys);
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
    if (!discovering_ && !ready_) {
        AfterPending(std::move(then));
        return;
    }
    enqueue({false, [this, port, then = std::move(then)]() -> std::function<void()> {
                 bool ok = true;
                 if (found_)
                     ok = upnp_->AddPortMapping(port, port, QStringLiteral("TCP"),
                                                AddressDiscovery::GetLocalAddress(AddressDiscovery::kLookupLimitMs,
                                                                                  &lookupCancel_),
                                                QStringLiteral("Corvid"));
                 return [this, ok, then] {
                     if (!ok)
                         log_.AddLogLine(QStringLiteral("ポートマッピング追加失敗"), LineSys);
                     if (then)
                         then();
                 };
             }});
}

void NetEnvControl::AfterPending(std::function<void()> step)
{
    if (outstanding_ == 0) {
        if (step)
            step();
        return;
    }
    enqueue({false, [step = std::move(step)]() -> std::function<void()> { return step; }});
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
