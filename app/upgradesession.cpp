// The session's serial link, firmware image, hex lines and silence watch.

#include "upgradesession.h"

#include <QDebug>
#include <QFile>
#include <QSerialPortInfo>

#include <cerrno>
#include <poll.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

namespace {

// Larger files are refused before any of it is read: no module takes an image that size, and
// holding it would exhaust the memory of the machine that runs the upgrader.
constexpr qint64 MaxImageSize = 1073741824; // 1 GiB

} // namespace

UpgradeSession::UpgradeSession(QObject *parent) : QObject(parent)
{
    connect(&serialPort, &QIODevice::readyRead, this, &UpgradeSession::SerialPortReadData);
    connect(&serialPort, &QIODevice::bytesWritten, this, &UpgradeSession::handleBytesWritten);
    connect(&serialPort, &QSerialPort::errorOccurred, this, &UpgradeSession::handlePortError);
    silenceTimer.setSingleShot(true);
    connect(&silenceTimer, &QTimer::timeout, this, &UpgradeSession::showSilenceHint);
}

// ---- Serial link ----

int UpgradeSession::OpenComPorts(QString portName, QString baudRateText)
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
        emit logLine(portName + QStringLiteral("串口打开失败: ") + serialPort.errorString());
        if (lacksDevicePermission())
            emit logLine(QStringLiteral(
                "提示：当前用户无权访问该串口。请把用户加入 dialout 组（sudo usermod -aG dialout "
                "$USER，重新登录后生效），或以有权限的用户运行本工具。"));
        return 0;
    }
    qDebug() << "Serial port opened successfully.";
    setLowLatency();
    portOpen = true;
    return 1;
}

void UpgradeSession::closePort()
{
    serialPort.close();
    portOpen = false;
    silenceTimer.stop();
}

// A permission error can also mean that another program holds the port's lock; only a device
// that this user may not read and write calls for the dialout hint.
bool UpgradeSession::lacksDevicePermission() const
{
    if (serialPort.error() != QSerialPort::PermissionError)
        return false;
    const QByteArray device = QFile::encodeName(QSerialPortInfo(serialPort).systemLocation());
    return ::access(device.constData(), R_OK | W_OK) != 0 && errno == EACCES;
}

// USB serial adapters hold short packets for up to 16 ms unless asked not to, and every
// request of the module would wait that long. Drivers without the setting refuse it.
void UpgradeSession::setLowLatency()
{
#ifdef Q_OS_LINUX
    serial_struct settings{};
    const int fd = int(serialPort.handle());
    if (::ioctl(fd, TIOCGSERIAL, &settings) == 0) {
        settings.flags |= ASYNC_LOW_LATENCY;
        if (::ioctl(fd, TIOCSSERIAL, &settings) == 0) {
            qDebug() << "Low latency mode set on" << serialPort.portName();
            return;
        }
    }
    qDebug() << "Low latency mode not available on" << serialPort.portName() << ":"
             << qt_error_string(errno);
#endif
}

void UpgradeSession::changeBaudRate(quint64 baudrate)
{
    // A timer of an upgrade may fire after the user closed the link: leave it closed.
    if (!portOpen)
        return;
    // Push out what is still buffered (a reply, the AT command) before the rate changes.
    serialPort.flush();
    serialPort.close();
    serialPort.setBaudRate(qint32(baudrate), QSerialPort::AllDirections);
    if (!serialPort.open(QIODevice::ReadWrite)) {
        emit logLine(
            QStringLiteral("切波特率失败: %1, %2").arg(baudrate).arg(serialPort.errorString()));
        markClosed();
        return;
    }
    setLowLatency();
    emit logLine(QStringLiteral("切波特率到: ") + QString::number(baudrate));
}

void UpgradeSession::markClosed()
{
    portOpen = false;
    silenceTimer.stop();
    emit linkClosed();
}

void UpgradeSession::handlePortError(QSerialPort::SerialPortError error)
{
    // A pulled adapter reports ResourceError; a pty whose other side is gone reports
    // ReadError on every notification. Both mean the link is lost.
    if (!portOpen || (error != QSerialPort::ResourceError && error != QSerialPort::ReadError))
        return;
    const QString reason = serialPort.errorString();
    portOpen = false; // before the lines: nothing may be sent on the lost port any more
    emit logLine(QStringLiteral("串口已断开: ") + reason);
    emit linkLost(reason);
    markClosed();
    // Closing from inside the port's own notification is not safe; close once control is
    // back in the event loop, unless the link has been reopened by then.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!portOpen)
                serialPort.close();
        },
        Qt::QueuedConnection);
}

void UpgradeSession::SerialPortSendData(const QByteArray &data)
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
        emit logLine(QStringLiteral("串口写入失败: ") + serialPort.errorString());
        return;
    }
    pendingTxBytes += data.size();
}

bool UpgradeSession::portAcceptsBytes() const
{
    pollfd descriptor{int(serialPort.handle()), POLLOUT, 0};
    return ::poll(&descriptor, 1, 0) == 1 && (descriptor.revents & POLLOUT) != 0;
}

void UpgradeSession::handleBytesWritten(qint64 bytes)
{
    pendingTxBytes -= bytes;
    qDebug() << ">>>bytes: " << pendingTxBytes;
}

// ---- Firmware image ----

// Reads the chosen file into ufwFileData. On any failure the previous image is kept and the
// log says why.
bool UpgradeSession::loadFirmwareImage()
{
    QFile file(ufwFilePath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        emit logLine(QStringLiteral(">>>>>>>>>>>>>>>>>>>>>>>>>>>>无法打开文件!"));
        return false;
    }
    const qint64 size = file.size();
    if (size > MaxImageSize) {
        emit logLine(QStringLiteral("文件过大: %1 字节，最大 %2 字节").arg(size).arg(MaxImageSize));
        return false;
    }
    emit logLine(QStringLiteral("文件打开成功。"));

    QByteArray image;
    image.reserve(int(size));
    char buffer[1024];
    qint64 count;
    while ((count = file.read(buffer, qint64(sizeof buffer))) > 0)
        image.append(buffer, int(count));
    // A read error, or a file that delivers less than it claims: the image would be cut short.
    if (count < 0 || image.size() < size) {
        emit logLine(QStringLiteral("文件读取失败: ") + file.errorString());
        return false;
    }
    ufwFileData = image;
    return true;
}

// ---- Hex lines ----

void UpgradeSession::ArrayToHexStringAppendTextBrowser(uint8_t flag, QByteArray data,
                                                       const uint8_t * /*byteArray*/,
                                                       uint64_t /*size*/)
{
    if (!hexLines)
        return;
    // Two upper-case digits per byte, one space between bytes, built in one pass.
    const QString line = QLatin1String(flag != 0 ? "MCU->RW47HN: [" : "RW47HN->MCU: [") +
                         QLatin1String(data.toHex(' ').toUpper()) + QLatin1Char(']');
    qDebug() << "Hex string:" << line;
    emit logLine(line);
}

// ---- Silence watch and figures ----

void UpgradeSession::setSilenceLimits(int afterStartMs, int inFramesMs)
{
    silentAfterStartMs = afterStartMs;
    silentInFramesMs = inFramesMs;
}

// Starts, or starts again, the wait for the module: after the start frame and after every
// chunk it sends until the result.
void UpgradeSession::restartSilenceWait()
{
    if (awaitingResult && portOpen)
        silenceTimer.start(packetMode != 0 ? silentInFramesMs : silentAfterStartMs);
}

void UpgradeSession::showSilenceHint()
{
    if (!awaitingResult || silenceHintShown || !portOpen)
        return;
    silenceHintShown = true;
    emit logLine(QStringLiteral("模块无应答，请检查连接和波特率"));
}

UpgradeSession::Figures UpgradeSession::figures() const
{
    Figures now = m_figures;
    if (awaitingResult && upgradeClock.isValid())
        now.elapsedMs = upgradeClock.elapsed();
    return now;
}
