#pragma once
// A small file system for tests of a full disk: a tmpfs of a given size,
// mounted in a mount namespace private to the calling thread (and to the
// threads it starts while the object lives), so the machine's mounts are
// never touched and nothing stays mounted if the test dies. Needs root;
// ok() is false where the namespace or the mount is refused.
#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdio>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

namespace corvid::test {

class SmallDisk {
public:
    SmallDisk(const QString& mountPoint, qint64 bytes) : dir_(QFile::encodeName(mountPoint))
    {
        oldNs_ = ::open("/proc/thread-self/ns/mnt", O_RDONLY | O_CLOEXEC);
        oldCwd_ = ::open(".", O_PATH | O_CLOEXEC);
        if (oldNs_ < 0 || oldCwd_ < 0 || ::unshare(CLONE_NEWNS) != 0)
            return;
        entered_ = true;
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return;
        mounted_ = ::mount("tmpfs", dir_.constData(), "tmpfs", 0, sizeOption(bytes).constData()) == 0;
    }
    ~SmallDisk()
    {
        if (mounted_)
            ::umount2(dir_.constData(), MNT_DETACH);
        // Back to the machine's mounts; setns moved this thread to the root.
        if (entered_ && (::setns(oldNs_, CLONE_NEWNS) != 0 || ::fchdir(oldCwd_) != 0))
            std::perror("SmallDisk");
        if (oldNs_ >= 0)
            ::close(oldNs_);
        if (oldCwd_ >= 0)
            ::close(oldCwd_);
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool ok() const { return mounted_; }
    // More (or less) room, keeping the files.
    bool resize(qint64 bytes)
    {
        return mounted_
            && ::mount("tmpfs", dir_.constData(), "tmpfs", MS_REMOUNT, sizeOption(bytes).constData()) == 0;
    }

private:
    static QByteArray sizeOption(qint64 bytes) { return "size=" + QByteArray::number(bytes); }

    QByteArray dir_;
    int oldNs_ = -1;
    int oldCwd_ = -1;
    bool entered_ = false;
    bool mounted_ = false;
};

} // namespace corvid::test
