#pragma once

namespace corvid {

// The enabled states of the transfer window's buttons and whether the
// receive scheduler runs. "受信フォルダ", "ファイル追加" and "優先受信" are
// never disabled; disabling a toggle does not release it.
struct TransferButtons {
    bool btSend = false;
    bool btSendList = false;
    bool btRecv = false;
    bool btRecvList = false;
    bool btLV1FinClear = false;
    bool btLV1AllClear = false;
    bool btLV2FinClear = false;
    bool btLV2AllClear = false;
    bool timer2 = false;

    // connected: the server role has a session connection, or the client
    // role's connection is up.
    static TransferButtons Compute(int receiveRows, int sendRows, bool connected, bool receivePressed)
    {
        TransferButtons b;
        b.btSend = b.btSendList = sendRows > 0 && connected;
        b.btRecv = receiveRows > 0 && connected;
        b.btRecvList = connected;
        b.btLV1FinClear = b.btLV1AllClear = sendRows > 0;
        b.btLV2FinClear = b.btLV2AllClear = receiveRows > 0;
        b.timer2 = receivePressed;
        return b;
    }
};

} // namespace corvid
