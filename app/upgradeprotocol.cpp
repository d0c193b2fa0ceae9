// Upgrade protocol: receive path, the module's commands, and the start sequence.

#include "upgradesession.h"

#include "protocol.h"

#include <QDebug>
#include <QTimer>

// ---- Receive path ----

void UpgradeSession::SerialPortReadData()
{
    if (!portOpen)
        return;
    handleReceivedChunk(serialPort.readAll());
    restartSilenceWait();
    emit chunkReceived();
}

// One chunk as the port delivered it: text phase first, then the frame machine.
void UpgradeSession::handleReceivedChunk(const QByteArray &chunk)
{
    if (packetMode == 0) {
        // Shown as text up to the first NUL, as a QString conversion of the bytes would.
        const int textLength = int(qstrnlen(chunk.constData(), uint(chunk.size())));
        emit logLine(QStringLiteral("接收到数据：") +
                     QString::fromUtf8(chunk.constData(), textLength));
        if (chunk == OkReply) {
            emit logLine(QString::fromLatin1(OkReply));
            packetMode = 1;
            return;
        }
    }
    qDebug() << "<<<bytes: " << chunk;
    for (const char byte : chunk)
        feedFrameByte(uint8_t(byte));
}

// One step of the reassembly machine.
void UpgradeSession::feedFrameByte(uint8_t byte)
{
    switch (rxState) {
    case WaitHeader1:
        rxFrame.clear();
        if (byte == FrameHeader1) {
            rxFrame.append(char(byte));
            rxState = WaitHeader2;
        }
        break;
    case WaitHeader2: // anything but the second header byte restarts the search
        if (byte == FrameHeader2) {
            rxFrame.append(char(byte));
            rxState = WaitLengthLow;
        } else if (byte == FrameHeader1) {
            // A stray first header byte just before a frame: this one may start the frame.
            rxFrame = QByteArray(1, char(byte));
        } else {
            rxFrame.clear();
            rxState = WaitHeader1;
        }
        break;
    case WaitLengthLow:
        rxFrame.append(char(byte));
        rxState = WaitLengthHigh;
        break;
    case WaitLengthHigh: // every frame has at least its opcode
        rxFrame.append(char(byte));
        rxLength = frameLengthField(rxFrame);
        rxCount = 0;
        if (rxLength == 0) {
            rxFrame.clear();
            rxState = WaitHeader1;
        } else {
            rxState = WaitOpcode;
        }
        break;
    case WaitOpcode:
        rxFrame.append(char(byte));
        qDebug(" %02x", byte);
        ++rxCount;
        qDebug() << "==Len: " << rxLength << "cnt: " << rxCount;
        rxState = rxLength == rxCount ? WaitCrcLow : WaitPayload;
        break;
    case WaitPayload:
        rxFrame.append(char(byte));
        ++rxCount;
        qDebug() << "Len: " << rxLength << "cnt: " << rxCount;
        rxState = rxLength == rxCount ? WaitCrcLow : WaitPayload;
        break;
    case WaitCrcLow:
        rxFrame.append(char(byte));
        rxState = WaitCrcHigh;
        break;
    case WaitCrcHigh: // the frame is complete
        rxFrame.append(char(byte));
        dispatchFrame();
        rxFrame.clear();
        rxState = WaitHeader1;
        break;
    }
}

void UpgradeSession::dispatchFrame()
{
    emit answeringFrame(true);
    answerFrame();
    emit answeringFrame(false);
}

void UpgradeSession::answerFrame()
{
    ArrayToHexStringAppendTextBrowser(0, rxFrame, nullptr, 0);
    if (!frameCrcMatches(rxFrame)) {
        ++m_figures.crcErrors;
        emit logLine(QStringLiteral("CRC校验错误，丢弃该帧"));
        return;
    }
    const uint8_t opcode = uint8_t(rxFrame.at(4));
    if (rxLength == 1) {
        processCmdHandler(opcode, nullptr, 0);
        return;
    }
    // The payload followed by the CRC low byte: `rxLength` readable bytes.
    const QByteArray payload = rxFrame.mid(5, rxLength);
    processCmdHandler(opcode, reinterpret_cast<const uint8_t *>(payload.constData()), rxLength);
}

// ---- Command handler ----

void UpgradeSession::processCmdHandler(uint8_t opcode, const uint8_t *payload, uint16_t length)
{
    qDebug() << "<<<opcode: " << int(opcode);
    switch (opcode) {
    case BaudRateCmd:
        sendFrame(BaudRateCmd, u32le(FastBaudRate));
        // Not a slip: a request with exactly 3 payload bytes (length field 4) is answered
        // but causes no switch, and modules may rely on that to stay at their rate.
        if (length == 4)
            return;
        QTimer::singleShot(50, this, [this] { changeBaudRate(FastBaudRate); });
        break;
    case ReadDataCmd:
        replyReadData(payload, length);
        break;
    case UpgradeResultCmd:
        handleUpgradeResult(payload, length);
        break;
    default: // StartUpgradeCmd echoed back, or unknown: ignored
        break;
    }
}

// `length` is the frame's length field: the payload size + 1 readable bytes behind `payload`.
void UpgradeSession::replyReadData(const uint8_t *payload, uint16_t length)
{
    if (payload == nullptr || length < ReadRequestSize + 1) {
        qDebug() << "<<<ReadDataCmd too short, ignored; length:" << length;
        return;
    }
    const quint32 address = readU32le(payload);
    const quint32 count = readU32le(payload + 4);
    qDebug() << "<<<addr: " << address << "len: " << count;

    // Unsigned range, cut at the image end and at the largest slice a reply can carry.
    const quint32 imageSize = quint32(ufwFileData.size());
    const quint32 available = address < imageSize ? imageSize - address : 0;
    const quint32 sliceSize = qMin(qMin(count, available), MaxSliceSize);

    std::vector<uint8_t> reply(ReadRequestSize + sliceSize);
    std::copy(payload, payload + ReadRequestSize, reply.begin());
    if (sliceSize > 0) {
        const auto *slice = reinterpret_cast<const uint8_t *>(ufwFileData.constData()) + address;
        std::copy(slice, slice + sliceSize, reply.begin() + ReadRequestSize);
    }
    sendFrame(ReadDataCmd, reply);
    ++m_figures.requests;
    // Repeated requests for the same slice do not count twice: progress is the highest end.
    const qint64 sliceEnd = qint64(address) + sliceSize;
    if (sliceSize > 0 && sliceEnd > m_figures.servedBytes) {
        m_figures.servedBytes = sliceEnd;
        emit served(sliceEnd);
    }
}

void UpgradeSession::handleUpgradeResult(const uint8_t *payload, uint16_t length)
{
    if (payload == nullptr || length < 2) {
        qDebug() << "<<<UpgradeResultCmd too short, ignored; length:" << length;
        return;
    }
    const uint8_t result = payload[0];
    awaitingResult = false;
    silenceTimer.stop();
    m_figures.elapsedMs = upgradeClock.isValid() ? upgradeClock.elapsed() : 0;
    emit resultReported(result);
    if (result != 0) {
        // The module has left its upgrade mode either way: the line goes back to the rate
        // the window shows, so that the next attempt starts where the user expects.
        emit logLine(QStringLiteral("升级失败，错误码: %1").arg(int(result)));
        QTimer::singleShot(100, this, &UpgradeSession::returnToChosenRate);
        return;
    }
    qDebug() << "升级成功！";
    QTimer::singleShot(100, this, [this] {
        emit logLine(QStringLiteral("升级成功..."));
        returnToChosenRate();
    });
}

void UpgradeSession::returnToChosenRate()
{
    qDebug() << "<<<reset buadrate: " << chosenRate;
    changeBaudRate(chosenRate);
}

void UpgradeSession::sendFrame(uint8_t opcode, const std::vector<uint8_t> &payload)
{
    const QByteArray frame = buildFrame(opcode, payload);
    if (!frame.isEmpty())
        SerialPortSendData(frame);
}

// ---- Start sequence ----

bool UpgradeSession::startUpgrade()
{
    if (ufwFilePath.isEmpty()) {
        emit logLine(QStringLiteral("请选择ufw类型的升级文件"));
        return false;
    }
    if (!portOpen) {
        emit logLine(QStringLiteral("请先打开串口"));
        return false;
    }
    rxState = WaitHeader1;
    rxCount = 0;
    rxFrame.clear();
    if (!loadFirmwareImage())
        return false;
    // The AT command must go out at the rate the user has chosen, also when an abandoned
    // upgrade or a changed choice left the port at another one.
    if (chosenRate > 0 && quint64(serialPort.baudRate()) != chosenRate) {
        changeBaudRate(chosenRate);
        if (!portOpen)
            return false;
    }
    m_figures = {};
    m_figures.imageSize = ufwFileData.size();
    upgradeClock.start();
    awaitingResult = true;
    silenceHintShown = false;
    silenceTimer.stop();
    emit upgradeStarted(ufwFileData.size());
    packetMode = 0;
    UpgradeStartCmdAndChangeBaudRate();
    return true;
}

void UpgradeSession::UpgradeStartCmdAndChangeBaudRate()
{
    emit logLine(QStringLiteral("发送升级指令: AT+UPGRADE=1\r\n"));
    SerialPortSendData(AtUpgradeCommand);
    QTimer::singleShot(50, this, [this] { changeBaudRate(UpgradeBaudRate); });
    emit logLine(QStringLiteral("延时1s发送开始升级指令"));
    QTimer::singleShot(1000, this, &UpgradeSession::delaySendStartUpgradeCmd);
}

void UpgradeSession::delaySendStartUpgradeCmd()
{
    SerialPortSendData(StartFrame);
    restartSilenceWait();
    emit startFrameSent();
}
