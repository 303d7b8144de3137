#pragma once

namespace corvid {

// What the notifications ask of the desktop about the main window.
class INotifyDesktop {
public:
    virtual ~INotifyDesktop() = default;
    // Asked at the moment of use.
    virtual bool isApplicationActive() const = 0;
    virtual bool isMinimised() const = 0;
    // One flash step: the taskbar button is now highlighted or normal;
    // `seriesEnded` says no further step follows.
    virtual void showFlash(bool highlighted, bool seriesEnded) = 0;
};

} // namespace corvid
