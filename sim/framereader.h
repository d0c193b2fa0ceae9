#pragma once

#include <QByteArray>
#include <QVector>

#include <cstdint>

// Reassembles protocol frames from a byte stream cut at any point: skips garbage,
// resynchronises on AA 55, and passes on only frames whose CRC matches.
class FrameReader
{
public:
    struct Frame
    {
        uint8_t opcode = 0;
        QByteArray payload;
    };

    // Takes the next bytes of the stream; returns the frames they complete, in order.
    QVector<Frame> feed(const QByteArray &bytes);
    int crcErrors() const { return m_crcErrors; }
    void reset() { m_buffer.clear(); }

private:
    QByteArray m_buffer;
    int m_crcErrors = 0;
};
