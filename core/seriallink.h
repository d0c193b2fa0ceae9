#pragma once

#include "link.h"

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QStringList>

// The rates a user may choose, in the window and on the command line.
inline const QStringList OfferedBaudRates = {QStringLiteral("9600"), QStringLiteral("115200"),
                                             QStringLiteral("460800"), QStringLiteral("921600"),
                                             QStringLiteral("1000000")};

// One serial port as the upgrade uses it: opened 8N1 without flow control, reopened at
// another rate, written at once, and watched for loss.
class SerialLink : public Link
{
    Q_OBJECT

public:
    explicit SerialLink(QObject *parent = nullptr);

    bool open(const QString &portName, qint32 rate) override;
    // Closes and reopens at `rate` once what is buffered has gone out.
    bool reopenAt(qint32 rate) override;
    void close() override;
    bool isOpen() const override { return m_open; }
    qint32 rate() const override { return m_port.baudRate(); }
    QString portName() const override { return m_port.portName(); }
    QString errorString() const override { return m_port.errorString(); }
    LinkError error() const override { return linkError(m_error); }
    QString permissionHint() const override;
    qint64 write(const QByteArray &data) override;

private:
    void readAvailable();
    void handleError(QSerialPort::SerialPortError error);
    QString lossReason() const;

    // Platform parts, in linkplatform.cpp.
    bool acceptsBytes() const;
    qint64 writeToDriver(const QByteArray &data);
    bool lacksDevicePermission() const;
    void requestLowLatency();

    QSerialPort m_port;
    bool m_open = false;
    QSerialPort::SerialPortError m_error = QSerialPort::NoError;
};
