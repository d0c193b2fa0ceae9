#include "protocol.h"

QByteArray buildFrame(uint8_t opcode, const std::vector<uint8_t> &payload)
{
    const std::vector<uint8_t> frame = DataFormatToPaket(opcode, payload);
    return QByteArray(reinterpret_cast<const char *>(frame.data()), int(frame.size()));
}

QByteArray buildFrame(uint8_t opcode, const QByteArray &payload)
{
    return buildFrame(opcode, std::vector<uint8_t>(payload.begin(), payload.end()));
}

QByteArray readRequestFrame(quint32 address, quint32 count)
{
    std::vector<uint8_t> request = u32le(address);
    appendU32le(request, count);
    return buildFrame(ReadDataCmd, request);
}
