#pragma once
#include <QString>

#include <array>
#include <optional>

namespace corvid {

// The transfer event table: which result codes become a system line of the
// chat log, with which text, and when.
class TransferEvents {
public:
    // The log line for a result code, or nothing. `messageFlags` are
    // sdBegin, sdSuccess, sdFail, rvBegin, rvSuccess, rvFail; send events
    // are logged only while "送信開始" is pressed. Code 2 (list arrival) has
    // a reaction of its own, never a line.
    static std::optional<QString> LogLine(int code, const QString& name, const std::array<bool, 6>& messageFlags,
                                          bool sendPressed);
    // The table's text of a code (empty for codes without one).
    static QString Text(int code);
};

} // namespace corvid
