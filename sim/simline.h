#pragma once

#include "deadlinetimer.h"

#include <QByteArray>
#include <QObject>
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
    // Holds the last, short USB packet of every frame for `ms` before the host gets it, as an
    // adapter without low-latency mode does.
    void setAdapterLatency(int ms) { m_adapterLatencyUs = qint64(ms) * 1000; }

    // Queues one frame, or a piece of one, to go out after `pauseMs`, behind everything
    // queued before.
    void send(const QByteArray &bytes, int pauseMs = 0);
    // Hangs up as an unplugged adapter would; nothing is read or written afterwards.
    void hangUp();
    // The rate the line runs at: the paced one, or the one the upgrader has set.
    int baud() const;
    qint64 lineTimeUs(qint64 bytes) const;
    static qint64 nowUs() { return DeadlineTimer::nowUs(); }

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
        qint64 dueUs = -1; // when it may be handed to the host, once known
        qint64 heldUs = 0; // the adapter holds it this long after the line carried it
    };

    void readMaster();
    void deliverArrived();
    void pump();
    void flushWire();
    bool waitUntil(qint64 dueUs, DeadlineTimer &timer);
    bool pacing() const { return m_paceBaud >= 0; }

    PtyPair &m_pty;
    int m_fd;
    int m_paceBaud;
    bool m_up = true;
    QSocketNotifier *m_readNotifier;
    QSocketNotifier *m_writeNotifier;
    QVector<Piece> m_pieces;   // waiting to be written, in order
    QByteArray m_outgoing;     // handed to the line, not yet taken by it
    QVector<Piece> m_arriving; // pace: received, not yet carried by the line
    DeadlineTimer m_pumpTimer;
    DeadlineTimer m_deliverTimer;
    qint64 m_adapterLatencyUs = 0;
    qint64 m_reactionUs = -1;  // pace: while bytes are handed over, when they arrived
    qint64 m_rxLineFreeUs = 0; // pace: when the line has delivered what was received
    qint64 m_txLineFreeUs = 0; // pace: when the line has sent what was written
};
