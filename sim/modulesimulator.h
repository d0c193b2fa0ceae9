#pragma once

#include "framereader.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <vector>

class QSocketNotifier;

struct SimulatorOptions
{
    int chunk = 1024;           // bytes asked for per ReadDataCmd
    int replyTimeoutMs = 1000;  // a request without a valid reply is sent again after this
    int maxRetries = 5;         // then the upgrade is given up and reported failed
};

// Plays the module's side of an upgrade on the master side of a pty: waits for the AT command
// and the start frame, answers OK, agrees on 115200 baud, requests the whole image slice by
// slice, checks every reply against the image it expects, and reports the result.
// Afterwards it waits for the next AT command, as a module that rebooted would.
class ModuleSimulator : public QObject
{
    Q_OBJECT

public:
    ModuleSimulator(int masterFd, const QByteArray &expectedImage,
                    const SimulatorOptions &options = {}, QObject *parent = nullptr);

    struct Stats
    {
        qint64 bytesVerified = 0; // image bytes that came back right
        int requests = 0;         // ReadDataCmd frames sent, retries included
        int mismatches = 0;       // replies whose content was wrong
        qint64 elapsedMs = 0;     // from the first request to the result
    };
    const Stats &stats() const { return m_stats; }
    QString summary() const;

signals:
    void finished(bool succeeded);

private:
    enum class Phase { WaitAt, WaitStart, WaitBaudReply, Serving };

    void readMaster();
    void handleBytes(const QByteArray &bytes);
    void handleFrame(const FrameReader::Frame &frame);
    void startServing();
    void checkBaudReply(const FrameReader::Frame &frame);
    void checkReadReply(const FrameReader::Frame &frame);
    void requestNextSlice();
    void sendAwaitingReply(uint8_t opcode, const std::vector<uint8_t> &payload);
    void onReplyTimeout();
    void finish(bool succeeded);
    void writeWire(const QByteArray &bytes);
    void flushWire();

    int m_fd;
    QByteArray m_image;
    SimulatorOptions m_options;
    QSocketNotifier *m_readNotifier;
    QSocketNotifier *m_writeNotifier;
    QByteArray m_outgoing;
    Phase m_phase = Phase::WaitAt;
    QByteArray m_text;
    FrameReader m_reader;
    QTimer m_replyTimer;
    QByteArray m_lastRequest; // resent on a timeout
    int m_retries = 0;
    quint32 m_address = 0;
    quint32 m_count = 0;
    QElapsedTimer m_clock;
    Stats m_stats;
};
