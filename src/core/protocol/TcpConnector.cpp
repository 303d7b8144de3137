#include "core/protocol/TcpConnector.h"

#include "core/protocol/DetachedLookup.h"
#include "core/protocol/HostResolver.h"
#include "core/protocol/SocketDeadline.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QByteArray>

#include <cerrno>
#include <system_error>
#include <utility>

namespace corvid {
namespace {

// A cancel flag is looked at between waits of this length.
constexpr int kCancelSliceMs = 50;

QString errnoText(int e)
{
    return QString::fromStdString(std::error_code(e, std::generic_category()).message());
}

// A name lookup that may outlive the connect that asked for it: it holds the
// resolver and its own copies of the name, and gives the list back itself.
class AddressLookup : public DetachedLookup::Job {
public:
    AddressLookup(std::shared_ptr<IHostResolver> resolver, QByteArray name, QByteArray service)
        : resolver_(std::move(resolver))
        , name_(std::move(name))
        , service_(std::move(service))
    {
    }
    ~AddressLookup() override
    {
        if (list_)
            resolver_->release(list_);
    }
    void run() override
    {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        hints.ai_flags = AI_NUMERICSERV;
        rc_ = resolver_->resolve(name_.constData(), service_.constData(), &hints, &list_);
        if (rc_ != 0)
            list_ = nullptr;
    }
    int rc() const { return rc_; }
    const addrinfo* list() const { return list_; }

private:
    std::shared_ptr<IHostResolver> resolver_;
    const QByteArray name_;
    const QByteArray service_;
    int rc_ = EAI_AGAIN;
    addrinfo* list_ = nullptr;
};

// One non-blocking connect, waited for in slices while `cancel` may end it.
// 0 or the errno of the failure.
int connectOne(int s, const addrinfo* ai, const SocketDeadline& deadline, const std::atomic<bool>* cancel)
{
    if (::connect(s, ai->ai_addr, ai->ai_addrlen) == 0)
        return 0;
    int err = errno;
    if (err != EINPROGRESS && err != EINTR)
        return err;
    int r = 0;
    for (;;) {
        const int left = deadline.remaining();
        const bool sliced = cancel && (left < 0 || left > kCancelSliceMs);
        r = SocketDeadline(sliced ? kCancelSliceMs : left).poll(s, POLLOUT);
        if (r != 0 || !sliced || cancel->load())
            break;
    }
    if (r == 0)
        return ETIMEDOUT;
    if (r < 0)
        return errno;
    socklen_t len = sizeof err;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
        err = errno;
    return err;
}

} // namespace

int TcpConnector::open(const QString& host, quint16 port, int timeoutMs,
                       const std::shared_ptr<IHostResolver>& resolver, QString* error, const std::atomic<bool>* cancel)
{
    const SocketDeadline deadline(timeoutMs);

    QByteArray name = host.trimmed().toUtf8();
    if (name.startsWith('[') && name.endsWith(']'))
        name = name.mid(1, name.size() - 2);
    const QByteArray service = QByteArray::number(port);

    // A dotted or colon address needs no name service and no helper.
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
    addrinfo* numeric = nullptr;
    int rc = ::getaddrinfo(name.constData(), service.constData(), &hints, &numeric);
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> numericList(rc == 0 ? numeric : nullptr, &::freeaddrinfo);
    std::shared_ptr<AddressLookup> lookup;
    const addrinfo* first = numericList.get();
    if (rc == EAI_NONAME) {
        // A name: looked up on a helper, so that the time limit and the
        // cancel flag end this wait even when the name service never answers.
        lookup = std::make_shared<AddressLookup>(resolver ? resolver : IHostResolver::system(), name, service);
        switch (DetachedLookup::run(lookup, deadline.remaining(), cancel)) {
        case DetachedLookup::Outcome::Done:
            rc = lookup->rc();
            first = lookup->list();
            break;
        case DetachedLookup::Outcome::TimedOut:
            if (error)
                *error = errnoText(ETIMEDOUT);
            return -1;
        case DetachedLookup::Outcome::Cancelled:
            if (error)
                *error = errnoText(ECANCELED);
            return -1;
        case DetachedLookup::Outcome::Busy:
            rc = EAI_AGAIN;
            break;
        }
    }
    if (rc != 0 || !first) {
        if (error)
            *error = QString::fromLocal8Bit(::gai_strerror(rc != 0 ? rc : EAI_NONAME));
        return -1;
    }

    QString lastError = errnoText(ECONNREFUSED);
    for (const addrinfo* ai = first; ai; ai = ai->ai_next) {
        const int s = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (s < 0) {
            lastError = errnoText(errno);
            continue;
        }
        const int err = connectOne(s, ai, deadline, cancel);
        if (err != 0) {
            ::close(s);
            lastError = errnoText(err);
            if (err == ETIMEDOUT || deadline.remaining() == 0)
                break;  // the time limit covers every address together
            continue;
        }
        // Reads and writes wait in poll() and blocking send(); the socket
        // itself goes back to blocking mode.
        const int flags = ::fcntl(s, F_GETFL);
        if (flags >= 0)
            ::fcntl(s, F_SETFL, flags & ~O_NONBLOCK);
        return s;
    }
    if (error)
        *error = lastError;
    return -1;
}

} // namespace corvid
