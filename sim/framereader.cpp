#include "framereader.h"

#include "frame.h"

QVector<FrameReader::Frame> FrameReader::feed(const QByteArray &bytes)
{
    m_buffer.append(bytes);
    QVector<Frame> frames;
    int start = 0;
    while (true) {
        start = m_buffer.indexOf(char(FrameHeader1), start);
        if (start < 0) {
            m_buffer.clear();
            break;
        }
        const int available = m_buffer.size() - start;
        if (available < 4)
            break;
        const auto *head = reinterpret_cast<const uint8_t *>(m_buffer.constData()) + start;
        const int length = head[2] | head[3] << 8;
        if (head[1] != FrameHeader2 || length == 0) {
            ++start;
            continue;
        }
        if (available < length + 6)
            break;
        const QByteArray frame = m_buffer.mid(start, length + 6);
        if (!frameCrcMatches(frame)) {
            // Perhaps a header inside garbage: look for the next one inside it.
            ++m_crcErrors;
            ++start;
            continue;
        }
        frames.append({head[4], frame.mid(5, length - 1)});
        start += frame.size();
    }
    if (start > 0)
        m_buffer.remove(0, start);
    return frames;
}
