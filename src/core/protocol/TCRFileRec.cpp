#include "core/protocol/TCRFileRec.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

namespace corvid {

qint64 TCRFileRec::GetTransferred() const
{
    // Live first: DoneBytes is stored before the live count is cleared or
    // lowered, so whichever order the two change in, the larger is current.
    const qint64 live = live_.load(std::memory_order_acquire);
    const qint64 done = DoneBytes.load(std::memory_order_acquire);
    return qMax(live, done);
}

bool TCRFileRec::MayContinue() const
{
    return ListItem && ListItem->IsQueued() && ListItem->State() == RowState::Transferring
        && RunButton && RunButton->IsPressed();
}

void TCRFileRec::AdoptCurrentThread()
{
    SetCarrierThread(static_cast<pid_t>(::gettid()));
}

void TCRFileRec::SetCarrierThread(pid_t tid)
{
    std::lock_guard lock(carrierMutex_);
    carrier_ = tid;
    niceChanged_ = false;
    carrierNice_ = 0;
    if (tid > 0) {
        errno = 0;
        const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
        if (errno == 0)
            carrierNice_ = nice;
    }
}

pid_t TCRFileRec::CarrierThread() const
{
    std::lock_guard lock(carrierMutex_);
    return carrier_;
}

bool TCRFileRec::ReleaseCarrierThread()
{
    std::lock_guard lock(carrierMutex_);
    bool restored = true;
    if (carrier_ > 0 && niceChanged_)
        restored = ::setpriority(PRIO_PROCESS, static_cast<id_t>(carrier_), carrierNice_) == 0;
    carrier_ = 0;
    niceChanged_ = false;
    return restored;
}

int TCRFileRec::NiceForPriority(int priority)
{
    static constexpr int kNice[] = {19, 10, 5, 0, -5, -10, -15};
    if (priority < Idle || priority > TimeCritical)
        return 0;
    return kNice[priority];
}

bool TCRFileRec::SetTransferPriority(int priority)
{
    if (priority < Idle || priority > TimeCritical)
        return false;
    std::lock_guard lock(carrierMutex_);
    if (carrier_ <= 0)
        return false;
    if (::setpriority(PRIO_PROCESS, static_cast<id_t>(carrier_), NiceForPriority(priority)) != 0)
        return false;
    niceChanged_ = true;
    return true;
}

} // namespace corvid
