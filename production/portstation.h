#pragma once

#include "headlessoptions.h"
#include "portupgrade.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

// One port of a station: waits for it when asked to, upgrades the module on it, and with
// --loop waits for the port to go and come back (the next module) and upgrades that one.
// Without recordPortFaults a port that fails at once is no module: it is told as a fault and,
// with --loop, tried again after 1 s, doubling up to 30 s.
class PortStation : public QObject
{
    Q_OBJECT

public:
    PortStation(const QString &port, const HeadlessOptions &options, const SharedImage &image,
                QObject *parent = nullptr);
    // Asked before each module for its image, which may have been replaced on disk meanwhile,
    // and its serial. End: there is no image to serve, and the station ends before the
    // module; Hold: not yet (its serial has not been scanned), asked again while it waits.
    enum class Verdict { Go, Hold, End };
    using ModuleCheck = std::function<Verdict(SharedImage *image, QString *moduleSerial)>;
    void checkBeforeEachModule(ModuleCheck check) { m_check = std::move(check); }
    void start();
    // The module after the one that has ended, now, without waiting for its port to go and
    // come back (an adapter that stays in its fixture); or a port fault tried again now.
    // False when the station is not between modules.
    bool startNextNow();
    // Ends the module being upgraded, or the wait for one that was due; true when that
    // ended a module as interrupted.
    bool interrupt();
    bool isDone() const { return m_state == State::Done; }
    // Started and looking for a module that has not come yet.
    bool waitsForModule() const
    {
        return m_state == State::WaitingToAppear || m_state == State::WaitingToRetry;
    }
    const PortUpgrade *current() const { return m_module.get(); }

signals:
    // The station hands over the module's record, whatever its outcome.
    void moduleEnded(const ModuleRecord &record);
    // The port failed before a byte was sent; tried again in `retryMs`, or not when it is -1.
    void portFault(const ModuleRecord &attempt, int retryMs);
    void done();

private:
    enum class State { WaitingToAppear, Upgrading, WaitingToDisappear, WaitingToRetry, Done };
    void startModule();
    void moduleFinished(const ModuleRecord &record);
    bool takeFault(const ModuleRecord &record, bool next);
    void poll();
    bool portPresent() const;

    QString m_port;
    const HeadlessOptions &m_options;
    SharedImage m_image; // a module's own: replacing it leaves the one being served alone
    ModuleCheck m_check;
    State m_state = State::WaitingToAppear;
    std::unique_ptr<PortUpgrade> m_module;
    // The one that ended last: it may still be on the stack that told of its end.
    std::unique_ptr<PortUpgrade> m_finished;
    QTimer m_poll;
    QTimer m_retry;
    int m_retryMs;
    bool m_stopping = false;
};
