#include "core/netenv/LocalAddressLookup.h"

#include "core/session/UiHandOver.h"

namespace corvid {

LocalAddressLookup::LocalAddressLookup(UiHandOver& ui, int limitMs, std::shared_ptr<IHostResolver> resolver)
    : ui_(ui)
    , limitMs_(limitMs)
    , resolver_(std::move(resolver))
{
}

LocalAddressLookup::~LocalAddressLookup()
{
    alive_.reset();
    cancel_ = true;
    if (thread_.joinable())
        thread_.join();
}

void LocalAddressLookup::request(std::function<void(const QString&)> done)
{
    std::lock_guard lock(mutex_);
    waiting_.push_back(std::move(done));
    if (running_)
        return;
    running_ = true;
    // The last lookup has handed its answer over already; its thread is
    // at most on its way out.
    if (thread_.joinable())
        thread_.join();
    thread_ = std::thread([this] { run(); });
}

void LocalAddressLookup::run()
{
    const QString address = AddressDiscovery::GetLocalAddress(limitMs_, &cancel_, resolver_);
    std::vector<std::function<void(const QString&)>> waiting;
    {
        std::lock_guard lock(mutex_);
        waiting.swap(waiting_);
        running_ = false;
    }
    if (cancel_)
        return;
    ui_.post(token_, [waiting = std::move(waiting), address] {
        for (const auto& done : waiting)
            if (done)
                done(address);
    });
}

} // namespace corvid
