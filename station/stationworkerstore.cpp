// The station's results store: made and opened as a set-up takes it, in the serving thread,
// while no position is started.

#include "modulereports.h"
#include "resultstore.h"
#include "stationmodel.h"
#include "stationworker.h"

QString StationWorker::useStore(const StationSetup &setup, const QDateTime &countedSince)
{
    m_store.reset(); // waits for its records
    QString problem;
    const ResultsTarget target = resultsTargetOf(setup, &problem);
    if (!problem.isEmpty())
        return tr("结果库无法使用: %1").arg(problem);
    if (target.kind == ResultsTarget::Kind::None)
        return {};
    const QString station = stationNameOf(setup);
    m_store = std::make_unique<ResultStore>(target, station, m_waiting);
    // A server that cannot be reached is no reason: its records wait in the outbox.
    problem = m_store->open();
    if (!problem.isEmpty()) {
        m_store.reset();
        return tr("结果库无法使用: %1").arg(problem);
    }
    const StoredTotals totals =
        readTotals(target, station, countedSince, StationModel::HistoryLength);
    m_report([listener = m_listener, totals = ownCopy(totals)] {
        if (listener.totals)
            listener.totals(totals);
    });
    return {};
}
