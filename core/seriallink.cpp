#include "seriallink.h"

#include "serialerror.h"

#include <QDebug>

// The port is a child so that it moves with the link to another thread.
SerialLink::SerialLink(QObject *parent) : Link(parent), m_port(this)
{
    connect(&m_port, &QIODevice::readyRead, this, &SerialLink::readAvailable);
    connect(&m_port, &QIODevice::bytesWritten, this, &SerialLink::bytesWritten);
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialLink::handleError);
}

bool SerialLink::open(const QString &portName, qint32 rate)
{
    m_open = false;
    m_port.setPortName(portName);
    m_port.setBaudRate(rate, QSerialPort::AllDirections);
    m_error = QSerialPort::NoError;
    if (!m_port.open(QIODevice::ReadWrite)) {
        m_error = m_port.error();
        return false;
    }
    qDebug() << "Serial port opened successfully.";
    requestLowLatency();
    m_open = true;
    return true;
}

bool SerialLink::reopenAt(qint32 rate)
{
    // Push out what is still buffered (a reply, the AT command) before the rate changes, as
    // far as the driver takes it: a flush on a full descriptor would read as a lost device.
    if (acceptsBytes())
        m_port.flush();
    m_port.close();
    m_port.setBaudRate(rate, QSerialPort::AllDirections);
    if (!m_port.open(QIODevice::ReadWrite)) {
        m_error = m_port.error();
        m_open = false;
        return false;
    }
    requestLowLatency();
    return true;
}

void SerialLink::close()
{
    m_port.close();
    m_open = false;
}

qint64 SerialLink::write(const QByteArray &data)
{
    if (!m_open)
        return -1;
    // The module waits for every reply: hand it to the driver now, not after the log work.
    const qint64 taken = writeToDriver(data);
    reportWritten(taken);
    if (taken == data.size())
        return taken;
    // The port's own notifier writes them as the driver takes them. Never flush() here: on a
    // descriptor that fills up meanwhile it fails with EAGAIN, which the port reports as a
    // lost device, and a module that reads slowly would end its upgrade as unplugged.
    const qint64 queued = m_port.write(data.constData() + taken, data.size() - taken);
    return queued < 0 ? -1 : taken + queued;
}

void SerialLink::readAvailable()
{
    if (m_open)
        emit received(m_port.readAll());
}

void SerialLink::handleError(QSerialPort::SerialPortError error)
{
    // A pulled adapter reports ResourceError; a pty whose other side is gone reports
    // ReadError on every notification. Both mean the link is lost.
    if (!m_open || (error != QSerialPort::ResourceError && error != QSerialPort::ReadError))
        return;
    m_open = false; // nothing may be sent on the lost port any more
    m_error = error;
    emit lost(lossReason());
    // Closing from inside the port's own notification is not safe; close once control is
    // back in the event loop, unless the link has been reopened by then.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!m_open)
                m_port.close();
        },
        Qt::QueuedConnection);
}

// Both errors that mean a loss read as a device that went away: Qt's own text for a vanished
// device is "Unknown error", translated with Qt, so it is never what decides.
QString SerialLink::lossReason() const
{
    return serialErrorShown(linkError(QSerialPort::ResourceError));
}
