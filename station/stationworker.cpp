// The station's serving side: every position on one thread without widgets.

#include "stationworker.h"

#include "consoleoutput.h"
#include "jsonlinesfile.h"
#include "portidentity.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// The window hears how each position goes this often, at most.
constexpr int SnapshotMs = 100;

ModuleOutcome outcomeOf(PortUpgrade::Outcome outcome)
{
    switch (outcome) {
    case PortUpgrade::Outcome::Ok:
        return ModuleOutcome::Passed;
    case PortUpgrade::Outcome::Failed:
        return ModuleOutcome::Failed;
    case PortUpgrade::Outcome::Running:
    case PortUpgrade::Outcome::Error:
        break;
    }
    return ModuleOutcome::Error;
}

} // namespace

StationWorker::StationWorker(Report report, Listener listener)
    : m_report(std::move(report)), m_listener(std::move(listener)), m_poll(new QTimer(this))
{
    m_poll->setInterval(SnapshotMs);
    connect(m_poll, &QTimer::timeout, this, &StationWorker::poll);
    // Sixteen waiting positions would otherwise list the system's ports 64 times a second.
    m_options.listPorts = listedAtMostEvery(systemPorts, 200);
}

StationWorker::~StationWorker()
{
    stopAll();
    m_positions.clear();
}

void StationWorker::configure(const StationSetup &setup)
{
    if (anyStarted())
        return;
    m_options.baud = setup.baud;
    m_options.timeoutSeconds = setup.timeoutSeconds;
    m_options.logDir = setup.logDir;
    // As --log-dir: a folder that is not there yet is made; one that cannot be is said in
    // each module's log failure.
    if (!setup.logDir.isEmpty())
        QDir().mkpath(setup.logDir);
    m_options.loop = setup.mode == StartMode::PortAppears;
    m_options.wait = true;
    if (setup.jsonLinesPath != m_options.jsonLinesPath) {
        m_jsonLines.reset(); // waits for its lines
        m_options.jsonLinesPath = setup.jsonLinesPath;
        if (!setup.jsonLinesPath.isEmpty())
            m_jsonLines = std::make_unique<JsonLinesFile>(setup.jsonLinesPath);
    }
    m_positions.clear();
    m_positions.resize(size_t(setup.positions.size()));
    for (int i = 0; i < setup.positions.size(); ++i)
        m_positions[size_t(i)].setup = setup.positions.at(i);
    if (setup.image == m_image.path && !m_image.data.isEmpty())
        return;
    ImageInfo info;
    info.path = setup.image;
    SharedImage image;
    if (!setup.image.isEmpty())
        info.problem = loadSharedImage(setup.image, &image);
    m_image = image;
    info.size = m_image.data.size();
    info.sha256 = m_image.sha256;
    m_report([listener = m_listener, info = ownCopy(info)] { listener.image(info); });
}

void StationWorker::start(int index)
{
    if (index < 0 || index >= int(m_positions.size()) || m_image.data.isEmpty())
        return;
    Position &position = m_positions[size_t(index)];
    if (position.station && !position.station->isDone())
        return;
    position.station = std::make_unique<PortStation>(position.setup.port, m_options, m_image);
    connect(
        position.station.get(), &PortStation::moduleEnded, this,
        [this, index](const std::shared_ptr<PortUpgrade> &module) { moduleEnded(index, module); });
    position.station->start();
    m_poll->start();
    poll();
}

// A module being upgraded ends as interrupted and is reported; a wait for one just ends.
void StationWorker::stop(int index)
{
    if (index < 0 || index >= int(m_positions.size()))
        return;
    Position &position = m_positions[size_t(index)];
    if (!position.station)
        return;
    if (position.station->current() != nullptr)
        position.station->interrupt();
    position.station.reset();
    poll();
}

void StationWorker::stopAll()
{
    for (int i = 0; i < int(m_positions.size()); ++i)
        stop(i);
}

void StationWorker::moduleEnded(int index, const std::shared_ptr<PortUpgrade> &module)
{
    m_positions[size_t(index)].lastModule = module;
    printLine(stdout, module->summaryLine()); // as a headless run prints it
    if (m_jsonLines) {
        QJsonObject json = module->toJson();
        json.insert(QStringLiteral("position"), m_positions[size_t(index)].setup.label);
        m_jsonLines->append(QJsonDocument(json).toJson(QJsonDocument::Compact));
    }
    m_report([listener = m_listener, record = ownCopy(record(index, *module))] {
        listener.record(record);
    });
    // The record shows the position as ended; the next look says what it does now, even when
    // the module ended within Start, before any look had been sent.
    m_positions[size_t(index)].sent.activity = PositionActivity::Ended;
    poll();
}

ModuleRecord StationWorker::record(int index, const PortUpgrade &module) const
{
    const QJsonObject json = module.toJson();
    ModuleRecord record;
    record.endedMs = QDateTime::currentMSecsSinceEpoch();
    record.position = index;
    record.label = m_positions[size_t(index)].setup.label;
    record.port = module.port();
    record.outcome = outcomeOf(module.outcome());
    record.result = json.value(QStringLiteral("result")).toInt(-1);
    record.seconds = json.value(QStringLiteral("seconds")).toDouble();
    record.bytes = qint64(json.value(QStringLiteral("bytes")).toDouble());
    record.reason = json.value(QStringLiteral("reason")).toString();
    record.logPath = module.logFilePath();
    record.summary = module.summaryLine();
    return record;
}

PositionSnapshot StationWorker::snapshot(const Position &position) const
{
    PositionSnapshot now;
    if (!position.station || position.station->isDone())
        return now;
    if (const PortUpgrade *module = position.station->current()) {
        const UpgradeFigures figures = module->liveFigures();
        now.activity = PositionActivity::Upgrading;
        now.servedBytes = figures.servedBytes;
        now.elapsedMs = figures.elapsedMs;
        return now;
    }
    now.activity =
        position.station->waitsForModule() ? PositionActivity::Waiting : PositionActivity::Ended;
    return now;
}

// Sent only when something changed; stopped when no position is started.
void StationWorker::poll()
{
    bool changed = false;
    std::vector<PositionSnapshot> snapshots;
    for (Position &position : m_positions) {
        snapshots.push_back(snapshot(position));
        changed = changed || snapshots.back() != position.sent;
        position.sent = snapshots.back();
    }
    if (changed)
        m_report([listener = m_listener, snapshots] { listener.snapshots(snapshots); });
    if (!anyStarted())
        m_poll->stop();
}

bool StationWorker::anyStarted() const
{
    for (const Position &position : m_positions) {
        if (position.station && !position.station->isDone())
            return true;
    }
    return false;
}
