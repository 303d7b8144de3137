#include "gui/settings/WindowNotifications.h"

#include "core/session/ChatLog.h"
#include "core/settings/Notifier.h"
#include "gui/settings/SoundPlayer.h"
#include "gui/settings/TypingSoundFilter.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QWidget>
#include <QWindow>

namespace corvid {

WindowNotifications::WindowNotifications(const AppSettings& settings, UiHandOver& ui, QWidget* window, QWidget* inputBox,
                                         ChatLog& log, QObject* parent)
    : QObject(parent)
    , window_(window)
    , player_(std::make_unique<SoundPlayer>(ui))
    , notifier_(std::make_unique<Notifier>(settings, *player_, *this))
    , typing_(std::make_unique<TypingSoundFilter>(inputBox, *notifier_))
{
    connect(&log, &ChatLog::lineAdded, notifier_.get(), &Notifier::LineNotification);
    QCoreApplication::instance()->installEventFilter(typing_.get());
}

WindowNotifications::~WindowNotifications()
{
    if (QCoreApplication::instance())
        QCoreApplication::instance()->removeEventFilter(typing_.get());
}

void WindowNotifications::StartFlashing()
{
    notifier_->StartFlashing();
}

bool WindowNotifications::isApplicationActive() const
{
    return QGuiApplication::applicationState() == Qt::ApplicationActive;
}

bool WindowNotifications::isMinimised() const
{
    return window_ && window_->isMinimized();
}

void WindowNotifications::showFlash(bool highlighted, bool seriesEnded)
{
    // The window manager's urgency hint stands for the highlight. A step's
    // hint runs out by itself after the step; the last one stays until the
    // program is active again, when Qt clears it.
    if (!highlighted || !window_)
        return;
    if (QWindow* handle = window_->windowHandle())
        handle->alert(seriesEnded ? 0 : FlashSeries::kStepMs);
}

} // namespace corvid
