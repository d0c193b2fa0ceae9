#include "callqueue.h"

#include <QElapsedTimer>

#include <iterator>

namespace {

constexpr int SliceMs = 20;

} // namespace

CallQueue::CallQueue(QObject *parent) : QObject(parent) {}

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
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (Call &call : calls)
            m_pending.push_back(std::move(call));
        wake = !m_woken;
        m_woken = true;
    }
    calls.clear();
    // By name: the call is made inside Qt, with nothing of ours in the queued event.
    if (wake)
        QMetaObject::invokeMethod(this, "runPending", Qt::QueuedConnection);
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
        QMetaObject::invokeMethod(this, "runPending", Qt::QueuedConnection);
        return;
    }
    m_woken = !m_pending.empty();
    if (m_woken)
        QMetaObject::invokeMethod(this, "runPending", Qt::QueuedConnection);
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
