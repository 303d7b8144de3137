#pragma once
#include "core/netenv/AddressDiscovery.h"

#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
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
    std::shared_ptr<void> alive_ = std::make_shared<int>(0);  // UI thread only
    const std::weak_ptr<void> token_ = alive_;  // what the lookup thread reads
    std::atomic<bool> cancel_{false};
    std::mutex mutex_;  // guards the two below
    std::vector<std::function<void(const QString&)>> waiting_;
    bool running_ = false;
    std::thread thread_;  // UI thread only
};

} // namespace corvid
