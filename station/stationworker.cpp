// The station's serving side: every position on one thread without widgets.

#include "stationworker.h"

#include "consoleoutput.h"
#include "modulereports.h"
#include "portidentity.h"
#include "resultstore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

namespace {

// The window hears how each position goes this often, at most.
constexpr int SnapshotMs = 100;

// Whether `path` can take a line; why not, or empty. A file made to find out goes again.
// A device or FIFO is written through as it is and not tried here.
QString appendProblem(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir())
        return StationWorker::tr("是一个文件夹");
    if (info.exists() && !info.isFile())
        return {};
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return file.errorString();
    file.close();
    if (!info.exists())
        file.remove();
    return {};
}

// Whether a file can be made in `folder`, made with its parents as --log-dir is.
QString folderProblem(const QString &folder)
{
    if (!QDir().mkpath(folder))
        return StationWorker::tr("无法创建文件夹");
    QTemporaryFile probe(QDir(folder).filePath(QStringLiteral("rw47hn-XXXXXX.check")));
    return probe.open() ? QString() : probe.errorString();
}

// A station that could not keep its records must not start: why, or empty.
QString outputProblem(const StationSetup &setup)
{
    if (!setup.jsonLinesPath.isEmpty()) {
        if (const QString problem = appendProblem(setup.jsonLinesPath); !problem.isEmpty())
            return StationWorker::tr("结果文件无法写入 %1: %2").arg(setup.jsonLinesPath, problem);
    }
    if (!setup.logDir.isEmpty()) {
        if (const QString problem = folderProblem(setup.logDir); !problem.isEmpty())
            return StationWorker::tr("日志文件夹无法写入 %1: %2").arg(setup.logDir, problem);
    }
    return {};
}

// What the tile says of a record not kept whole: its log, its JSON line, its row, each by
// what failed; empty when all were kept.
QString writeProblemOf(const QString &logProblem, const QString &jsonLinesPath,
                       const ModuleReports::Lost &lost)
{
    QStringList problems;
    if (!logProblem.isEmpty())
        problems << logProblem;
    if (!lost.line.isEmpty())
        problems << StationWorker::tr("结果未写入 %1: %2").arg(jsonLinesPath, lost.line);
    if (!lost.row.isEmpty())
        problems << StationWorker::tr("结果库未写入: %1").arg(lost.row);
    return problems.join(QStringLiteral("; "));
}

EndReason ownCopy(const EndReason &reason)
{
    EndReason copy = reason;
    copy.detail = ::ownCopy(reason.detail);
    return copy;
}

} // namespace

StationWorker::StationWorker(Report report, Listener listener,
                             std::shared_ptr<std::atomic<int>> waiting)
    : m_report(std::move(report)), m_listener(std::move(listener)), m_waiting(std::move(waiting)),
      m_poll(new QTimer(this))
{
    m_poll->setInterval(SnapshotMs);
    connect(m_poll, &QTimer::timeout, this, &StationWorker::poll);
    // Sixteen waiting positions would otherwise list the system's ports 64 times a second.
    m_options.listPorts = listedAtMostEvery(systemPorts, 200);
    m_options.wait = true;
    // A port that fails at once is the station's fault, shown on its tile, not a module.
    m_options.recordPortFaults = false;
}

StationWorker::~StationWorker()
{
    stopAll();
    m_positions.clear();
}

void StationWorker::configure(const StationSetup &setup, const QDateTime &countedSince)
{
    if (anyStarted())
        return;
    m_options.baud = setup.baud;
    m_options.timeoutSeconds = setup.timeoutSeconds;
    m_options.logDir = setup.logDir;
    m_options.loop = setup.mode == StartMode::PortAppears;
    m_serialScan = setup.serialScan;
    const QString storeKey = setup.results + QLatin1Char('\n') + stationNameOf(setup);
    if (!m_reports || setup.jsonLinesPath != m_options.jsonLinesPath || storeKey != m_storeKey) {
        m_reports.reset(); // waits for its lines
        m_options.jsonLinesPath = setup.jsonLinesPath;
        m_storeKey = storeKey;
        m_storeProblem = useStore(setup, countedSince);
        m_reports = std::make_unique<ModuleReports>(setup.jsonLinesPath, m_store.get());
    }
    m_positions.clear();
    m_positions.resize(size_t(setup.positions.size()));
    for (int i = 0; i < setup.positions.size(); ++i)
        m_positions[size_t(i)].setup = setup.positions.at(i);
    m_info.outputProblem = outputProblem(setup);
    if (m_info.outputProblem.isEmpty())
        m_info.outputProblem = m_storeProblem;
    if (setup.image != m_info.path)
        loadImage(setup.image);
    else
        freshImage();
    reportImage();
}

void StationWorker::reportImage()
{
    m_report([listener = m_listener, info = ownCopy(m_info)] { listener.image(info); });
}

void StationWorker::reloadImage()
{
    if (anyStarted())
        return;
    loadImage(m_info.path);
    reportImage();
}

bool StationWorker::freshImage()
{
    const QFileInfo file(m_info.path);
    if (m_info.path.isEmpty())
        return false;
    if (file.size() != m_loadedSize || file.lastModified() != m_loadedTime) {
        loadImage(m_info.path);
        reportImage();
    }
    return !m_image.data.isEmpty();
}

void StationWorker::loadImage(QString path)
{
    const QString outputs = m_info.outputProblem;
    m_info = ImageInfo();
    m_info.path = path;
    m_info.outputProblem = outputs;
    // Taken before the read: a file replaced while it is read is read again next time.
    const QFileInfo file(path);
    m_loadedSize = file.size();
    m_loadedTime = file.lastModified();
    SharedImage image;
    if (!path.isEmpty())
        m_info.problem = loadSharedImage(path, &image);
    m_image = image;
    m_info.size = m_image.data.size();
    m_info.sha256 = m_image.sha256;
}

void StationWorker::start(int index)
{
    if (index < 0 || index >= int(m_positions.size()) || !m_info.outputProblem.isEmpty() ||
        !freshImage())
        return;
    Position &position = m_positions[size_t(index)];
    if (m_serialScan == SerialScan::Required && position.scannedSerial.isEmpty())
        return;
    if (position.station && !position.station->isDone()) {
        position.station->startNextNow();
        poll();
        return;
    }
    position.station = std::make_unique<PortStation>(position.setup.port, m_options, m_image);
    position.station->checkBeforeEachModule(
        [this, index](SharedImage *image, QString *moduleSerial) {
            return nextModule(index, image, moduleSerial);
        });
    connect(position.station.get(), &PortStation::moduleEnded, this,
            [this, index](const ModuleRecord &record) { moduleEnded(index, record); });
    connect(position.station.get(), &PortStation::portFault, this,
            [this, index](const ModuleRecord &attempt) { portFault(index, attempt); });
    position.station->start();
    m_poll->start();
    poll();
}

void StationWorker::setSerial(int index, const QString &serial)
{
    if (index < 0 || index >= int(m_positions.size()) || m_serialScan == SerialScan::Off)
        return;
    m_positions[size_t(index)].scannedSerial = serial;
    poll();
}

// The serial is taken by the module that starts; a position that requires one holds its
// module, the port present and all, until one is scanned.
PortStation::Verdict StationWorker::nextModule(int index, SharedImage *image, QString *moduleSerial)
{
    if (!freshImage())
        return PortStation::Verdict::End;
    QString &scanned = m_positions[size_t(index)].scannedSerial;
    if (m_serialScan == SerialScan::Required && scanned.isEmpty())
        return PortStation::Verdict::Hold;
    *image = m_image;
    *moduleSerial = scanned;
    scanned.clear();
    return PortStation::Verdict::Go;
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

// Printed as a headless run prints it; shown once its line is written, so that a tile never
// shows a pass whose record was lost.
void StationWorker::moduleEnded(int index, const ModuleRecord &record)
{
    StationRecord ended{index, record, record.logProblem};
    ended.module.position = m_positions[size_t(index)].setup.label;
    // Runs on the file's thread: it touches nothing of this object's but what is const.
    m_reports->report(ended.module,
                      [this, path = ownCopy(m_options.jsonLinesPath),
                       ended = ownCopy(ended)](const ModuleReports::Lost &lost) mutable {
                          ended.writeProblem = writeProblemOf(ended.writeProblem, path, lost);
                          deliver(ended);
                      });
    // The position has ended its module; the next look says what it does now, even when the
    // module ended within Start, before any look had been sent.
    m_positions[size_t(index)].sent.activity = PositionActivity::Ended;
    poll();
}

// From any thread: m_report and m_listener do not change after construction.
void StationWorker::deliver(const StationRecord &record)
{
    m_report([listener = m_listener, record = ownCopy(record)] { listener.record(record); });
}

void StationWorker::portFault(int index, const ModuleRecord &attempt)
{
    // No module was upgraded: the serial waits for the one that will be.
    QString &scanned = m_positions[size_t(index)].scannedSerial;
    if (scanned.isEmpty())
        scanned = attempt.moduleSerial;
    printLine(
        stderr,
        QStringLiteral("rw47hn-upgrader: %1: %2").arg(attempt.label(), attempt.reason.text()));
    m_report([listener = m_listener, index, reason = ownCopy(attempt.reason)] {
        listener.fault(index, reason);
    });
    poll();
}

PositionSnapshot StationWorker::snapshot(const Position &position) const
{
    PositionSnapshot now;
    now.scannedSerial = position.scannedSerial;
    if (!position.station || position.station->isDone())
        return now;
    if (const PortUpgrade *module = position.station->current()) {
        const UpgradeFigures figures = module->liveFigures();
        now.activity = PositionActivity::Upgrading;
        now.moduleSerial = module->record().moduleSerial;
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
    if (changed) {
        for (PositionSnapshot &snapshot : snapshots)
            snapshot = ownCopy(snapshot);
        m_report([listener = m_listener, snapshots] { listener.snapshots(snapshots); });
    }
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
