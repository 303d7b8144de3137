#include "core/netenv/NetworkEnvironment.h"

#include <QMutex>
#include <QMutexLocker>

#include <atomic>

namespace corvid {

namespace {

QMutex& wanMutex()
{
    static QMutex mutex;
    return mutex;
}

QString& wanValue()
{
    static QString value;
    return value;
}

std::atomic<bool> readyValue{false};

QString& linkValue()
{
    static QString value;
    return value;
}

} // namespace

QString NetworkEnvironment::wanAddress()
{
    QMutexLocker lock(&wanMutex());
    return wanValue();
}

void NetworkEnvironment::setWanAddress(const QString& address)
{
    // Swap rather than copy-assign: Qt's out-of-line assignment hides its
    // reference counting from the thread sanitizer.
    QString value = address;
    QMutexLocker lock(&wanMutex());
    wanValue().swap(value);
}

bool NetworkEnvironment::upnpReady()
{
    return readyValue.load();
}

void NetworkEnvironment::setUPnPReady(bool ready)
{
    readyValue = ready;
}

QString NetworkEnvironment::downloadLink()
{
    QMutexLocker lock(&wanMutex());
    return linkValue();
}

void NetworkEnvironment::setDownloadLink(const QString& link)
{
    QString value = link;
    QMutexLocker lock(&wanMutex());
    linkValue().swap(value);
}

} // namespace corvid
