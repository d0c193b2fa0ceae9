#include "deadlinetimer.h"

#include <QSocketNotifier>

#include <cstdint>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

DeadlineTimer::DeadlineTimer(QObject *parent)
    : QObject(parent), m_fd(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC))
{
    if (m_fd < 0)
        qFatal("timerfd_create failed");
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &DeadlineTimer::expired);
}

DeadlineTimer::~DeadlineTimer()
{
    delete m_notifier;
    ::close(m_fd);
}

qint64 DeadlineTimer::nowUs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void DeadlineTimer::startAt(qint64 deadlineUs)
{
    // A deadline of zero would disarm the timer: the earliest real one is a microsecond on.
    deadlineUs = qMax<qint64>(deadlineUs, 1);
    itimerspec due{};
    due.it_value.tv_sec = time_t(deadlineUs / 1000000);
    due.it_value.tv_nsec = long(deadlineUs % 1000000) * 1000;
    timerfd_settime(m_fd, TFD_TIMER_ABSTIME, &due, nullptr);
    m_active = true;
}

void DeadlineTimer::stop()
{
    const itimerspec disarm{};
    timerfd_settime(m_fd, TFD_TIMER_ABSTIME, &disarm, nullptr);
    m_active = false;
}

void DeadlineTimer::expired()
{
    uint64_t expirations = 0;
    if (::read(m_fd, &expirations, sizeof expirations) != sizeof expirations || !m_active)
        return;
    m_active = false;
    emit timeout();
}
