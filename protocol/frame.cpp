#include "frame.h"

#include "debughold.h"

#include <QDebug>
#include <QLoggingCategory>

namespace {

// The CRC of every byte value, so that a reply's CRC costs a look-up per byte, not eight
// shifts: the module waits for it.
struct CrcTable
{
    uint16_t entries[256] = {};
    constexpr CrcTable()
    {
        for (int value = 0; value < 256; ++value) {
            uint16_t crc = uint16_t(value << 8);
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
            entries[value] = crc;
        }
    }
};
constexpr CrcTable crcTable;

} // namespace

uint16_t crc16Xmodem(const uint8_t *data, size_t size)
{
    uint16_t crc = 0x0000;
    for (size_t i = 0; i < size; ++i)
        crc = uint16_t((crc << 8) ^ crcTable.entries[uint8_t((crc >> 8) ^ data[i])]);
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
    if (QLoggingCategory::defaultCategory()->isDebugEnabled()) // made at once when not held
        DebugHold::debugLater([crc] { return QString::asprintf(" %04X", crc); });
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
