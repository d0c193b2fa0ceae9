#pragma once

#include "callqueue.h"
#include "consoleoutput.h"
#include "owncopy.h"

#include <QCoreApplication>
#include <QString>
#include <QThread>

#include <functional>
#include <memory>
#include <mutex>
#include <tuple>
#include <type_traits>
#include <vector>

// A worker object on a thread of its own: calls go in with post(), what it says comes back
// through relay() or the Deliver it was made with, each through a CallQueue, in order,
// neither side waiting for the other.
//
// Qt's worker-object pattern: the worker is made in the owner's thread, moved to the thread
// before start() and deleted there as the thread finishes. CallQueue rather than queued
// connections carries both ways because ThreadSanitizer sees its hand-over (a std::mutex) but
// not Qt's posted-event queue, which Qt guards with a lock built without ThreadSanitizer.
template <typename Worker> class WorkerThread
{
public:
    using Call = std::function<void(Worker &)>;
    // Hands a call to the owner's thread; from any thread.
    using Deliver = std::function<void(CallQueue::Call)>;
    using Make = std::function<Worker *(const Deliver &)>;
    // How long the owner's end waits for the thread: past that, the thread is left to itself.
    static constexpr unsigned long EndBoundMs = 5000;

    // `make` builds the worker here, given what it may use to hand its own calls back.
    explicit WorkerThread(const QString &name, const Make &make = defaultMake())
        : m_thread(new QThread), m_calls(new CallQueue), m_delivery(new CallQueue)
    {
        m_thread->setObjectName(name);
        CallQueue *delivery = m_delivery;
        m_worker = make([delivery](CallQueue::Call call) { delivery->post(std::move(call)); });
        m_worker->moveToThread(m_thread);
        m_calls->moveToThread(m_thread);
        QObject::connect(m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
        QObject::connect(m_thread, &QThread::finished, m_calls, &QObject::deleteLater);
        // Qt hands the end of a thread to wait() under a lock of its own, which
        // ThreadSanitizer does not see; this one it does. Shared: a thread left to itself
        // ends after this object has gone.
        QObject::connect(
            m_thread, &QThread::finished, m_delivery,
            [ended = m_ended] { std::lock_guard<std::mutex> end(*ended); }, Qt::DirectConnection);
    }

    ~WorkerThread()
    {
        finish();
        delete m_delivery;
        delete m_thread;
    }

    WorkerThread(const WorkerThread &) = delete;
    WorkerThread &operator=(const WorkerThread &) = delete;

    void start(QThread::Priority priority = QThread::InheritPriority)
    {
        m_thread->start(priority);
        m_started = true;
    }

    // The application may quit with the owner still there: the thread ends all the same.
    void finishWithApplication()
    {
        if (QCoreApplication *app = QCoreApplication::instance())
            m_quit = QObject::connect(app, &QCoreApplication::aboutToQuit, m_delivery,
                                      [this] { finish(); });
    }

    // Runs `call` in the worker's thread, after every call posted before it.
    void post(Call call)
    {
        if (!m_worker)
            return; // finished: the owner is ending
        Worker *worker = m_worker;
        m_calls->post([worker, call = std::move(call)] { call(*worker); });
    }

    // Runs `then` here once every call posted before it has run in the worker's thread.
    void afterCalls(CallQueue::Call then)
    {
        CallQueue *delivery = m_delivery;
        post([delivery, then = std::move(then)](Worker &) { delivery->post(then); });
    }

    // The worker, for what it lets any thread read; null once finished.
    const Worker *worker() const { return m_worker; }

    // Runs `slot` of `receiver` (a member or a functor) here each time the worker emits
    // `signal`, with copies that share no buffer with the worker's: a type that has no
    // ownCopy() does not compile. Before start() the connection is in place at once; after,
    // it is made in the worker's thread in order with the calls, and afterCalls() says when.
    template <typename... Args, typename Receiver, typename Slot>
    void relay(void (Worker::*signal)(Args...), Receiver *receiver, Slot slot)
    {
        // Whether the receiver is still there: set and read in this thread only. Not a
        // QPointer, whose count Qt drops inside its own code, unseen by ThreadSanitizer.
        auto alive = std::make_shared<bool>(true);
        QObject::connect(receiver, &QObject::destroyed, [alive] { *alive = false; });
        CallQueue *delivery = m_delivery;
        Call wire = [=](Worker &worker) {
            QObject::connect(
                &worker, signal, &worker,
                [=](Args... args) {
                    auto copies = std::make_tuple(ownCopy(args)...);
                    delivery->post([=] {
                        if (*alive)
                            std::apply(
                                [&](const auto &...values) { invoke(receiver, slot, values...); },
                                copies);
                    });
                },
                Qt::DirectConnection);
        };
        if (m_started)
            post(std::move(wire));
        else if (m_worker)
            wire(*m_worker);
    }

    // While the worker says true on `signal`, what it says waits, and goes together once it
    // says false. Made before start().
    void holdDeliveriesWhile(void (Worker::*signal)(bool))
    {
        QObject::connect(m_worker, signal, m_delivery, &CallQueue::hold, Qt::DirectConnection);
    }

    // Runs `last` in the worker's thread, ends the thread once every call posted before has
    // run, and delivers all the worker said before this returns. The one wait of the owner's
    // thread, bounded: a thread stuck in a call (a port that will not close) is said on stderr
    // and left to itself, so that the owner's end never hangs on it. False then. Tests
    // shorten the bound.
    bool finish(Call last = {}, unsigned long boundMs = EndBoundMs)
    {
        if (!m_worker)
            return m_thread != nullptr;
        QObject::disconnect(m_quit);
        post([last = std::move(last)](Worker &worker) {
            if (last)
                last(worker);
            QThread::currentThread()->quit();
        });
        m_worker = nullptr; // deleted in its thread as that ends
        if (!m_started)
            start(); // so that the worker is deleted where it lives, after the calls
        if (!m_thread->wait(boundMs))
            return abandon(boundMs);
        {
            std::lock_guard<std::mutex> end(*m_ended);
        }
        m_delivery->runAll();
        return true;
    }

private:
    static Make defaultMake()
    {
        return [](const Deliver &) { return new Worker; };
    }

    template <typename Receiver, typename Slot, typename... Values>
    static void invoke(Receiver *receiver, const Slot &slot, const Values &...values)
    {
        if constexpr (std::is_member_function_pointer_v<Slot>)
            (receiver->*slot)(values...);
        else
            slot(values...);
    }

    // The thread and what it hands back are never deleted: the thread may still use them.
    // They are kept where a leak checker sees them. Nothing it says is run any more.
    bool abandon(unsigned long boundMs)
    {
        printLine(stderr, QStringLiteral("rw47hn-upgrader: the %1 thread has not ended after %2 "
                                         "ms; going on without it")
                              .arg(m_thread->objectName())
                              .arg(boundMs));
        m_delivery->close();
        // Never destroyed either, not even at exit: the thread may outlive every destructor.
        static auto *leftRunning = new std::vector<QObject *>;
        leftRunning->push_back(m_thread);
        leftRunning->push_back(m_delivery);
        m_delivery = nullptr;
        m_thread = nullptr;
        return false;
    }

    QThread *m_thread;     // null once left to itself
    CallQueue *m_calls;    // lives in m_thread
    CallQueue *m_delivery; // lives here
    Worker *m_worker;      // lives in m_thread; null once finished
    bool m_started = false;
    // The thread's end, handed over where ThreadSanitizer sees it.
    std::shared_ptr<std::mutex> m_ended = std::make_shared<std::mutex>();
    QMetaObject::Connection m_quit;
};
