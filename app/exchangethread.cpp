#include "exchangethread.h"

#include <QCoreApplication>

ExchangeThread::ExchangeThread(QObject *worker, QObject *parent)
    : QObject(parent), m_worker(worker), m_courier(new CallCourier(this))
{
    m_thread.setObjectName(QStringLiteral("exchanges"));
}

ExchangeThread::~ExchangeThread()
{
    stop();
    delete m_courier;
}

void ExchangeThread::start()
{
    if (m_thread.isRunning())
        return;
    m_worker->moveToThread(&m_thread);
    m_courier->moveToThread(&m_thread);
    // The application may end with the window still open: the thread ends before Qt does.
    connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this,
            &ExchangeThread::stop, Qt::UniqueConnection);
    // Answers are due within a millisecond or two; the window can wait.
    m_thread.start(QThread::TimeCriticalPriority);
}

void ExchangeThread::run(const std::function<void()> &call)
{
    if (!m_thread.isRunning()) {
        call();
        return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_call = &call;
    // By name: the call is made inside Qt, with nothing of ours in the queued event.
    QMetaObject::invokeMethod(m_courier, "runPending", Qt::QueuedConnection);
    m_done.wait(lock, [this] { return m_call == nullptr; });
}

void ExchangeThread::runPending()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const std::function<void()> *call = m_call;
    lock.unlock();
    if (call)
        (*call)();
    lock.lock();
    m_call = nullptr;
    m_done.notify_all();
}

// An object can only be moved away by its own thread: the worker goes home from there.
void ExchangeThread::stop()
{
    if (!m_thread.isRunning())
        return;
    QThread *home = thread();
    run([this, home] {
        m_worker->moveToThread(home);
        m_courier->moveToThread(home);
    });
    m_thread.quit();
    m_thread.wait();
    // Objects that moved with running timers have them registered again by a posted call;
    // deliver it now, or it would be lost (and its timer list with it) if no loop ran again.
    for (QObject *object : {m_worker, static_cast<QObject *>(m_courier)}) {
        QCoreApplication::sendPostedEvents(object, QEvent::MetaCall);
        for (QObject *child : object->findChildren<QObject *>())
            QCoreApplication::sendPostedEvents(child, QEvent::MetaCall);
    }
}
