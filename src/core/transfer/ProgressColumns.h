#pragma once
#include <QString>
#include <QtGlobal>

namespace corvid {

// Columns 2 to 5 of a row: bytes done, percentage, remaining time, speed.
struct ProgressTexts {
    QString done;
    QString percent;
    QString time;
    QString speed;
};

// The progress refresh of one row, once a second, from the row's size text
// (column 1) and the transfer's byte count. Pure, so every edge case can be
// checked without a window.
class ProgressColumns {
public:
    // Updates `cols` in place. A step that fails (a text that does not parse,
    // a size of 0) ends the refresh; what was written before stays.
    static void Refresh(const QString& sizeText, ProgressTexts& cols, qint64 transferred);
    // "%2d:%.2d" of whole minutes and seconds.
    static QString RemainingText(qint64 seconds);
};

} // namespace corvid
