#include "commandhandler.h"

#include "protocol.h"

#include <QDebug>

namespace {

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
    qDebug() << "<<<addr: " << address << "len: " << count;

    const quint32 imageSize = quint32(image.size());
    const quint32 available = address < imageSize ? imageSize - address : 0;
    const quint32 sliceSize = qMin(qMin(count, available), MaxSliceSize);
    const QByteArray slice = sliceSize > 0 ? image.mid(int(address), int(sliceSize)) : QByteArray();
    answer.reply = buildFrame(ReadDataCmd, payload.left(ReadRequestSize) + slice);
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
    qDebug() << "<<<opcode: " << int(opcode);
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
