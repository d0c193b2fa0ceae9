#include "exchangethread.h"

#include "callqueue.h"
#include "owncopy.h"

#include <QCoreApplication>

#include <tuple>

ExchangeThread::ExchangeThread(QObject *parent)
    : QObject(parent), m_sequence(new UpgradeSequence), m_calls(new CallQueue),
      m_delivery(new CallQueue(this)), m_events(new SequenceEvents(this))
{
    m_thread.setObjectName(QStringLiteral("exchanges"));
    forwardAll();
    m_sequence->moveToThread(&m_thread);
    m_calls->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_sequence, &QObject::deleteLater);
    connect(&m_thread, &QThread::finished, m_calls, &QObject::deleteLater);
    // Qt hands the end of a thread to wait() under a lock of its own, which ThreadSanitizer
    // does not see; this one it does.
    connect(
        &m_thread, &QThread::finished, this, [this] { std::lock_guard<std::mutex> end(m_ended); },
        Qt::DirectConnection);
    // The application may end with the window still open: its port closes, its lines are
    // written.
    if (QCoreApplication::instance())
        connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this,
                &ExchangeThread::finish);
    // Answers are due within a millisecond or two; the window can wait.
    m_thread.start(QThread::TimeCriticalPriority);
}

ExchangeThread::~ExchangeThread()
{
    finish();
}

// Runs `event` in this thread each time the sequence emits `signal` in its own, with copies of
// the arguments that share no buffer with the sequence's, and the port session they belong to.
template <typename... Args>
void ExchangeThread::forward(void (UpgradeSequence::*signal)(Args...),
                             void (SequenceEvents::*event)(Args...))
{
    UpgradeSequence *sequence = m_sequence;
    SequenceEvents *events = m_events;
    CallQueue *delivery = m_delivery;
    connect(
        sequence, signal, delivery,
        [=](Args... args) {
            const quint64 session = sequence->session();
            auto copies = std::make_tuple(ownCopy(args)...);
            delivery->post([=] {
                events->m_session = session;
                std::apply([&](const auto &...values) { (events->*event)(values...); }, copies);
            });
        },
        Qt::DirectConnection);
}

void ExchangeThread::forwardAll()
{
    using S = UpgradeSequence;
    using E = SequenceEvents;
    // The lines of a received frame go once its reply is out: the window's thread is not
    // woken while the module waits for the reply.
    connect(m_sequence, &S::answeringFrame, m_delivery, &CallQueue::hold, Qt::DirectConnection);
    forward(&S::logged, &E::logged);
    forward(&S::openFinished, &E::openFinished);
    forward(&S::sessionEnded, &E::sessionEnded);
    forward(&S::upgradeStarted, &E::upgradeStarted);
    forward(&S::textReceived, &E::textReceived);
    forward(&S::frameReceived, &E::frameReceived);
    forward(&S::frameDropped, &E::frameDropped);
    forward(&S::sliceServed, &E::sliceServed);
    forward(&S::resultReported, &E::resultReported);
    forward(&S::returnedToChosenRate, &E::returnedToChosenRate);
    forward(&S::phaseChanged, &E::phaseChanged);
}

void ExchangeThread::post(Call call)
{
    if (!m_sequence)
        return; // finished: the application is ending
    UpgradeSequence *sequence = m_sequence;
    m_calls->post([sequence, call = std::move(call)] { call(*sequence); });
}

UpgradeSequence::Phase ExchangeThread::phase() const
{
    return m_sequence ? m_sequence->phase() : UpgradeSequence::Phase::Idle;
}

quint64 ExchangeThread::entriesProduced() const
{
    return m_sequence ? m_sequence->entriesProduced() : 0;
}

void ExchangeThread::finish()
{
    if (!m_sequence)
        return;
    post([](UpgradeSequence &sequence) {
        sequence.closePort();
        QThread::currentThread()->quit();
    });
    // The one wait of the window's thread, when the application ends: for the calls already
    // posted (at most the answer to a frame and a port close), so that the last lines reach
    // their file.
    m_thread.wait();
    {
        std::lock_guard<std::mutex> end(m_ended);
    }
    m_sequence = nullptr; // deleted in its thread as that ended
    m_delivery->runAll();
}
