#include "modulesimulator.h"

#include "frame.h"
#include "ptypair.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <termios.h>
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

QByteArray frame(uint8_t opcode, const std::vector<uint8_t> &payload)
{
    return toByteArray(DataFormatToPaket(opcode, payload));
}

int baudOf(speed_t speed)
{
    static const std::pair<speed_t, int> rates[] = {
        {B1200, 1200},     {B2400, 2400},     {B4800, 4800},     {B9600, 9600},
        {B19200, 19200},   {B38400, 38400},   {B57600, 57600},   {B115200, 115200},
        {B230400, 230400}, {B460800, 460800}, {B921600, 921600}, {B1000000, 1000000}};
    for (const auto &[code, rate] : rates) {
        if (code == speed)
            return rate;
    }
    return 115200;
}

int ceilMs(qint64 us)
{
    return int((us + 999) / 1000);
}

} // namespace

ModuleSimulator::ModuleSimulator(PtyPair &line, const QByteArray &expectedImage,
                                 const SimulatorOptions &options, QObject *parent)
    : QObject(parent), m_line(line), m_fd(line.masterFd()), m_image(expectedImage),
      m_options(options), m_random(options.seed),
      m_readNotifier(new QSocketNotifier(m_fd, QSocketNotifier::Read, this)),
      m_writeNotifier(new QSocketNotifier(m_fd, QSocketNotifier::Write, this))
{
    m_writeNotifier->setEnabled(false);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &ModuleSimulator::readMaster);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &ModuleSimulator::flushWire);
    m_replyTimer.setSingleShot(true);
    connect(&m_replyTimer, &QTimer::timeout, this, &ModuleSimulator::onReplyTimeout);
    for (QTimer *timer : {&m_pumpTimer, &m_deliverTimer}) {
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
    }
    connect(&m_pumpTimer, &QTimer::timeout, this, &ModuleSimulator::pump);
    connect(&m_deliverTimer, &QTimer::timeout, this, &ModuleSimulator::deliverArrived);
    m_lineClock.start();
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

namespace {

// The p-th percentile of `values`, nearest rank.
qint64 percentile(QVector<qint64> values, double p)
{
    if (values.isEmpty())
        return -1;
    std::sort(values.begin(), values.end());
    const int rank = qBound(0, int(std::ceil(p / 100.0 * values.size())) - 1, values.size() - 1);
    return values.at(rank);
}

} // namespace

QString ModuleSimulator::statsLine() const
{
    const QVector<qint64> &t = m_stats.turnaroundUs;
    const QVector<qint64> first = t.mid(0, 100);
    const QVector<qint64> last = t.mid(qMax(0, t.size() - 100));
    termios settings{};
    const int baud = m_options.paceBaud > 0            ? m_options.paceBaud
                     : tcgetattr(m_fd, &settings) == 0 ? baudOf(cfgetospeed(&settings))
                                                       : 0;
    return QStringLiteral("stats bytes=%1 requests=%2 timeouts=%3 elapsed_ms=%4 line_bytes=%5 "
                          "baud=%6 first_p50_us=%7 first_p99_us=%8 last_p50_us=%9 "
                          "last_p99_us=%10")
        .arg(m_stats.bytesVerified)
        .arg(m_stats.requests)
        .arg(m_stats.timeouts)
        .arg(m_stats.elapsedMs)
        .arg(m_stats.lineBytes)
        .arg(baud)
        .arg(percentile(first, 50))
        .arg(percentile(first, 99))
        .arg(percentile(last, 50))
        .arg(percentile(last, 99));
}

// ---- Receiving ----

void ModuleSimulator::readMaster()
{
    char buffer[65536];
    while (true) {
        const ssize_t count = ::read(m_fd, buffer, sizeof buffer);
        if (count > 0) {
            receive(QByteArray(buffer, int(count)));
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno == EAGAIN)
            return;
        // Every slave descriptor is closed: nobody is listening any more.
        m_readNotifier->setEnabled(false);
        return;
    }
}

void ModuleSimulator::receive(const QByteArray &bytes)
{
    if (m_options.silent || m_phase == Phase::Gone)
        return;
    const qint64 nowUs = m_lineClock.nsecsElapsed() / 1000;
    if (m_phase == Phase::Serving) {
        m_stats.lineBytes += bytes.size();
        if (m_requestSentUs >= 0) {
            m_stats.turnaroundUs.append(nowUs - m_requestSentUs);
            m_requestSentUs = -1;
        }
    }
    if (!m_options.pace) {
        handleBytes(bytes);
        return;
    }
    // The bytes reach the module only when the line has had the time to carry them.
    m_rxLineFreeUs = std::max(nowUs, m_rxLineFreeUs) + lineTimeUs(bytes.size());
    m_arriving.append({bytes, 0, m_rxLineFreeUs});
    deliverArrived();
}

// Hands the paced bytes to the module in order, each once the line has carried it.
void ModuleSimulator::deliverArrived()
{
    while (!m_arriving.isEmpty() && m_phase != Phase::Gone) {
        if (!waitUntil(m_arriving.first().dueUs, m_deliverTimer))
            return;
        handleBytes(m_arriving.takeFirst().bytes);
    }
}

void ModuleSimulator::handleBytes(const QByteArray &bytes)
{
    if (m_phase == Phase::Gone)
        return;
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
    case Phase::WaitStart:
        if (frame.opcode == StartUpgradeCmd && frame.payload.isEmpty()) {
            m_phase = Phase::WaitBaudReply;
            m_stats = {};
            m_clock.invalidate();
            m_misbehavedOnce = false;
            queue(OkReply);
            QTimer::singleShot(DelayAfterOkMs, this, [this] {
                m_retries = 0;
                sendAwaitingReply(BaudRateCmd, FastRate);
            });
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
    case Phase::WaitAt:
    case Phase::Gone:
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

void ModuleSimulator::checkReadReply(const FrameReader::Frame &frame)
{
    const QByteArray echo = frame.payload.left(8);
    if (!m_replyTimer.isActive() || echo != m_request.mid(5, 8)) {
        if (echo != m_previousEcho && echo != m_request.mid(5, 8))
            ++m_stats.mismatches; // an answer to something never asked
        return;
    }
    m_replyTimer.stop();
    if (frame.payload.mid(8) == m_image.mid(int(m_address), int(m_count)))
        m_stats.bytesVerified += m_count;
    else
        ++m_stats.mismatches;
    m_previousEcho = echo;
    m_address += m_count;
    requestNextSlice();
}

// ---- Requesting ----

void ModuleSimulator::startServing()
{
    if (m_phase != Phase::WaitBaudReply)
        return;
    m_phase = Phase::Serving;
    m_address = 0;
    m_previousEcho.clear();
    m_clock.start();
    if (!m_misbehavedOnce) {
        m_misbehavedOnce = true;
        if (m_options.badLength)
            queue(QByteArray::fromHex("AA550000"));
        if (m_options.shortRequest)
            sendFrame(frame(ReadDataCmd, {0x00, 0x00, 0x00}));
    }
    requestNextSlice();
}

void ModuleSimulator::requestNextSlice()
{
    const quint32 imageSize = quint32(m_image.size());
    if (m_address >= imageSize) {
        finish(m_stats.mismatches == 0 && m_stats.bytesVerified == imageSize);
        return;
    }
    if (m_options.dropAfter >= 0 && m_stats.requests >= m_options.dropAfter) {
        hangUp();
        return;
    }
    m_count = qMin(quint32(m_options.chunk), imageSize - m_address);
    std::vector<uint8_t> request;
    appendU32(request, m_address);
    appendU32(request, m_count);
    m_retries = 0;
    sendAwaitingReply(ReadDataCmd, request);
}

void ModuleSimulator::sendAwaitingReply(uint8_t opcode, const std::vector<uint8_t> &payload)
{
    if (m_phase == Phase::Gone)
        return;
    m_request = frame(opcode, payload);
    sendRequestOnce();
}

void ModuleSimulator::sendRequestOnce()
{
    QByteArray bytes = m_request;
    if (m_request.at(4) == char(ReadDataCmd))
        ++m_stats.requests;
    if (chance(m_options.corruptCrc))
        bytes[bytes.size() - 1] = char(bytes.at(bytes.size() - 1) ^ 0x5A);
    const qint64 expectedReply = m_request.at(4) == char(ReadDataCmd) ? m_count + 15 : 11;
    const int lineMs = m_options.pace ? ceilMs(lineTimeUs(m_request.size() + expectedReply)) : 0;
    m_replyTimer.start(m_options.replyTimeoutMs + lineMs);
    sendFrame(bytes);
}

void ModuleSimulator::onReplyTimeout()
{
    if (++m_retries > m_options.maxRetries) {
        finish(false);
        return;
    }
    ++m_stats.timeouts;
    sendRequestOnce();
}

void ModuleSimulator::finish(bool succeeded)
{
    m_replyTimer.stop();
    m_stats.elapsedMs = m_clock.isValid() ? m_clock.elapsed() : 0;
    sendFrame(frame(UpgradeResultCmd, {uint8_t(succeeded ? 0 : 1)}));
    m_phase = Phase::WaitAt;
    emit finished(succeeded);
}

// Hangs up the line as an unplugged adapter would.
void ModuleSimulator::hangUp()
{
    m_phase = Phase::Gone;
    m_replyTimer.stop();
    m_pumpTimer.stop();
    m_deliverTimer.stop();
    m_arriving.clear();
    m_pieces.clear();
    m_outgoing.clear();
    m_readNotifier->setEnabled(false);
    m_writeNotifier->setEnabled(false);
    m_line.closeMaster();
    emit lineDropped();
    emit finished(false);
}

// ---- Writing ----

// A frame goes out whole, or in random pieces, possibly after some garbage.
void ModuleSimulator::sendFrame(const QByteArray &bytes)
{
    if (chance(m_options.noise)) {
        QByteArray garbage(1 + int(m_random.bounded(16)), Qt::Uninitialized);
        // Any byte up to 0xAA but never 0x55: garbage may end in a stray first header byte,
        // which the upgrader must not let cost the frame behind it, but never forms a header.
        for (char &byte : garbage) {
            const auto value = uint8_t(m_random.bounded(FrameHeader1 + 1));
            byte = char(value == FrameHeader2 ? FrameHeader1 : value);
        }
        queue(garbage);
    }
    if (!m_options.split) {
        queue(bytes, 0);
        return;
    }
    for (int at = 0; at < bytes.size();) {
        const int size = 1 + int(m_random.bounded(quint32(bytes.size() - at)));
        queue(bytes.mid(at, size), int(m_random.bounded(4)));
        at += size;
    }
}

void ModuleSimulator::queue(const QByteArray &bytes, int pauseMs)
{
    m_pieces.append({bytes, pauseMs});
    if (!m_pumpTimer.isActive())
        pump();
}

// Hands the queued pieces to the line in order, honouring pauses and, when pacing, line time.
void ModuleSimulator::pump()
{
    while (!m_pieces.isEmpty() && m_phase != Phase::Gone) {
        Piece &head = m_pieces.first();
        if (head.pauseMs > 0) {
            m_pumpTimer.start(std::exchange(head.pauseMs, 0));
            return;
        }
        const qint64 nowUs = m_lineClock.nsecsElapsed() / 1000;
        if (m_options.pace) {
            // Written once its last byte would have left the UART.
            if (head.dueUs < 0) {
                head.dueUs = std::max(nowUs, m_txLineFreeUs) + lineTimeUs(head.bytes.size());
                m_txLineFreeUs = head.dueUs;
            }
            if (!waitUntil(head.dueUs, m_pumpTimer))
                return;
        }
        const Piece piece = m_pieces.takeFirst();
        m_outgoing.append(piece.bytes);
        if (m_phase == Phase::Serving) {
            m_stats.lineBytes += piece.bytes.size();
            if (m_pieces.isEmpty() && m_replyTimer.isActive())
                m_requestSentUs = m_lineClock.nsecsElapsed() / 1000;
        }
        flushWire();
    }
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

// True when `dueUs` has come (to within half a millisecond); otherwise `timer` is started to
// call back then. Timers count whole milliseconds: rounding to the nearest keeps the pace
// right on average, where rounding up would slow every frame by half a millisecond.
bool ModuleSimulator::waitUntil(qint64 dueUs, QTimer &timer)
{
    const qint64 remainingUs = dueUs - m_lineClock.nsecsElapsed() / 1000;
    if (remainingUs <= 500)
        return true;
    timer.start(int((remainingUs + 500) / 1000));
    return false;
}

bool ModuleSimulator::chance(double probability)
{
    return probability > 0 && m_random.generateDouble() < probability;
}

// 8N1: ten bit times per byte, at the rate the upgrader has set on its side of the pty.
qint64 ModuleSimulator::lineTimeUs(qint64 bytes) const
{
    if (m_options.paceBaud > 0)
        return bytes * 10 * 1000000 / m_options.paceBaud;
    termios settings{};
    const int baud = tcgetattr(m_fd, &settings) == 0 ? baudOf(cfgetospeed(&settings)) : 115200;
    return bytes * 10 * 1000000 / baud;
}
