// The station's serving thread and the model it feeds.

#include "stationcontroller.h"

namespace {

// Each of the worker's reports goes to the model, in the model's thread.
StationWorker *makeWorker(StationModel *model, const StationWorker::Report &report,
                          const std::shared_ptr<std::atomic<int>> &waiting)
{
    StationWorker::Listener listener{
        [model](const std::vector<PositionSnapshot> &snapshots) {
            model->applySnapshots(snapshots);
        },
        [model](const StationRecord &record) { model->addRecord(record); },
        [model](int index, const EndReason &reason) { model->setPortFault(index, reason); },
        [model](const ImageInfo &image) { model->setImage(image); },
        [model](const StoredTotals &totals) { model->restoreTotals(totals); }};
    return new StationWorker(report, listener, waiting);
}

} // namespace

StationController::StationController(QObject *parent)
    : QObject(parent), m_model(new StationModel(this)),
      m_serving(QStringLiteral("station"),
                [model = m_model, waiting = m_waiting](const StationWorker::Report &report) {
                    return makeWorker(model, report, waiting);
                })
{
    m_serving.finishWithApplication();
    // Answers are due within a millisecond or two; the window can wait.
    m_serving.start(QThread::TimeCriticalPriority);
}

StationController::~StationController()
{
    finish();
}

bool StationController::configure(const StationSetup &setup)
{
    if (m_model->anyActive())
        return false;
    const bool positionsChanged = setup.positions != m_setup.positions;
    m_setup = setup;
    if (positionsChanged || m_model->positionCount() != setup.positions.size())
        m_model->setPositions(setup.positions);
    m_model->setSerialScan(setup.serialScan);
    StationSetup copy = setup;
    copy.image = ownCopy(setup.image);
    copy.baud = ownCopy(setup.baud);
    copy.jsonLinesPath = ownCopy(setup.jsonLinesPath);
    copy.logDir = ownCopy(setup.logDir);
    copy.unlockCode = ownCopy(setup.unlockCode);
    copy.results = ownCopy(setup.results);
    copy.stationName = ownCopy(setup.stationName);
    copy.positions.clear();
    for (const PositionSetup &position : setup.positions)
        copy.positions.append({ownCopy(position.label), ownCopy(position.port)});
    // The settings are read here: QSettings' shared cache is not for the serving thread.
    m_serving.post([copy = std::move(copy), since = countedSince()](StationWorker &worker) {
        worker.configure(copy, since);
    });
    return true;
}

void StationController::start(int index)
{
    m_serving.post([index](StationWorker &worker) { worker.start(index); });
}

void StationController::setSerial(int index, const QString &serial)
{
    m_serving.post([index, serial = ownCopy(serial)](StationWorker &worker) {
        worker.setSerial(index, serial);
    });
}

void StationController::startAllIdle()
{
    for (int i = 0; i < m_model->positionCount(); ++i) {
        if (m_model->isReadyForNext(i) && !m_model->position(i).heldForSerial())
            start(i);
    }
}

void StationController::reloadImage()
{
    m_serving.post([](StationWorker &worker) { worker.reloadImage(); });
}

void StationController::stopAll()
{
    m_serving.post([](StationWorker &worker) { worker.stopAll(); });
}

void StationController::stop(int index)
{
    m_serving.post([index](StationWorker &worker) { worker.stop(index); });
}

// Every interrupted module is reported and its line written before this returns.
void StationController::finish()
{
    m_serving.finish([](StationWorker &worker) { worker.stopAll(); });
}
