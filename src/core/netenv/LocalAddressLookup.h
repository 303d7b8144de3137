#pragma once
#include "core/base/ThreadOwner.h"
#include "core/netenv/AddressDiscovery.h"

#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace corvid {

class IHostResolver;
class UiHandOver;

// Finds the LAN address for the UI thread without making it wait: the
// lookup runs on a thread of this object, within a time limit, and the
// answer (empty when there is none in time) comes back through the
// hand-over. Requests made while a lookup runs share its answer.
class LocalAddressLookup {
public:
    explicit LocalAddressLookup(UiHandOver& ui, int limitMs = AddressDiscovery::kLookupLimitMs,
                                std::shared_ptr<IHostResolver> resolver = {});
    // Gives up a lookup in progress (its answer is not delivered) and joins.
    ~LocalAddressLookup();
    LocalAddressLookup(const LocalAddressLookup&) = delete;
    LocalAddressLookup& operator=(const LocalAddressLookup&) = delete;

    // UI thread. `done` runs there with the address, after this call returns.
    void request(std::function<void(const QString& address)> done);

private:
    void run();

    UiHandOver& ui_;
    const int limitMs_;
    const std::shared_ptr<IHostResolver> resolver_;
    std::atomic<bool> cancel_{false};
    std::mutex mutex_;  // guards the two below
    std::vector<std::function<void(const QString&)>> waiting_;
    bool running_ = false;
    ThreadOwner threads_;  // its token drops answers once this is going
};

} // namespace corvid
