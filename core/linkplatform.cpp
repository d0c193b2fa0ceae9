// The parts of the serial link that each operating system does its own way.

#include "seriallink.h"

#include <QDebug>
#include <QFile>
#include <QSerialPortInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <poll.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

#ifdef Q_OS_UNIX
// flush() writes straight to the descriptor; when the driver's buffer is full that fails
// with EAGAIN, which the port would report as a lost device.
bool SerialLink::acceptsBytes() const
{
    pollfd descriptor{int(m_port.handle()), POLLOUT, 0};
    return ::poll(&descriptor, 1, 0) == 1 && (descriptor.revents & POLLOUT) != 0;
}

// With nothing queued in the port, a reply goes straight to the descriptor: no copy into the
// port's buffer, no write notifier switched on and off. What the driver does not take now,
// and anything after a failure (which the port then meets and reports), goes through the port.
qint64 SerialLink::writeToDriver(const QByteArray &data)
{
    if (m_port.bytesToWrite() > 0)
        return 0;
    ssize_t written;
    do
        written = ::write(int(m_port.handle()), data.constData(), size_t(data.size()));
    while (written < 0 && errno == EINTR);
    return qMax<qint64>(written, 0);
}
#else
// Windows writes overlapped: flush() queues the bytes and never fails on a full buffer.
bool SerialLink::acceptsBytes() const
{
    return true;
}

qint64 SerialLink::writeToDriver(const QByteArray &)
{
    return 0;
}
#endif

#ifdef Q_OS_LINUX
// A permission error can also mean that another program holds the port's lock; only a
// device that this user may not read and write calls for the dialout hint.
bool SerialLink::lacksDevicePermission() const
{
    const QByteArray device = QFile::encodeName(QSerialPortInfo(m_port).systemLocation());
    return ::access(device.constData(), R_OK | W_OK) != 0 && errno == EACCES;
}
#else
// Windows answers "access denied" when another program has the port open; macOS leaves its
// serial devices open to every user. Neither is a matter of group membership.
bool SerialLink::lacksDevicePermission() const
{
    return false;
}
#endif

QString SerialLink::permissionHint() const
{
    if (m_port.error() != QSerialPort::PermissionError)
        return {};
    if (lacksDevicePermission())
        return tr("提示：当前用户无权访问该串口。请把用户加入 dialout 组（sudo usermod -aG dialout "
                  "$USER，重新登录后生效），或以有权限的用户运行本工具。");
#ifdef Q_OS_WIN
    return tr("提示：该串口正被其他程序使用。请关闭占用它的程序后再打开。");
#else
    return {};
#endif
}

#ifdef Q_OS_LINUX
// USB serial adapters hold short packets for up to 16 ms unless asked not to, and every
// request of the module would wait that long. Drivers without the setting refuse it.
void SerialLink::requestLowLatency()
{
    serial_struct settings{};
    const int fd = int(m_port.handle());
    if (::ioctl(fd, TIOCGSERIAL, &settings) == 0) {
        settings.flags |= ASYNC_LOW_LATENCY;
        if (::ioctl(fd, TIOCSSERIAL, &settings) == 0) {
            qDebug() << "Low latency mode set on" << m_port.portName();
            return;
        }
    }
    qDebug() << "Low latency mode not available on" << m_port.portName() << ":"
             << qt_error_string(errno);
}
#else
// Elsewhere an adapter's latency timer is a driver setting (the device's properties on
// Windows, the driver's configuration on macOS) that a program cannot reach through the port.
void SerialLink::requestLowLatency() {}
#endif
