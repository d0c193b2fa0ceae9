#include "modulesimulator.h"

#include "frame.h"

#include <QSocketNotifier>

#include <cerrno>
#include <unistd.h>

namespace {

const QByteArray AtCommand = QByteArrayLiteral("AT+UPGRADE=1\r\n");
const QByteArray OkReply = QByteArrayLiteral("\r\nOK\r\n");
const std::vector<uint8_t> FastRate = {0x00, 0xC2, 0x01, 0x00}; // 115200, u32 LE
// The host answers OK only after its start frame; give it time to take OK as one chunk.
constexpr int DelayAfterOkMs = 50;
// The host switches to 115200 50 ms after its baud-rate reply; ask for data after that.
constexpr int DelayAfterBaudReplyMs = 100;

void appendU32(std::vector<uint8_t> &bytes, quint32 value)
{
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(uint8_t(value >> shift));
}

QByteArray toByteArray(const std::vector<uint8_t> &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
}

} // namespace

ModuleSimulator::ModuleSimulator(int masterFd, const QByteArray &expectedImage,
                                 const SimulatorOptions &options, QObject *parent)
    : QObject(parent), m_fd(masterFd), m_image(expectedImage), m_options(options),
      m_readNotifier(new QSocketNotifier(masterFd, QSocketNotifier::Read, this)),
      m_writeNotifier(new QSocketNotifier(masterFd, QSocketNotifier::Write, this))
{
    m_writeNotifier->setEnabled(false);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &ModuleSimulator::readMaster);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &ModuleSimulator::flushWire);
    m_replyTimer.setSingleShot(true);
    connect(&m_replyTimer, &QTimer::timeout, this, &ModuleSimulator::onReplyTimeout);
}

QString ModuleSimulator::summary() const
{
    const double seconds = m_stats.elapsedMs / 1000.0;
    const double rate = seconds > 0 ? m_stats.bytesVerified / seconds : 0.0;
    return QStringLiteral("%1 bytes, %2 requests, %3 s, %4 bytes/s")
        .arg(m_stats.bytesVerified)
        .arg(m_stats.requests)
        .arg(seconds, 0, 'f', 3)
        .arg(qRound64(rate));
}

void ModuleSimulator::readMaster()
{
    char buffer[4096];
    while (true) {
        const ssize_t count = ::read(m_fd, buffer, sizeof buffer);
        if (count > 0) {
            handleBytes(QByteArray(buffer, int(count)));
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno == EAGAIN)
            return;
        // The line is gone (every slave descriptor closed): stop listening.
        m_readNotifier->setEnabled(false);
        return;
    }
}

void ModuleSimulator::handleBytes(const QByteArray &bytes)
{
    if (m_phase != Phase::WaitAt) {
        for (const FrameReader::Frame &frame : m_reader.feed(bytes))
            handleFrame(frame);
        return;
    }
    m_text.append(bytes);
    const int at = m_text.indexOf(AtCommand);
    if (at < 0) {
        m_text = m_text.right(AtCommand.size() - 1); // keep a possible partial command
        return;
    }
    const QByteArray rest = m_text.mid(at + AtCommand.size());
    m_text.clear();
    m_reader.reset();
    m_phase = Phase::WaitStart;
    handleBytes(rest);
}

void ModuleSimulator::handleFrame(const FrameReader::Frame &frame)
{
    switch (m_phase) {
    case Phase::WaitAt:
        break;
    case Phase::WaitStart:
        if (frame.opcode == StartUpgradeCmd && frame.payload.isEmpty()) {
            m_phase = Phase::WaitBaudReply;
            m_stats = {};
            m_clock.invalidate();
            writeWire(OkReply);
            QTimer::singleShot(DelayAfterOkMs, this,
                               [this] { sendAwaitingReply(BaudRateCmd, FastRate); });
        }
        break;
    case Phase::WaitBaudReply:
        if (frame.opcode == BaudRateCmd)
            checkBaudReply(frame);
        break;
    case Phase::Serving:
        if (frame.opcode == ReadDataCmd)
            checkReadReply(frame);
        break;
    }
}

void ModuleSimulator::checkBaudReply(const FrameReader::Frame &frame)
{
    if (!m_replyTimer.isActive())
        return; // a late duplicate
    m_replyTimer.stop();
    if (frame.payload != toByteArray(FastRate))
        ++m_stats.mismatches;
    QTimer::singleShot(DelayAfterBaudReplyMs, this, &ModuleSimulator::startServing);
}

void ModuleSimulator::startServing()
{
    m_phase = Phase::Serving;
    m_address = 0;
    m_clock.start();
    requestNextSlice();
}

void ModuleSimulator::requestNextSlice()
{
    const quint32 imageSize = quint32(m_image.size());
    if (m_address >= imageSize) {
        finish(m_stats.mismatches == 0 && m_stats.bytesVerified == imageSize);
        return;
    }
    m_count = qMin(quint32(m_options.chunk), imageSize - m_address);
    std::vector<uint8_t> request;
    appendU32(request, m_address);
    appendU32(request, m_count);
    m_retries = 0;
    sendAwaitingReply(ReadDataCmd, request);
}

void ModuleSimulator::checkReadReply(const FrameReader::Frame &frame)
{
    const QByteArray echo = m_lastRequest.mid(5, 8);
    if (!m_replyTimer.isActive() || !frame.payload.startsWith(echo))
        return; // a reply to an earlier request, already handled
    m_replyTimer.stop();
    if (frame.payload.mid(8) == m_image.mid(int(m_address), int(m_count)))
        m_stats.bytesVerified += m_count;
    else
        ++m_stats.mismatches;
    m_address += m_count;
    requestNextSlice();
}

void ModuleSimulator::sendAwaitingReply(uint8_t opcode, const std::vector<uint8_t> &payload)
{
    m_lastRequest = toByteArray(DataFormatToPaket(opcode, payload));
    if (opcode == ReadDataCmd)
        ++m_stats.requests;
    writeWire(m_lastRequest);
    m_replyTimer.start(m_options.replyTimeoutMs);
}

void ModuleSimulator::onReplyTimeout()
{
    if (++m_retries > m_options.maxRetries) {
        finish(false);
        return;
    }
    if (m_phase == Phase::Serving)
        ++m_stats.requests;
    writeWire(m_lastRequest);
    m_replyTimer.start(m_options.replyTimeoutMs);
}

void ModuleSimulator::finish(bool succeeded)
{
    m_replyTimer.stop();
    m_stats.elapsedMs = m_clock.isValid() ? m_clock.elapsed() : 0;
    writeWire(toByteArray(DataFormatToPaket(UpgradeResultCmd, {uint8_t(succeeded ? 0 : 1)})));
    m_phase = Phase::WaitAt;
    emit finished(succeeded);
}

void ModuleSimulator::writeWire(const QByteArray &bytes)
{
    m_outgoing.append(bytes);
    flushWire();
}

// Writes what the line takes now; the rest waits for the descriptor to become writable.
void ModuleSimulator::flushWire()
{
    while (!m_outgoing.isEmpty()) {
        const ssize_t count = ::write(m_fd, m_outgoing.constData(), size_t(m_outgoing.size()));
        if (count > 0) {
            m_outgoing.remove(0, int(count));
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno != EAGAIN)
            m_outgoing.clear(); // the line is gone
        break;
    }
    m_writeNotifier->setEnabled(!m_outgoing.isEmpty());
}
