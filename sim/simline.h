#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QVector>

class PtyPair;
class QSocketNotifier;

// The module's end of the cable: reads and writes the master side of a pty and, when asked
// to, paces both directions to the time the bytes take on a real 8N1 line.
class SimLine : public QObject
{
    Q_OBJECT

public:
    // `paceBaud` > 0 paces at that rate; 0 paces at the rate the upgrader has set; -1 does not
    // pace at all.
    SimLine(PtyPair &pty, int paceBaud, QObject *parent = nullptr);

    // Queues bytes to go out after `pauseMs`, behind everything queued before.
    void send(const QByteArray &bytes, int pauseMs = 0);
    // Hangs up as an unplugged adapter would; nothing is read or written afterwards.
    void hangUp();
    bool isUp() const { return m_up; }
    // The rate the line runs at: the paced one, or the one the upgrader has set.
    int baud() const;
    qint64 lineTimeUs(qint64 bytes) const;
    qint64 nowUs() const { return m_clock.nsecsElapsed() / 1000; }

signals:
    // Bytes from the upgrader, as the module's UART delivers them.
    void received(const QByteArray &bytes);
    // Bytes from the upgrader reached the pty (before pacing), at `atUs`.
    void arrived(qint64 atUs, int size);
    // The last queued byte has been handed to the line, at `atUs`.
    void drained(qint64 atUs);

private:
    struct Piece
    {
        QByteArray bytes;
        int pauseMs = 0;
        qint64 dueUs = -1; // pace: when its last byte has crossed the line, once known
    };

    void readMaster();
    void deliverArrived();
    void pump();
    void flushWire();
    bool waitUntil(qint64 dueUs, QTimer &timer);
    bool pacing() const { return m_paceBaud >= 0; }

    PtyPair &m_pty;
    int m_fd;
    int m_paceBaud;
    bool m_up = true;
    QSocketNotifier *m_readNotifier;
    QSocketNotifier *m_writeNotifier;
    QElapsedTimer m_clock;
    QVector<Piece> m_pieces;   // waiting to be written, in order
    QByteArray m_outgoing;     // handed to the line, not yet taken by it
    QVector<Piece> m_arriving; // pace: received, not yet carried by the line
    QTimer m_pumpTimer;
    QTimer m_deliverTimer;
    qint64 m_rxLineFreeUs = 0; // pace: when the line has delivered what was received
    qint64 m_txLineFreeUs = 0; // pace: when the line has sent what was written
};
