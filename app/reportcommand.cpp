// The yield report, read from the results store without a window.

#include "reportcommand.h"

#include "commandline.h"
#include "consoleoutput.h"
#include "reportfile.h"
#include "resultsreport.h"

namespace {

int refused(const QString &message)
{
    printLine(stderr, QStringLiteral("rw47hn-upgrader: ") + message);
    return 2;
}

// `bytes` to stdout for -, else written whole to the file; false when that failed.
bool deliver(const QString &path, const QByteArray &bytes)
{
    if (path == QLatin1String("-")) {
        // As written to a file: printLine adds the last line break back.
        const QString text = QString::fromUtf8(bytes);
        printLine(stdout, text.endsWith(QLatin1Char('\n')) ? text.chopped(1) : text);
        return true;
    }
    const QString problem = writeWholeFile(path, bytes);
    if (!problem.isEmpty())
        refused(QStringLiteral("cannot write %1: %2").arg(path, problem));
    return problem.isEmpty();
}

// Records still in the outbox are in no report of the server's: said, not hidden.
void sayWaiting(const ResultsTarget &target)
{
    ResultsTarget outbox = ResultsTarget::byDefault();
    outbox.path = ResultsTarget::outboxPath();
    ResultsDatabase database(outbox, ResultsDatabase::Use::Read);
    QString problem;
    if (database.open(&problem) != ResultsDatabase::Outcome::Done)
        return;
    if (const int waiting = database.waitingCount(target.display()); waiting > 0)
        printLine(stderr, QStringLiteral("rw47hn-upgrader: %1 record(s) still wait in %2 for %3 "
                                         "and are not in this report")
                              .arg(waiting)
                              .arg(outbox.path, target.display()));
}

} // namespace

int runReport(const CommandLine &line)
{
    surviveClosedConsole();
    const QCommandLineParser &parser = line.parser;
    const ResultsTarget target = line.resultsTarget();
    QDateTime since;
    QDateTime until;
    parseReportTime(parser.value(line.since), false, &since);
    parseReportTime(parser.value(line.until), true, &until);
    QString problem;
    ResultsDatabase database(target, ResultsDatabase::Use::Read);
    if (database.open(&problem) != ResultsDatabase::Outcome::Done)
        return refused(QStringLiteral("cannot read %1: %2").arg(target.display(), problem));
    const std::vector<ModuleRow> rows = database.rows(since, until, &problem);
    if (!problem.isEmpty())
        return refused(QStringLiteral("cannot read %1: %2").arg(target.display(), problem));
    if (target.isServer())
        sayWaiting(target);
    const YieldReport report = YieldReport::of(rows);
    bool written = true;
    if (parser.isSet(line.json))
        written = deliver(parser.value(line.json), report.json()) && written;
    if (parser.isSet(line.csv))
        written = deliver(parser.value(line.csv), report.csv()) && written;
    if (!parser.isSet(line.json) && !parser.isSet(line.csv))
        printLine(stdout, report.table().trimmed());
    return written ? 0 : 2;
}
