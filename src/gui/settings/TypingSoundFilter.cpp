#include "gui/settings/TypingSoundFilter.h"

#include "core/settings/Notifier.h"

#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QWidget>

namespace corvid {

TypingSoundFilter::TypingSoundFilter(QWidget* inputBox, Notifier& notifier, QObject* parent)
    : QObject(parent)
    , inputBox_(inputBox)
    , notifier_(notifier)
{
}

bool TypingSoundFilter::eventFilter(QObject* watched, QEvent* event)
{
    // A key the input box ignores travels on to its parents; only the
    // delivery to the box itself counts.
    if (!inputBox_ || watched != inputBox_.data())
        return false;
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (Notifier::isTypedCharacter(key->key(), key->text()))
            notifier_.TypingNotification();
    } else if (event->type() == QEvent::InputMethod) {
        const auto* im = static_cast<QInputMethodEvent*>(event);
        if (!im->preeditString().isEmpty() || !im->commitString().isEmpty())
            notifier_.TypingNotification();
    }
    return false;
}

} // namespace corvid
