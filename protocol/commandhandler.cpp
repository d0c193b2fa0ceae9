#include "commandhandler.h"

#include "debughold.h"
#include "protocol.h"

#include <QDebug>
#include <QLoggingCategory>

#include <vector>

namespace {

// A stream line is made in full before Qt looks whether it is wanted: the reply waits for it.
bool debugWanted()
{
    return QLoggingCategory::defaultCategory()->isDebugEnabled();
}

// The length field of a frame with this payload, as the debug lines have always shown it.
int lengthField(const QByteArray &payload)
{
    return payload.size() + 1;
}

CommandAnswer answerBaudRate(const QByteArray &payload)
{
    CommandAnswer answer;
    answer.reply = buildFrame(BaudRateCmd, u32le(FastBaudRate));
    if (!baudRequestKeepsRate(payload))
        answer.next = CommandAnswer::Next::SwitchToFastRate;
    return answer;
}

// The reply's payload: the echoed request, then `size` image bytes from `address`. Made in
// one buffer, so that the slice is copied once here on its way to the frame; the module waits
// for every reply.
std::vector<uint8_t> readDataBody(const uint8_t *request, const QByteArray &image, quint32 address,
                                  quint32 size)
{
    std::vector<uint8_t> body;
    body.reserve(size_t(ReadRequestSize) + size);
    body.insert(body.end(), request, request + ReadRequestSize);
    if (size == 0)
        return body; // the address may lie past the image's end
    const auto *slice = reinterpret_cast<const uint8_t *>(image.constData()) + address;
    body.insert(body.end(), slice, slice + size);
    return body;
}

// The echoed request, then the slice: cut at the image's end and at the largest slice one
// reply can carry.
CommandAnswer answerReadData(const QByteArray &payload, const QByteArray &image)
{
    CommandAnswer answer;
    if (payload.size() < ReadRequestSize) {
        qDebug() << "<<<ReadDataCmd too short, ignored; length:" << lengthField(payload);
        return answer;
    }
    const auto *request = reinterpret_cast<const uint8_t *>(payload.constData());
    const quint32 address = readU32le(request);
    const quint32 count = readU32le(request + 4);
    if (debugWanted())
        DebugHold::debugStreamLater("<<<addr: ", address, "len: ", count);

    const quint32 imageSize = quint32(image.size());
    const quint32 available = address < imageSize ? imageSize - address : 0;
    const quint32 sliceSize = qMin(qMin(count, available), MaxSliceSize);
    answer.reply = buildFrame(ReadDataCmd, readDataBody(request, image, address, sliceSize));
    answer.served = true;
    answer.sliceStart = address;
    answer.sliceSize = sliceSize;
    return answer;
}

CommandAnswer answerResult(const QByteArray &payload)
{
    CommandAnswer answer;
    if (payload.isEmpty()) {
        qDebug() << "<<<UpgradeResultCmd too short, ignored; length:" << lengthField(payload);
        return answer;
    }
    answer.next = CommandAnswer::Next::ReportResult;
    answer.result = uint8_t(payload.at(0));
    if (answer.result == 0)
        qDebug() << "升级成功！";
    return answer;
}

} // namespace

CommandAnswer answerCommand(uint8_t opcode, const QByteArray &payload, const QByteArray &image)
{
    if (debugWanted())
        DebugHold::debugStreamLater("<<<opcode: ", int(opcode));
    switch (opcode) {
    case BaudRateCmd:
        return answerBaudRate(payload);
    case ReadDataCmd:
        return answerReadData(payload, image);
    case UpgradeResultCmd:
        return answerResult(payload);
    default: // StartUpgradeCmd echoed back, or unknown: ignored
        return {};
    }
}
