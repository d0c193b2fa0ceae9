#pragma once

#include <QObject>

#include <functional>
#include <mutex>
#include <vector>

// Calls from any thread, run in order in the thread this object lives in: how the window and
// the sequence's thread talk, both ways, without either waiting for the other. The receiving
// thread is woken once per batch rather than once per call, so that the window competes with
// the exchanges for a processor as little as it can; a long backlog runs in slices, so that
// timers and repaints of the receiving thread run in between.
//
// The hand-over is under std::mutex, not in Qt's queued arguments, so that ThreadSanitizer
// sees every one even with a Qt built without it; the wake-up carries no data. On POSIX it is
// a byte on a socket pair, read by a notifier in the receiving thread, so that neither thread
// touches the other's event queue (guarded by a lock of Qt's that ThreadSanitizer cannot see);
// elsewhere a queued call.
class CallQueue : public QObject
{
    Q_OBJECT

public:
    using Call = std::function<void()>;

    explicit CallQueue(QObject *parent = nullptr);
    ~CallQueue() override;

    // From any thread.
    void post(Call call);
    // From the one thread that posts while holding: while `holding`, posted calls wait, and
    // go together when the hold ends (the lines of a frame once its reply is out).
    void hold(bool holding);
    // In this object's thread once no other thread posts any more: runs everything left.
    void runAll();
    // In this object's thread: drops what waits and all that is posted from now on, for a
    // poster that is left running after the receiver has gone.
    void close();
    // For the tests: the descriptor wake-ups are written to; -1 where there is none.
    int wakeUpEnd() const;

private slots:
    void runPending();

private:
    void publish(std::vector<Call> &calls);
    void wake();
    void takeWakeUp();

    std::mutex m_mutex;
    std::vector<Call> m_pending; // under m_mutex
    bool m_woken = false;        // under m_mutex: a wake-up is on its way
    bool m_closed = false;       // under m_mutex
    std::vector<Call> m_held;    // the holding thread only
    bool m_holding = false;
    int m_wakeEnds[2] = {-1, -1}; // written by any thread, read in this object's
};
