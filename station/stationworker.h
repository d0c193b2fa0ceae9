#pragma once

#include "headlessoptions.h"
#include "portstation.h"
#include "stationsetup.h"
#include "stationtypes.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

class JsonLinesFile;

// Serves every position of the station in the one thread it lives in, which has no widgets:
// each position is a PortStation, as in a headless run, and each module's outcome is
// reported as a headless run reports it. What the window is to show goes to `report` as plain
// data, to be run in the window's thread.
class StationWorker : public QObject
{
    Q_OBJECT

public:
    // Receives the calls for the window's thread.
    using Report = std::function<void(std::function<void()>)>;
    struct Listener
    {
        std::function<void(const std::vector<PositionSnapshot> &)> snapshots;
        std::function<void(const ModuleRecord &)> record;
        std::function<void(const ImageInfo &)> image;
    };

    StationWorker(Report report, Listener listener);
    ~StationWorker() override;

    // Takes a new set-up while no position is started; the image is loaded when it changed.
    void configure(const StationSetup &setup);
    void start(int index);
    // Ends the module being upgraded as interrupted, or the wait for one.
    void stop(int index);
    void stopAll();

private:
    struct Position
    {
        PositionSetup setup;
        std::unique_ptr<PortStation> station;
        std::shared_ptr<PortUpgrade> lastModule; // kept past the call that ended it
        PositionSnapshot sent;
    };

    void moduleEnded(int index, const std::shared_ptr<PortUpgrade> &module);
    void stationDone(int index);
    void poll();
    PositionSnapshot snapshot(const Position &position) const;
    ModuleRecord record(int index, const PortUpgrade &module) const;
    bool anyStarted() const;

    Report m_report;
    Listener m_listener;
    HeadlessOptions m_options;
    SharedImage m_image;
    QString m_label;
    std::vector<Position> m_positions;
    std::unique_ptr<JsonLinesFile> m_jsonLines;
    QTimer *m_poll; // a child: it moves to the serving thread with this object
};
