#pragma once

#include "stationsetup.h"
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

    enum class State { Idle, Waiting, Upgrading, Passed, Failed, Error };
    Q_ENUM(State)

    struct Position
    {
        PositionSetup setup;
        PositionSnapshot now;
        ModuleOutcome last = ModuleOutcome::None; // stays until the next module starts
        int lastResult = -1;
        QString lastReason;
        int passed = 0;
        int failed = 0;
        State state() const;
    };

    struct Totals
    {
        int passed = 0;
        int failed = 0;
        double yieldPercent = 0;   // passed of all, 0 before the first module
        double modulesPerHour = 0; // since the reset
    };

    explicit StationModel(QObject *parent = nullptr);

    void setPositions(const QVector<PositionSetup> &positions);
    int positionCount() const { return m_positions.size(); }
    const Position &position(int index) const { return m_positions.at(index); }
    bool anyActive() const;
    bool isUpgrading(int index) const;
    qint64 imageSize() const { return m_image.size; }
    const ImageInfo &image() const { return m_image; }
    Totals totals(const QDateTime &now = QDateTime::currentDateTime()) const;
    // Newest first.
    const QList<ModuleRecord> &history() const { return m_history; }
    void resetTotals();

    // From the serving thread.
    void applySnapshots(const std::vector<PositionSnapshot> &snapshots);
    void addRecord(const ModuleRecord &record);
    void setImage(const ImageInfo &image);

signals:
    void positionsReset();
    void positionChanged(int index);
    void totalsChanged();
    void recordAdded(const ModuleRecord &record);
    void imageChanged();

private:
    QVector<Position> m_positions;
    QList<ModuleRecord> m_history;
    ImageInfo m_image;
    int m_passed = 0;
    int m_failed = 0;
    QDateTime m_since;
};
