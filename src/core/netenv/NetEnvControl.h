#pragma once
#include "core/base/ThreadOwner.h"
#include "core/netenv/LocalAddressLookup.h"
#include "core/netenv/TUPnPData.h"
#include "core/session/UiHandOver.h"
#include "core/netenv/VersionCheckRunner.h"
#include "core/session/ILogSink.h"

#include <atomic>
#include <functional>
#include <memory>

namespace corvid {

class AppSettings;

// Where the main window's network environment talks to: the SSDP
// destination, the update host and the maker's page. Tests aim them at
// fakes on loopback.
struct NetEnvConfig {
    SsdpTarget ssdp;
    UpdateHost update = UpdateHost::fromBuild();
    QString makerUrl;
    ReplyLimits limits{16384, 4096, 1024 * 1024, 5000, 500};
    static NetEnvConfig fromBuild();
};

// The main window's router client and update checks, off the UI thread.
// Router requests run one after another on one worker thread; their
// results come back to the UI thread in the same order, so the log shows
// them as if they had run there. Every public call is for the UI thread.
class NetEnvControl {
public:
    NetEnvControl(AppSettings& settings, QString settingsPath, ILogSink& log, UiHandOver& ui, NetEnvConfig config);
    // Cancels a search or address query in progress, lets a mapping request
    // finish, removes a mapping in force, joins every thread.
    ~NetEnvControl();
    NetEnvControl(const NetEnvControl&) = delete;
    NetEnvControl& operator=(const NetEnvControl&) = delete;

    // Start-up: the WAN address becomes the LAN address; with UseUPnP on,
    // the router search and the external-address query start. When the
    // search fails, "UPnP検出失敗" is logged and UseUPnP=0 written (a
    // refused write is logged as well).
    // `searchOver` runs once the search's outcome is known (also at once
    // when there is no search).
    void FormCreate(const QString& lanAddress, std::function<void()> searchOver);
    // The same, with the LAN address looked up off the UI thread first
    // (within AddressDiscovery::kLookupLimitMs): `lanFound` runs on the UI
    // thread with it, after the WAN address took it and before any router
    // result.
    void FormCreate(std::function<void(const QString& lanAddress)> lanFound, std::function<void()> searchOver);
    // The LAN address, found off the UI thread; `done` runs there with it
    // (empty when the name service gave none in time).
    void RequestLocalAddress(std::function<void(const QString& lanAddress)> done);
    bool discovering() const { return discovering_; }
    bool upnpReady() const { return ready_; }
    QString wanAddress() const { return wan_; }

    // After the listening socket became active: with a router, the port is
    // mapped (a mapping already made is replaced). `then` runs afterwards,
    // after "ポートマッピング追加失敗" when the mapping failed.
    void ServerStarted(quint16 port, std::function<void()> then);
    // Runs `step` after every router request asked for before it (at once
    // when none is outstanding), so log lines keep their order.
    void AfterPending(std::function<void()> step);

    // Starts an update check; during the router search it waits for the
    // search's outcome, whose line comes first.
    void StartVersionCheck();

private:
    // `work` runs on the worker and gives the step for the UI thread. A
    // cancellable job (a search, a query) is cut short when this closes.
    using Work = std::function<std::function<void()>()>;
    void enqueue(bool cancellable, Work work);
    void searchDone(bool found);
    void startSearch(std::function<void()> searchOver);

    AppSettings& settings_;
    QString settingsPath_;
    ILogSink& log_;
    UiHandOver& ui_;
    NetEnvConfig config_;
    std::unique_ptr<VersionCheckRunner> checks_;
    LocalAddressLookup lanLookup_;
    std::atomic<bool> lookupCancel_{false};  // ends the worker's own address lookups

    // UI thread only
    QString wan_;
    bool discovering_ = false;
    bool searched_ = false;  // a router search was started at all
    bool ready_ = false;
    int outstanding_ = 0;  // jobs whose UI step has not run yet
    int deferredChecks_ = 0;
    std::function<void()> searchOver_;

    // Made before the first job that uses it; the worker's alone until the
    // worker is joined.
    std::unique_ptr<TUPnPData> upnp_;
    bool found_ = false;  // worker only

    // The serial worker for router requests; its token drops their UI
    // steps once this is going.
    ThreadOwner worker_;
};

} // namespace corvid
