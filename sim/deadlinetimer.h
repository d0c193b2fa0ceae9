#pragma once

#include <QObject>

class QSocketNotifier;

// A single-shot timer for an absolute deadline on the monotonic clock, to the microsecond:
// a timerfd, where QTimer counts whole milliseconds and drifts by the rounding.
class DeadlineTimer : public QObject
{
    Q_OBJECT

public:
    explicit DeadlineTimer(QObject *parent = nullptr);
    ~DeadlineTimer() override;

    // Microseconds on the monotonic clock, the one the deadlines are given in.
    static qint64 nowUs();
    void startAt(qint64 deadlineUs);
    void stop();
    bool isActive() const { return m_active; }

signals:
    void timeout();

private:
    void expired();

    int m_fd = -1;
    bool m_active = false;
    QSocketNotifier *m_notifier = nullptr;
};
