// The station's state as the window shows it, fed by the serving thread.

#include "stationmodel.h"

StationModel::State StationModel::Position::state() const
{
    if (now.activity != PositionActivity::Upgrading &&
        (!writeProblem.isEmpty() || !portFault.isNone()))
        return State::Fault;
    switch (now.activity) {
    case PositionActivity::Upgrading:
        return State::Upgrading;
    case PositionActivity::Waiting:
        return State::Waiting;
    case PositionActivity::Stopped:
    case PositionActivity::Ended:
        break;
    }
    switch (last) {
    case ModuleOutcome::Passed:
        return State::Passed;
    case ModuleOutcome::Failed:
        return State::Failed;
    case ModuleOutcome::Error:
        return State::Error;
    case ModuleOutcome::None:
        break;
    }
    return State::Idle;
}

StationModel::StationModel(QObject *parent) : QObject(parent), m_since(QDateTime::currentDateTime())
{
}

void StationModel::setPositions(const QVector<PositionSetup> &positions)
{
    m_positions.clear();
    for (const PositionSetup &setup : positions) {
        Position position;
        position.setup = setup;
        position.serialScan = m_serialScan;
        m_positions.append(position);
    }
    emit positionsReset();
}

void StationModel::setSerialScan(SerialScan scan)
{
    m_serialScan = scan;
    for (int i = 0; i < m_positions.size(); ++i) {
        m_positions[i].serialScan = scan;
        emit positionChanged(i);
    }
}

bool StationModel::anyActive() const
{
    for (const Position &position : m_positions) {
        if (position.now.activity != PositionActivity::Stopped)
            return true;
    }
    return false;
}

bool StationModel::isUpgrading(int index) const
{
    return index >= 0 && index < m_positions.size() &&
           m_positions.at(index).now.activity == PositionActivity::Upgrading;
}

bool StationModel::isReadyForNext(int index) const
{
    if (index < 0 || index >= m_positions.size())
        return false;
    const PositionActivity activity = m_positions.at(index).now.activity;
    return activity == PositionActivity::Stopped || activity == PositionActivity::Ended;
}

StationModel::Totals StationModel::totals(const QDateTime &now) const
{
    Totals totals;
    totals.passed = m_passed;
    totals.failed = m_failed;
    const int all = m_passed + m_failed;
    if (all > 0)
        totals.yieldPercent = 100.0 * m_passed / all;
    const qint64 ms = m_since.msecsTo(now);
    totals.perHourKnown = all >= 2 && ms >= 10 * 60 * 1000;
    if (totals.perHourKnown)
        totals.modulesPerHour = all / (ms / 3600000.0);
    return totals;
}

void StationModel::resetTotals()
{
    m_passed = 0;
    m_failed = 0;
    m_since = QDateTime::currentDateTime();
    m_history.clear();
    for (int i = 0; i < m_positions.size(); ++i) {
        m_positions[i].passed = 0;
        m_positions[i].failed = 0;
        emit positionChanged(i);
    }
    emit totalsChanged();
}

void StationModel::applySnapshots(const std::vector<PositionSnapshot> &snapshots)
{
    for (int i = 0; i < int(snapshots.size()) && i < m_positions.size(); ++i) {
        Position &position = m_positions[i];
        const PositionSnapshot &now = snapshots[size_t(i)];
        if (position.now.activity == now.activity &&
            position.now.scannedSerial == now.scannedSerial &&
            (position.now.activity != PositionActivity::Upgrading || position.now == now))
            continue;
        if (now.activity == PositionActivity::Upgrading) {
            // A new module starts: the last one's outcome and faults give way to it.
            if (position.now.activity != PositionActivity::Upgrading) {
                position.last = ModuleOutcome::None;
                position.portFault = EndReason();
                position.writeProblem.clear();
            }
            position.now = now;
        } else {
            position.now.activity = now.activity; // the last module's figures stay shown
            position.now.scannedSerial = now.scannedSerial;
        }
        emit positionChanged(i);
    }
}

void StationModel::addRecord(const StationRecord &record)
{
    const ModuleOutcome outcome = outcomeOf(record.module.status);
    if (record.position >= 0 && record.position < m_positions.size()) {
        Position &position = m_positions[record.position];
        position.last = outcome;
        position.lastResult = record.module.result;
        position.lastReason = record.module.reason;
        position.writeProblem = record.writeProblem;
        // The record may come after the look that says the position moved on (its line is
        // written first): only a position still shown upgrading has ended with it.
        if (position.now.activity == PositionActivity::Upgrading)
            position.now.activity = PositionActivity::Ended;
        position.now.servedBytes = record.module.bytes;
        position.now.elapsedMs = qint64(record.module.seconds() * 1000);
        (outcome == ModuleOutcome::Passed ? position.passed : position.failed) += 1;
        emit positionChanged(record.position);
    }
    (outcome == ModuleOutcome::Passed ? m_passed : m_failed) += 1;
    m_history.prepend(record);
    while (m_history.size() > HistoryLength)
        m_history.removeLast();
    emit recordAdded(record);
    emit totalsChanged();
    if (!record.writeProblem.isEmpty())
        emit writeFailed(record.writeProblem);
}

void StationModel::setPortFault(int index, const EndReason &reason)
{
    if (index < 0 || index >= m_positions.size())
        return;
    m_positions[index].portFault = reason;
    emit positionChanged(index);
}

bool StationModel::canStart() const
{
    return m_image.size > 0 && m_image.problem.isEmpty() && m_image.outputProblem.isEmpty();
}

void StationModel::setImage(const ImageInfo &image)
{
    m_image = image;
    emit imageChanged();
}

void StationModel::restoreTotals(const StoredTotals &totals)
{
    m_passed = totals.passed;
    m_failed = totals.failed;
    m_since = totals.since.toLocalTime();
    m_history = totals.history;
    emit historyRestored();
    emit totalsChanged();
}
