#pragma once
#include "core/settings/Conversions.h"
#include "core/settings/SettingsLocation.h"
#include "core/settings/SettingsSnapshot.h"

#include <QString>
#include <QStringList>
#include <array>

namespace corvid {

class IniFile;

// Indexes of AppSettings::MessageFlags, in the order of [Message].
enum class MessageFlag { sdBegin = 0, sdSuccess, sdFail, rvBegin, rvSuccess, rvFail };
// Indexes of AppSettings::SoundFiles.
enum class SoundSlot { Msg = 0, Type = 1, Send = 2 };

// Window bounds in pixels.
struct WindowBounds {
    int Left = 0;
    int Top = 0;
    int Height = 400;
    int Width = 300;
};

// The file-transfer window's layout ([State]).
struct TransferWindowState {
    static constexpr std::array<int, 7> DefaultColumns{200, 80, 80, 37, 40, 37, 148};

    WindowBounds Bounds{0, 0, 385, 660};
    int Splitter = 175; // height of the lower pane (send queue)
    std::array<int, 7> LV1Col = DefaultColumns;
    std::array<int, 7> LV2Col = DefaultColumns;
};

// The file-transfer window's periodic list request (CheckTimer, CheckMin).
struct ListTimerSettings {
    bool Enabled = false;
    int IntervalMs = 60000;
    // An interval of 0 or less never fires (it would otherwise ask the peer
    // for its list without pause).
    bool active() const { return Enabled && IntervalMs > 0; }
};

// The in-memory copy of the settings file. The fields belong to the GUI
// thread; other threads read UserName, RecvDir, ChunkSize and PrioritySize
// through shared(), which the GUI thread refreshes with publish().
class AppSettings {
public:
    static constexpr const char* FileName = SettingsLocation::FileName;

    // Catalogue defaults; UserName stays empty and RecvDir is `recvDir` until
    // loadAtStart supplies the machine's values.
    explicit AppSettings(const QString& recvDir = QString());

    // The executable's folder with a trailing "/".
    static QString executableDir();
    // The running program's settings file and default receive folder, as
    // SettingsLocation places them (beside the executable when that folder
    // is writable, else in the user's configuration and download folders).
    static QString defaultFilePath();
    static QString defaultRecvDir();

    // [Option], [Transfer] (but CheckTimer/CheckMin), [Message] and [Sound].
    // `hostName` is the default UserName, `recvDir` the default RecvDir.
    void loadAtStart(const IniFile& ini, const QString& hostName, const QString& recvDir);
    // Every key the options dialog owns, in the dialog's order; stops at the
    // first key that cannot be written and reports it through `error`.
    bool saveOptions(IniFile& ini, const ListTimerSettings& timer, QString* error = nullptr) const;

    static WindowBounds loadMainForm(const IniFile& ini);
    static bool saveMainForm(IniFile& ini, const WindowBounds& bounds, QString* error = nullptr);
    // Missing keys keep the values of `current` (the window's present layout).
    static TransferWindowState loadTransferWindowState(const IniFile& ini,
                                                       const TransferWindowState& current = {});
    static bool saveTransferWindowState(IniFile& ini, const TransferWindowState& state,
                                        QString* error = nullptr);
    static ListTimerSettings loadListTimer(const IniFile& ini);
    // The non-empty [Recently] values in reading order, key "9" first; the
    // menu inserts each at its top, so it ends in file order.
    static QStringList loadRecentPeers(const IniFile& ini);
    // Writes keys "0" .. count-1 in menu order; later keys stay as they are.
    static bool saveRecentPeers(IniFile& ini, const QStringList& captions,
                                QString* error = nullptr);

    // Makes the current UserName, RecvDir, ChunkSize and PrioritySize visible
    // to other threads. loadAtStart does it; call it after changing them.
    void publish() { shared_.set({UserName, RecvDir, ChunkSize, PrioritySize}); }
    // Any thread: the values as last published.
    SharedSettings shared() const { return shared_.get(); }

    // Colour values of the five colour texts.
    ColorValue formColorValue() const { return Conversions::HtmlToColor(FormColor); }
    ColorValue userColorValue() const { return Conversions::HtmlToColor(UserColor); }
    ColorValue recvColorValue() const { return Conversions::HtmlToColor(RecvColor); }
    ColorValue sysColorValue() const { return Conversions::HtmlToColor(SysColor); }
    ColorValue linkColorValue() const { return Conversions::HtmlToColor(LinkColor); }

    bool messageFlag(MessageFlag f) const { return MessageFlags[static_cast<int>(f)]; }
    const QString& soundFile(SoundSlot s) const { return SoundFiles[static_cast<int>(s)]; }

    // Chunk size in bytes for BufSize kilobytes (65536 when that is not a
    // usable size) and priority size in bytes for PrioritySize megabytes.
    static int chunkSizeFor(qint32 bufSizeKb);
    static qint64 prioritySizeFor(qint32 prioritySizeMb);
    static int intervalMsFor(qint32 checkMin);

    // [Option]
    bool Alpha = false;
    int AlphaValue = 255;
    int InputHeight = 80;
    QString UserName;
    QString RecvDir; // ends with "/"
    bool VerCheck = true;
    bool UseUPnP = true;
    QString FormColor = QStringLiteral("#000000");
    QString UserColor = QStringLiteral("#FFFFFF");
    QString RecvColor = QStringLiteral("#FFFF00");
    QString SysColor = QStringLiteral("#C0C0C0");
    QString LinkColor = QStringLiteral("#0080FF");
    QString FontName = QStringLiteral("MS UI GOTHIC");
    int FontSize = 11;

    // [Transfer], in bytes
    int ChunkSize = 65536;
    qint64 PrioritySize = 5242880;
    bool AutoAccept = false;
    bool AutoRecv = false;

    // [Message]
    std::array<bool, 6> MessageFlags{true, true, true, true, true, true};

    // [Sound]
    bool SoundMessage = false;
    bool SoundRecv = false;
    bool SoundSys = false;
    bool SoundOnType = false;
    bool SoundSend = false;
    std::array<QString, 3> SoundFiles; // SoundMsg, SoundType, SoundSend
    int SoundCase = 0;

private:
    SettingsSnapshot shared_;
};

} // namespace corvid
