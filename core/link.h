#pragma once

#include "serialerror.h"

#include <QByteArray>
#include <QObject>
#include <QString>

// A line to one module as the upgrade uses it, whatever carries it: opened 8N1 without flow
// control, switched to another rate, written at once, and watched for loss. A serial port and a
// port on a device server (rfc2217://HOST:PORT) each implement it; it knows nothing of upgrades.
class Link : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Opens `portName` at `rate`; on failure error() and errorString() say why, and
    // permissionHint() may say what to do.
    virtual bool open(const QString &portName, qint32 rate) = 0;
    // Switches to `rate` once what was written has gone out, and returns once the rate is in
    // effect. False when it is not: the link is closed then.
    virtual bool reopenAt(qint32 rate) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    virtual qint32 rate() const = 0;
    virtual QString portName() const = 0;
    virtual QString errorString() const = 0;
    // What went wrong last: a failed open or rate switch, or the loss of the link.
    virtual LinkError error() const = 0;
    virtual QString permissionHint() const { return {}; }
    // Hands `data` on at once; the count taken, -1 on error.
    virtual qint64 write(const QByteArray &data) = 0;

signals:
    void received(const QByteArray &chunk);
    void bytesWritten(qint64 bytes);
    // The link went away (adapter unplugged, other side of a pty closed, connection dropped);
    // it is closed now. `reason` in the installed language, for the log.
    void lost(const QString &reason);

protected:
    // Says `bytes` written as a serial port says it of the bytes it writes itself: later, from
    // the event loop, once the writer has counted what it handed over.
    void reportWritten(qint64 bytes);

private:
    qint64 m_unreportedBytes = 0; // handed on, not yet said by bytesWritten
};
