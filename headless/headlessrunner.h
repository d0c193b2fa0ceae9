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
class JsonLinesFile;

// Upgrades on every port at once, prints a summary line per module as it ends and a progress
// line at most every second, and finishes with the highest exit status; on SIGINT, SIGTERM or
// SIGHUP it ends what runs as interrupted and still reports.
class HeadlessRunner : public QObject
{
    Q_OBJECT

public:
    explicit HeadlessRunner(const HeadlessOptions &options, QObject *parent = nullptr);
    ~HeadlessRunner() override;
    // Loads and checks the image once for every port; what is wrong, or empty.
    QString prepare();
    void start();

signals:
    void finished(int exitStatus);

private:
    void moduleEnded(const std::shared_ptr<PortUpgrade> &module);
    void stationDone();
    void interrupt(int signalNumber);
    void finish();
    void printProgress();
    bool writeJson();

    HeadlessOptions m_options;
    SharedImage m_image;
    std::vector<std::unique_ptr<PortStation>> m_stations;
    std::vector<std::shared_ptr<PortUpgrade>> m_modules; // every module that has ended
    InterruptWatcher *m_interrupts;
    std::unique_ptr<JsonLinesFile> m_jsonLines; // each module's line, appended as it ends
    QTimer m_progress;
    int m_interruptStatus = 0; // 128 + the signal, when a module was interrupted
    bool m_writeFailed = false;
    bool m_interrupting = false;
    bool m_finished = false;
};
