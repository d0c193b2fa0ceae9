#include "modulesimulator.h"

#include "protocol.h"
#include "ptypair.h"

namespace {

// The host answers OK only after its start frame; give it time to take OK as one chunk.
constexpr int DelayAfterOkMs = 50;
// The host switches to 115200 50 ms after its baud-rate reply; ask for data after that.
constexpr int DelayAfterBaudReplyMs = 100;
// The reply to a request without its slice: the frame around the 8 echoed bytes.
constexpr int ReadReplyOverhead = FrameOverhead + ReadRequestSize;

} // namespace

ModuleSimulator::ModuleSimulator(PtyPair &pty, const QByteArray &expectedImage,
                                 const SimulatorOptions &options, QObject *parent)
    : QObject(parent), m_line(pty, options.pace ? options.paceBaud : -1), m_faults(options.faults),
      m_image(expectedImage), m_options(options)
{
    m_line.setAdapterLatency(options.adapterLatencyMs);
    connect(&m_line, &SimLine::received, this, &ModuleSimulator::receive);
    connect(&m_line, &SimLine::arrived, this, &ModuleSimulator::countArrival);
    connect(&m_line, &SimLine::drained, this, &ModuleSimulator::countDeparture);
    m_replyTimer.setSingleShot(true);
    connect(&m_replyTimer, &QTimer::timeout, this, &ModuleSimulator::onReplyTimeout);
}

// ---- Statistics of the serving phase ----

void ModuleSimulator::countArrival(qint64 atUs, int size)
{
    if (m_phase != Phase::Serving || m_options.silent)
        return;
    m_stats.lineBytes += size;
    if (m_requestSentUs >= 0)
        m_stats.turnaroundUs.append(atUs - std::exchange(m_requestSentUs, -1));
}

void ModuleSimulator::countDeparture(qint64 atUs)
{
    if (m_phase == Phase::Serving && m_replyTimer.isActive())
        m_requestSentUs = atUs;
}

// ---- Receiving ----

void ModuleSimulator::receive(const QByteArray &bytes)
{
    if (m_options.silent || m_phase == Phase::Gone)
        return;
    if (m_phase != Phase::WaitAt) {
        for (const FrameReader::Received &frame : m_reader.feed(bytes)) {
            if (frame.crcMatches)
                handleFrame(frame.opcode(), frame.payload());
        }
        return;
    }
    m_text.append(bytes);
    const int at = m_text.indexOf(AtUpgradeCommand);
    if (at < 0) {
        m_text = m_text.right(AtUpgradeCommand.size() - 1); // keep a possible partial command
        return;
    }
    const QByteArray rest = m_text.mid(at + AtUpgradeCommand.size());
    m_text.clear();
    m_reader.reset();
    m_phase = Phase::WaitStart;
    receive(rest);
}

void ModuleSimulator::handleFrame(uint8_t opcode, const QByteArray &payload)
{
    switch (m_phase) {
    case Phase::WaitStart:
        if (opcode == StartUpgradeCmd && payload.isEmpty()) {
            m_phase = Phase::WaitBaudReply;
            m_stats = {};
            m_clock.invalidate();
            m_misbehavedOnce = false;
            m_line.send(OkReply);
            QTimer::singleShot(DelayAfterOkMs, this, [this] {
                m_retries = 0;
                sendAwaitingReply(BaudRateCmd, u32le(FastBaudRate));
            });
        }
        break;
    case Phase::WaitBaudReply:
        if (opcode == BaudRateCmd)
            checkBaudReply(payload);
        break;
    case Phase::Serving:
        if (opcode == ReadDataCmd)
            checkReadReply(payload);
        break;
    case Phase::WaitAt:
    case Phase::Gone:
        break;
    }
}

void ModuleSimulator::checkBaudReply(const QByteArray &payload)
{
    if (!m_replyTimer.isActive())
        return; // a late duplicate
    m_replyTimer.stop();
    const std::vector<uint8_t> fastRate = u32le(FastBaudRate);
    if (payload != QByteArray(reinterpret_cast<const char *>(fastRate.data()), 4))
        ++m_stats.mismatches;
    QTimer::singleShot(DelayAfterBaudReplyMs, this, &ModuleSimulator::startServing);
}

void ModuleSimulator::checkReadReply(const QByteArray &payload)
{
    const QByteArray echo = payload.left(ReadRequestSize);
    const QByteArray asked = m_request.mid(5, ReadRequestSize);
    if (!m_replyTimer.isActive() || echo != asked) {
        if (echo != m_previousEcho && echo != asked)
            ++m_stats.mismatches; // an answer to something never asked
        return;
    }
    m_replyTimer.stop();
    if (payload.mid(ReadRequestSize) == m_image.mid(int(m_address), int(m_count)))
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
    if (!std::exchange(m_misbehavedOnce, true)) {
        for (const QByteArray &malformed : m_faults.onceBeforeServing())
            sendFrame(malformed);
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
    std::vector<uint8_t> request = u32le(m_address);
    appendU32le(request, m_count);
    m_retries = 0;
    sendAwaitingReply(ReadDataCmd, request);
}

void ModuleSimulator::sendAwaitingReply(uint8_t opcode, const std::vector<uint8_t> &payload)
{
    if (m_phase == Phase::Gone)
        return;
    m_request = buildFrame(opcode, payload);
    sendRequestOnce();
}

void ModuleSimulator::sendRequestOnce()
{
    const bool dataRequest = m_request.at(4) == char(ReadDataCmd);
    if (dataRequest)
        ++m_stats.requests;
    // The reply takes its line time on top of the timeout.
    const qint64 replySize =
        dataRequest ? ReadReplyOverhead + m_count : FrameOverhead + qint64(sizeof(quint32));
    const qint64 lineUs = m_line.lineTimeUs(m_request.size() + replySize);
    m_replyTimer.start(m_options.replyTimeoutMs + int((lineUs + 999) / 1000));
    sendFrame(m_faults.corrupted(m_request));
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
    const int result = succeeded ? m_options.result : 1;
    sendFrame(buildFrame(UpgradeResultCmd, QByteArray(1, char(result))));
    m_phase = Phase::WaitAt;
    emit finished(succeeded && result == 0);
}

// Hangs up the line as an unplugged adapter would.
void ModuleSimulator::hangUp()
{
    m_phase = Phase::Gone;
    m_replyTimer.stop();
    m_line.hangUp();
    emit lineDropped();
    emit finished(false);
}

void ModuleSimulator::sendFrame(const QByteArray &frame)
{
    for (const FaultInjector::Piece &piece : m_faults.shape(frame)) {
        if (m_phase == Phase::Serving)
            m_stats.lineBytes += piece.bytes.size();
        m_line.send(piece.bytes, piece.pauseMs);
    }
}
