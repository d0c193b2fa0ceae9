#include "simstats.h"

#include <algorithm>
#include <cmath>

namespace {

// The p-th percentile of `values`, nearest rank; -1 when there are none.
qint64 percentile(QVector<qint64> values, double p)
{
    if (values.isEmpty())
        return -1;
    std::sort(values.begin(), values.end());
    const int rank = qBound(0, int(std::ceil(p / 100.0 * values.size())) - 1, values.size() - 1);
    return values.at(rank);
}

} // namespace

QString SimStats::summary() const
{
    const double seconds = elapsedMs / 1000.0;
    const double rate = seconds > 0 ? bytesVerified / seconds : 0.0;
    return QStringLiteral("%1 bytes, %2 requests, %3 s, %4 bytes/s")
        .arg(bytesVerified)
        .arg(requests)
        .arg(seconds, 0, 'f', 3)
        .arg(qRound64(rate));
}

QJsonObject SimStats::toJson(int baud) const
{
    // The first and the last hundred exchanges: a tool that slows down shows it at the end.
    const QVector<qint64> first = turnaroundUs.mid(0, 100);
    const QVector<qint64> last = turnaroundUs.mid(qMax(0, turnaroundUs.size() - 100));
    return {{QStringLiteral("bytes"), bytesVerified},
            {QStringLiteral("requests"), requests},
            {QStringLiteral("mismatches"), mismatches},
            {QStringLiteral("timeouts"), timeouts},
            {QStringLiteral("elapsed_ms"), elapsedMs},
            {QStringLiteral("line_bytes"), lineBytes},
            {QStringLiteral("baud"), baud},
            {QStringLiteral("first_p50_us"), percentile(first, 50)},
            {QStringLiteral("first_p99_us"), percentile(first, 99)},
            {QStringLiteral("last_p50_us"), percentile(last, 50)},
            {QStringLiteral("last_p99_us"), percentile(last, 99)}};
}
