// The upgrade's course: the start sequence, the rate switches, the result and the silence watch.

#include "upgradesequence.h"

#include "networkport.h"
#include "protocol.h"
#include "rfc2217link.h"

#include <QDebug>

// The link and the timer are children so that they move with the sequence to another thread.
UpgradeSequence::UpgradeSequence(QObject *parent)
    : QObject(parent), link(new SerialLink(this)), silenceTimer(this)
{
    qRegisterMetaType<UpgradeFigures>();
    qRegisterMetaType<LogEntry>();
    useLinkFor(QString());
    reader.setTraced(true);
    silenceTimer.setSingleShot(true);
    connect(&silenceTimer, &QTimer::timeout, this, &UpgradeSequence::showSilenceHint);
}

// The link the name asks for: a port on a device server for rfc2217://HOST:PORT, a serial
// port for anything else. Nothing else here knows which one it has.
void UpgradeSequence::useLinkFor(const QString &portName)
{
    const bool network = NetworkPort::isNetworkName(portName);
    if (network != (qobject_cast<Rfc2217Link *>(link) != nullptr)) {
        delete link;
        link = network ? static_cast<Link *>(new Rfc2217Link(this)) : new SerialLink(this);
    }
    connect(link, &Link::received, this, &UpgradeSequence::SerialPortReadData,
            Qt::UniqueConnection);
    connect(link, &Link::bytesWritten, this, &UpgradeSequence::handleBytesWritten,
            Qt::UniqueConnection);
    connect(link, &Link::lost, this, &UpgradeSequence::handleLinkLost, Qt::UniqueConnection);
}

int UpgradeSequence::OpenComPorts(QString portName, QString baudRateText)
{
    if (portOpen)
        closePort();
    portOpen = false;
    ++m_session;
    bool converted = false;
    const int baudRate = baudRateText.toInt(&converted, 10);
    if (!converted) {
        qDebug() << "Conversion failed!";
        emit openFinished(false);
        return 0;
    }
    useLinkFor(portName);
    if (!link->open(portName, baudRate)) {
        log(tr("%1串口打开失败: %2").arg(portName, link->errorString()));
        if (const QString hint = link->permissionHint(); !hint.isEmpty())
            log(hint);
        emit openFinished(false);
        return 0;
    }
    portOpen = true;
    m_sessionSteps = new QObject(this);
    emit openFinished(true);
    return 1;
}

void UpgradeSequence::closePort()
{
    link->close();
    endSession();
}

// Everything the session had scheduled ends with it; said once, however it ended.
void UpgradeSequence::endSession()
{
    const bool active = !m_sessionSteps.isNull();
    portOpen = false;
    silenceTimer.stop();
    delete m_sessionSteps; // its children, the result's steps, with it
    setPhase(Phase::Idle);
    if (active)
        emit sessionEnded();
}

// Runs `step` after `ms` unless the port session has ended by then.
void UpgradeSequence::afterInSession(int ms, const std::function<void()> &step)
{
    if (m_sessionSteps)
        QTimer::singleShot(ms, m_sessionSteps.data(), step);
}

void UpgradeSequence::log(const QString &line)
{
    emitEntry(LogEntry::ofText(line));
}

void UpgradeSequence::emitEntry(LogEntry entry)
{
    emitFrameLine(); // a frame's line, when one waits, came first
    emitEntryAt(std::move(entry), m_entries.fetch_add(1));
}

void UpgradeSequence::emitEntryAt(LogEntry entry, quint64 serial)
{
    entry.serial = serial;
    emit logged(entry);
}

void UpgradeSequence::setImage(const QByteArray &image)
{
    ufwFileData = image;
    imageGiven = true;
}

// ---- Start ----

bool UpgradeSequence::startUpgrade()
{
    if (!imageGiven && ufwFilePath.isEmpty()) {
        log(tr("请选择ufw类型的升级文件"));
        return false;
    }
    if (!portOpen) {
        log(tr("请先打开串口"));
        return false;
    }
    reader.reset();
    if (!loadImage() || !switchToChosenRateFirst())
        return false;
    m_figures = {};
    m_figures.imageSize = ufwFileData.size();
    upgradeClock.start();
    silenceHintShown = false;
    silenceTimer.stop();
    delete m_resultSteps; // a new start ends the return to the rate of the last result
    emit upgradeStarted(ufwFileData.size());
    packetMode = 0;
    UpgradeStartCmdAndChangeBaudRate();
    return true;
}

// Reads the chosen file into ufwFileData. On any failure the previous image is kept.
bool UpgradeSequence::loadImage()
{
    if (imageGiven) {
        log(FirmwareImage::openedLine());
        return true;
    }
    const FirmwareImage image = loadFirmwareImage(ufwFilePath);
    for (const QString &line : image.logLines())
        log(line);
    if (!image.loaded()) {
        emit imageRefused(image.problem, image.refusalLine());
        return false;
    }
    ufwFileData = image.data;
    return true;
}

// The AT command must go out at the rate the user has chosen, also when an abandoned upgrade
// or a changed choice left the port at another one.
bool UpgradeSequence::switchToChosenRateFirst()
{
    if (chosenRate > 0 && quint64(link->rate()) != chosenRate)
        changeBaudRate(chosenRate);
    return portOpen;
}

void UpgradeSequence::UpgradeStartCmdAndChangeBaudRate()
{
    setPhase(Phase::AtSent);
    log(tr("发送升级指令: %1").arg(QLatin1String(AtUpgradeCommand)));
    SerialPortSendData(AtUpgradeCommand);
    // Not cancelled by a later press: two presses give two switches and two start frames.
    afterInSession(SwitchToUpgradeRateAfterAtMs, [this] { changeBaudRate(UpgradeBaudRate); });
    log(tr("延时1s发送开始升级指令"));
    afterInSession(StartFrameAfterAtMs, [this] { delaySendStartUpgradeCmd(); });
}

void UpgradeSequence::delaySendStartUpgradeCmd()
{
    if (!portOpen)
        return; // the link closed meanwhile: nothing to send, nothing started
    SerialPortSendData(StartFrame);
    if (m_phase == Phase::AtSent)
        setPhase(Phase::StartFrameSent);
    restartSilenceWait();
    emit startFrameSent();
}

// ---- Rates ----

void UpgradeSequence::changeBaudRate(quint64 baudrate)
{
    // A timer of an upgrade may fire after the user closed the link: leave it closed.
    if (!portOpen)
        return;
    if (!link->reopenAt(qint32(baudrate))) {
        log(tr("切波特率失败: %1, %2").arg(QString::number(baudrate), link->errorString()));
        markClosed(baudrate);
        return;
    }
    log(tr("切波特率到: %1").arg(baudrate));
}

// ---- Result ----

void UpgradeSequence::handleResult(uint8_t result)
{
    setPhase(Phase::ReturningToChosenRate);
    silenceTimer.stop();
    m_figures.elapsedMs = upgradeClock.isValid() ? upgradeClock.elapsed() : 0;
    emit resultReported(result, m_figures);
    delete m_resultSteps;
    if (!m_sessionSteps)
        return;
    m_resultSteps = new QObject(m_sessionSteps);
    if (result != 0) {
        // The module has left its upgrade mode either way: the line goes back to the rate
        // the window shows, so that the next attempt starts where the user expects.
        log(tr("升级失败，错误码: %1").arg(int(result)));
        QTimer::singleShot(ChosenRateAfterResultMs, m_resultSteps.data(),
                           [this] { returnToChosenRate(); });
        return;
    }
    QTimer::singleShot(ChosenRateAfterResultMs, m_resultSteps.data(), [this] {
        log(tr("升级成功..."));
        returnToChosenRate();
    });
}

void UpgradeSequence::returnToChosenRate()
{
    qDebug() << "<<<reset buadrate: " << chosenRate;
    changeBaudRate(chosenRate);
    if (m_phase == Phase::ReturningToChosenRate)
        setPhase(Phase::Idle);
    emit returnedToChosenRate();
}

// ---- Link state ----

void UpgradeSequence::handleLinkLost(const QString &reason)
{
    portOpen = false; // at once: nothing may be sent on the lost port any more
    if (m_writing) {  // said once the line of the bytes being written is out
        m_lostWhileWriting = true;
        m_lossReason = reason;
        return;
    }
    reportLinkLost(reason);
}

// The session ends before the outside hears of it: a listener may end this object's use.
void UpgradeSequence::reportLinkLost(const QString &reason)
{
    log(tr("串口已断开: %1").arg(reason));
    endSession();
    emit linkLost(reason);
}

void UpgradeSequence::markClosed(quint64 rate)
{
    endSession();
    emit linkClosed(rate);
}

void UpgradeSequence::setPhase(Phase phase)
{
    if (m_phase.load() == phase)
        return;
    m_phase.store(phase);
    emit phaseChanged(phase);
}

// ---- Silence watch and figures ----

void UpgradeSequence::setSilenceLimits(int afterStartMs, int inFramesMs)
{
    silentAfterStartMs = afterStartMs;
    silentInFramesMs = inFramesMs;
}

bool UpgradeSequence::awaitingResult() const
{
    return m_phase == Phase::AtSent || m_phase == Phase::StartFrameSent ||
           m_phase == Phase::Serving;
}

// Starts, or starts again, the wait for the module: after the start frame and after every
// chunk it sends until the result.
// The timer is not set again for every chunk (a byte, at 115200 baud): it looks when it
// fires how long ago the module was last heard, and waits the rest.
void UpgradeSequence::restartSilenceWait()
{
    if (!awaitingResult() || !portOpen)
        return;
    const int limitMs = packetMode != 0 ? silentInFramesMs : silentAfterStartMs;
    const bool shorter = limitMs < m_silenceLimitMs;
    m_silenceLimitMs = limitMs;
    m_lastHeard.start();
    if (shorter || !silenceTimer.isActive())
        silenceTimer.start(limitMs);
}

void UpgradeSequence::showSilenceHint()
{
    if (!awaitingResult() || silenceHintShown || !portOpen)
        return;
    if (const qint64 leftMs = m_silenceLimitMs - m_lastHeard.elapsed(); leftMs > 0) {
        silenceTimer.start(int(leftMs));
        return;
    }
    silenceHintShown = true;
    log(tr("模块无应答，请检查连接和波特率"));
    emit noAnswer();
}

UpgradeFigures UpgradeSequence::figures() const
{
    UpgradeFigures now = m_figures;
    if (awaitingResult() && upgradeClock.isValid())
        now.elapsedMs = upgradeClock.elapsed();
    return now;
}
