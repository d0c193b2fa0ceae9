// Upgrades without a window: every port given, at once, with summaries for scripts.

#include "headlessrunner.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace {

void printLine(FILE *stream, const QString &line)
{
    std::fprintf(stream, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stream);
}

} // namespace

PortUpgrade::PortUpgrade(const QString &port, const HeadlessOptions &options, QObject *parent)
    : QObject(parent), m_port(port), m_options(options)
{
    m_sequence.setFirmwarePath(options.image);
    m_sequence.setChosenRate(options.baud.toUInt());
    m_sequence.setHexLines(options.verbose || options.debug);
    m_idle.setSingleShot(true);
    m_idle.setInterval(options.timeoutSeconds * 1000);
    connect(&m_idle, &QTimer::timeout, this, [this] {
        endWithError(QStringLiteral("no answer for %1 s").arg(m_options.timeoutSeconds));
    });
    connectSequence();
}

void PortUpgrade::connectSequence()
{
    // The wait for the module starts with the start frame and again with every valid frame.
    for (const auto signal : {&UpgradeSequence::startFrameSent, &UpgradeSequence::frameReceived})
        connect(&m_sequence, signal, &m_idle, qOverload<>(&QTimer::start));
    if (m_options.verbose) {
        connect(&m_sequence, &UpgradeSequence::logLine, this, [this](const QString &line) {
            printLine(stderr, m_port + QStringLiteral(": ") + line);
        });
    }
    connect(&m_sequence, &UpgradeSequence::resultReported, this, &PortUpgrade::onResult);
    connect(&m_sequence, &UpgradeSequence::linkLost, this,
            [this](const QString &reason) { endWithError(QStringLiteral("port lost: ") + reason); });
    connect(&m_sequence, &UpgradeSequence::linkClosed, this, [this](const QString &reason) {
        endWithError(QStringLiteral("port closed: ") + reason);
    });
    connect(&m_sequence, &UpgradeSequence::imageRefused, this,
            [this](FirmwareImage::Problem, const QString &line) {
                endWithError(QStringLiteral("cannot load the image: ") + line);
            });
}

void PortUpgrade::start()
{
    if (!m_sequence.OpenComPorts(m_port, m_options.baud)) {
        endWithError(QStringLiteral("cannot open the port: ") + m_sequence.errorString());
        return;
    }
    m_sequence.startUpgrade();
}

// The port stays in service until the line is back at the chosen rate, as in the window; a
// port that goes away meanwhile does not undo the result.
void PortUpgrade::onResult(uint8_t result, const UpgradeFigures &figures)
{
    m_result = result;
    m_figures = figures;
    m_idle.stop();
    const Outcome outcome = result == 0 ? Outcome::Ok : Outcome::Failed;
    auto endWithResult = [this, outcome] { end(outcome); };
    connect(&m_sequence, &UpgradeSequence::returnedToChosenRate, this, endWithResult);
    connect(&m_sequence, &UpgradeSequence::linkLost, this, endWithResult);
    connect(&m_sequence, &UpgradeSequence::linkClosed, this, endWithResult);
}

void PortUpgrade::endWithError(const QString &reason)
{
    if (m_result < 0)
        end(Outcome::Error, reason);
}

void PortUpgrade::end(Outcome outcome, const QString &reason)
{
    if (m_outcome != Outcome::Running)
        return;
    m_outcome = outcome;
    m_reason = reason;
    if (outcome == Outcome::Error)
        m_figures = m_sequence.figures();
    m_idle.stop();
    m_sequence.closePort();
    emit ended();
}

int PortUpgrade::exitStatus() const
{
    switch (m_outcome) {
    case Outcome::Ok:
        return 0;
    case Outcome::Failed:
        return 1;
    case Outcome::Running:
    case Outcome::Error:
        break;
    }
    return 2;
}

QString PortUpgrade::summaryLine() const
{
    switch (m_outcome) {
    case Outcome::Ok:
        return QStringLiteral("%1: ok, %2 bytes, %3 requests, %4 s")
            .arg(m_port)
            .arg(m_figures.servedBytes)
            .arg(m_figures.requests)
            .arg(m_figures.elapsedMs / 1000.0, 0, 'f', 2);
    case Outcome::Failed:
        return QStringLiteral("%1: failed, result %2").arg(m_port).arg(m_result);
    case Outcome::Running:
    case Outcome::Error:
        break;
    }
    return QStringLiteral("%1: error, %2").arg(m_port, m_reason);
}

QString PortUpgrade::progressText() const
{
    const UpgradeFigures now = m_sequence.figures();
    const qint64 percent = now.imageSize > 0 ? now.servedBytes * 100 / now.imageSize : 0;
    return QStringLiteral("%1 %2% %3 B").arg(m_port).arg(percent).arg(now.servedBytes);
}

QJsonObject PortUpgrade::toJson() const
{
    static const char *const statuses[] = {"running", "ok", "failed", "error"};
    QJsonObject object{{QStringLiteral("port"), m_port},
                       {QStringLiteral("status"), statuses[int(m_outcome)]},
                       {QStringLiteral("result"),
                        m_result >= 0 ? QJsonValue(m_result) : QJsonValue(QJsonValue::Null)},
                       {QStringLiteral("bytes"), m_figures.servedBytes},
                       {QStringLiteral("requests"), m_figures.requests},
                       {QStringLiteral("seconds"), m_figures.elapsedMs / 1000.0},
                       {QStringLiteral("crc_errors"), m_figures.crcErrors}};
    if (!m_reason.isEmpty())
        object.insert(QStringLiteral("reason"), m_reason);
    return object;
}

HeadlessRunner::HeadlessRunner(const HeadlessOptions &options, QObject *parent)
    : QObject(parent), m_options(options)
{
    m_progress.setInterval(1000);
    connect(&m_progress, &QTimer::timeout, this, &HeadlessRunner::printProgress);
}

void HeadlessRunner::start()
{
    for (const QString &port : qAsConst(m_options.ports)) {
        m_upgrades.push_back(std::make_unique<PortUpgrade>(port, m_options));
        PortUpgrade *upgrade = m_upgrades.back().get();
        connect(upgrade, &PortUpgrade::ended, this, [this, upgrade] { portEnded(upgrade); });
    }
    m_running = int(m_upgrades.size());
    m_progress.start();
    for (const auto &upgrade : m_upgrades)
        upgrade->start();
}

void HeadlessRunner::portEnded(PortUpgrade *upgrade)
{
    printLine(stdout, upgrade->summaryLine());
    if (--m_running > 0)
        return;
    m_progress.stop();
    int status = 0;
    for (const auto &each : m_upgrades)
        status = qMax(status, each->exitStatus());
    if (!m_options.jsonPath.isEmpty() && !writeJson())
        status = 2;
    emit finished(status);
}

void HeadlessRunner::printProgress()
{
    QStringList parts;
    for (const auto &upgrade : m_upgrades) {
        if (upgrade->outcome() == PortUpgrade::Outcome::Running)
            parts << upgrade->progressText();
    }
    if (!parts.isEmpty())
        printLine(stderr, QStringLiteral("progress: ") + parts.join(QStringLiteral(", ")));
}

bool HeadlessRunner::writeJson() const
{
    QJsonArray results;
    for (const auto &upgrade : m_upgrades)
        results.append(upgrade->toJson());
    QFile file(m_options.jsonPath);
    const QByteArray json = QJsonDocument(results).toJson();
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(json) == json.size())
        return true;
    printLine(stderr, QStringLiteral("rw47hn-upgrader: cannot write %1: %2")
                          .arg(m_options.jsonPath, file.errorString()));
    return false;
}
