#pragma once

// The host's answer to each command the module sends, as a function of the frame and the
// image: what to send back and what the sequence does next. No port, no timers.

#include <QByteArray>

#include <cstdint>

struct CommandAnswer
{
    enum class Next {
        Nothing,          // the command needs nothing more (or was ignored)
        SwitchToFastRate, // the baud-rate reply is out: switch to FastBaudRate shortly after
        ReportResult,     // the module reported its result
    };

    QByteArray reply; // the frame to send at once; empty when there is none
    Next next = Next::Nothing;
    uint8_t result = 0;  // with ReportResult: 0 is success
    bool served = false; // a data request was answered
    qint64 sliceStart = 0;
    qint64 sliceSize = 0; // image bytes in the reply
};

// A baud-rate request with exactly 3 payload bytes (length field 4) is answered but does not
// make the host switch: modules may rely on that to stay at their rate.
constexpr int BaudRequestSizeKeepingRate = 3;
inline bool baudRequestKeepsRate(const QByteArray &payload)
{
    return payload.size() == BaudRequestSizeKeepingRate;
}

// Answers one well-formed frame from the module.
CommandAnswer answerCommand(uint8_t opcode, const QByteArray &payload, const QByteArray &image);
