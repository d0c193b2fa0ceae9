#pragma once

// Binary frame of the upgrade protocol, the same in both directions:
//   AA 55 | length u16 LE (opcode + payload) | opcode | payload | CRC-16/XMODEM u16 LE
// The CRC covers every byte before it, header included.

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <vector>

enum ProtocolOpcode : uint8_t {
    BaudRateCmd = 0x01,      // module asks for the fast rate; echoed with 115200
    ReadDataCmd = 0x02,      // module asks for a slice: address u32, count u32
    UpgradeResultCmd = 0x03, // module reports the result: 0 = success
    StartUpgradeCmd = 0x06,  // host starts the upgrade, no payload
};

constexpr uint8_t FrameHeader1 = 0xAA;
constexpr uint8_t FrameHeader2 = 0x55;
// Header (2) + length (2) + opcode (1) + CRC (2).
constexpr int FrameOverhead = 7;
// The 16-bit length field counts the opcode too, so this is the largest payload it can describe.
constexpr int MaxFramePayload = 0xFFFF - 1;

// CRC-16/XMODEM: width 16, poly 0x1021, init 0x0000, refin/refout false, xorout 0x0000,
// check("123456789") = 0x31C3. Computed bit by bit, most significant bit first.
uint16_t crc16Xmodem(const uint8_t *data, size_t size);

// Builds a complete frame. Writes the CRC to the debug log as " %04X".
// A payload larger than MaxFramePayload cannot be described by the length field:
// the result is then empty and a debug line says why.
std::vector<uint8_t> DataFormatToPaket(uint8_t opcode, const std::vector<uint8_t> &payload);

// True when the last two bytes of a complete frame are the CRC of the bytes before them.
bool frameCrcMatches(const QByteArray &frame);
