// Makes the README's screenshots: two program instances in one process,
// each with a folder and corvid.ini of its own, connect over loopback, chat,
// and exchange a list of files whose rows end in several states. Each window
// is grabbed to a PNG. Run it through scripts/make-screenshots.sh.
#include "core/protocol/TcpListener.h"
#include "core/settings/IniFile.h"
#include "core/transfer/TransferCenter.h"
#include "core/transfer/TransferQueue.h"
#include "gui/about/TForm3.h"
#include "gui/session/TForm1.h"
#include "gui/transfer/TForm2.h"
#include "support/WaitFor.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QHeaderView>
#include <QTreeWidget>

#include <csignal>
#include <cstdio>
#include <memory>

using namespace corvid;

namespace {

constexpr int kWaitMs = 20000;

struct Instance {
    QTemporaryDir dir;
    std::unique_ptr<TForm1> form;

    explicit Instance(const QString& name)
    {
        const QString ini = dir.filePath(QStringLiteral("corvid.ini"));
        IniFile f(ini);
        f.writeBool(QStringLiteral("Option"), QStringLiteral("UseUPnP"), false);
        f.writeBool(QStringLiteral("Option"), QStringLiteral("VerCheck"), false);
        f.writeString(QStringLiteral("Option"), QStringLiteral("UserName"), name);
        f.writeString(QStringLiteral("Option"), QStringLiteral("RecvDir"), dir.path() + QLatin1Char('/'));
        form = std::make_unique<TForm1>(ini);
        form->resize(640, 420);
        form->show();
    }
    template <typename T> T* child(const char* name) { return form->findChild<T*>(QString::fromLatin1(name)); }
    TForm2& win() { return form->transferWindow(); }
    TransferQueue& recv() { return form->transfer().receiveQueue(); }
};

bool save(QWidget& w, const QString& path)
{
    QTest::qWait(200);  // let the last layout pass and repaint settle
    const bool ok = w.grab().save(path);
    std::printf("%s %s\n", ok ? "wrote" : "could not write", qPrintable(path));
    return ok;
}

int fail(const char* what)
{
    std::fprintf(stderr, "screenshots: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs/screenshots");
    QDir().mkpath(out);

    Instance aki(QStringLiteral("Aki"));  // listens
    Instance ben(QStringLiteral("Ben"));  // connects
    TcpListener probe;
    if (!probe.listen(0))
        return fail("no loopback port");
    const QString port = QString::number(probe.port());
    probe.close();
    aki.child<QLineEdit>("edPort")->setText(port);
    aki.child<QToolButton>("btServer")->click();
    ben.child<QLineEdit>("edIP")->setText(QStringLiteral("127.0.0.1"));
    ben.child<QLineEdit>("edPort")->setText(port);
    ben.child<QToolButton>("btClient")->click();
    if (!test::waitFor([&] { return aki.form->windowTitle() == QLatin1String("Ben"); }, kWaitMs))
        return fail("the two instances did not connect");

    // Each line waits for the one before to arrive, so both logs read alike.
    const auto say = [](Instance& from, Instance& to, const QString& text) {
        from.form->SendChatMessage(text);
        return test::waitFor([&] { return to.child<QWidget>("WB")->property("plainText").toString().contains(text); }, kWaitMs);
    };
    if (!say(ben, aki, QStringLiteral("こんにちは。写真を送りますね。"))
        || !say(aki, ben, QStringLiteral("ありがとう！受信開始を押します。"))
        || !say(ben, aki, QStringLiteral("旅行の写真が三枚と、資料が二つです。")))
        return fail("a chat line did not arrive");

    // Ben offers a folder of three photos, two files and a video of 3 GiB;
    // Aki receives two photos, refuses one file and leaves the rest.
    QTemporaryDir source;
    const QStringList names{QStringLiteral("旅行 2026/写真 1.jpg"), QStringLiteral("旅行 2026/写真 2.jpg"),
                            QStringLiteral("旅行 2026/写真 3.jpg"), QStringLiteral("資料.pdf"),
                            QStringLiteral("議事録.txt"), QStringLiteral("動画.mp4")};
    QDir().mkpath(source.filePath(QStringLiteral("旅行 2026")));
    for (int i = 0; i < names.size(); ++i) {
        QFile f(source.filePath(names[i]));
        if (!f.open(QIODevice::WriteOnly))
            return fail("cannot write a source file");
        if (names[i].endsWith(QLatin1String(".mp4")))
            f.resize(qint64(3) << 30);  // sparse
        else
            f.write(QByteArray(40000 * (i + 1), char('a' + i)));
        f.close();
        if (!names[i].contains(u'/'))
            ben.win().AddLocalFile(source.filePath(names[i]));
    }
    ben.win().AddLocalFile(source.filePath(QStringLiteral("旅行 2026")));
    // A list is merged once the receiver's transfer window has been shown.
    aki.win().resize(860, 360);
    aki.win().show();
    ben.win().findChild<QToolButton*>(QStringLiteral("btSend"))->click();  // lists and serves
    if (!test::waitFor([&] { return aki.recv().Count() == names.size(); }, kWaitMs))
        return fail("the list did not arrive");
    // Only the first two are received; the rest are held back (refused)
    // until "受信開始" is up again, then shown as a user leaves them: one
    // stopped, one refused, one waiting for permission.
    for (int i = 2; i < names.size(); ++i)
        aki.recv().SetState(aki.recv().Row(aki.recv().FindByName(names[i])).Ref(), RowState::Refused);
    QToolButton* receive = aki.win().findChild<QToolButton*>(QStringLiteral("btRecv"));
    receive->click();
    const auto done = [&] {
        int n = 0;
        for (int i = 0; i < aki.recv().Count(); ++i)
            n += aki.recv().Row(i).State() == RowState::Done ? 1 : 0;
        return n;
    };
    if (!test::waitFor([&] { return done() == 2; }, kWaitMs))
        return fail("the two files did not arrive");

    if (receive->isChecked())
        receive->click();
    aki.recv().SetState(aki.recv().Row(aki.recv().FindByName(names[2])).Ref(), RowState::Stopped);
    aki.recv().SetState(aki.recv().Row(aki.recv().FindByName(names[4])).Ref(), RowState::New);
    aki.recv().SetState(aki.recv().Row(aki.recv().FindByName(names[5])).Ref(), RowState::New);
    aki.win().resize(860, 360);
    // Wide enough to read each column whole.
    for (const char* view : {"ListView2", "ListView1"}) {
        QTreeWidget* v = aki.win().findChild<QTreeWidget*>(QString::fromLatin1(view));
        v->header()->resizeSection(3, 56);
        v->header()->resizeSection(6, 320);
    }
    bool ok = save(*aki.form, out + QStringLiteral("/main-window.png"));
    ok = save(aki.win(), out + QStringLiteral("/transfer-window.png")) && ok;
    // The about box with this installation's key.
    aki.form->About1Click();
    ok = save(*aki.form->aboutBox(), out + QStringLiteral("/about-box.png")) && ok;
    return ok ? 0 : 1;
}
