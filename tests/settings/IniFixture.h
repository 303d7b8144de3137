#pragma once
#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace corvid::test {

// A corvid.ini in a fresh temporary folder, written and read as raw bytes.
class IniFixture : public ::testing::Test {
protected:
    QString path() const { return dir.filePath(QStringLiteral("corvid.ini")); }

    void put(const QByteArray& bytes) const
    {
        QFile f(path());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

    QByteArray contents() const
    {
        QFile f(path());
        if (!f.open(QIODevice::ReadOnly))
            return QByteArray();
        return f.readAll();
    }

    QTemporaryDir dir;
};

} // namespace corvid::test
