#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGINT and SIGTERM (Ctrl+C and a closed console on Windows) into a signal on the event
// loop, so that a run can still report. After the first, the next one ends the process at once.
class InterruptWatcher : public QObject
{
    Q_OBJECT

public:
    explicit InterruptWatcher(QObject *parent = nullptr);
    ~InterruptWatcher() override;
    // The run has written what it had to: a closing console may take the process now.
    void release();

signals:
    // With the POSIX number of the signal: 2 for SIGINT, 15 for SIGTERM.
    void interrupted(int signalNumber);

private:
    void install();
    void uninstall();
    QSocketNotifier *m_notifier = nullptr;
};
