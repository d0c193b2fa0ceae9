#pragma once

#include "modulerecord.h"
#include "resultsdatabase.h"
#include "resultstarget.h"
#include "workerthread.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

class QTimer;

// The store's side on its own thread: the connection to the store and, for a server, the
// outbox where records wait while the server cannot take them.
class StoreWorker : public QObject
{
    Q_OBJECT

public:
    StoreWorker(const ResultsTarget &target, const QString &station, std::atomic<int> *waiting);
    ~StoreWorker() override;

    QString open();
    // Why the record was lost, or empty: in the store, or waiting in the outbox.
    QString add(const ModuleRecord &record);
    void close();

private:
    // Delivers what waits, oldest first; false when the server could not take all of it.
    bool forward();
    void serverAway(const QString &problem);
    void serverBack();
    void countWaiting();

    ResultsTarget m_target;
    QString m_station;
    std::atomic<int> *m_waiting;
    std::unique_ptr<ResultsDatabase> m_store;
    std::unique_ptr<ResultsDatabase> m_outbox; // only for a server
    QTimer *m_forwarding;                      // a child: it moves with this object
    bool m_away = false;                       // said once per time the server is away
};

// Where each module's record is kept: a SQLite file or a PostgreSQL server, written on a thread
// of its own, one transaction per record, so that the modules being served never wait for it.
// A record the server cannot take waits in a local SQLite outbox and is delivered when the
// server is back: at the next record, at the next start and every 30 s; the server takes each
// record once, however often it is offered.
class ResultStore
{
public:
    static constexpr int ForwardEveryMs = 30000;
    // Runs on the store's thread once the record is kept (an empty text) or lost (why).
    using Stored = std::function<void(const QString &problem)>;

    // `waiting`, when given, is where the outbox's count is kept: a counter that outlives this.
    ResultStore(const ResultsTarget &target, const QString &station,
                std::shared_ptr<std::atomic<int>> waiting = {});
    ~ResultStore(); // waits for the records still on their way
    ResultStore(const ResultStore &) = delete;
    ResultStore &operator=(const ResultStore &) = delete;

    // Connects, makes the tables when missing and delivers what waits. Why the store cannot
    // be used (a newer schema, a file that cannot be made, no outbox), or empty; a server that
    // cannot be reached is no reason: its records wait. Waits for the store's thread.
    QString open();
    void add(const ModuleRecord &record, Stored stored = {});
    // Waits until every record given so far is kept or lost; false when any was lost.
    bool waitForAll();
    // Records in the outbox for this server; from any thread.
    int waitingCount() const { return *m_waiting; }
    const ResultsTarget &target() const { return m_target; }

private:
    ResultsTarget m_target;
    std::shared_ptr<std::atomic<int>> m_waiting;
    std::atomic<bool> m_lost{false};
    WorkerThread<StoreWorker> m_thread;
};
