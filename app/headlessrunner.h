#pragma once

#include "headlessoptions.h"
#include "portupgrade.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <vector>

class InterruptWatcher;
class JsonLinesFile;

// One port of a station: waits for it when asked to, upgrades the module on it, and with
// --loop waits for the port to go and come back (the next module) and upgrades that one.
class PortStation : public QObject
{
    Q_OBJECT

public:
    PortStation(const QString &port, const HeadlessOptions &options, const SharedImage &image,
                QObject *parent = nullptr);
    void start();
    // Ends the module being upgraded, or the wait for one that was due; true when that
    // ended a module as interrupted.
    bool interrupt();
    bool isDone() const { return m_state == State::Done; }
    const PortUpgrade *current() const { return m_module.get(); }

signals:
    // The station hands over the module, whatever its outcome.
    void moduleEnded(std::shared_ptr<PortUpgrade> module);
    void done();

private:
    enum class State { WaitingToAppear, Upgrading, WaitingToDisappear, Done };
    void startModule();
    void moduleFinished();
    void poll();
    bool portPresent() const;

    QString m_port;
    const HeadlessOptions &m_options;
    const SharedImage &m_image;
    State m_state = State::WaitingToAppear;
    std::shared_ptr<PortUpgrade> m_module;
    QTimer m_poll;
    bool m_stopping = false;
};

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
