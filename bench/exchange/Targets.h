#pragma once
// The targets of a benchmark run: each printed at once with its figure,
// yardstick, ratio and PASS/MISS, and again in the summary at the end.
#include <QString>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

class Targets {
public:
    // ratio NAN: none. Returns `met`.
    bool check(const QString& name, const QString& figure, const QString& yardstick, double ratio, bool met)
    {
        const QString ratioText = std::isnan(ratio) ? QStringLiteral("-") : QString::number(ratio, 'f', 3);
        const QString line = QStringLiteral("%1: %2 | yardstick %3 | ratio %4 | %5")
                                 .arg(name, figure, yardstick, ratioText,
                                      met ? QStringLiteral("PASS") : QStringLiteral("MISS"));
        std::printf("  %s\n", line.toUtf8().constData());
        lines_.push_back(line.toStdString());
        return met;
    }
    void printSummary() const
    {
        std::printf("\nsummary\n");
        for (const std::string& line : lines_)
            std::printf("  %s\n", line.c_str());
    }

private:
    std::vector<std::string> lines_;
};

inline QString megabytesPerSecond(double bytesPerSecond)
{
    return QString::number(bytesPerSecond / 1e6, 'f', 1) + QStringLiteral(" MB/s");
}

} // namespace bench
