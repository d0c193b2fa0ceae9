// Each module's record into the results store, off the serving thread, with an outbox for a
// server that is away.

#include "resultstore.h"

#include "consoleoutput.h"

#include <QThread>
#include <QTimer>

#include <condition_variable>
#include <mutex>

namespace {

// A test hook, never set in use: RW47HN_FORWARD_HOLD_MS holds each delivered record that long
// between the server's commit and its removal from the outbox, so that a test can end the
// process exactly there.
unsigned long forwardHoldMs()
{
    static const int hold = qEnvironmentVariableIntValue("RW47HN_FORWARD_HOLD_MS");
    return ulong(qMax(hold, 0));
}

void say(const QString &text)
{
    printLine(stderr, QStringLiteral("rw47hn-upgrader: ") + text);
}

// Runs `call` on the worker's thread and waits for it: for the few calls whose answer the
// caller needs before it goes on.
template <typename Result, typename Call>
Result runThere(WorkerThread<StoreWorker> &thread, Call call)
{
    std::mutex mutex;
    std::condition_variable done;
    bool ran = false;
    Result result{};
    thread.post([&](StoreWorker &worker) {
        Result made = call(worker);
        std::lock_guard<std::mutex> lock(mutex);
        result = made;
        ran = true;
        done.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    done.wait(lock, [&] { return ran; });
    return result;
}

} // namespace

StoreWorker::StoreWorker(const ResultsTarget &target, const QString &station,
                         std::atomic<int> *waiting)
    : m_target(target), m_station(station), m_waiting(waiting), m_forwarding(new QTimer(this))
{
    m_forwarding->setInterval(ResultStore::ForwardEveryMs);
    connect(m_forwarding, &QTimer::timeout, this, [this] {
        if (*m_waiting > 0)
            forward();
    });
}

StoreWorker::~StoreWorker() = default;

QString StoreWorker::open()
{
    QString problem;
    m_store = std::make_unique<ResultsDatabase>(m_target, ResultsDatabase::Use::Write);
    if (m_target.isServer()) {
        ResultsTarget outbox = ResultsTarget::byDefault();
        outbox.path = ResultsTarget::outboxPath();
        m_outbox = std::make_unique<ResultsDatabase>(outbox, ResultsDatabase::Use::Outbox);
        if (m_outbox->open(&problem) != ResultsDatabase::Outcome::Done)
            return QStringLiteral("cannot use the outbox %1: %2").arg(outbox.path, problem);
    }
    switch (m_store->open(&problem)) {
    case ResultsDatabase::Outcome::Done:
        break;
    case ResultsDatabase::Outcome::Unreachable:
        serverAway(problem);
        break;
    case ResultsDatabase::Outcome::Refused:
        return QStringLiteral("cannot use %1: %2").arg(m_target.display(), problem);
    }
    countWaiting();
    if (m_target.isServer()) {
        forward();
        m_forwarding->start();
    }
    return {};
}

QString StoreWorker::add(const ModuleRecord &record)
{
    const ModuleRow row = ModuleRow::of(record, m_station);
    QString problem;
    if (!m_target.isServer()) {
        if (m_store->insert(row, {}, &problem) == ResultsDatabase::Outcome::Done)
            return {};
        return QStringLiteral("cannot write %1: %2").arg(m_target.display(), problem);
    }
    // What waits goes first, so that the server takes the records in their order.
    if (forward() && m_store->insert(row, {}, &problem) == ResultsDatabase::Outcome::Done)
        return {};
    if (!problem.isEmpty())
        serverAway(problem);
    if (m_outbox->insert(row, m_target.display(), &problem) != ResultsDatabase::Outcome::Done)
        return QStringLiteral("cannot write the outbox %1: %2")
            .arg(ResultsTarget::outboxPath(), problem);
    countWaiting();
    return {};
}

// Removed from the outbox only once the server has committed it: a process ended in between
// offers it again, and the server, which has its id, leaves it as it is.
bool StoreWorker::forward()
{
    if (!m_outbox || *m_waiting == 0)
        return true;
    QString problem;
    const std::vector<ModuleRow> rows = m_outbox->waiting(m_target.display(), &problem);
    int delivered = 0;
    for (const ModuleRow &row : rows) {
        if (m_store->insert(row, {}, &problem) != ResultsDatabase::Outcome::Done) {
            serverAway(problem);
            break;
        }
        if (forwardHoldMs() > 0)
            QThread::msleep(forwardHoldMs());
        if (!m_outbox->remove(row.value(QStringLiteral("id")).toString(), &problem))
            break; // offered again next time, and taken once
        ++delivered;
    }
    countWaiting();
    if (delivered > 0)
        serverBack();
    return *m_waiting == 0;
}

void StoreWorker::serverAway(const QString &problem)
{
    if (m_away)
        return;
    m_away = true;
    say(QStringLiteral("%1 cannot take records now (%2); they wait in %3 until it can")
            .arg(m_target.display(), problem, ResultsTarget::outboxPath()));
}

void StoreWorker::serverBack()
{
    if (!m_away)
        return;
    m_away = false;
    say(QStringLiteral("%1 takes records again").arg(m_target.display()));
}

void StoreWorker::countWaiting()
{
    if (m_outbox)
        *m_waiting = m_outbox->waitingCount(m_target.display());
}

// In this thread, where the connections were made.
void StoreWorker::close()
{
    m_forwarding->stop();
    m_store.reset();
    m_outbox.reset();
}

ResultStore::ResultStore(const ResultsTarget &target, const QString &station,
                         std::shared_ptr<std::atomic<int>> waiting)
    : m_target(target),
      m_waiting(waiting ? std::move(waiting) : std::make_shared<std::atomic<int>>(0)),
      m_thread(QStringLiteral("results"), [&](const WorkerThread<StoreWorker>::Deliver &) {
          return new StoreWorker(target, station, m_waiting.get());
      })
{
    m_thread.start();
}

ResultStore::~ResultStore()
{
    m_thread.finish([](StoreWorker &worker) { worker.close(); });
}

QString ResultStore::open()
{
    return runThere<QString>(m_thread, [](StoreWorker &worker) { return worker.open(); });
}

void ResultStore::add(const ModuleRecord &record, Stored stored)
{
    m_thread.post(
        [this, record = ownCopy(record), stored = std::move(stored)](StoreWorker &worker) {
            const QString problem = worker.add(record);
            if (!problem.isEmpty()) {
                m_lost = true;
                say(problem);
            }
            if (stored)
                stored(problem);
        });
}

bool ResultStore::waitForAll()
{
    runThere<bool>(m_thread, [](StoreWorker &) { return true; });
    return !m_lost;
}
