// One module's upgrade on one port without a window, and the image every port shares.

#include "portupgrade.h"

#include "consoleoutput.h"
#include "headlessoptions.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFileInfo>
#include <QUuid>

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
    : QObject(parent), m_options(options), m_image(image)
{
    m_record.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    m_record.port = port;
    m_record.identityPort = PortRequest::parse(port).isIdentity();
    m_record.image = image.path;
    m_record.imageSize = image.data.size();
    m_record.imageSha256 = image.sha256;
    m_record.toolVersion = QCoreApplication::applicationVersion();
    m_sequence.setImage(image.data);
    m_sequence.setChosenRate(options.baud.toUInt());
    m_sequence.setHexLines(options.verbose || options.debug || !options.logDir.isEmpty());
    m_idle.setSingleShot(true);
    m_idle.setInterval(options.timeoutSeconds * 1000);
    connect(&m_idle, &QTimer::timeout, this, [this] {
        endWithError(
            EndReason::of(EndReason::Kind::NoAnswer, LinkError::NoError, m_options.timeoutSeconds));
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
    connect(&m_sequence, &UpgradeSequence::linkLost, this, [this] {
        endWithError(EndReason::of(EndReason::Kind::PortLost, m_sequence.linkError()));
    });
    connect(&m_sequence, &UpgradeSequence::linkClosed, this, [this](quint64 rate) {
        endWithError(
            EndReason::of(EndReason::Kind::RateSwitchFailed, m_sequence.linkError(), qint64(rate)));
    });
}

void PortUpgrade::connectLog()
{
    if (m_options.verbose) {
        connect(&m_sequence, &UpgradeSequence::logged, this, [this](const LogEntry &entry) {
            printLine(stderr, m_record.port + QStringLiteral(": ") + entry.line());
        });
    }
    if (m_options.logDir.isEmpty())
        return;
    connect(&m_sequence, &UpgradeSequence::logged, &m_log, &SessionLog::write);
    // The window's line for the station's tile; stderr says it in English.
    connect(&m_log, &SessionLog::failed, this, [this](const QString &line) {
        m_record.logProblem = line;
        printLine(stderr, QStringLiteral("rw47hn-upgrader: ") + m_log.problem());
    });
}

void PortUpgrade::start()
{
    m_record.started = QDateTime::currentDateTime();
    const EndReason unresolved = resolve();
    if (!m_options.logDir.isEmpty())
        m_log.open(m_options.logDir, logName(), m_record.started);
    if (!unresolved.isNone()) {
        endWithError(unresolved);
        return;
    }
    if (!m_sequence.OpenComPorts(m_record.device.isEmpty() ? m_record.port : m_record.device,
                                 m_options.baud)) {
        endWithError(EndReason::of(EndReason::Kind::CannotOpen, m_sequence.linkError()));
        return;
    }
    m_sequence.startUpgrade();
}

// A serial= or usb= port is looked up as the module's upgrade starts, so that it is found
// under whatever name the system gave its adapter this time.
EndReason PortUpgrade::resolve()
{
    if (!m_record.identityPort)
        return {};
    const PortResolution resolution = resolvePort(m_record.port, m_options.listPorts());
    m_record.device = resolution.device;
    if (!resolution.device.isEmpty())
        return {};
    return EndReason::of(EndReason::Kind::PortNotFound, LinkError::NoError, 0, resolution.reason);
}

// A log file's name holds no '/' from a serial number; the file name sanitizes the rest.
QString PortUpgrade::logName() const
{
    if (!m_record.identityPort)
        return m_record.port;
    QString name = m_record.port;
    name.replace(QLatin1Char('/'), QLatin1Char('_')).replace(QLatin1Char('\\'), QLatin1Char('_'));
    if (!m_record.device.isEmpty())
        name += QLatin1Char('_') + QFileInfo(m_record.device).fileName();
    return name;
}

// A module that has already reported keeps its result; any other ends as interrupted.
bool PortUpgrade::interrupt()
{
    if (m_record.result >= 0) {
        end(m_record.result == 0 ? ModuleRecord::Status::Ok : ModuleRecord::Status::Failed);
        return false;
    }
    end(ModuleRecord::Status::Error, EndReason::of(EndReason::Kind::Interrupted));
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
    m_record.result = result;
    m_figures = figures;
    m_idle.stop();
    const auto status = result == 0 ? ModuleRecord::Status::Ok : ModuleRecord::Status::Failed;
    auto endWithResult = [this, status] { end(status); };
    connect(&m_sequence, &UpgradeSequence::returnedToChosenRate, this, endWithResult);
    connect(&m_sequence, &UpgradeSequence::linkLost, this, endWithResult);
    connect(&m_sequence, &UpgradeSequence::linkClosed, this, endWithResult);
}

void PortUpgrade::endWithError(const EndReason &reason)
{
    if (m_record.result < 0)
        end(ModuleRecord::Status::Error, reason);
}

void PortUpgrade::end(ModuleRecord::Status status, const EndReason &reason)
{
    if (m_ended)
        return;
    m_ended = true;
    m_record.ended = QDateTime::currentDateTime();
    m_record.status = status;
    m_record.reason = reason;
    if (status == ModuleRecord::Status::Error)
        m_figures = m_sequence.figures();
    m_record.bytes = m_figures.servedBytes;
    m_record.requests = m_figures.requests;
    m_record.crcErrors = m_figures.crcErrors;
    m_record.moduleText = QString::fromUtf8(m_moduleText);
    m_record.logPath = m_log.filePath();
    m_idle.stop();
    m_sequence.closePort();
    m_log.write(LogEntry::ofText(m_record.summaryLine()));
    m_log.close();
    emit ended(m_record);
}

QString PortUpgrade::progressText() const
{
    const UpgradeFigures now = m_sequence.figures();
    const qint64 size = m_image.data.size();
    const qint64 percent = size > 0 ? now.servedBytes * 100 / size : 0;
    return QStringLiteral("%1 %2% %3 B").arg(m_record.port).arg(percent).arg(now.servedBytes);
}
