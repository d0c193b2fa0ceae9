// Upgrades without a window: every port given, at once, with summaries for scripts.

#include "headlessrunner.h"

#include "consoleoutput.h"
#include "interruptwatcher.h"
#include "jsonlinesfile.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSerialPortInfo>

namespace {

// Ports that do not exist yet are looked for this often.
constexpr int PortPollMs = 250;

QString cannotWrite(const QString &path, const QString &reason)
{
    return QStringLiteral("rw47hn-upgrader: cannot write %1: %2").arg(path, reason);
}

} // namespace

// ---- One port ----

PortStation::PortStation(const QString &port, const HeadlessOptions &options,
                         const SharedImage &image, QObject *parent)
    : QObject(parent), m_port(port), m_options(options), m_image(image)
{
    m_poll.setInterval(PortPollMs);
    connect(&m_poll, &QTimer::timeout, this, &PortStation::poll);
}

void PortStation::start()
{
    if (m_options.wait && !portPresent()) {
        m_state = State::WaitingToAppear;
        m_poll.start();
        return;
    }
    startModule();
}

void PortStation::startModule()
{
    m_poll.stop();
    m_state = State::Upgrading;
    m_module = std::make_shared<PortUpgrade>(m_port, m_options, m_image);
    connect(m_module.get(), &PortUpgrade::ended, this, &PortStation::moduleFinished);
    m_module->start();
}

void PortStation::moduleFinished()
{
    const std::shared_ptr<PortUpgrade> module = std::move(m_module);
    const bool next = m_options.loop && !m_stopping;
    m_state = next ? State::WaitingToDisappear : State::Done;
    if (next)
        m_poll.start();
    emit moduleEnded(module);
    if (!next)
        emit done();
}

void PortStation::poll()
{
    const bool present = portPresent();
    if (m_state == State::WaitingToAppear && present)
        startModule();
    else if (m_state == State::WaitingToDisappear && !present)
        m_state = State::WaitingToAppear;
}

// A path that exists, or a name the system lists (COM ports are no files). A path is only
// looked at as a path: listing every port four times a second would cost more.
bool PortStation::portPresent() const
{
    if (QFileInfo::exists(m_port))
        return true;
    if (m_port.contains(QLatin1Char('/')))
        return false;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        if (info.portName() == m_port || info.systemLocation() == m_port)
            return true;
    }
    return false;
}

bool PortStation::interrupt()
{
    m_stopping = true;
    m_poll.stop();
    switch (m_state) {
    case State::Upgrading:
        return m_module->interrupt();
    case State::WaitingToAppear:
        if (m_options.loop)
            break;
        // The one module this port was given for never came: it is unfinished all the same.
        m_module = std::make_shared<PortUpgrade>(m_port, m_options, m_image);
        connect(m_module.get(), &PortUpgrade::ended, this, &PortStation::moduleFinished);
        return m_module->interrupt();
    case State::WaitingToDisappear:
    case State::Done:
        break;
    }
    m_state = State::Done;
    emit done();
    return false;
}

// ---- The run ----

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
    const FirmwareImage image = loadFirmwareImage(m_options.image);
    if (!image.loaded())
        return QStringLiteral("cannot load the image %1: %2")
            .arg(m_options.image, image.refusalLine());
    m_image.path = m_options.image;
    m_image.data = image.data;
    m_image.sha256 = QString::fromLatin1(
        QCryptographicHash::hash(image.data, QCryptographicHash::Sha256).toHex());
    return {};
}

void HeadlessRunner::start()
{
    if (!m_options.jsonLinesPath.isEmpty())
        m_jsonLines = std::make_unique<JsonLinesFile>(m_options.jsonLinesPath);
    connect(m_interrupts, &InterruptWatcher::interrupted, this, &HeadlessRunner::interrupt);
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
    QSaveFile file(m_options.jsonPath);
    const QByteArray json = QJsonDocument(results).toJson();
    // flush() on its own: commit() does not notice a buffered write that failed.
    if (file.open(QIODevice::WriteOnly) && file.write(json) == json.size() && file.flush() &&
        file.commit())
        return true;
    printLine(stderr, cannotWrite(m_options.jsonPath, file.errorString()));
    return false;
}
