// Upgrades without a window: every port given, at once, with summaries for scripts.

#include "headlessrunner.h"

#include "consoleoutput.h"
#include "interruptwatcher.h"
#include "modulereports.h"
#include "reportfile.h"
#include "resultstore.h"

#include <QFile>
#include <QFileInfo>

namespace {

QString cannotWrite(const QString &path, const QString &reason)
{
    return QStringLiteral("rw47hn-upgrader: cannot write %1: %2").arg(path, reason);
}

} // namespace

HeadlessRunner::HeadlessRunner(const HeadlessOptions &options, QObject *parent)
    : QObject(parent), m_options(options),
      // From here on, also while the image loads: a signal then ends the run at once.
      m_interrupts(new InterruptWatcher(
          "rw47hn-upgrader: interrupted before any port was opened; nothing was sent", this))
{
    m_progress.setInterval(1000);
    connect(&m_progress, &QTimer::timeout, this, &HeadlessRunner::printProgress);
}

HeadlessRunner::~HeadlessRunner() = default;

QString HeadlessRunner::prepare()
{
    if (const QString problem = loadSharedImage(m_options.image, &m_image); !problem.isEmpty())
        return problem;
    if (m_options.results.kind == ResultsTarget::Kind::None)
        return {};
    m_store = std::make_unique<ResultStore>(m_options.results, m_options.stationName);
    return m_store->open();
}

void HeadlessRunner::start()
{
    m_reports = std::make_unique<ModuleReports>(m_options.jsonLinesPath, m_store.get());
    // Each --port of a plain run is one module, reported whatever happens to it; a loop
    // serves whatever comes, and a port that fails at once is no module of its.
    m_options.recordPortFaults = !m_options.loop;
    connect(m_interrupts, &InterruptWatcher::interrupted, this, &HeadlessRunner::interrupt);
    // One listing serves every position that looks within a poll of another.
    m_options.listPorts = listedAtMostEvery(m_options.listPorts, 200);
    for (const QString &port : qAsConst(m_options.ports)) {
        m_stations.push_back(std::make_unique<PortStation>(port, m_options, m_image));
        PortStation *station = m_stations.back().get();
        connect(station, &PortStation::moduleEnded, this, &HeadlessRunner::moduleEnded);
        connect(station, &PortStation::portFault, this, &HeadlessRunner::portFault);
        connect(station, &PortStation::done, this, &HeadlessRunner::stationDone);
    }
    m_progress.start();
    // Ports open from here on: a signal now ends what runs as interrupted, with reports.
    m_interrupts->watch();
    for (const auto &station : m_stations)
        station->start();
}

void HeadlessRunner::moduleEnded(const ModuleRecord &record)
{
    m_modulesStatus = qMax(m_modulesStatus, record.exitStatus());
    // A log that could not be written is an output lost, as a report would be.
    if (!record.logProblem.isEmpty())
        m_writeFailed = true;
    if (!m_options.jsonPath.isEmpty())
        m_records.push_back(record);
    m_reports->report(record);
}

void HeadlessRunner::portFault(const ModuleRecord &attempt, int retryMs)
{
    printLine(stderr, QStringLiteral("rw47hn-upgrader: %1: %2; trying again in %3 s")
                          .arg(attempt.label(), attempt.reason.text())
                          .arg(retryMs / 1000));
}

void HeadlessRunner::stationDone()
{
    if (m_interrupting)
        return; // interrupt() finishes once every station has been told
    for (const auto &station : m_stations) {
        if (!station->isDone())
            return;
    }
    finish();
}

void HeadlessRunner::interrupt(int signalNumber)
{
    m_interrupting = true;
    bool duringModule = false;
    for (const auto &station : m_stations)
        duringModule = station->interrupt() || duringModule;
    m_interrupting = false;
    if (duringModule)
        m_interruptStatus = 128 + signalNumber;
    finish();
}

void HeadlessRunner::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    m_progress.stop();
    if (m_reports && !m_reports->waitForAll())
        m_writeFailed = true;
    int status = qMax(m_interruptStatus, m_modulesStatus);
    if (!m_options.jsonPath.isEmpty() && !writeJson())
        m_writeFailed = true;
    if (m_writeFailed)
        status = qMax(status, 2);
    sayWaiting();
    m_interrupts->release();
    emit finished(status);
}

void HeadlessRunner::printProgress()
{
    QStringList parts;
    for (const auto &station : m_stations) {
        if (station->current() != nullptr)
            parts << station->current()->progressText();
    }
    if (!parts.isEmpty())
        printLine(stderr, QStringLiteral("progress: ") + parts.join(QStringLiteral(", ")));
}

// Written whole or not at all: a report that is a file is replaced only by a complete one; a
// device or a FIFO is written as it is.
bool HeadlessRunner::writeJson()
{
    const QString problem = writeWholeFile(m_options.jsonPath, recordsJson(m_records));
    if (problem.isEmpty())
        return true;
    printLine(stderr, cannotWrite(m_options.jsonPath, problem));
    return false;
}

// Kept, not lost: the next run that reaches the server delivers them.
void HeadlessRunner::sayWaiting()
{
    const int waiting = m_store ? m_store->waitingCount() : 0;
    if (waiting > 0)
        printLine(stderr, QStringLiteral("rw47hn-upgrader: %1 record(s) wait in %2 for %3")
                              .arg(waiting)
                              .arg(ResultsTarget::outboxPath(), m_store->target().display()));
}
