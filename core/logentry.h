#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>

// One line of an upgrade's log as it happened: bytes that crossed the wire, kept as bytes, or
// a line of text; with the time it happened. The hex line of traffic is made from the bytes
// where it is shown, by hexLine(), and nowhere else.
struct LogEntry
{
    enum class Kind : quint8 { Text, Sent, Received };

    Kind kind = Kind::Text;
    QString text;       // Kind::Text
    QByteArray bytes;   // Kind::Sent and Kind::Received
    qint64 timeMs = 0;  // since the epoch: when the bytes crossed the wire, or the line was made
    quint64 serial = 0; // how many entries its producer made before this one

    static LogEntry ofText(const QString &text, qint64 timeMs = now());
    static LogEntry ofTraffic(Kind direction, const QByteArray &bytes, qint64 timeMs = now());
    static qint64 now();

    bool isTraffic() const { return kind != Kind::Text; }
    // The line as the log area and the log file show it.
    QString line() const;
};
Q_DECLARE_METATYPE(LogEntry)

// "MCU->RW47HN: [AA 55 01]" for bytes sent to the module, "RW47HN->MCU: [...]" for bytes
// received from it: two upper-case digits per byte, one space between bytes.
QString hexLine(LogEntry::Kind direction, const QByteArray &bytes);
