#include "simline.h"

#include "ptypair.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <termios.h>
#include <unistd.h>

namespace {

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

} // namespace

SimLine::SimLine(PtyPair &pty, int paceBaud, QObject *parent)
    : QObject(parent), m_pty(pty), m_fd(pty.masterFd()), m_paceBaud(paceBaud),
      m_readNotifier(new QSocketNotifier(m_fd, QSocketNotifier::Read, this)),
      m_writeNotifier(new QSocketNotifier(m_fd, QSocketNotifier::Write, this))
{
    m_writeNotifier->setEnabled(false);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &SimLine::readMaster);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &SimLine::flushWire);
    connect(&m_pumpTimer, &DeadlineTimer::timeout, this, &SimLine::pump);
    connect(&m_deliverTimer, &DeadlineTimer::timeout, this, &SimLine::deliverArrived);
}

int SimLine::baud() const
{
    if (m_paceBaud > 0)
        return m_paceBaud;
    termios settings{};
    return tcgetattr(m_fd, &settings) == 0 ? baudOf(cfgetospeed(&settings)) : 115200;
}

// 8N1: ten bit times per byte.
qint64 SimLine::lineTimeUs(qint64 bytes) const
{
    return pacing() ? bytes * 10 * 1000000 / baud() : 0;
}

void SimLine::send(const QByteArray &bytes, int pauseMs)
{
    if (!m_up)
        return;
    // The adapter sends full packets at once and holds the short rest of a frame.
    constexpr int UsbPacket = 62;
    const int held = m_adapterLatencyUs > 0 ? bytes.size() % UsbPacket : 0;
    if (held < bytes.size())
        m_pieces.append({bytes.left(bytes.size() - held), pauseMs});
    if (held > 0)
        m_pieces.append(
            {bytes.right(held), held < bytes.size() ? 0 : pauseMs, -1, m_adapterLatencyUs});
    if (!m_pumpTimer.isActive())
        pump();
}

void SimLine::hangUp()
{
    m_up = false;
    m_pumpTimer.stop();
    m_deliverTimer.stop();
    m_arriving.clear();
    m_pieces.clear();
    m_outgoing.clear();
    m_readNotifier->setEnabled(false);
    m_writeNotifier->setEnabled(false);
    m_pty.closeMaster();
}

void SimLine::readMaster()
{
    char buffer[65536];
    while (m_up) {
        const ssize_t count = ::read(m_fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno == EAGAIN)
            return;
        if (count <= 0) { // every slave descriptor is closed: nobody is listening any more
            m_readNotifier->setEnabled(false);
            return;
        }
        const QByteArray bytes(buffer, int(count));
        const qint64 now = nowUs();
        emit arrived(now, bytes.size());
        if (!pacing()) {
            emit received(bytes);
            continue;
        }
        // The bytes reach the module only when the line has had the time to carry them.
        m_rxLineFreeUs = std::max(now, m_rxLineFreeUs) + lineTimeUs(bytes.size());
        m_arriving.append({bytes, 0, m_rxLineFreeUs});
        deliverArrived();
    }
}

// Hands the paced bytes to the module in order, each once the line has carried it.
void SimLine::deliverArrived()
{
    while (!m_arriving.isEmpty() && m_up) {
        const qint64 dueUs = m_arriving.first().dueUs;
        if (!waitUntil(dueUs, m_deliverTimer))
            return;
        // What the module sends in answer leaves when the bytes arrived on the line, not
        // when this process woke up to see them: the wake-up is no part of the line.
        m_reactionUs = dueUs;
        emit received(m_arriving.takeFirst().bytes);
        m_reactionUs = -1;
    }
}

// Hands the queued pieces to the line in order, honouring pauses and, when pacing, line time.
void SimLine::pump()
{
    while (!m_pieces.isEmpty() && m_up) {
        Piece &head = m_pieces.first();
        if (head.pauseMs > 0) {
            m_pumpTimer.startAt(nowUs() + qint64(std::exchange(head.pauseMs, 0)) * 1000);
            return;
        }
        if (head.dueUs < 0) {
            // Written once its last byte would have left the UART, and the adapter let it go.
            const qint64 startUs = m_reactionUs >= 0 ? m_reactionUs : nowUs();
            const qint64 carriedUs =
                std::max(startUs, m_txLineFreeUs) + lineTimeUs(head.bytes.size());
            m_txLineFreeUs = pacing() ? carriedUs : 0;
            head.dueUs = carriedUs + head.heldUs;
        }
        if (!waitUntil(head.dueUs, m_pumpTimer))
            return;
        m_outgoing.append(m_pieces.takeFirst().bytes);
        flushWire();
        if (m_pieces.isEmpty())
            emit drained(nowUs());
    }
}

// Writes what the line takes now; the rest waits for the descriptor to become writable.
void SimLine::flushWire()
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
    m_writeNotifier->setEnabled(m_up && !m_outgoing.isEmpty());
}

// True when `dueUs` has come; otherwise `timer` calls back then, to the microsecond.
bool SimLine::waitUntil(qint64 dueUs, DeadlineTimer &timer)
{
    if (dueUs <= nowUs())
        return true;
    timer.startAt(dueUs);
    return false;
}
