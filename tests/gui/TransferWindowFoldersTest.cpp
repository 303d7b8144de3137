// Folders in the transfer window: dropped on the send list or chosen from
// "ファイル追加", their files become rows named by their paths; long paths
// and sizes of several gigabytes read whole.
#include "gui/TransferInstance.h"
#include "support/WaitFor.h"
#include "transfer/TransferTestSupport.h"

#include <QDir>
#include <QHeaderView>
#include <QHelpEvent>
#include <QMenu>
#include <QMimeData>
#include <QToolTip>
#include <gtest/gtest.h>

#include <unistd.h>

using namespace corvid;

namespace {
constexpr int kWaitMs = 8000;
using TransferInstance::Instance;
} // namespace

TEST(TransferWindow, AFolderDroppedOrChosenBecomesRowsShownWhole)
{
    Instance a;
    a.showWindow();
    QTemporaryDir files;
    const QString top = files.filePath(QStringLiteral("旅行 写真"));
    const QString film = top + QStringLiteral("/film.mkv");
    ASSERT_TRUE(QDir().mkpath(top + QStringLiteral("/2026")));
    ASSERT_TRUE(test::writeFile(top + QStringLiteral("/2026/海 の 朝.jpg"), "12345"));
    ASSERT_TRUE(test::writeFile(film, {}));
    ASSERT_EQ(::truncate(QFile::encodeName(film).constData(), 3LL << 30), 0);  // sparse
    ASSERT_EQ(::symlink("film.mkv", QFile::encodeName(top + QStringLiteral("/link.mkv")).constData()), 0);

    // Dropped from the desktop onto the send queue's list.
    QueueView* v = a.view("ListView1");
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(top)});
    const QPoint at = v->viewport()->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(v->viewport(), &enter);
    QDropEvent drop(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(v->viewport(), &drop);
    const QString jpg = QStringLiteral("旅行 写真/2026/海 の 朝.jpg");
    const QString mkv = QStringLiteral("旅行 写真/film.mkv");
    ASSERT_EQ(a.names(a.send()), QStringList({jpg, mkv}));
    ASSERT_TRUE(test::waitFor([&] { return v->topLevelItemCount() == 2; }, kWaitMs));
    EXPECT_EQ(v->topLevelItem(0)->text(0), jpg);
    EXPECT_EQ(v->topLevelItem(1)->text(1), QStringLiteral("3,221,225,472"));
    // The size column makes room for the whole size, also after a narrower
    // layout is applied.
    EXPECT_GT(v->header()->sectionSize(1), v->fontMetrics().horizontalAdvance(QStringLiteral("3,221,225,472")));
    a.win().applyLayoutState(TransferWindowState{});
    EXPECT_GT(v->header()->sectionSize(1), v->fontMetrics().horizontalAdvance(QStringLiteral("3,221,225,472")));
    EXPECT_EQ(v->topLevelItem(1)->text(6), QFileInfo(files.path()).canonicalFilePath() + u'/');
    ASSERT_TRUE(test::waitFor(
        [&] { return a.logText().contains(QStringLiteral("フォルダのファイルを2件追加しました（送信できない1件を除外）：旅行 写真")); },
        kWaitMs));

    // The size column sorts the 3 GiB file by its number.
    QHeaderView* header = v->header();
    const QPoint sizeColumn(header->sectionViewportPosition(1) + 5, header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, sizeColumn);
    EXPECT_EQ(a.names(a.send()), QStringList({jpg, mkv}));
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, sizeColumn);
    EXPECT_EQ(a.names(a.send()), QStringList({mkv, jpg}));
    ASSERT_TRUE(test::waitFor([&] { return v->topLevelItem(0)->text(0) == mkv; }, kWaitMs));

    // A name too long for its column shows whole as a tip; one that fits
    // has none.
    auto tipOver = [&](int row) {
        const QRect r = v->visualItemRect(v->topLevelItem(row));
        const QPoint p(r.left() + 20, r.center().y());
        QHelpEvent help(QEvent::ToolTip, p, v->viewport()->mapToGlobal(p));
        QCoreApplication::sendEvent(v->viewport(), &help);
    };
    header->resizeSection(0, 60);
    tipOver(1);
    ASSERT_TRUE(test::waitFor([] { return QToolTip::isVisible(); }, kWaitMs));
    EXPECT_EQ(QToolTip::text(), jpg);
    header->resizeSection(0, 600);
    tipOver(1);
    EXPECT_TRUE(test::waitFor([] { return !QToolTip::isVisible(); }, kWaitMs));

    // "ファイル追加" asks for files; its menu for a folder.
    QList<bool> asked;
    const QString more = files.filePath(QStringLiteral("more"));
    ASSERT_TRUE(QDir().mkpath(more));
    ASSERT_TRUE(test::writeFile(more + QStringLiteral("/c.txt"), "c"));
    a.win().setChooser([&](bool folder) {
        asked << folder;
        return folder ? QStringList{more} : QStringList{top + QStringLiteral("/2026/海 の 朝.jpg")};
    });
    a.button("btAddFile")->click();
    QAction* addFolder = a.entry("AddFolder1");
    ASSERT_NE(addFolder, nullptr);
    EXPECT_TRUE(a.button("btAddFile")->menu()->actions().contains(addFolder));
    addFolder->trigger();
    EXPECT_EQ(asked, QList<bool>({false, true}));
    EXPECT_EQ(a.names(a.send()), QStringList({mkv, jpg, QStringLiteral("海 の 朝.jpg"), QStringLiteral("more/c.txt")}));
}
