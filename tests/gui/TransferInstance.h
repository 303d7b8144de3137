#pragma once
// One program instance for widget tests: a main window with its own folder
// and corvid.ini (no router search, no update check), and handles on its
// transfer window.
#include "core/protocol/TcpListener.h"
#include "core/settings/IniFile.h"
#include "core/transfer/TransferCenter.h"
#include "core/transfer/TransferQueue.h"
#include "gui/session/ChatLogView.h"
#include "gui/session/TForm1.h"
#include "gui/transfer/QueueView.h"
#include "gui/transfer/TForm2.h"

#include <QAction>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>
#include <memory>

namespace corvid::TransferInstance {

// A loopback port nobody listens on right now.
inline quint16 freePort()
{
    TcpListener l;
    EXPECT_TRUE(l.listen(0));
    return l.port();
}

struct Instance {
    QTemporaryDir dir;
    std::unique_ptr<TForm1> form;

    explicit Instance(const QString& name = QStringLiteral("Aki"), const QStringList& extra = {})
    {
        IniFile ini(iniPath());
        ini.writeBool(QStringLiteral("Option"), QStringLiteral("UseUPnP"), false);
        ini.writeBool(QStringLiteral("Option"), QStringLiteral("VerCheck"), false);
        ini.writeString(QStringLiteral("Option"), QStringLiteral("UserName"), name);
        ini.writeString(QStringLiteral("Option"), QStringLiteral("RecvDir"), dir.path() + QLatin1Char('/'));
        for (int i = 0; i + 2 < extra.size(); i += 3)
            ini.writeString(extra[i], extra[i + 1], extra[i + 2]);
        open();
    }
    QString iniPath() const { return dir.filePath(QStringLiteral("corvid.ini")); }
    void open()
    {
        form = std::make_unique<TForm1>(iniPath());
        form->show();
    }
    TForm2& win() { return form->transferWindow(); }
    TransferCenter& center() { return form->transfer(); }
    // Shown, exposed and active, so that clicks and shortcuts reach it.
    void showWindow()
    {
        win().show();
        win().activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&win()));
        EXPECT_TRUE(QTest::qWaitForWindowActive(&win()));
    }
    TransferQueue& recv() { return center().receiveQueue(); }
    TransferQueue& send() { return center().sendQueue(); }
    QToolButton* button(const char* name) { return win().findChild<QToolButton*>(QString::fromLatin1(name)); }
    QueueView* view(const char* name) { return win().findChild<QueueView*>(QString::fromLatin1(name)); }
    QTimer* timer(const char* name) { return win().findChild<QTimer*>(QString::fromLatin1(name)); }
    QAction* entry(const char* name) { return win().findChild<QAction*>(QString::fromLatin1(name)); }
    QString logText() { return form->findChild<ChatLogView*>(QStringLiteral("WB"))->toPlainText(); }
    QStringList names(TransferQueue& q)
    {
        QStringList out;
        for (int i = 0; i < q.Count(); ++i)
            out << q.Row(i).Name();
        return out;
    }
    RowRef add(TransferQueue& q, const QString& name, const QString& size, RowState s)
    {
        return q.Append(name, size, dir.path() + QLatin1Char('/'), s);
    }
};


// How many rows of the queue are Done.
inline int doneRows(TransferQueue& q)
{
    int n = 0;
    for (int i = 0; i < q.Count(); ++i)
        n += q.Row(i).State() == RowState::Done ? 1 : 0;
    return n;
}

} // namespace corvid::TransferInstance
