#pragma once

#include "stationsetup.h"
#include "stationstore.h"
#include "stationtypes.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QVector>

#include <vector>

// What the station shows, in the window's thread, without widgets: each position's state and
// counts, the totals since the last reset and the history of the last modules.
class StationModel : public QObject
{
    Q_OBJECT

public:
    static constexpr int HistoryLength = 200;

    // Fault: the port failed before a byte was sent, or a module's record was not written.
    enum class State { Idle, Waiting, Upgrading, Passed, Failed, Error, Fault };
    Q_ENUM(State)

    struct Position
    {
        PositionSetup setup;
        PositionSnapshot now;
        ModuleOutcome last = ModuleOutcome::None; // stays until the next module starts
        int lastResult = -1;
        EndReason lastReason;
        EndReason portFault;  // until a module starts here
        QString writeProblem; // until a module starts here
        int passed = 0;
        int failed = 0;
        SerialScan serialScan = SerialScan::Off;
        State state() const;
        // Its serial is required and not yet scanned: Start, its key and Space pass it by.
        bool heldForSerial() const
        {
            return serialScan == SerialScan::Required && now.scannedSerial.isEmpty() &&
                   now.activity != PositionActivity::Upgrading;
        }
    };

    struct Totals
    {
        int passed = 0;
        int failed = 0;
        double yieldPercent = 0;   // passed of all, 0 before the first module
        double modulesPerHour = 0; // since the reset
        // Two modules and ten minutes since the reset: before, a rate says nothing yet.
        bool perHourKnown = false;
    };

    explicit StationModel(QObject *parent = nullptr);

    void setPositions(const QVector<PositionSetup> &positions);
    void setSerialScan(SerialScan scan);
    int positionCount() const { return m_positions.size(); }
    const Position &position(int index) const { return m_positions.at(index); }
    bool anyActive() const;
    bool isUpgrading(int index) const;
    // Started or not, its last module has ended: Start takes the next one at once.
    bool isReadyForNext(int index) const;
    qint64 imageSize() const { return m_image.size; }
    // An image is loaded and the results file and log folder can be written.
    bool canStart() const;
    const ImageInfo &image() const { return m_image; }
    Totals totals(const QDateTime &now = QDateTime::currentDateTime()) const;
    // Newest first.
    const QList<StationRecord> &history() const { return m_history; }
    void resetTotals();

    // From the serving thread.
    void applySnapshots(const std::vector<PositionSnapshot> &snapshots);
    void addRecord(const StationRecord &record);
    void setPortFault(int index, const EndReason &reason);
    void setImage(const ImageInfo &image);
    // The counts and history since the last reset, as the results store keeps them.
    void restoreTotals(const StoredTotals &totals);

signals:
    void historyRestored();
    void positionsReset();
    void positionChanged(int index);
    void totalsChanged();
    void recordAdded(const StationRecord &record);
    // A module's record or log could not be written: the station is not keeping its records.
    void writeFailed(const QString &problem);
    void imageChanged();

private:
    QVector<Position> m_positions;
    QList<StationRecord> m_history;
    ImageInfo m_image;
    int m_passed = 0;
    int m_failed = 0;
    QDateTime m_since;
    SerialScan m_serialScan = SerialScan::Off;
};
