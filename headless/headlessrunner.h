#pragma once

#include "headlessoptions.h"
#include "portstation.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <vector>

class InterruptWatcher;
class ModuleReports;
class ResultStore;

// Upgrades on every port at once, prints a summary line per module as it ends and a progress
// line at most every second, and finishes with the highest exit status; on SIGINT, SIGTERM or
// SIGHUP it ends what runs as interrupted and still reports.
class HeadlessRunner : public QObject
{
    Q_OBJECT

public:
    explicit HeadlessRunner(const HeadlessOptions &options, QObject *parent = nullptr);
    ~HeadlessRunner() override;
    // Loads and checks the image once for every port and opens the results store; what is
    // wrong, or empty.
    QString prepare();
    void start();

signals:
    void finished(int exitStatus);

private:
    void moduleEnded(const ModuleRecord &record);
    void portFault(const ModuleRecord &attempt, int retryMs);
    void stationDone();
    void interrupt(int signalNumber);
    void finish();
    void printProgress();
    bool writeJson();
    void sayWaiting();

    HeadlessOptions m_options;
    SharedImage m_image;
    std::vector<std::unique_ptr<PortStation>> m_stations;
    // Every module's record for --json at the end, which the command line refuses with
    // --loop; without it only the running status, so that a run that loops for weeks stays
    // the same size.
    std::vector<ModuleRecord> m_records;
    int m_modulesStatus = 0; // the highest exit status of the modules so far
    InterruptWatcher *m_interrupts;
    std::unique_ptr<ResultStore> m_store;     // before the reports, which write to it
    std::unique_ptr<ModuleReports> m_reports; // each module's line, JSON line and row
    QTimer m_progress;
    int m_interruptStatus = 0; // 128 + the signal, when a module was interrupted
    bool m_writeFailed = false;
    bool m_interrupting = false;
    bool m_finished = false;
};
