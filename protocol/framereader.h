#pragma once

// Reassembly of frames from a byte stream cut at any point, under the receive rules both the
// upgrader and the simulated module follow:
//   - a frame starts with AA 55; any other second byte drops the header, except a second AA,
//     which may itself start the frame;
//   - a length field of 0 cannot describe a frame (every frame has its opcode): the header is
//     dropped and the search starts again;
//   - a complete frame whose CRC does not match is dropped, and reported as such.

#include <QByteArray>
#include <QVector>

#include <cstdint>

class FrameReader
{
public:
    // States in the order a frame's bytes arrive.
    enum State : uint8_t {
        WaitHeader1,
        WaitHeader2,
        WaitLengthLow,
        WaitLengthHigh,
        WaitOpcode,
        WaitPayload,
        WaitCrcLow,
        WaitCrcHigh,
    };

    // A complete frame as it came off the line.
    struct Received
    {
        QByteArray bytes; // from AA to the CRC's high byte
        bool crcMatches = false;
        uint8_t opcode() const { return uint8_t(bytes.at(4)); }
        QByteArray payload() const { return bytes.mid(5, bytes.size() - 7); }
    };

    // Takes one byte; true when it completed a frame, which completed() then holds.
    bool take(uint8_t byte);
    const Received &completed() const { return m_completed; }
    // Takes a run of bytes and returns the frames it completed, in order.
    QVector<Received> feed(const QByteArray &bytes);
    // Forgets any partial frame.
    void reset();

    State state() const { return m_state; }
    // Writes a debug line for the opcode and for every payload byte as it is taken.
    void setTraced(bool traced) { m_traced = traced; }

private:
    void takeLengthHigh(uint8_t byte);
    void countBodyByte(uint8_t byte);
    void complete();

    State m_state = WaitHeader1;
    QByteArray m_frame;
    uint16_t m_length = 0; // the length field, once both its bytes are in
    uint16_t m_count = 0;  // opcode and payload bytes taken so far
    Received m_completed;
    bool m_traced = false;
};
