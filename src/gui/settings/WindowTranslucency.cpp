#include "gui/settings/WindowTranslucency.h"

#include <QVariant>
#include <QWidget>
#include <QtGlobal>

namespace corvid {

namespace {
const char* const kOnProperty = "corvidTranslucent";
const char* const kAlphaProperty = "corvidAlpha";
} // namespace

void WindowTranslucency::apply(QWidget* window, bool on, int alpha)
{
    if (!window)
        return;
    const int value = qBound(kMinAlpha, alpha, kMaxAlpha);
    window->setProperty(kOnProperty, on);
    window->setProperty(kAlphaProperty, value);
    window->setWindowOpacity(on ? value / 255.0 : 1.0);
}

bool WindowTranslucency::isOn(const QWidget* window)
{
    return window && window->property(kOnProperty).toBool();
}

int WindowTranslucency::alpha(const QWidget* window)
{
    const QVariant v = window ? window->property(kAlphaProperty) : QVariant();
    return v.isValid() ? v.toInt() : kMaxAlpha;
}

} // namespace corvid
