#pragma once

#include <QObject>

#include <functional>
#include <mutex>
#include <vector>

// Everything the sequence tells the window, from the sequence's thread to the window's, in
// its order. Each event is handed over under a lock, and the window's thread is woken once
// per batch rather than once per event, so that it competes with the exchanges for a
// processor as little as it can. The events of a frame being answered are handed over once
// its reply is out.
//
// The hand-over uses std::mutex, not Qt's queued arguments, so that ThreadSanitizer sees
// every hand-over even with a Qt built without it; the wake-up carries no data.
class EventRelay : public QObject
{
    Q_OBJECT

public:
    using Event = std::function<void()>;

    explicit EventRelay(QObject *parent = nullptr);

    // In the sequence's thread.
    void post(Event event);
    void hold(bool answering);

private slots:
    // In the window's thread: runs what has come, in order.
    void deliver();

private:
    void publish(std::vector<Event> &events);

    std::mutex m_mutex;
    std::vector<Event> m_pending; // under m_mutex
    bool m_posted = false;        // under m_mutex: a wake-up is on its way
    std::vector<Event> m_held;    // the sequence's thread only
    bool m_holding = false;
};
