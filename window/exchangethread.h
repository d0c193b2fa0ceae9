#pragma once

#include "upgradesequence.h"

#include <QObject>
#include <QThread>

#include <functional>
#include <mutex>

class CallQueue;

// What the sequence says, said again in the window's thread, in its order. session() tells
// which port session the event being delivered belongs to.
class SequenceEvents : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    quint64 session() const { return m_session; }

signals:
    void logged(const LogEntry &entry);
    void openFinished(bool opened);
    void sessionEnded();
    void upgradeStarted(qint64 imageSize);
    void textReceived(const QByteArray &text);
    void frameReceived();
    void frameDropped();
    void sliceServed(qint64 sliceEnd, qint64 elapsedMs);
    void resultReported(uint8_t result, const UpgradeFigures &figures);
    void returnedToChosenRate();
    void phaseChanged(UpgradeSequence::Phase phase);

private:
    friend class ExchangeThread;
    quint64 m_session = 0;
};

// The upgrade sequence in a thread of its own, so that nothing the window does (laying out,
// painting, a dialog, a resize, reading a large image) delays an answer to the module. The
// sequence is moved to the thread once and deleted there when the thread finishes. The
// window hands it calls with post() and hears from it through events(); neither waits for
// the other.
class ExchangeThread : public QObject
{
    Q_OBJECT

public:
    using Call = std::function<void(UpgradeSequence &)>;

    explicit ExchangeThread(QObject *parent = nullptr);
    ~ExchangeThread() override;

    // Runs `call` in the sequence's thread, after every call posted before it.
    void post(Call call);
    SequenceEvents *events() const { return m_events; }
    // The sequence's own state at this moment, read without waiting.
    UpgradeSequence::Phase phase() const;
    quint64 entriesProduced() const;
    // Closes the port, ends the thread once every posted call has run, and delivers all
    // the sequence said before this returns. Called when the application quits.
    void finish();

private:
    template <typename... Args>
    void forward(void (UpgradeSequence::*signal)(Args...), void (SequenceEvents::*event)(Args...));
    void forwardAll();

    QThread m_thread;
    std::mutex m_ended;          // the thread's end, handed over where ThreadSanitizer sees it
    UpgradeSequence *m_sequence; // lives in m_thread
    CallQueue *m_calls;          // lives in m_thread
    CallQueue *m_delivery;       // lives here
    SequenceEvents *m_events;
};
