#include "framereader.h"

#include "debughold.h"
#include "frame.h"

#include <QDebug>
#include <QLoggingCategory>

bool FrameReader::take(uint8_t byte)
{
    switch (m_state) {
    case WaitHeader1:
        m_frame.clear();
        if (byte == FrameHeader1) {
            m_frame.append(char(byte));
            m_state = WaitHeader2;
        }
        return false;
    case WaitHeader2:
        if (byte == FrameHeader2) {
            m_frame.append(char(byte));
            m_state = WaitLengthLow;
        } else if (byte == FrameHeader1) {
            m_frame = QByteArray(1, char(byte)); // a stray AA just before a frame
        } else {
            reset();
        }
        return false;
    case WaitLengthLow:
        m_frame.append(char(byte));
        m_state = WaitLengthHigh;
        return false;
    case WaitLengthHigh:
        takeLengthHigh(byte);
        return false;
    case WaitOpcode:
    case WaitPayload:
        countBodyByte(byte);
        return false;
    case WaitCrcLow:
        m_frame.append(char(byte));
        m_state = WaitCrcHigh;
        return false;
    case WaitCrcHigh:
        m_frame.append(char(byte));
        complete();
        return true;
    }
    return false;
}

void FrameReader::takeLengthHigh(uint8_t byte)
{
    m_frame.append(char(byte));
    m_length = uint16_t(uint8_t(m_frame.at(2)) | uint8_t(m_frame.at(3)) << 8);
    m_count = 0;
    if (m_length == 0)
        reset();
    else
        m_state = WaitOpcode;
}

void FrameReader::countBodyByte(uint8_t byte)
{
    m_frame.append(char(byte));
    ++m_count;
    // The lines are built only where they are shown: a run that filters them out (headless,
    // many ports) pays nothing per byte.
    const bool traced = m_traced && QLoggingCategory::defaultCategory()->isDebugEnabled();
    // Made only as they are written, after the reply this frame asks for.
    if (traced && m_state == WaitOpcode) {
        DebugHold::debugLater([byte] { return QString::asprintf(" %02x", byte); });
        DebugHold::debugStreamLater("==Len: ", m_length, "cnt: ", m_count);
    } else if (traced) {
        DebugHold::debugStreamLater("Len: ", m_length, "cnt: ", m_count);
    }
    m_state = m_length == m_count ? WaitCrcLow : WaitPayload;
}

void FrameReader::complete()
{
    m_completed.bytes = m_frame;
    m_completed.crcMatches = frameCrcMatches(m_frame);
    m_frame.clear();
    m_state = WaitHeader1;
}

QVector<FrameReader::Received> FrameReader::feed(const QByteArray &bytes)
{
    QVector<Received> frames;
    for (const char byte : bytes) {
        if (take(uint8_t(byte)))
            frames.append(m_completed);
    }
    return frames;
}

void FrameReader::reset()
{
    m_frame.clear();
    m_state = WaitHeader1;
}
