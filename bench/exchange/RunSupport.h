#pragma once
// What the benchmarks driving two instances share around a run: room on
// the disk, the instances' chunk, and how long a reception may take.
#include "Harness.h"
#include "ProcStats.h"

#include <QString>

#include <algorithm>
#include <cstdio>

namespace bench {

inline bool enoughRoom(const QString& base, qint64 need)
{
    constexpr double kGiB = double(qint64(1) << 30);
    const qint64 free = freeBytes(base);
    std::printf("disk: %.2f GiB free, %.2f GiB needed\n", double(free) / kGiB, double(need) / kGiB);
    if (free >= need)
        return true;
    std::printf("not enough room on the disk for this run\n");
    return false;
}

inline qint64 chunkOf(Instance& i)
{
    long long n = 0;
    std::sscanf(i.command("chunk").c_str(), "ok %lld", &n);
    return n > 0 ? n : 65536;
}

// ms to wait for a reception of `size` bytes: a minute, and 10 MB/s.
inline int receiveTimeout(qint64 size)
{
    return int(std::min<qint64>(60000 + size / 10000, 3600000));
}

} // namespace bench
