#pragma once

#include <QByteArray>
#include <QRandomGenerator>
#include <QVector>

// Misbehaviour on purpose, to exercise the upgrader; every random choice comes from one seed.
struct FaultOptions
{
    quint32 seed = 1;
    bool split = false;        // write every frame in random pieces with short pauses
    double noise = 0;          // probability of garbage bytes before a frame
    double corruptCrc = 0;     // probability that a request goes out with a wrong CRC
    bool badLength = false;    // once, a frame header with length field 0
    bool shortRequest = false; // once, a ReadDataCmd with 3 payload bytes
};

// Turns the module's frames into what actually goes on the line.
class FaultInjector
{
public:
    struct Piece
    {
        QByteArray bytes;
        int pauseMs = 0; // before the piece
    };

    explicit FaultInjector(const FaultOptions &options);
    // The pieces a frame goes out in: perhaps garbage first, perhaps cut up.
    QVector<Piece> shape(const QByteArray &frame);
    // A request as sent this time: now and then with a broken CRC.
    QByteArray corrupted(const QByteArray &request);
    // The malformed frames sent once per upgrade, before the first request.
    QVector<QByteArray> onceBeforeServing() const;

private:
    bool chance(double probability);

    FaultOptions m_options;
    QRandomGenerator m_random;
};
