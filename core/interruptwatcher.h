#pragma once

#include <QByteArray>
#include <QObject>

class QSocketNotifier;

// Turns SIGINT, SIGTERM and SIGHUP (Ctrl+C, a dropped session, a stopping service; Ctrl+C and
// a closed console on Windows) into a signal on the event loop, so that a run can still report.
// After the first, any second one ends the process at once, whatever its kind; only a SIGHUP
// after a SIGHUP does not count: a dropped session announces its hangup twice (the shell
// passes it on, then the system sends it again as the shell leaves).
//
// Until watch() is called nothing has begun that a report could tell of: a signal then ends
// the process at once with 128 + its number, after `earlyNote` on stderr.
class InterruptWatcher : public QObject
{
    Q_OBJECT

public:
    explicit InterruptWatcher(const QByteArray &earlyNote, QObject *parent = nullptr);
    ~InterruptWatcher() override;
    // From now on a signal comes as interrupted().
    void watch();
    // The run has written what it had to: a closing console may take the process now.
    void release();

signals:
    // With the POSIX number of the signal: 1 for SIGHUP, 2 for SIGINT, 15 for SIGTERM.
    void interrupted(int signalNumber);

private:
    void install();
    void uninstall();
    QSocketNotifier *m_notifier = nullptr;
};
