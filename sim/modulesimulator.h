#pragma once

#include "faultinjector.h"
#include "framereader.h"
#include "simline.h"
#include "simstats.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <vector>

class PtyPair;

struct SimulatorOptions
{
    int chunk = 1024;          // bytes asked for per ReadDataCmd
    int replyTimeoutMs = 1000; // a request without a valid reply is sent again after this
    int maxRetries = 5;        // then the upgrade is given up and reported failed
    // Pace reads and writes to the time the bytes take on the line (8N1) at the rate the
    // upgrader has set on the pty, as a real module's UART would.
    bool pace = false;
    int paceBaud = 0; // when pacing, this rate instead of the one set on the pty
    // The host's adapter holds the short end of each request this long (no low latency).
    int adapterLatencyMs = 0;
    int result = 0; // the result byte reported after a complete upgrade

    FaultOptions faults;
    int dropAfter = -1;  // hang up the line after this many requests
    bool silent = false; // never answer anything
};

// Plays the module's side of an upgrade on the master side of a pty: waits for the AT command
// and the start frame, answers OK, agrees on 115200 baud, requests the whole image slice by
// slice, checks every reply against the image it expects, and reports the result.
// Afterwards it waits for the next AT command, as a module that rebooted would.
class ModuleSimulator : public QObject
{
    Q_OBJECT

public:
    ModuleSimulator(PtyPair &pty, const QByteArray &expectedImage,
                    const SimulatorOptions &options = {}, QObject *parent = nullptr);

    using Stats = SimStats;
    const Stats &stats() const { return m_stats; }
    int lineBaud() const { return m_line.baud(); }

signals:
    void finished(bool succeeded);
    void lineDropped();

private:
    enum class Phase { WaitAt, WaitStart, WaitBaudReply, Serving, Gone };

    void receive(const QByteArray &bytes);
    void countArrival(qint64 atUs, int size);
    void countDeparture(qint64 atUs);
    void handleFrame(uint8_t opcode, const QByteArray &payload);
    void checkBaudReply(const QByteArray &payload);
    void checkReadReply(const QByteArray &payload);
    void startServing();
    void requestNextSlice();
    void sendAwaitingReply(uint8_t opcode, const std::vector<uint8_t> &payload);
    void sendRequestOnce();
    void onReplyTimeout();
    void finish(bool succeeded);
    void hangUp();
    void sendFrame(const QByteArray &frame);

    SimLine m_line;
    FaultInjector m_faults;
    QByteArray m_image;
    SimulatorOptions m_options;
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
    qint64 m_requestSentUs = -1;
    Stats m_stats;
};
