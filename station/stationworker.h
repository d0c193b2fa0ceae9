#pragma once

#include "headlessoptions.h"
#include "portstation.h"
#include "stationsetup.h"
#include "stationstore.h"
#include "stationtypes.h"

#include <QDateTime>
#include <QObject>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

class ModuleReports;
class ResultStore;

// Serves every position of the station in the one thread it lives in, which has no widgets:
// each position is a PortStation, as in a headless run, and each module's record is reported
// as a headless run reports it. What the window is to show goes to `report` as plain data, to
// be run in the window's thread; a module's record goes once its line is written or given up.
class StationWorker : public QObject
{
    Q_OBJECT

public:
    // Receives the calls for the window's thread.
    using Report = std::function<void(std::function<void()>)>;
    struct Listener
    {
        std::function<void(const std::vector<PositionSnapshot> &)> snapshots;
        std::function<void(const StationRecord &)> record;
        // A port that failed before a byte was sent: no module, but the tile says why.
        std::function<void(int position, const EndReason &reason)> fault;
        std::function<void(const ImageInfo &)> image;
        // The counts and history the results store holds, as a set-up takes it.
        std::function<void(const StoredTotals &)> totals;
    };

    // `waiting` counts the records waiting in the outbox, for the window to read.
    StationWorker(Report report, Listener listener, std::shared_ptr<std::atomic<int>> waiting = {});
    ~StationWorker() override;

    // Takes a new set-up while no position is started; the image is loaded when it changed.
    // `countedSince`: where the totals start, read from the settings in the window's thread.
    void configure(const StationSetup &setup, const QDateTime &countedSince);
    // Starts the position, or its next module when its last one has ended.
    void start(int index);
    // The serial scanned for the position's next module; it goes with the next module to start
    // there, which a required serial holds until then.
    void setSerial(int index, const QString &serial);
    // Reads and checks the image again, whether or not it changed on disk.
    void reloadImage();
    // Ends the module being upgraded as interrupted, or the wait for one.
    void stop(int index);
    void stopAll();

private:
    struct Position
    {
        PositionSetup setup;
        std::unique_ptr<PortStation> station;
        PositionSnapshot sent;
        QString scannedSerial; // for the next module
    };

    void moduleEnded(int index, const ModuleRecord &record);
    void portFault(int index, const ModuleRecord &attempt);
    void deliver(const StationRecord &record);
    PortStation::Verdict nextModule(int index, SharedImage *image, QString *moduleSerial);
    void loadImage(QString path); // by value: it may be m_info.path
    // The image as it is on disk now: read and checked again when its size or time changed
    // since it was read. False when there is none to serve.
    bool freshImage();
    void reportImage();
    void poll();
    PositionSnapshot snapshot(const Position &position) const;
    bool anyStarted() const;
    // In stationworkerstore.cpp: the set-up's results store, opened; why it cannot be used.
    QString useStore(const StationSetup &setup, const QDateTime &countedSince);

    Report m_report;
    Listener m_listener;
    HeadlessOptions m_options;
    SerialScan m_serialScan = SerialScan::Off;
    SharedImage m_image;
    ImageInfo m_info; // the image, and why the outputs cannot be written
    qint64 m_loadedSize = -1;
    QDateTime m_loadedTime; // the file's, when it was read
    std::vector<Position> m_positions;
    std::shared_ptr<std::atomic<int>> m_waiting;
    std::unique_ptr<ResultStore> m_store; // before the reports, which write to it
    QString m_storeKey;                   // the store and the station's name it was made for
    QString m_storeProblem;
    std::unique_ptr<ModuleReports> m_reports;
    QTimer *m_poll; // a child: it moves to the serving thread with this object
};
