#pragma once

#include "stationmodel.h"
#include "stationsetup.h"
#include "stationworker.h"
#include "workerthread.h"

#include <QObject>

// The station without its window: serves the positions on a thread of their own and keeps
// the model in the caller's thread up to date. Nothing here waits for the serving thread but
// finish(), once, when the station closes.
class StationController : public QObject
{
    Q_OBJECT

public:
    explicit StationController(QObject *parent = nullptr);
    ~StationController() override;

    StationModel *model() const { return m_model; }
    const StationSetup &setup() const { return m_setup; }
    // Taken while no position is started; false otherwise. The image is loaded in the serving
    // thread: the model hears how that went.
    bool configure(const StationSetup &setup);
    // Starts the position, or its next module when its last one has ended.
    void start(int index);
    // The serial scanned for the position's next module; one that is required holds the
    // position (Start is passed by) until it is scanned.
    void setSerial(int index, const QString &serial);
    // Every position not busy with a module or waiting for one.
    void startAllIdle();
    void stop(int index);
    void stopAll();
    // The image read and checked again, whether or not it changed on disk.
    void reloadImage();
    // Ends every module being upgraded as interrupted (reported as such), ends the serving
    // thread and delivers everything it said. Called as the station closes.
    void finish();
    // Records waiting in the outbox for a server that is away; from any thread.
    int waitingRecords() const { return *m_waiting; }

private:
    StationModel *m_model;
    std::shared_ptr<std::atomic<int>> m_waiting = std::make_shared<std::atomic<int>>(0);
    StationSetup m_setup;
    WorkerThread<StationWorker> m_serving; // last: it ends first, while the model is there
};
