#pragma once

#include <QJsonObject>
#include <QString>
#include <QVector>

// What the simulated module counts during one upgrade, and its reports for people and tools.
struct SimStats
{
    qint64 bytesVerified = 0;     // image bytes that came back right
    int requests = 0;             // ReadDataCmd frames sent, retries included
    int mismatches = 0;           // replies whose content was wrong, or unasked for
    int timeouts = 0;             // requests sent again for want of a valid reply
    qint64 elapsedMs = 0;         // from the first request to the result
    qint64 lineBytes = 0;         // bytes of all requests and replies on the line
    QVector<qint64> turnaroundUs; // last request byte out to first reply byte in

    // "N bytes, N requests, S s, N bytes/s"
    QString summary() const;
    // Counts, line use at `baud` and turnaround percentiles, for the benchmark.
    QJsonObject toJson(int baud) const;
};
