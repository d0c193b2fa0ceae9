// The station's serving thread and the model it feeds.

#include "stationcontroller.h"

#include "callqueue.h"
#include "stationworker.h"

#include <QCoreApplication>

StationController::StationController(QObject *parent)
    : QObject(parent), m_calls(new CallQueue), m_delivery(new CallQueue(this)),
      m_model(new StationModel(this))
{
    m_thread.setObjectName(QStringLiteral("station"));
    CallQueue *delivery = m_delivery;
    StationModel *model = m_model;
    StationWorker::Listener listener{
        [model](const std::vector<PositionSnapshot> &snapshots) {
            model->applySnapshots(snapshots);
        },
        [model](const StationRecord &record) { model->addRecord(record); },
        [model](int index, const EndReason &reason) { model->setPortFault(index, reason); },
        [model](const ImageInfo &image) { model->setImage(image); }};
    m_worker = new StationWorker(
        [delivery](std::function<void()> call) { delivery->post(std::move(call)); }, listener);
    m_worker->moveToThread(&m_thread);
    m_calls->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(&m_thread, &QThread::finished, m_calls, &QObject::deleteLater);
    // Qt hands the end of a thread to wait() under a lock of its own, which ThreadSanitizer
    // does not see; this one it does.
    connect(
        &m_thread, &QThread::finished, this, [this] { std::lock_guard<std::mutex> end(m_ended); },
        Qt::DirectConnection);
    if (QCoreApplication::instance())
        connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this,
                &StationController::finish);
    // Answers are due within a millisecond or two; the window can wait.
    m_thread.start(QThread::TimeCriticalPriority);
}

StationController::~StationController()
{
    finish();
}

void StationController::post(std::function<void(StationWorker &)> call)
{
    if (!m_worker)
        return; // finished: the station is closing
    StationWorker *worker = m_worker;
    m_calls->post([worker, call = std::move(call)] { call(*worker); });
}

bool StationController::configure(const StationSetup &setup)
{
    if (m_model->anyActive())
        return false;
    const bool positionsChanged = setup.positions != m_setup.positions;
    m_setup = setup;
    if (positionsChanged || m_model->positionCount() != setup.positions.size())
        m_model->setPositions(setup.positions);
    StationSetup copy = setup;
    copy.image = ownCopy(setup.image);
    copy.baud = ownCopy(setup.baud);
    copy.jsonLinesPath = ownCopy(setup.jsonLinesPath);
    copy.logDir = ownCopy(setup.logDir);
    copy.positions.clear();
    for (const PositionSetup &position : setup.positions)
        copy.positions.append({ownCopy(position.label), ownCopy(position.port)});
    post([copy = std::move(copy)](StationWorker &worker) { worker.configure(copy); });
    return true;
}

void StationController::start(int index)
{
    post([index](StationWorker &worker) { worker.start(index); });
}

void StationController::startAllIdle()
{
    for (int i = 0; i < m_model->positionCount(); ++i) {
        if (m_model->position(i).now.activity == PositionActivity::Stopped)
            start(i);
    }
}

void StationController::stop(int index)
{
    post([index](StationWorker &worker) { worker.stop(index); });
}

void StationController::finish()
{
    if (!m_worker)
        return;
    post([](StationWorker &worker) {
        worker.stopAll();
        QThread::currentThread()->quit();
    });
    // The one wait of the window's thread, as the station closes: for the calls already
    // posted, so that every interrupted module is reported and its line is written.
    m_thread.wait();
    {
        std::lock_guard<std::mutex> end(m_ended);
    }
    m_worker = nullptr; // deleted in its thread as that ended
    m_delivery->runAll();
}
