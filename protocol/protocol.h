#pragma once

// The upgrade protocol's vocabulary, written once for the upgrader, the simulator, the
// benchmark and the tests: the text handshake, the fixed frames, the rates and the sizes.

#include "frame.h"

#include <QByteArray>

#include <cstdint>
#include <vector>

// Text phase: the host's command and the module's answer, which must arrive as one chunk.
inline const QByteArray AtUpgradeCommand = QByteArrayLiteral("AT+UPGRADE=1\r\n");
inline const QByteArray OkReply = QByteArrayLiteral("\r\nOK\r\n");
// Then the host's start frame: StartUpgradeCmd without payload, as the frame builder makes it.
inline const QByteArray StartFrame = QByteArray::fromHex("AA5501000642F2");

// The rate the host switches to for the start frame, and the rate the module asks for.
constexpr quint32 UpgradeBaudRate = 9600;
constexpr quint32 FastBaudRate = 115200;

// A data request is an address and a count, each u32 LE; the reply echoes those 8 bytes.
constexpr int ReadRequestSize = 8;
// The largest slice whose reply (echo + slice) still fits the 16-bit length field.
constexpr quint32 MaxSliceSize = MaxFramePayload - ReadRequestSize;

inline quint32 readU32le(const uint8_t *bytes)
{
    return quint32(bytes[0]) | quint32(bytes[1]) << 8 | quint32(bytes[2]) << 16 |
           quint32(bytes[3]) << 24;
}

inline void appendU32le(std::vector<uint8_t> &bytes, quint32 value)
{
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(uint8_t(value >> shift));
}

inline std::vector<uint8_t> u32le(quint32 value)
{
    std::vector<uint8_t> bytes;
    appendU32le(bytes, value);
    return bytes;
}

// The length field of a frame whose first four bytes are present: opcode + payload size.
inline uint16_t frameLengthField(const uint8_t *frame)
{
    return uint16_t(frame[2] | frame[3] << 8);
}
inline uint16_t frameLengthField(const QByteArray &frame)
{
    return frameLengthField(reinterpret_cast<const uint8_t *>(frame.constData()));
}

// A complete frame as bytes for the port; empty when the payload is too large for one.
QByteArray buildFrame(uint8_t opcode, const std::vector<uint8_t> &payload);
QByteArray buildFrame(uint8_t opcode, const QByteArray &payload);

// The module's request for `count` image bytes from `address`.
QByteArray readRequestFrame(quint32 address, quint32 count);
