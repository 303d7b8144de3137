#pragma once

class QWidget;

namespace corvid {

// Constant-alpha translucency of a window. The window remembers whether it
// was switched on, since an opacity of 255 looks the same either way.
class WindowTranslucency {
public:
    static constexpr int kMinAlpha = 55;
    static constexpr int kMaxAlpha = 255;

    // `alpha` is clamped to 55..255; off makes the window opaque.
    static void apply(QWidget* window, bool on, int alpha);
    static bool isOn(const QWidget* window);
    // The alpha last applied (255 when never switched on).
    static int alpha(const QWidget* window);
};

} // namespace corvid
