#include "eventrelay.h"

#include <QElapsedTimer>

#include <iterator>

namespace {

constexpr int SliceMs = 20;

} // namespace

EventRelay::EventRelay(QObject *parent) : QObject(parent) {}

void EventRelay::post(Event event)
{
    m_held.push_back(std::move(event));
    if (!m_holding)
        publish(m_held);
}

void EventRelay::hold(bool answering)
{
    m_holding = answering;
    if (!answering && !m_held.empty())
        publish(m_held);
}

void EventRelay::publish(std::vector<Event> &events)
{
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (Event &event : events)
            m_pending.push_back(std::move(event));
        wake = !m_posted;
        m_posted = true;
    }
    events.clear();
    // By name: the call is made inside Qt, with nothing of ours in the queued event.
    if (wake)
        QMetaObject::invokeMethod(this, "deliver", Qt::QueuedConnection);
}

// A long backlog is worked off in slices, so that the window's own timers and repaints run
// in between.
void EventRelay::deliver()
{
    QElapsedTimer clock;
    clock.start();
    std::vector<Event> events;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        events.swap(m_pending);
    }
    size_t done = 0;
    while (done < events.size() && clock.elapsed() < SliceMs)
        events[done++]();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (done < events.size()) {
        m_pending.insert(m_pending.begin(), std::make_move_iterator(events.begin() + done),
                         std::make_move_iterator(events.end()));
        QMetaObject::invokeMethod(this, "deliver", Qt::QueuedConnection);
        return;
    }
    m_posted = !m_pending.empty();
    if (m_posted)
        QMetaObject::invokeMethod(this, "deliver", Qt::QueuedConnection);
}
