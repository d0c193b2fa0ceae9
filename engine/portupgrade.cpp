// One module's upgrade on one port without a window, and the image every port shares.

#include "portupgrade.h"

#include "consoleoutput.h"
#include "headlessoptions.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFileInfo>

namespace {

QString isoUtc(const QDateTime &time)
{
    return time.isValid() ? time.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"))
                          : QString();
}

} // namespace

QString loadSharedImage(const QString &path, SharedImage *image)
{
    const FirmwareImage loaded = loadFirmwareImage(path);
    if (!loaded.loaded())
        return QStringLiteral("cannot load the image %1: %2").arg(path, loaded.refusalLine());
    image->path = path;
    image->data = loaded.data;
    image->sha256 = QString::fromLatin1(
        QCryptographicHash::hash(loaded.data, QCryptographicHash::Sha256).toHex());
    return {};
}

PortUpgrade::PortUpgrade(const QString &port, const HeadlessOptions &options,
                         const SharedImage &image, QObject *parent)
    : QObject(parent), m_port(port), m_options(options), m_image(image)
{
    m_sequence.setImage(image.data);
    m_sequence.setChosenRate(options.baud.toUInt());
    m_sequence.setHexLines(options.verbose || options.debug || !options.logDir.isEmpty());
    m_idle.setSingleShot(true);
    m_idle.setInterval(options.timeoutSeconds * 1000);
    connect(&m_idle, &QTimer::timeout, this, [this] {
        endWithError(QStringLiteral("no answer for %1 s").arg(m_options.timeoutSeconds));
    });
    connectSequence();
    connectLog();
}

void PortUpgrade::connectSequence()
{
    // A timeout means no progress: the wait starts with the start frame and again with every
    // valid frame, never with bytes that form none.
    for (const auto signal : {&UpgradeSequence::startFrameSent, &UpgradeSequence::frameReceived})
        connect(&m_sequence, signal, &m_idle, qOverload<>(&QTimer::start));
    connect(&m_sequence, &UpgradeSequence::textReceived, this, &PortUpgrade::takeModuleText);
    connect(&m_sequence, &UpgradeSequence::resultReported, this, &PortUpgrade::onResult);
    connect(&m_sequence, &UpgradeSequence::linkLost, this, [this](const QString &reason) {
        endWithError(QStringLiteral("port lost: ") + reason);
    });
    connect(&m_sequence, &UpgradeSequence::linkClosed, this, [this](const QString &reason) {
        endWithError(QStringLiteral("port closed: ") + reason);
    });
}

void PortUpgrade::connectLog()
{
    if (m_options.verbose) {
        connect(&m_sequence, &UpgradeSequence::logged, this, [this](const LogEntry &entry) {
            printLine(stderr, m_port + QStringLiteral(": ") + entry.line());
        });
    }
    if (m_options.logDir.isEmpty())
        return;
    connect(&m_sequence, &UpgradeSequence::logged, &m_log, &SessionLog::write);
    connect(&m_log, &SessionLog::failed, this, [this](const QString &line) {
        printLine(stderr, m_port + QStringLiteral(": ") + line);
    });
}

void PortUpgrade::start()
{
    m_started = QDateTime::currentDateTime();
    const QString unresolved = resolve();
    if (!m_options.logDir.isEmpty())
        m_log.open(m_options.logDir, logName(), m_started);
    if (!unresolved.isEmpty()) {
        endWithError(unresolved);
        return;
    }
    if (!m_sequence.OpenComPorts(m_device, m_options.baud)) {
        endWithError(QStringLiteral("cannot open the port: ") + m_sequence.errorString());
        return;
    }
    m_sequence.startUpgrade();
}

// A serial= or usb= port is looked up as the module's upgrade starts, so that it is found
// under whatever name the system gave its adapter this time; why it was not, or empty.
QString PortUpgrade::resolve()
{
    if (!PortRequest::parse(m_port).isIdentity()) {
        m_device = m_port;
        return {};
    }
    const PortResolution resolution = resolvePort(m_port, m_options.listPorts());
    m_device = resolution.device;
    return resolution.reason;
}

// The port as given, and the device it led to when that is another name.
QString PortUpgrade::label() const
{
    return m_device.isEmpty() || m_device == m_port
               ? m_port
               : QStringLiteral("%1 (%2)").arg(m_port, m_device);
}

// A log file's name holds no '/' from a serial number; the file name sanitizes the rest.
QString PortUpgrade::logName() const
{
    if (m_device == m_port)
        return m_port;
    QString name = m_port;
    name.replace(QLatin1Char('/'), QLatin1Char('_')).replace(QLatin1Char('\\'), QLatin1Char('_'));
    if (!m_device.isEmpty())
        name += QLatin1Char('_') + QFileInfo(m_device).fileName();
    return name;
}

// A module that has already reported keeps its result; any other ends as interrupted.
bool PortUpgrade::interrupt()
{
    if (m_result >= 0) {
        end(m_result == 0 ? Outcome::Ok : Outcome::Failed);
        return false;
    }
    end(Outcome::Error, QStringLiteral("interrupted"));
    return true;
}

void PortUpgrade::takeModuleText(const QByteArray &text)
{
    m_moduleText += text;
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
    m_ended = QDateTime::currentDateTime();
    if (outcome == Outcome::Error)
        m_figures = m_sequence.figures();
    m_idle.stop();
    m_sequence.closePort();
    m_log.write(LogEntry::ofText(summaryLine()));
    m_log.close();
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
            .arg(label())
            .arg(m_figures.servedBytes)
            .arg(m_figures.requests)
            .arg(m_figures.elapsedMs / 1000.0, 0, 'f', 2);
    case Outcome::Failed:
        return QStringLiteral("%1: failed, result %2").arg(label()).arg(m_result);
    case Outcome::Running:
    case Outcome::Error:
        break;
    }
    return QStringLiteral("%1: error, %2").arg(label(), m_reason);
}

QString PortUpgrade::progressText() const
{
    const UpgradeFigures now = m_sequence.figures();
    const qint64 size = m_image.data.size();
    const qint64 percent = size > 0 ? now.servedBytes * 100 / size : 0;
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
                       {QStringLiteral("crc_errors"), m_figures.crcErrors},
                       {QStringLiteral("image"), m_image.path},
                       {QStringLiteral("image_size"), m_image.data.size()},
                       {QStringLiteral("image_sha256"), m_image.sha256},
                       {QStringLiteral("started"), isoUtc(m_started)},
                       {QStringLiteral("ended"), isoUtc(m_ended)},
                       {QStringLiteral("tool_version"), QCoreApplication::applicationVersion()},
                       {QStringLiteral("module_text"), QString::fromUtf8(m_moduleText)}};
    if (!m_reason.isEmpty())
        object.insert(QStringLiteral("reason"), m_reason);
    if (PortRequest::parse(m_port).isIdentity())
        object.insert(QStringLiteral("device"),
                      m_device.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(m_device));
    return object;
}
