// Upgrade protocol: receive path, the module's commands, and the start sequence.

#include "mainwindow.h"

#include "frame.h"
#include "ui_mainwindow.h"

#include <QDebug>
#include <QTimer>

namespace {

const QByteArray OkReply = QByteArrayLiteral("\r\nOK\r\n");
const QByteArray AtUpgradeCommand = QStringLiteral("AT+UPGRADE=1\r\n").toUtf8();
const char StartFrame[] = {char(0xAA), 0x55, 0x01, 0x00, 0x06, 0x42, char(0xF2)};

constexpr quint32 FastBaudRate = 115200;
constexpr quint64 UpgradeBaudRate = 9600;
constexpr int ReadRequestSize = 8; // address u32 + count u32, echoed in the reply
// Largest slice whose reply (echo + slice) still fits the 16-bit length field.
constexpr quint32 MaxSliceSize = MaxFramePayload - ReadRequestSize;

quint32 readU32(const uint8_t *bytes)
{
    return quint32(bytes[0]) | quint32(bytes[1]) << 8 | quint32(bytes[2]) << 16 |
           quint32(bytes[3]) << 24;
}

} // namespace

// ---- Receive path ----

void MainWindow::SerialPortReadData()
{
    if (!portOpen)
        return;
    handleReceivedChunk(serialPort.readAll());
    restartSilenceWait();
}

// One chunk as the port delivered it: text phase first, then the frame machine.
void MainWindow::handleReceivedChunk(const QByteArray &chunk)
{
    if (packetMode == 0) {
        // Shown as text up to the first NUL, as a QString conversion of the bytes would.
        const int textLength = int(qstrnlen(chunk.constData(), uint(chunk.size())));
        appendLogLine(QStringLiteral("接收到数据：") +
                      QString::fromUtf8(chunk.constData(), textLength));
        if (chunk == OkReply) {
            appendLogLine(QString::fromLatin1(OkReply));
            packetMode = 1;
            return;
        }
    }
    qDebug() << "<<<bytes: " << chunk;
    for (const char byte : chunk)
        feedFrameByte(uint8_t(byte));
}

// One step of the reassembly machine; the frame's length is always read back from rxFrame.
void MainWindow::feedFrameByte(uint8_t byte)
{
    const auto frameLength = [this] {
        return uint16_t(uint8_t(rxFrame.at(2)) | uint8_t(rxFrame.at(3)) << 8);
    };
    switch (rxState) {
    case 0: // first header byte
        rxFrame.clear();
        if (byte == FrameHeader1) {
            rxFrame.append(char(byte));
            rxState = 1;
        }
        break;
    case 1: // second header byte; anything else restarts the search
        if (byte == FrameHeader2) {
            rxFrame.append(char(byte));
            rxState = 2;
        } else if (byte == FrameHeader1) {
            // A stray first header byte just before a frame: this one may start the frame.
            rxFrame = QByteArray(1, char(byte));
        } else {
            rxFrame.clear();
            rxState = 0;
        }
        break;
    case 2: // length, low byte
        rxFrame.append(char(byte));
        rxState = 3;
        break;
    case 3: // length, high byte; every frame has at least its opcode
        rxFrame.append(char(byte));
        rxCount = 0;
        if (frameLength() == 0) {
            rxFrame.clear();
            rxState = 0;
        } else {
            rxState = 4;
        }
        break;
    case 4: // opcode
        rxFrame.append(char(byte));
        qDebug(" %02x", byte);
        ++rxCount;
        qDebug() << "==Len: " << frameLength() << "cnt: " << rxCount;
        rxState = frameLength() == rxCount ? 6 : 5;
        break;
    case 5: // payload
        rxFrame.append(char(byte));
        ++rxCount;
        qDebug() << "Len: " << frameLength() << "cnt: " << rxCount;
        rxState = frameLength() == rxCount ? 6 : 5;
        break;
    case 6: // CRC, low byte
        rxFrame.append(char(byte));
        rxState = 7;
        break;
    case 7: // CRC, high byte: the frame is complete
        rxFrame.append(char(byte));
        dispatchFrame();
        rxFrame.clear();
        rxState = 0;
        break;
    }
}

void MainWindow::dispatchFrame()
{
    holdingLogLines = true;
    answerFrame();
    releaseLogLines();
}

void MainWindow::answerFrame()
{
    ArrayToHexStringAppendTextBrowser(0, rxFrame, nullptr, 0);
    if (!frameCrcMatches(rxFrame)) {
        appendLogLine(QStringLiteral("CRC校验错误，丢弃该帧"));
        return;
    }
    const uint16_t length = uint16_t(uint8_t(rxFrame.at(2)) | uint8_t(rxFrame.at(3)) << 8);
    const uint8_t opcode = uint8_t(rxFrame.at(4));
    if (length == 1) {
        processCmdHandler(opcode, nullptr, 0);
        return;
    }
    // The payload followed by the CRC low byte: `length` readable bytes.
    const QByteArray payload = rxFrame.mid(5, length);
    processCmdHandler(opcode, reinterpret_cast<const uint8_t *>(payload.constData()), length);
}

// ---- Command handler ----

void MainWindow::processCmdHandler(uint8_t opcode, const uint8_t *payload, uint16_t length)
{
    qDebug() << "<<<opcode: " << int(opcode);
    switch (opcode) {
    case BaudRateCmd:
        sendFrame(BaudRateCmd, {0x00, 0xC2, 0x01, 0x00}); // 115200, u32 LE
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
void MainWindow::replyReadData(const uint8_t *payload, uint16_t length)
{
    if (payload == nullptr || length < ReadRequestSize + 1) {
        qDebug() << "<<<ReadDataCmd too short, ignored; length:" << length;
        return;
    }
    const quint32 address = readU32(payload);
    const quint32 count = readU32(payload + 4);
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
    if (sliceSize > 0)
        recordServed(qint64(address) + sliceSize);
}

void MainWindow::handleUpgradeResult(const uint8_t *payload, uint16_t length)
{
    if (payload == nullptr || length < 2) {
        qDebug() << "<<<UpgradeResultCmd too short, ignored; length:" << length;
        return;
    }
    const uint8_t result = payload[0];
    showUpgradeResult(result == 0);
    if (result != 0) {
        // The module has left its upgrade mode either way: the line goes back to the rate
        // the window shows, so that the next attempt starts where the user expects.
        appendLogLine(QStringLiteral("升级失败，错误码: %1").arg(result));
        QTimer::singleShot(100, this, &MainWindow::returnToChosenRate);
        return;
    }
    qDebug() << "升级成功！";
    QTimer::singleShot(100, this, [this] {
        appendLogLine(QStringLiteral("升级成功..."));
        returnToChosenRate();
    });
}

void MainWindow::returnToChosenRate()
{
    qDebug() << "<<<reset buadrate: " << ui->comboBox_2->currentText().toUInt();
    changeBaudRate(ui->comboBox_2->currentText().toUInt());
}

void MainWindow::sendFrame(uint8_t opcode, const std::vector<uint8_t> &payload)
{
    const std::vector<uint8_t> frame = DataFormatToPaket(opcode, payload);
    if (frame.empty())
        return;
    SerialPortSendData(QByteArray(reinterpret_cast<const char *>(frame.data()), int(frame.size())));
}

// ---- Start sequence ----

void MainWindow::on_pushButton_3_clicked()
{
    ui->textBrowser->clearHistory();
    ui->textBrowser->clear();
    if (ufwFilePath.isEmpty()) {
        appendLogLine(QStringLiteral("请选择ufw类型的升级文件"));
        return;
    }
    if (!portOpen) {
        appendLogLine(QStringLiteral("请先打开串口"));
        return;
    }
    rxState = 0;
    rxCount = 0;
    rxFrame.clear();
    if (!loadFirmwareImage())
        return;
    // The AT command must go out at the rate the window shows, also when an abandoned
    // upgrade or a changed choice left the port at another one.
    const quint64 chosenRate = ui->comboBox_2->currentText().toUInt();
    if (chosenRate > 0 && quint64(serialPort.baudRate()) != chosenRate) {
        changeBaudRate(chosenRate);
        if (!portOpen)
            return;
    }
    startUpgradeStatus(ufwFileData.size());
    packetMode = 0;
    UpgradeStartCmdAndChangeBaudRate();
}

void MainWindow::UpgradeStartCmdAndChangeBaudRate()
{
    appendLogLine(QStringLiteral("发送升级指令: AT+UPGRADE=1\r\n"));
    SerialPortSendData(AtUpgradeCommand);
    QTimer::singleShot(50, this, [this] { changeBaudRate(UpgradeBaudRate); });
    appendLogLine(QStringLiteral("延时1s发送开始升级指令"));
    QTimer::singleShot(1000, this, &MainWindow::delaySendStartUpgradeCmd);
}

void MainWindow::delaySendStartUpgradeCmd()
{
    SerialPortSendData(QByteArray(StartFrame, int(sizeof StartFrame)));
    restartSilenceWait();
}
