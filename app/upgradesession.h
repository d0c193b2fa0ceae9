#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <vector>

// One serial link and the upgrade served on it, without widgets: the port, the receive path,
// the module's commands, the start sequence and the firmware image. The window and the
// headless runner are front ends of it; what a user should see leaves as logLine().
class UpgradeSession : public QObject
{
    Q_OBJECT
    // The fuzzer feeds chunks to the receive path directly, as the port's readyRead would.
    friend class ReceiveFuzzHarness;

public:
    explicit UpgradeSession(QObject *parent = nullptr);

    // Opens `portName` at the rate given as text; 1 on success, 0 with the reason logged.
    int OpenComPorts(QString portName, QString baudRateText);
    void closePort();
    bool isOpen() const { return portOpen; }
    QString errorString() const { return serialPort.errorString(); }

    // The image file and the rate the user has chosen; the rate is used at the start and
    // after the result.
    void setFirmwarePath(const QString &path) { ufwFilePath = path; }
    void setChosenRate(quint64 rate) { chosenRate = rate; }
    // Hex lines cost time per frame; a front end that shows no log can do without them.
    void setHexLines(bool enabled) { hexLines = enabled; }
    // How long the module may stay silent before the log says so: after the start frame, and
    // while it leads.
    void setSilenceLimits(int afterStartMs, int inFramesMs);

    // Press of the start button: checks, loads the image and starts the sequence. False when
    // it did not start; the log says why.
    bool startUpgrade();
    void changeBaudRate(quint64 baudrate);
    void delaySendStartUpgradeCmd();

    struct Figures
    {
        qint64 imageSize = 0;
        qint64 servedBytes = 0; // highest end of a slice served
        int requests = 0;       // data requests answered
        int crcErrors = 0;      // frames dropped for a wrong CRC
        qint64 elapsedMs = 0;   // from the start to the result, or until now
    };
    Figures figures() const;

signals:
    // One line for the log area.
    void logLine(const QString &line);
    // A received frame is being answered, and has been: the lines in between belong to it.
    void answeringFrame(bool answering);
    // The link closed by itself: a failed reopen or a lost port.
    void linkClosed();
    void linkLost(const QString &reason);
    void upgradeStarted(qint64 imageSize);
    void served(qint64 sliceEnd);
    void resultReported(uint8_t result);
    void chunkReceived();
    // The start frame is out: from now on the module leads.
    void startFrameSent();

private:
    // Serial link
    void SerialPortSendData(const QByteArray &data);
    void handleBytesWritten(qint64 bytes);
    void handlePortError(QSerialPort::SerialPortError error);
    void markClosed();
    bool lacksDevicePermission() const;
    bool portAcceptsBytes() const;
    void setLowLatency();

    // Upgrade protocol
    void SerialPortReadData();
    void handleReceivedChunk(const QByteArray &chunk);
    void feedFrameByte(uint8_t byte);
    void dispatchFrame();
    void answerFrame();
    void processCmdHandler(uint8_t opcode, const uint8_t *payload, uint16_t length);
    void replyReadData(const uint8_t *payload, uint16_t length);
    void handleUpgradeResult(const uint8_t *payload, uint16_t length);
    void returnToChosenRate();
    void sendFrame(uint8_t opcode, const std::vector<uint8_t> &payload);
    void UpgradeStartCmdAndChangeBaudRate();
    void restartSilenceWait();
    void showSilenceHint();

    // Firmware image and the hex lines
    bool loadFirmwareImage();
    void ArrayToHexStringAppendTextBrowser(uint8_t flag, QByteArray data, const uint8_t *byteArray,
                                           uint64_t size);

    // States of the frame reassembly, in the order a frame's bytes arrive.
    enum RxState : uint8_t {
        WaitHeader1,
        WaitHeader2,
        WaitLengthLow,
        WaitLengthHigh,
        WaitOpcode,
        WaitPayload,
        WaitCrcLow,
        WaitCrcHigh,
    };

    QSerialPort serialPort;
    bool portOpen = false;
    QString ufwFilePath;
    qint32 packetMode = 0;
    qint64 pendingTxBytes = 0;
    uint8_t rxState = WaitHeader1;
    uint16_t rxCount = 0;
    uint16_t rxLength = 0; // the current frame's length field, once both bytes are in
    QByteArray rxFrame;
    QByteArray ufwFileData;

    quint64 chosenRate = 115200;
    bool hexLines = true;
    Figures m_figures;
    QElapsedTimer upgradeClock;
    QTimer silenceTimer; // the module has been silent too long during an upgrade
    int silentAfterStartMs = 3000;
    int silentInFramesMs = 5000;
    bool awaitingResult = false;
    bool silenceHintShown = false;
};
