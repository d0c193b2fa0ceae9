// Upgrades without a window: every port given, at once, with summaries for scripts.

#include "headlessrunner.h"

#include "consoleoutput.h"
#include "interruptwatcher.h"
#include "jsonlinesfile.h"
#include "reportfile.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

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
    return loadSharedImage(m_options.image, &m_image);
}

void HeadlessRunner::start()
{
    if (!m_options.jsonLinesPath.isEmpty())
        m_jsonLines = std::make_unique<JsonLinesFile>(m_options.jsonLinesPath);
    connect(m_interrupts, &InterruptWatcher::interrupted, this, &HeadlessRunner::interrupt);
    // One listing serves every position that looks within a poll of another.
    m_options.listPorts = listedAtMostEvery(m_options.listPorts, 200);
    for (const QString &port : qAsConst(m_options.ports)) {
        m_stations.push_back(std::make_unique<PortStation>(port, m_options, m_image));
        PortStation *station = m_stations.back().get();
        connect(station, &PortStation::moduleEnded, this, &HeadlessRunner::moduleEnded);
        connect(station, &PortStation::done, this, &HeadlessRunner::stationDone);
    }
    m_progress.start();
    // Ports open from here on: a signal now ends what runs as interrupted, with reports.
    m_interrupts->watch();
    for (const auto &station : m_stations)
        station->start();
}

void HeadlessRunner::moduleEnded(const std::shared_ptr<PortUpgrade> &module)
{
    m_modules.push_back(module);
    printLine(stdout, module->summaryLine());
    if (m_jsonLines)
        m_jsonLines->append(QJsonDocument(module->toJson()).toJson(QJsonDocument::Compact));
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
    if (m_jsonLines && !m_jsonLines->waitForAll())
        m_writeFailed = true;
    int status = m_interruptStatus;
    for (const auto &module : m_modules)
        status = qMax(status, module->exitStatus());
    if (!m_options.jsonPath.isEmpty() && !writeJson())
        m_writeFailed = true;
    if (m_writeFailed)
        status = qMax(status, 2);
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

// Written to a temporary file beside the report and renamed over it once complete: an
// existing report is never left half-written.
bool HeadlessRunner::writeJson()
{
    QJsonArray results;
    for (const auto &module : m_modules)
        results.append(module->toJson());
    const QString problem = writeWholeFile(m_options.jsonPath, QJsonDocument(results).toJson());
    if (problem.isEmpty())
        return true;
    printLine(stderr, cannotWrite(m_options.jsonPath, problem));
    return false;
}
