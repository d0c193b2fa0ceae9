// Serial link: port discovery, open/close, baud-rate switching and the transmit path.

#include "mainwindow.h"

#include "ui_mainwindow.h"

#include <QDebug>
#include <QFile>
#include <QSerialPortInfo>

#include <cerrno>
#include <poll.h>
#include <unistd.h>

void MainWindow::SerialAppInit()
{
    const QStringList baudRates = {QStringLiteral("9600"), QStringLiteral("115200"),
                                   QStringLiteral("460800"), QStringLiteral("921600"),
                                   QStringLiteral("1000000")};
    rxState = WaitHeader1;
    portOpen = false;
    packetMode = 0;
    ui->pushButton->setText(QStringLiteral("打开串口"));
    ui->comboBox_2->insertItems(ui->comboBox_2->count(), baudRates);
    ui->radioButton->setStyleSheet(QStringLiteral(
        "QRadioButton { color: red; }QRadioButton::indicator:checked { color: green; }"));
    // The indicator reports the link state; a click must not make it claim otherwise.
    ui->radioButton->setAttribute(Qt::WA_TransparentForMouseEvents);
    ui->radioButton->setFocusPolicy(Qt::NoFocus);
    ui->comboBox_2->setCurrentIndex(1);
    SearchAvailablePorts();
}

void MainWindow::SearchAvailablePorts()
{
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    qDebug() << "Available serial ports:";
    for (const QSerialPortInfo &port : ports) {
        ui->comboBox->insertItem(ui->comboBox->count(), port.portName());
        qDebug() << "Port:" << port.portName();
        qDebug() << "Description:" << port.description();
        qDebug() << "Manufacturer:" << port.manufacturer();
        qDebug() << "System Location:" << port.systemLocation();
        qDebug() << "Vendor Identifier:" << port.vendorIdentifier();
        qDebug() << "Product Identifier:" << port.productIdentifier();
        qDebug() << "---------------------------------------";
    }
}

void MainWindow::on_pushButton_clicked()
{
    if (portOpen) {
        serialPort.close();
        showLinkClosed();
        return;
    }
    const QString portName = ui->comboBox->currentText();
    const QString baudRateText = ui->comboBox_2->currentText();
    qDebug() << portName << Qt::endl;
    qDebug() << baudRateText << Qt::endl;
    if (!OpenComPorts(portName, baudRateText))
        return;
    ui->pushButton->setText(QStringLiteral("关闭串口"));
    ui->radioButton->setChecked(true);
    appendLogLine(portName + QStringLiteral("串口打开成功"));
    appendLogLine(QStringLiteral("波特率: ") + baudRateText);
}

int MainWindow::OpenComPorts(QString portName, QString baudRateText)
{
    portOpen = false;
    serialPort.setPortName(portName);
    bool converted = false;
    const int baudRate = baudRateText.toInt(&converted, 10);
    if (!converted) {
        qDebug() << "Conversion failed!";
        return 0;
    }
    serialPort.setBaudRate(baudRate, QSerialPort::AllDirections);
    if (!serialPort.open(QIODevice::ReadWrite)) {
        appendLogLine(portName + QStringLiteral("串口打开失败: ") + serialPort.errorString());
        if (lacksDevicePermission())
            appendLogLine(QStringLiteral(
                "提示：当前用户无权访问该串口。请把用户加入 dialout 组（sudo usermod -aG dialout "
                "$USER，重新登录后生效），或以有权限的用户运行本工具。"));
        return 0;
    }
    qDebug() << "Serial port opened successfully.";
    portOpen = true;
    return 1;
}

// A permission error can also mean that another program holds the port's lock; only a device
// that this user may not read and write calls for the dialout hint.
bool MainWindow::lacksDevicePermission() const
{
    if (serialPort.error() != QSerialPort::PermissionError)
        return false;
    const QByteArray device = QFile::encodeName(QSerialPortInfo(serialPort).systemLocation());
    return ::access(device.constData(), R_OK | W_OK) != 0 && errno == EACCES;
}

void MainWindow::changeBaudRate(quint64 baudrate)
{
    // A timer of an upgrade may fire after the user closed the link: leave it closed.
    if (!portOpen)
        return;
    // Push out what is still buffered (a reply, the AT command) before the rate changes.
    serialPort.flush();
    serialPort.close();
    serialPort.setBaudRate(qint32(baudrate), QSerialPort::AllDirections);
    if (!serialPort.open(QIODevice::ReadWrite)) {
        const QString reason = serialPort.errorString();
        showLinkClosed();
        appendLogLine(QStringLiteral("切波特率失败: %1, %2").arg(baudrate).arg(reason));
        return;
    }
    appendLogLine(QStringLiteral("切波特率到: ") + QString::number(baudrate));
}

void MainWindow::showLinkClosed()
{
    portOpen = false;
    silenceTimer.stop();
    ui->pushButton->setText(QStringLiteral("打开串口"));
    ui->radioButton->setChecked(false);
}

void MainWindow::handlePortError(QSerialPort::SerialPortError error)
{
    // A pulled adapter reports ResourceError; a pty whose other side is gone reports
    // ReadError on every notification. Both mean the link is lost.
    if (!portOpen || (error != QSerialPort::ResourceError && error != QSerialPort::ReadError))
        return;
    const QString reason = serialPort.errorString();
    showLinkClosed();
    appendLogLine(QStringLiteral("串口已断开: ") + reason);
    // Closing from inside the port's own notification is not safe; close once control is
    // back in the event loop, unless the user has reopened the link by then.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!portOpen)
                serialPort.close();
        },
        Qt::QueuedConnection);
}

void MainWindow::SerialPortSendData(const QByteArray &data)
{
    if (!portOpen)
        return;
    const qint64 written = serialPort.write(data.constData(), data.size());
    // The module waits for every reply: hand it to the driver now, not after the log work.
    // Only when the driver can take bytes: flush() on a full descriptor fails with EAGAIN,
    // which the port reports as a lost device. Otherwise its own notifier writes them later.
    if (portAcceptsBytes())
        serialPort.flush();
    ArrayToHexStringAppendTextBrowser(1, data, nullptr, 0);
    if (written != qint64(data.size())) {
        qDebug() << "Serial Written Error.";
        appendLogLine(QStringLiteral("串口写入失败: ") + serialPort.errorString());
        return;
    }
    pendingTxBytes += data.size();
}

bool MainWindow::portAcceptsBytes() const
{
    pollfd descriptor{int(serialPort.handle()), POLLOUT, 0};
    return ::poll(&descriptor, 1, 0) == 1 && (descriptor.revents & POLLOUT) != 0;
}

void MainWindow::handleBytesWritten(qint64 bytes)
{
    pendingTxBytes -= bytes;
    qDebug() << ">>>bytes: " << pendingTxBytes;
}
