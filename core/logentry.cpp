#include "logentry.h"

#include <QDateTime>

LogEntry LogEntry::ofText(const QString &text, qint64 timeMs)
{
    LogEntry entry;
    entry.text = text;
    entry.timeMs = timeMs;
    return entry;
}

LogEntry LogEntry::ofTraffic(Kind direction, const QByteArray &bytes, qint64 timeMs)
{
    LogEntry entry;
    entry.kind = direction;
    entry.bytes = bytes;
    entry.timeMs = timeMs;
    return entry;
}

qint64 LogEntry::now()
{
    return QDateTime::currentMSecsSinceEpoch();
}

QString LogEntry::line() const
{
    return isTraffic() ? hexLine(kind, bytes) : text;
}

QString hexLine(LogEntry::Kind direction, const QByteArray &bytes)
{
    const QLatin1String prefix(direction == LogEntry::Kind::Received ? "RW47HN->MCU: ["
                                                                     : "MCU->RW47HN: [");
    return prefix + QLatin1String(bytes.toHex(' ').toUpper()) + QLatin1Char(']');
}
