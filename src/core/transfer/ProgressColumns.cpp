#include "core/transfer/ProgressColumns.h"

#include "core/settings/Conversions.h"

#include <cmath>

namespace corvid {

QString ProgressColumns::RemainingText(qint64 seconds)
{
    return QString::asprintf("%2d:%.2d", int(seconds / 60), int(seconds % 60));
}

void ProgressColumns::Refresh(const QString& sizeText, ProgressTexts& cols, qint64 transferred)
{
    bool ok = false;
    const qint64 previous = Conversions::ParseThousands64(cols.done, &ok);
    if (!ok)
        return;
    cols.done = Conversions::FormatThousands(transferred);

    bool sizeOk = false;
    bool doneOk = false;
    const qint64 size = Conversions::ParseThousands64(sizeText, &sizeOk);
    const qint64 done = Conversions::ParseThousands64(cols.done, &doneOk);
    if (!sizeOk || !doneOk || size == 0)
        return;  // no percentage for a size of 0
    const double percent = std::trunc(double(done) / double(size) * 100.0);
    cols.percent = Conversions::FormatThousands(qint64(percent)) + u'%';

    // Bytes since the previous refresh.
    const qint64 delta = transferred - previous;
    if (sizeText != cols.done && delta > 0) {
        const qint64 remaining = (size - done) / delta;
        cols.time = RemainingText(remaining);
        cols.speed = QString::number(qint64(double(delta) / 1024.0 + 0.5));
    } else if (sizeText == cols.done) {
        cols.time.clear();
        cols.speed.clear();
    }
}

} // namespace corvid
