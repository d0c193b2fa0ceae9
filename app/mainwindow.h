#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QSerialPort>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <vector>

class QLabel;
class QProgressBar;

QT_BEGIN_NAMESPACE
namespace Ui {
class MainWindow;
}
QT_END_NAMESPACE

// The upgrader's one window: owns the serial link, the firmware image and the receive state,
// and serves the module's requests from the GUI thread.
class MainWindow : public QMainWindow
{
    Q_OBJECT
    // The fuzzer feeds chunks to the receive path directly, as the port's readyRead would.
    friend class ReceiveFuzzHarness;

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Shows `portName` in the port box, as if the user had typed it.
    void presetPort(const QString &portName);
    // How long the module may stay silent before the log area says so: after the start
    // frame, and while it leads. Tests shorten them.
    void setSilenceLimits(int afterStartMs, int inFramesMs);

signals:
    // Declared for listeners of the traffic and event log; the window itself never emits them.
    void upgradeResultMsg(uint8_t flag, QByteArray data, const uint8_t *byteArray, uint64_t size);
    void upgradeEventMsg(QString msg);

private slots:
    void on_pushButton_clicked();
    void on_toolButton_clicked();
    void on_pushButton_2_clicked();
    void on_pushButton_3_clicked();
    void changeBaudRate(quint64 baudrate);
    void delaySendStartUpgradeCmd();

private:
    // Serial link
    void SerialAppInit();
    void SearchAvailablePorts();
    int OpenComPorts(QString portName, QString baudRateText);
    void SerialPortSendData(const QByteArray &data);
    bool portAcceptsBytes() const;
    void handleBytesWritten(qint64 bytes);
    void handlePortError(QSerialPort::SerialPortError error);
    void showLinkClosed();
    bool lacksDevicePermission() const;

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

    // Upgrade status: progress in the status bar, and a hint when the module stays silent
    void setupUpgradeStatus();
    void startUpgradeStatus(qint64 imageSize);
    void recordServed(qint64 sliceEnd);
    void showUpgradeResult(bool succeeded);
    void restartSilenceWait();
    void showSilenceHint();

    // Firmware image
    bool loadFirmwareImage();

    // Traffic log
    void setupTrafficLog();
    void appendLogLine(const QString &line);
    void addLogLine(const QString &line);
    void releaseLogLines();
    void holdLogRepaint();
    void repaintLogSoon();
    void repaintLogNow();
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

    Ui::MainWindow *ui;
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

    bool holdingLogLines = false; // a received frame is being answered
    QStringList heldLogLines;
    QTimer logRepaintTimer;         // the log area repaints when it runs out
    bool repaintAfterReply = false; // the repaint waits for the next reply
    QElapsedTimer lastAnswerClock;  // since the last received frame was answered
    QProgressBar *progressBar = nullptr;
    QLabel *progressLabel = nullptr;
    QElapsedTimer upgradeClock;
    qint64 servedBytes = 0;        // highest end of a slice served in this upgrade
    qint64 progressShownMs = -1;   // when the status text was last written
    QTimer silenceTimer;           // the module has been silent too long during an upgrade
    int silentAfterStartMs = 3000; // no reply to the start frame
    int silentInFramesMs = 5000;   // no request while the module leads
    bool awaitingResult = false;
    bool silenceHintShown = false;
};
