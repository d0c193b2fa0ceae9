#pragma once

#include <QByteArray>
#include <QMainWindow>
#include <QSerialPort>
#include <QString>

#include <cstdint>
#include <vector>

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
    void handleBytesWritten(qint64 bytes);
    void handlePortError(QSerialPort::SerialPortError error);
    void showLinkClosed();

    // Upgrade protocol
    void SerialPortReadData();
    void handleReceivedChunk(const QByteArray &chunk);
    void feedFrameByte(uint8_t byte);
    void dispatchFrame();
    void processCmdHandler(uint8_t opcode, const uint8_t *payload, uint16_t length);
    void replyReadData(const uint8_t *payload, uint16_t length);
    void handleUpgradeResult(const uint8_t *payload, uint16_t length);
    void sendFrame(uint8_t opcode, const std::vector<uint8_t> &payload);
    void UpgradeStartCmdAndChangeBaudRate();

    // Firmware image
    bool loadFirmwareImage();

    // Traffic log
    void ArrayToHexStringAppendTextBrowser(uint8_t flag, QByteArray data, const uint8_t *byteArray,
                                           uint64_t size);

    Ui::MainWindow *ui;
    QSerialPort serialPort;
    bool portOpen = false;
    QString ufwFilePath;
    qint32 packetMode = 0;
    qint64 pendingTxBytes = 0;
    uint8_t rxState = 0;
    uint16_t rxCount = 0;
    QByteArray rxFrame;
    QByteArray ufwFileData;
};
