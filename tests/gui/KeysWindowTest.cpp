// The windows' part in keys: the invitation copied from one instance and
// pasted into another's edIP holds even the first connect to the invited
// key, a peer's new key is refused until the user accepts it in its dialog,
// the about box shows and copies this installation's fingerprint, and the
// key file is the user's alone and survives a restart.
#include "gui/TransferInstance.h"
#include "support/WaitFor.h"

#include "core/security/Fingerprint.h"
#include "core/security/Identity.h"
#include "core/security/Invitation.h"
#include "core/security/PeerPins.h"
#include "core/security/TrustTexts.h"
#include "core/session/SessionController.h"
#include "gui/about/TForm3.h"
#include "gui/session/KeyChangeDialog.h"
#include "gui/session/TrustControls.h"

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTextEdit>

#include <sys/stat.h>

using namespace corvid;
using TransferInstance::Instance;
using TransferInstance::freePort;

namespace {

constexpr int kWaitMs = 20000;

QByteArray keyOf(Instance& i)
{
    return i.form->trust().fingerprint();
}

// The log view is filled off the line's own call: wait for the line.
bool shows(Instance& i, const QString& line)
{
    return test::waitFor([&] { return i.logText().contains(line); }, kWaitMs);
}

QLineEdit* edit(Instance& i, const char* name)
{
    return i.form->findChild<QLineEdit*>(QString::fromLatin1(name));
}

QAction* action(Instance& i, const char* name)
{
    return i.form->findChild<QAction*>(QString::fromLatin1(name));
}

void startServer(Instance& i, quint16 port)
{
    edit(i, "edPort")->setText(QString::number(port));
    QTest::mouseClick(i.form->findChild<QToolButton*>(QStringLiteral("btServer")), Qt::LeftButton);
    ASSERT_TRUE(i.form->session().isListening());
}

// Clicks btClient and waits until the attempt has ended either way.
bool connectAndWait(Instance& i)
{
    QToolButton* client = i.form->findChild<QToolButton*>(QStringLiteral("btClient"));
    QTest::mouseClick(client, Qt::LeftButton);
    return test::waitFor([&] { return !i.form->session().isConnecting(); }, kWaitMs);
}

// Ends the client's session and waits until the listening side saw it go.
bool disconnect(Instance& client, Instance& server)
{
    QTest::mouseClick(client.form->findChild<QToolButton*>(QStringLiteral("btClient")), Qt::LeftButton);
    return test::waitFor([&] {
        return !client.form->session().hasSessionConnection() && !server.form->session().hasServerSession();
    }, kWaitMs);
}

// What the instance's "招待リンクをコピー" (Ctrl+I, with the focus in the
// input box) put on the clipboard.
QString copiedInvitation(Instance& i)
{
    i.form->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(i.form.get()));
    i.form->findChild<QTextEdit*>(QStringLiteral("reInput"))->setFocus();
    QGuiApplication::clipboard()->clear();
    QTest::keyClick(i.form.get(), Qt::Key_I, Qt::ControlModifier);
    test::waitFor([] { return !QGuiApplication::clipboard()->text().isEmpty(); }, kWaitMs);
    return QGuiApplication::clipboard()->text();
}

// Pastes `text` into edIP as a user does (Ctrl+V).
void paste(Instance& i, const QString& text)
{
    QGuiApplication::clipboard()->setText(text);
    edit(i, "edIP")->clear();
    QTest::keyClick(edit(i, "edIP"), Qt::Key_V, Qt::ControlModifier);
}

struct BoxSeen {
    QString text;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
};

// Answers the modal message box that `run` opens with `answer`.
BoxSeen answerMessageBox(QMessageBox::StandardButton answer, const std::function<void()>& run)
{
    BoxSeen seen;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            seen.text = box->text();
            seen.defaultButton = box->standardButton(box->defaultButton());
            box->button(answer)->click();
        }
    });
    poll.start();
    run();
    return seen;
}

} // namespace

// B pastes A's invitation: the first connect already checks A's key
// (Verified, never New), the session is encrypted with one code on both
// sides. An invitation naming another key fails a newcomer's first connect.
TEST(KeysWindow, AnInvitationPastedIntoEdIPHoldsTheFirstConnectToItsKey)
{
    Instance a{QStringLiteral("Aki")};
    Instance b{QStringLiteral("Ben")};
    // Each instance has a key of its own, kept in its own folder.
    ASSERT_EQ(keyOf(a).size(), Fingerprint::kBytes);
    ASSERT_NE(keyOf(a), keyOf(b));
    const quint16 port = freePort();
    startServer(a, port);

    // The address comes from the lookup at start, as Ctrl+W's does.
    ASSERT_TRUE(test::waitFor([&] { return !a.form->wanAddress().isEmpty(); }, kWaitMs));
    const std::optional<Invitation> copied = Invitation::Parse(copiedInvitation(a));
    ASSERT_TRUE(copied);
    EXPECT_EQ(copied->host, a.form->wanAddress());
    EXPECT_EQ(copied->port, port);
    EXPECT_EQ(copied->fingerprint, keyOf(a));
    // The address the name service gives may be a LAN one; the test stays
    // on loopback and keeps port and key as copied.
    QString line = Invitation::Format(copied->host, copied->port, copied->fingerprint);
    if (!QHostAddress(copied->host).isLoopback())
        line = Invitation::Format(QStringLiteral("127.0.0.1"), port, copied->fingerprint);
    const Invitation invitation = *Invitation::Parse(line);

    edit(b, "edPort")->setText(QStringLiteral("1"));
    paste(b, line);
    EXPECT_EQ(edit(b, "edIP")->text(), invitation.host);
    EXPECT_EQ(edit(b, "edPort")->text(), QString::number(port));
    EXPECT_EQ(b.form->session().peerPins()->expected(invitation.host), keyOf(a));
    EXPECT_TRUE(shows(b, TrustTexts::InvitationRead(invitation.host, port)));

    ASSERT_TRUE(connectAndWait(b));
    ASSERT_TRUE(b.form->session().isClientConnected()) << b.logText().toStdString();
    EXPECT_EQ(b.form->session().partnerKey(), keyOf(a));
    const QString code = b.form->session().verificationCode();
    ASSERT_FALSE(code.isEmpty());
    ASSERT_TRUE(test::waitFor([&] { return a.form->session().verificationCode() == code; }, kWaitMs));
    EXPECT_TRUE(shows(b, TrustTexts::Verified(code))) << b.logText().toStdString();
    EXPECT_FALSE(b.logText().contains(TrustTexts::New(keyOf(a), code)));
    ASSERT_TRUE(disconnect(b, a));

    // A newcomer invited with a key that is not A's.
    Instance c{QStringLiteral("Chie")};
    const QByteArray other = Identity::Create()->fingerprint();
    paste(c, Invitation::Format(invitation.host, port, other));
    ASSERT_EQ(edit(c, "edIP")->text(), invitation.host);
    ASSERT_TRUE(connectAndWait(c));
    EXPECT_FALSE(c.form->session().hasSessionConnection());
    EXPECT_FALSE(c.form->findChild<QToolButton*>(QStringLiteral("btClient"))->isChecked());
    EXPECT_TRUE(shows(c, TrustTexts::InvitationMismatch(invitation.host, other, keyOf(a))))
        << c.logText().toStdString();
    EXPECT_FALSE(c.logText().contains(QStringLiteral("接続成功")));
    // Ordinary input is left as typed.
    edit(c, "edIP")->clear();
    QTest::keyClicks(edit(c, "edIP"), QStringLiteral("corvid.example"));
    EXPECT_EQ(edit(c, "edIP")->text(), QStringLiteral("corvid.example"));
    EXPECT_EQ(edit(c, "edPort")->text(), QString::number(port));
}

// A makes a new key (answering its warning); B's next connect is refused
// with the warning line and the key-change dialog, and once accepted there,
// the connect after it is verified against the new key.
TEST(KeysWindow, ANewKeyIsRefusedUntilAcceptedInItsDialog)
{
    Instance a{QStringLiteral("Aki")};
    Instance b{QStringLiteral("Ben")};
    const quint16 port = freePort();
    startServer(a, port);
    edit(b, "edIP")->setText(QStringLiteral("127.0.0.1"));
    edit(b, "edPort")->setText(QString::number(port));
    const QByteArray oldKey = keyOf(a);
    ASSERT_TRUE(connectAndWait(b));
    ASSERT_TRUE(b.form->session().isClientConnected()) << b.logText().toStdString();
    EXPECT_TRUE(shows(b, TrustTexts::New(oldKey, b.form->session().verificationCode())));
    ASSERT_TRUE(test::waitFor([&] { return a.form->session().hasServerSession(); }, kWaitMs));
    // Not while a session runs.
    EXPECT_FALSE(action(a, "NewKeyK1")->isEnabled());
    ASSERT_TRUE(disconnect(b, a));
    ASSERT_TRUE(test::waitFor([&] { return action(a, "NewKeyK1")->isEnabled(); }, kWaitMs));

    // No is the default, and No changes nothing.
    const BoxSeen no = answerMessageBox(QMessageBox::No, [&] { action(a, "NewKeyK1")->trigger(); });
    EXPECT_EQ(no.text, TrustTexts::NewIdentityWarning());
    EXPECT_EQ(no.defaultButton, QMessageBox::No);
    EXPECT_EQ(keyOf(a), oldKey);
    answerMessageBox(QMessageBox::Yes, [&] { action(a, "NewKeyK1")->trigger(); });
    const QByteArray newKey = keyOf(a);
    ASSERT_EQ(newKey.size(), Fingerprint::kBytes);
    ASSERT_NE(newKey, oldKey);
    EXPECT_TRUE(shows(a, TrustTexts::IdentityRenewed(newKey)));
    // Kept: the next start of A has the new key too.
    EXPECT_EQ(Identity::LoadOrCreate(a.form->trust().identityPath()).identity->fingerprint(), newKey);

    ASSERT_TRUE(connectAndWait(b));
    EXPECT_FALSE(b.form->session().hasSessionConnection());
    const QString warning = TrustTexts::KeyChanged(QStringLiteral("Aki"), QStringLiteral("127.0.0.1"), oldKey, newKey);
    EXPECT_TRUE(shows(b, warning)) << b.logText().toStdString();
    QPointer<KeyChangeDialog> dialog;
    ASSERT_TRUE(test::waitFor([&] {
        dialog = b.form->findChild<KeyChangeDialog*>();
        return dialog && dialog->isVisible();
    }, kWaitMs));
    EXPECT_FALSE(dialog->isModal());
    EXPECT_EQ(dialog->windowTitle(), TrustTexts::KeyChangeTitle());
    EXPECT_EQ(dialog->findChild<QLabel*>(QStringLiteral("TextLabel"))->text(),
              TrustTexts::KeyChangeText(QStringLiteral("Aki"), QStringLiteral("127.0.0.1"), oldKey, newKey));
    QPushButton* accept = dialog->findChild<QPushButton*>(QStringLiteral("AcceptNewKey"));
    QPushButton* keep = dialog->findChild<QPushButton*>(QStringLiteral("KeepOldKey"));
    ASSERT_TRUE(accept && keep);
    EXPECT_TRUE(keep->isDefault());
    EXPECT_FALSE(accept->isDefault());
    EXPECT_EQ(accept->text(), TrustTexts::AcceptNewKey());
    EXPECT_EQ(keep->text(), TrustTexts::KeepOldKey());
    // Refused again: still one dialog for this peer.
    ASSERT_TRUE(connectAndWait(b));
    EXPECT_EQ(b.form->findChildren<KeyChangeDialog*>().size(), 1);

    QTest::mouseClick(accept, Qt::LeftButton);
    EXPECT_TRUE(shows(b, TrustTexts::KeyAccepted(QStringLiteral("Aki"), QStringLiteral("127.0.0.1"), newKey)));
    ASSERT_TRUE(test::waitFor([&] { return dialog.isNull() || !dialog->isVisible(); }, kWaitMs));

    ASSERT_TRUE(connectAndWait(b));
    ASSERT_TRUE(b.form->session().isClientConnected()) << b.logText().toStdString();
    EXPECT_EQ(b.form->session().partnerKey(), newKey);
    EXPECT_TRUE(shows(b, TrustTexts::Verified(b.form->session().verificationCode())));
}

// The about box shows the key in two lines of eight groups, selectable, and
// its buttons copy the fingerprint and the invitation.
TEST(KeysWindow, TheAboutBoxShowsAndCopiesThisInstallationsFingerprint)
{
    Instance a{QStringLiteral("Aki")};
    const QByteArray key = keyOf(a);
    ASSERT_EQ(key.size(), Fingerprint::kBytes);
    a.form->About1Click();
    TForm3* box = a.form->aboutBox();
    ASSERT_TRUE(box->isVisible());
    EXPECT_EQ(box->minimumSize(), box->maximumSize());
    QLabel* caption = box->findChild<QLabel*>(QStringLiteral("FingerprintCaption"));
    ASSERT_NE(caption, nullptr);
    EXPECT_EQ(caption->text(), TrustTexts::FingerprintCaption());
    QLabel* shown = box->findChild<QLabel*>(QStringLiteral("FingerprintLabel"));
    ASSERT_NE(shown, nullptr);
    const QStringList lines = shown->text().split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 2);
    for (const QString& l : lines)
        EXPECT_EQ(l.split(QLatin1Char(' ')).size(), 8) << l.toStdString();
    EXPECT_EQ(lines.join(QLatin1Char(' ')), Fingerprint::Grouped(key));
    EXPECT_TRUE(shown->textInteractionFlags() & Qt::TextSelectableByMouse);
    // Nothing of it is cut off.
    EXPECT_GE(shown->width(), shown->sizeHint().width());
    EXPECT_TRUE(box->rect().contains(shown->geometry()));

    QGuiApplication::clipboard()->clear();
    QTest::mouseClick(box->findChild<QPushButton*>(QStringLiteral("CopyFingerprint")), Qt::LeftButton);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), Fingerprint::Grouped(key));
    EXPECT_EQ(Fingerprint::Parse(QGuiApplication::clipboard()->text()), key);

    QGuiApplication::clipboard()->clear();
    QTest::mouseClick(box->findChild<QPushButton*>(QStringLiteral("CopyInvitation")), Qt::LeftButton);
    ASSERT_TRUE(test::waitFor([] { return !QGuiApplication::clipboard()->text().isEmpty(); }, kWaitMs));
    const std::optional<Invitation> invitation = Invitation::Parse(QGuiApplication::clipboard()->text());
    ASSERT_TRUE(invitation);
    EXPECT_EQ(invitation->fingerprint, key);
    EXPECT_EQ(invitation->port, a.form->listeningPort());
}

// The key file is readable by the user only and gives the same key at the
// next start; an unreadable one is set aside, said so, and replaced.
TEST(KeysWindow, TheKeyFileIsPrivateAndKeptAcrossStarts)
{
    Instance a{QStringLiteral("Aki")};
    const QString path = a.form->trust().identityPath();
    EXPECT_EQ(QFileInfo(path).absolutePath(), QFileInfo(a.iniPath()).absolutePath());
    const QByteArray key = keyOf(a);
    ASSERT_EQ(key.size(), Fingerprint::kBytes);
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    a.form.reset();
    a.open();
    EXPECT_EQ(keyOf(a), key);

    a.form.reset();
    QFile broken(path);
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly | QIODevice::Truncate));
    broken.write("not a key\n");
    broken.close();
    a.open();
    const QByteArray replaced = keyOf(a);
    EXPECT_EQ(replaced.size(), Fingerprint::kBytes);
    EXPECT_NE(replaced, key);
    EXPECT_TRUE(shows(a, TrustTexts::IdentityReplacedBroken(Identity::BrokenPath(path))))
        << a.logText().toStdString();
    EXPECT_TRUE(QFile::exists(Identity::BrokenPath(path)));
}
