#include "core/settings/AppSettings.h"

#include "core/settings/IniFile.h"
#include "core/settings/SettingsLocation.h"

#include <QCoreApplication>
#include <QDir>
#include <limits>

namespace corvid {

namespace {

const QString kMainForm = QStringLiteral("MainForm");
const QString kOption = QStringLiteral("Option");
const QString kTransfer = QStringLiteral("Transfer");
const QString kMessage = QStringLiteral("Message");
const QString kSound = QStringLiteral("Sound");
const QString kState = QStringLiteral("State");
const QString kRecently = QStringLiteral("Recently");

const std::array<QString, 6> kMessageKeys{
    QStringLiteral("sdBegin"), QStringLiteral("sdSuccess"), QStringLiteral("sdFail"),
    QStringLiteral("rvBegin"), QStringLiteral("rvSuccess"), QStringLiteral("rvFail")};
const std::array<QString, 3> kSoundFileKeys{
    QStringLiteral("SoundMsg"), QStringLiteral("SoundType"), QStringLiteral("SoundSend")};

constexpr int kRecentSlots = 10;

QString withSlash(const QString& dir)
{
    if (dir.isEmpty() || dir.endsWith(QLatin1Char('/')))
        return dir;
    return dir + QLatin1Char('/');
}

// The same folder without doubled "/", "." or ".." parts, ending with "/".
QString cleanFolder(const QString& dir)
{
    return dir.isEmpty() ? dir : withSlash(QDir::cleanPath(dir));
}

// A colour text that is not "#RRGGBB" would give a made-up colour and a
// broken style sheet; the key's default is used instead.
QString readColor(const IniFile& ini, const QString& key, const QString& def)
{
    const QString text = ini.readString(kOption, key, def);
    bool ok = false;
    Conversions::HtmlToColor(text, &ok);
    return ok ? text : def;
}

// Writes key after key and stops at the first refusal.
class KeyWriter {
public:
    KeyWriter(IniFile& ini, QString* error) : ini_(ini), error_(error) {}
    KeyWriter& str(const QString& section, const QString& key, const QString& value)
    {
        if (ok_)
            ok_ = ini_.writeString(section, key, value, error_);
        return *this;
    }
    KeyWriter& num(const QString& section, const QString& key, qint32 value)
    {
        if (ok_)
            ok_ = ini_.writeInteger(section, key, value, error_);
        return *this;
    }
    KeyWriter& flag(const QString& section, const QString& key, bool value)
    {
        if (ok_)
            ok_ = ini_.writeBool(section, key, value, error_);
        return *this;
    }
    bool ok() const { return ok_; }

private:
    IniFile& ini_;
    QString* error_;
    bool ok_ = true;
};

QString columnKey(const char* prefix, int index)
{
    return QLatin1String(prefix) + QString::number(index);
}

WindowBounds readBounds(const IniFile& ini, const QString& section, const WindowBounds& def)
{
    WindowBounds b;
    b.Left = ini.readInteger(section, QStringLiteral("Left"), def.Left);
    b.Top = ini.readInteger(section, QStringLiteral("Top"), def.Top);
    b.Height = ini.readInteger(section, QStringLiteral("Height"), def.Height);
    b.Width = ini.readInteger(section, QStringLiteral("Width"), def.Width);
    return b;
}

void writeBounds(KeyWriter& w, const QString& section, const WindowBounds& b)
{
    w.num(section, QStringLiteral("Left"), b.Left)
        .num(section, QStringLiteral("Top"), b.Top)
        .num(section, QStringLiteral("Height"), b.Height)
        .num(section, QStringLiteral("Width"), b.Width);
}

} // namespace

AppSettings::AppSettings(const QString& recvDir)
    : RecvDir(withSlash(recvDir))
{
    publish();
}

QString AppSettings::executableDir()
{
    return withSlash(QCoreApplication::applicationDirPath());
}

QString AppSettings::defaultFilePath()
{
    return SettingsLocation::forThisProgram().settingsFile();
}

QString AppSettings::defaultRecvDir()
{
    return SettingsLocation::forThisProgram().receiveFolder();
}

int AppSettings::chunkSizeFor(qint32 bufSizeKb)
{
    const qint64 bytes = static_cast<qint64>(bufSizeKb) * 1024;
    // 0 means the default; a negative or oversized chunk would break every
    // transfer, so it gets the default as well.
    if (bytes <= 0 || bytes > std::numeric_limits<int>::max())
        return 65536;
    return static_cast<int>(bytes);
}

qint64 AppSettings::prioritySizeFor(qint32 prioritySizeMb)
{
    // Computed in 32 bits and sign-extended, as the value has always been.
    const quint32 wrapped = static_cast<quint32>(prioritySizeMb) * 1048576u;
    return static_cast<qint64>(static_cast<qint32>(wrapped));
}

int AppSettings::intervalMsFor(qint32 checkMin)
{
    const qint64 ms = static_cast<qint64>(checkMin) * 60000;
    if (ms > std::numeric_limits<int>::max())
        return std::numeric_limits<int>::max();
    if (ms < std::numeric_limits<int>::min())
        return std::numeric_limits<int>::min();
    return static_cast<int>(ms);
}

void AppSettings::loadAtStart(const IniFile& ini, const QString& hostName, const QString& recvDir)
{
    const AppSettings d(recvDir);

    Alpha = ini.readBool(kOption, QStringLiteral("Alpha"), d.Alpha);
    AlphaValue = ini.readInteger(kOption, QStringLiteral("AlphaValue"), d.AlphaValue);
    InputHeight = ini.readInteger(kOption, QStringLiteral("InputHeight"), d.InputHeight);
    UserName = ini.readString(kOption, QStringLiteral("UserName"), hostName);
    // An empty folder would put received files wherever the process runs.
    // A hand-written one is cleaned once here ("/data//in" is "/data/in/"):
    // rows carry the folder in its clean form, and a reception must land in
    // its row's folder. The file keeps what was written until the options
    // are saved.
    RecvDir = cleanFolder(ini.readString(kOption, QStringLiteral("RecvDir"), d.RecvDir));
    if (RecvDir.isEmpty())
        RecvDir = d.RecvDir;
    VerCheck = ini.readBool(kOption, QStringLiteral("VerCheck"), d.VerCheck);
    UseUPnP = ini.readBool(kOption, QStringLiteral("UseUPnP"), d.UseUPnP);
    FormColor = readColor(ini, QStringLiteral("FormColor"), d.FormColor);
    UserColor = readColor(ini, QStringLiteral("UserColor"), d.UserColor);
    RecvColor = readColor(ini, QStringLiteral("RecvColor"), d.RecvColor);
    SysColor = readColor(ini, QStringLiteral("SysColor"), d.SysColor);
    LinkColor = readColor(ini, QStringLiteral("LinkColor"), d.LinkColor);
    FontName = ini.readString(kOption, QStringLiteral("FontName"), d.FontName);
    FontSize = ini.readInteger(kOption, QStringLiteral("FontSize"), d.FontSize);

    ChunkSize = chunkSizeFor(ini.readInteger(kTransfer, QStringLiteral("BufSize"), 64));
    PrioritySize = prioritySizeFor(ini.readInteger(kTransfer, QStringLiteral("PrioritySize"), 5));
    AutoAccept = ini.readBool(kTransfer, QStringLiteral("AutoAccept"), d.AutoAccept);
    AutoRecv = ini.readBool(kTransfer, QStringLiteral("AutoRecv"), d.AutoRecv);

    for (size_t i = 0; i < kMessageKeys.size(); ++i)
        MessageFlags[i] = ini.readBool(kMessage, kMessageKeys[i], d.MessageFlags[i]);

    SoundMessage = ini.readBool(kSound, QStringLiteral("Message"), d.SoundMessage);
    SoundRecv = ini.readBool(kSound, QStringLiteral("Recv"), d.SoundRecv);
    SoundSys = ini.readBool(kSound, QStringLiteral("Sys"), d.SoundSys);
    SoundOnType = ini.readBool(kSound, QStringLiteral("OnType"), d.SoundOnType);
    SoundSend = ini.readBool(kSound, QStringLiteral("Send"), d.SoundSend);
    for (size_t i = 0; i < kSoundFileKeys.size(); ++i)
        SoundFiles[i] = ini.readString(kSound, kSoundFileKeys[i], d.SoundFiles[i]);
    SoundCase = ini.readInteger(kSound, QStringLiteral("Case"), d.SoundCase);
    publish();
}

bool AppSettings::saveOptions(IniFile& ini, const ListTimerSettings& timer, QString* error) const
{
    KeyWriter w(ini, error);
    w.str(kOption, QStringLiteral("UserName"), UserName)
        .str(kOption, QStringLiteral("RecvDir"), RecvDir)
        .flag(kOption, QStringLiteral("Alpha"), Alpha)
        .num(kOption, QStringLiteral("AlphaValue"), AlphaValue)
        .str(kOption, QStringLiteral("FormColor"), FormColor)
        .str(kOption, QStringLiteral("UserColor"), UserColor)
        .str(kOption, QStringLiteral("RecvColor"), RecvColor)
        .str(kOption, QStringLiteral("SysColor"), SysColor)
        .str(kOption, QStringLiteral("LinkColor"), LinkColor)
        .str(kOption, QStringLiteral("FontName"), FontName)
        .num(kOption, QStringLiteral("FontSize"), FontSize)
        .flag(kOption, QStringLiteral("UseUPnP"), UseUPnP)
        .flag(kOption, QStringLiteral("VerCheck"), VerCheck);
    for (size_t i = 0; i < kMessageKeys.size(); ++i)
        w.flag(kMessage, kMessageKeys[i], MessageFlags[i]);
    w.flag(kSound, QStringLiteral("Message"), SoundMessage)
        .flag(kSound, QStringLiteral("OnType"), SoundOnType)
        .flag(kSound, QStringLiteral("Send"), SoundSend)
        .flag(kSound, QStringLiteral("Recv"), SoundRecv)
        .flag(kSound, QStringLiteral("Sys"), SoundSys);
    for (size_t i = 0; i < kSoundFileKeys.size(); ++i)
        w.str(kSound, kSoundFileKeys[i], SoundFiles[i]);
    w.num(kSound, QStringLiteral("Case"), SoundCase)
        .num(kTransfer, QStringLiteral("BufSize"), ChunkSize / 1024)
        .num(kTransfer, QStringLiteral("PrioritySize"), static_cast<qint32>(PrioritySize / 1048576))
        .num(kTransfer, QStringLiteral("CheckMin"), timer.IntervalMs / 60000)
        .flag(kTransfer, QStringLiteral("CheckTimer"), timer.Enabled)
        .flag(kTransfer, QStringLiteral("AutoAccept"), AutoAccept)
        .flag(kTransfer, QStringLiteral("AutoRecv"), AutoRecv);
    return w.ok();
}

WindowBounds AppSettings::loadMainForm(const IniFile& ini)
{
    return readBounds(ini, kMainForm, WindowBounds{});
}

bool AppSettings::saveMainForm(IniFile& ini, const WindowBounds& bounds, QString* error)
{
    KeyWriter w(ini, error);
    writeBounds(w, kMainForm, bounds);
    return w.ok();
}

TransferWindowState AppSettings::loadTransferWindowState(const IniFile& ini,
                                                         const TransferWindowState& current)
{
    TransferWindowState s;
    s.Bounds = readBounds(ini, kState, current.Bounds);
    s.Splitter = ini.readInteger(kState, QStringLiteral("Splitter"), current.Splitter);
    for (int i = 0; i < 7; ++i) {
        s.LV1Col[i] = ini.readInteger(kState, columnKey("LV1Col", i), current.LV1Col[i]);
        s.LV2Col[i] = ini.readInteger(kState, columnKey("LV2Col", i), current.LV2Col[i]);
    }
    return s;
}

bool AppSettings::saveTransferWindowState(IniFile& ini, const TransferWindowState& state,
                                          QString* error)
{
    KeyWriter w(ini, error);
    writeBounds(w, kState, state.Bounds);
    w.num(kState, QStringLiteral("Splitter"), state.Splitter);
    for (int i = 0; i < 7; ++i) {
        w.num(kState, columnKey("LV1Col", i), state.LV1Col[i]);
        w.num(kState, columnKey("LV2Col", i), state.LV2Col[i]);
    }
    return w.ok();
}

ListTimerSettings AppSettings::loadListTimer(const IniFile& ini)
{
    ListTimerSettings t;
    t.Enabled = ini.readBool(kTransfer, QStringLiteral("CheckTimer"), false);
    t.IntervalMs = intervalMsFor(ini.readInteger(kTransfer, QStringLiteral("CheckMin"), 1));
    return t;
}

QStringList AppSettings::loadRecentPeers(const IniFile& ini)
{
    QStringList values;
    for (int i = kRecentSlots - 1; i >= 0; --i) {
        const QString v = ini.readString(kRecently, QString::number(i), QString());
        if (!v.isEmpty())
            values.append(v);
    }
    return values;
}

bool AppSettings::saveRecentPeers(IniFile& ini, const QStringList& captions, QString* error)
{
    KeyWriter w(ini, error);
    for (qsizetype i = 0; i < captions.size(); ++i)
        w.str(kRecently, QString::number(i), captions.at(i));
    return w.ok();
}

} // namespace corvid
