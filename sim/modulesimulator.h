#pragma once

#include "framereader.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QRandomGenerator>
#include <QTimer>
#include <QVector>

#include <cstdint>
#include <vector>

class PtyPair;
class QSocketNotifier;

struct SimulatorOptions
{
    int chunk = 1024;          // bytes asked for per ReadDataCmd
    int replyTimeoutMs = 1000; // a request without a valid reply is sent again after this
    int maxRetries = 5;        // then the upgrade is given up and reported failed
    // Pace reads and writes to the time the bytes take on the line (8N1) at the rate the
    // upgrader has set on the pty, as a real module's UART would.
    bool pace = false;
    int paceBaud = 0; // when pacing, this rate instead of the one set on the pty

    // Misbehaviour on purpose, to exercise the upgrader; all random choices come from `seed`.
    quint32 seed = 1;
    bool split = false;        // write every frame in random pieces with short pauses
    double noise = 0;          // probability of garbage bytes before a frame
    double corruptCrc = 0;     // probability that a request goes out with a wrong CRC
    bool badLength = false;    // once, a frame header with length field 0
    bool shortRequest = false; // once, a ReadDataCmd with 3 payload bytes
    int dropAfter = -1;        // hang up the line after this many requests
    bool silent = false;       // never answer anything
};

// Plays the module's side of an upgrade on the master side of a pty: waits for the AT command
// and the start frame, answers OK, agrees on 115200 baud, requests the whole image slice by
// slice, checks every reply against the image it expects, and reports the result.
// Afterwards it waits for the next AT command, as a module that rebooted would.
class ModuleSimulator : public QObject
{
    Q_OBJECT

public:
    ModuleSimulator(PtyPair &line, const QByteArray &expectedImage,
                    const SimulatorOptions &options = {}, QObject *parent = nullptr);

    struct Stats
    {
        qint64 bytesVerified = 0;     // image bytes that came back right
        int requests = 0;             // ReadDataCmd frames sent, retries included
        int mismatches = 0;           // replies whose content was wrong, or unasked for
        int timeouts = 0;             // requests sent again for want of a valid reply
        qint64 elapsedMs = 0;         // from the first request to the result
        qint64 lineBytes = 0;         // bytes of all requests and replies on the line
        QVector<qint64> turnaroundUs; // last request byte out to first reply byte in
    };
    const Stats &stats() const { return m_stats; }
    QString summary() const;
    // Turnaround percentiles and line use, one line of key=value pairs for tools.
    QString statsLine() const;

signals:
    void finished(bool succeeded);
    void lineDropped();

private:
    enum class Phase { WaitAt, WaitStart, WaitBaudReply, Serving, Gone };
    struct Piece
    {
        QByteArray bytes;
        int pauseMs = 0;   // before the piece
        qint64 dueUs = -1; // pace: when its last byte has left the UART, once known
    };

    void readMaster();
    void receive(const QByteArray &bytes);
    void deliverArrived();
    void handleBytes(const QByteArray &bytes);
    void handleFrame(const FrameReader::Frame &frame);
    void checkBaudReply(const FrameReader::Frame &frame);
    void checkReadReply(const FrameReader::Frame &frame);
    void startServing();
    void requestNextSlice();
    void sendAwaitingReply(uint8_t opcode, const std::vector<uint8_t> &payload);
    void sendRequestOnce();
    void onReplyTimeout();
    void finish(bool succeeded);
    void hangUp();

    void sendFrame(const QByteArray &frame);
    void queue(const QByteArray &bytes, int pauseMs = 0);
    void pump();
    void flushWire();
    bool waitUntil(qint64 dueUs, QTimer &timer);
    bool chance(double probability);
    qint64 lineTimeUs(qint64 bytes) const;

    PtyPair &m_line;
    int m_fd;
    QByteArray m_image;
    SimulatorOptions m_options;
    QRandomGenerator m_random;
    QSocketNotifier *m_readNotifier;
    QSocketNotifier *m_writeNotifier;
    QVector<Piece> m_pieces; // waiting to be written, in order
    QTimer m_pumpTimer;
    QByteArray m_outgoing;     // handed to the line, not yet taken by it
    QVector<Piece> m_arriving; // pace: received, not yet carried by the line
    QTimer m_deliverTimer;
    Phase m_phase = Phase::WaitAt;
    QByteArray m_text;
    FrameReader m_reader;
    QTimer m_replyTimer;
    QByteArray m_request;      // the request awaiting a reply; resent on a timeout
    QByteArray m_previousEcho; // echo of the request before it: late duplicates are fine
    int m_retries = 0;
    quint32 m_address = 0;
    quint32 m_count = 0;
    bool m_misbehavedOnce = false;
    QElapsedTimer m_clock;
    QElapsedTimer m_lineClock;
    qint64 m_rxLineFreeUs = 0; // pace: when the line has delivered what was received
    qint64 m_txLineFreeUs = 0; // pace: when the line has sent what was written
    qint64 m_requestSentUs = -1;
    Stats m_stats;
};
