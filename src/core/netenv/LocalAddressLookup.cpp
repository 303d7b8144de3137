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
    threads_.stopAll();
}

void LocalAddressLookup::request(std::function<void(const QString&)> done)
{
    std::lock_guard lock(mutex_);
    waiting_.push_back(std::move(done));
    if (running_)
        return;
    running_ = true;
    // The last lookup has handed its answer over already; the owner joins
    // its thread, at most on its way out.
    threads_.start([this] { run(); }, [this] { cancel_ = true; });
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
    ui_.post(threads_.token(), [waiting = std::move(waiting), address] {
        for (const auto& done : waiting)
            if (done)
                done(address);
    });
}

} // namespace corvid
