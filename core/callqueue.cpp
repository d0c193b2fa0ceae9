#include "callqueue.h"

#include <QElapsedTimer>
#include <QSocketNotifier>

#include <iterator>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

constexpr int SliceMs = 20;

} // namespace

// The notifier is a child: it moves with the queue to the thread that runs the calls.
CallQueue::CallQueue(QObject *parent) : QObject(parent)
{
#ifdef Q_OS_UNIX
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, m_wakeEnds) != 0)
        return;
    auto *notifier = new QSocketNotifier(m_wakeEnds[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &CallQueue::takeWakeUp);
#endif
}

CallQueue::~CallQueue()
{
#ifdef Q_OS_UNIX
    for (const int end : m_wakeEnds) {
        if (end >= 0)
            ::close(end);
    }
#endif
}

void CallQueue::wake()
{
#ifdef Q_OS_UNIX
    // A full socket (EAGAIN) already holds wake-ups enough. Any other failure (ENOBUFS,
    // ENOMEM, ...) sends none: then the queued call below wakes the thread, or the calls would
    // wait for good. send() rather than write(): a broken pair says EPIPE, not SIGPIPE.
    const char byte = 0;
    if (m_wakeEnds[0] >= 0 && (::send(m_wakeEnds[0], &byte, 1, MSG_NOSIGNAL) == 1 ||
                               errno == EAGAIN || errno == EWOULDBLOCK))
        return;
#endif
    // By name: the call is made inside Qt, with nothing of ours in the queued event.
    QMetaObject::invokeMethod(this, "runPending", Qt::QueuedConnection);
}

int CallQueue::wakeUpEnd() const
{
    return m_wakeEnds[0];
}

void CallQueue::takeWakeUp()
{
#ifdef Q_OS_UNIX
    char bytes[64];
    while (::read(m_wakeEnds[1], bytes, sizeof bytes) > 0) {
    }
#endif
    runPending();
}

void CallQueue::post(Call call)
{
    if (m_holding) {
        m_held.push_back(std::move(call));
        return;
    }
    std::vector<Call> one;
    one.push_back(std::move(call));
    publish(one);
}

void CallQueue::hold(bool holding)
{
    m_holding = holding;
    if (!holding && !m_held.empty())
        publish(m_held);
}

void CallQueue::publish(std::vector<Call> &calls)
{
    bool wake = false;
    std::vector<Call> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed) {
            dropped.swap(calls); // destroyed outside the lock: a call may own a queue
            return;
        }
        for (Call &call : calls)
            m_pending.push_back(std::move(call));
        wake = !m_woken;
        m_woken = true;
    }
    calls.clear();
    if (wake)
        this->wake();
}

void CallQueue::runPending()
{
    QElapsedTimer clock;
    clock.start();
    std::vector<Call> calls;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        calls.swap(m_pending);
    }
    size_t done = 0;
    while (done < calls.size() && clock.elapsed() < SliceMs)
        calls[done++]();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (done < calls.size()) {
        m_pending.insert(m_pending.begin(), std::make_move_iterator(calls.begin() + done),
                         std::make_move_iterator(calls.end()));
        wake();
        return;
    }
    m_woken = !m_pending.empty();
    if (m_woken)
        wake();
}

void CallQueue::close()
{
    std::vector<Call> dropped;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
    dropped.swap(m_pending);
}

void CallQueue::runAll()
{
    publish(m_held);
    for (;;) {
        std::vector<Call> calls;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            calls.swap(m_pending);
        }
        if (calls.empty())
            return;
        for (Call &call : calls)
            call();
    }
}
