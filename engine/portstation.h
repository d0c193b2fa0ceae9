#pragma once

#include "headlessoptions.h"
#include "portupgrade.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

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
    // Started and looking for a module that has not come yet.
    bool waitsForModule() const { return m_state == State::WaitingToAppear; }
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
