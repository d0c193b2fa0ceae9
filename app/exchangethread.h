#pragma once

#include <QObject>
#include <QThread>

#include <condition_variable>
#include <functional>
#include <mutex>

class CallCourier;

// Where the upgrade sequence runs: in the window's thread, or in a thread of its own, so that
// nothing the window does (laying out, painting, a dialog, a resize) delays an answer to the
// module. The window calls the sequence only through run(); what the sequence says reaches
// the window through an EventRelay.
class ExchangeThread : public QObject
{
    Q_OBJECT

public:
    explicit ExchangeThread(QObject *worker, QObject *parent = nullptr);
    ~ExchangeThread() override;

    // Moves the worker into a thread of its own. Before the worker has a port open.
    void start();
    bool isRunning() const { return m_thread.isRunning(); }
    // Runs `call` in the worker's thread and waits for it. The worker never waits for the
    // window, so the wait is short: at most the answer to one frame.
    void run(const std::function<void()> &call);
    // Brings the worker back to this object's thread and ends its own.
    void stop();

private:
    friend class CallCourier;
    void runPending();

    QObject *m_worker;
    CallCourier *m_courier;
    QThread m_thread;
    // The call on its way, handed over under std::mutex (ThreadSanitizer sees it).
    std::mutex m_mutex;
    std::condition_variable m_done;
    const std::function<void()> *m_call = nullptr;
};

// Lives in the worker's thread and runs the pending call there when woken by name.
class CallCourier : public QObject
{
    Q_OBJECT

public:
    explicit CallCourier(ExchangeThread *owner) : m_owner(owner) {}

private slots:
    void runPending() { m_owner->runPending(); }

private:
    ExchangeThread *m_owner;
};
