#pragma once

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
// another rate, written at once, and watched for loss. It knows nothing of upgrades.
class SerialLink : public QObject
{
    Q_OBJECT

public:
    explicit SerialLink(QObject *parent = nullptr);

    // Opens `portName` at `rate`; on failure errorString() says why and permissionHint() may
    // say what to do.
    bool open(const QString &portName, qint32 rate);
    // Closes and reopens at `rate` once what is buffered has gone out. False when the port
    // would not reopen: it is closed then.
    bool reopenAt(qint32 rate);
    void close();
    bool isOpen() const { return m_open; }
    qint32 rate() const { return m_port.baudRate(); }
    QString portName() const { return m_port.portName(); }
    QString errorString() const { return m_port.errorString(); }
    // What went wrong last: a failed open or reopen, or the loss of the port.
    QSerialPort::SerialPortError error() const { return m_error; }
    QString permissionHint() const;

    // Hands `data` to the driver at once; the count the port took, -1 on error.
    qint64 write(const QByteArray &data);

signals:
    void received(const QByteArray &chunk);
    void bytesWritten(qint64 bytes);
    // The port went away (adapter unplugged, other side of a pty closed); it is closed now.
    // `reason` in the installed language, for the log.
    void lost(const QString &reason);

private:
    void readAvailable();
    void reportWritten(qint64 bytes);
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
    qint64 m_unreportedBytes = 0; // written past the port, not yet said by bytesWritten
};
