// The station's totals and history, read back from the results store.

#include "stationstore.h"

#include "resultsdatabase.h"
#include "stationsetup.h"

#include <QRegularExpression>
#include <QSettings>
#include <QSysInfo>

namespace {

const char *const SinceKey = "counted_since";

ModuleRecord::Status statusOf(const QString &code)
{
    if (code == QLatin1String("ok"))
        return ModuleRecord::Status::Ok;
    return code == QLatin1String("failed") ? ModuleRecord::Status::Failed
                                           : ModuleRecord::Status::Error;
}

// The reason again from its code, so that the window shows it in its language; the figure in
// its words (the seconds, the rate) is the only part that varies.
EndReason reasonOf(const QString &code, const QString &words)
{
    const QRegularExpressionMatch figure = QRegularExpression(QStringLiteral("\\d+")).match(words);
    const qint64 number = figure.hasMatch() ? figure.captured().toLongLong() : 0;
    using Kind = EndReason::Kind;
    if (code == QLatin1String("interrupted"))
        return EndReason::of(Kind::Interrupted);
    if (code == QLatin1String("no_answer"))
        return EndReason::of(Kind::NoAnswer, LinkError::NoError, number);
    if (code == QLatin1String("port_lost"))
        return EndReason::of(Kind::PortLost, linkError(QSerialPort::ResourceError));
    if (code == QLatin1String("rate_switch_failed"))
        return EndReason::of(Kind::RateSwitchFailed, linkError(QSerialPort::UnknownError), number);
    if (code == QLatin1String("cannot_open"))
        return EndReason::of(Kind::CannotOpen, linkError(QSerialPort::UnknownError));
    return code.isEmpty() ? EndReason() : EndReason::of(Kind::PortNotFound, {}, 0, words);
}

// Enough of the record for a history row: what it shows and its summary line.
ModuleRecord recordOf(const ModuleRow &row)
{
    const auto text = [&](const char *name) { return row.value(QLatin1String(name)).toString(); };
    ModuleRecord record;
    record.id = text("id");
    record.position = text("position");
    record.port = text("port");
    record.device = text("device");
    record.started = QDateTime::fromString(text("started"), Qt::ISODateWithMs).toLocalTime();
    record.ended = QDateTime::fromString(text("ended"), Qt::ISODateWithMs).toLocalTime();
    record.status = statusOf(text("status"));
    const QVariant result = row.value(QStringLiteral("result"));
    record.result = result.isNull() ? -1 : result.toInt();
    record.bytes = row.value(QStringLiteral("bytes")).toLongLong();
    record.reason = reasonOf(text("reason_code"), text("reason"));
    return record;
}

} // namespace

StoredTotals ownCopy(const StoredTotals &totals)
{
    StoredTotals copy;
    for (const StationRecord &record : totals.history)
        copy.history.append(ownCopy(record));
    copy.passed = totals.passed;
    copy.failed = totals.failed;
    copy.since = QDateTime::fromMSecsSinceEpoch(totals.since.toMSecsSinceEpoch());
    return copy;
}

ResultsTarget resultsTargetOf(const StationSetup &setup, QString *problem)
{
    problem->clear();
    return setup.results.isEmpty() ? ResultsTarget::byDefault()
                                   : ResultsTarget::parse(setup.results, problem);
}

QString stationNameOf(const StationSetup &setup)
{
    return setup.stationName.isEmpty() ? QSysInfo::machineHostName() : setup.stationName;
}

QDateTime countedSince()
{
    const QDateTime since = stationSettings()->value(QLatin1String(SinceKey)).toDateTime();
    if (since.isValid())
        return since;
    countFromNow(); // the first run counts from its start, and so do the runs after it
    return stationSettings()->value(QLatin1String(SinceKey)).toDateTime();
}

void countFromNow()
{
    stationSettings()->setValue(QLatin1String(SinceKey), QDateTime::currentDateTimeUtc());
}

StoredTotals readTotals(const ResultsTarget &target, const QString &station, const QDateTime &since,
                        int historyLength)
{
    StoredTotals totals;
    totals.since = since;
    ResultsDatabase database(target, ResultsDatabase::Use::Read);
    QString problem;
    if (target.kind == ResultsTarget::Kind::None ||
        database.open(&problem) != ResultsDatabase::Outcome::Done)
        return totals;
    for (const ModuleRow &row : database.rows(since, {}, &problem, station)) {
        const ModuleRecord record = recordOf(row);
        (record.status == ModuleRecord::Status::Ok ? totals.passed : totals.failed) += 1;
        if (totals.history.size() < historyLength)
            totals.history.append({-1, record, {}});
    }
    return totals;
}
