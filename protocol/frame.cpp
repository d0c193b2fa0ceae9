#include "frame.h"

#include <QDebug>

uint16_t crc16Xmodem(const uint8_t *data, size_t size)
{
    uint16_t crc = 0x0000;
    for (size_t i = 0; i < size; ++i) {
        for (int bit = 7; bit >= 0; --bit) {
            if ((data[i] >> bit) & 1)
                crc ^= 0x8000;
            crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
        }
    }
    return crc;
}

std::vector<uint8_t> DataFormatToPaket(uint8_t opcode, const std::vector<uint8_t> &payload)
{
    if (payload.size() > size_t(MaxFramePayload)) {
        qDebug("DataFormatToPaket: payload of %zu bytes exceeds %d, frame not built",
               payload.size(), MaxFramePayload);
        return {};
    }
    const uint16_t length = uint16_t(payload.size() + 1);

    std::vector<uint8_t> frame;
    frame.reserve(payload.size() + FrameOverhead);
    frame.push_back(FrameHeader1);
    frame.push_back(FrameHeader2);
    frame.push_back(uint8_t(length & 0xFF));
    frame.push_back(uint8_t(length >> 8));
    frame.push_back(opcode);
    frame.insert(frame.end(), payload.begin(), payload.end());

    const uint16_t crc = crc16Xmodem(frame.data(), frame.size());
    qDebug(" %04X", crc);
    frame.push_back(uint8_t(crc & 0xFF));
    frame.push_back(uint8_t(crc >> 8));
    return frame;
}

bool frameCrcMatches(const QByteArray &frame)
{
    if (frame.size() < 2)
        return false;
    const auto *bytes = reinterpret_cast<const uint8_t *>(frame.constData());
    const size_t covered = size_t(frame.size()) - 2;
    const uint16_t sent = uint16_t(bytes[covered] | (bytes[covered + 1] << 8));
    return crc16Xmodem(bytes, covered) == sent;
}
