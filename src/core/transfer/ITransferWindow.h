#pragma once

namespace corvid {

// What the transfer side needs of the transfer window: the state of
// "優先受信", programmatic presses of "受信開始" and "リスト送信", and
// the reaction to an arrived list. Implemented by TForm2; tests give fakes.
// UI thread only.
class ITransferWindow {
public:
    virtual ~ITransferWindow() = default;

    virtual bool priorityPressed() const = 0;
    // btRecvClick without a sender: toggles "受信開始".
    virtual void pressReceive() = 0;
    // btSendListClick: runs even while the button is disabled.
    virtual void pressSendList() = 0;
    // Result code 2: a list arrived (merged, or kept until the window shows).
    virtual void listArrived() = 0;
};

} // namespace corvid
