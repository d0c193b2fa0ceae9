#include "trafficlogview.h"

#include "logview.h"

namespace {

constexpr int LogShowMs = 40;

} // namespace

TrafficLogView::TrafficLogView(LogView *view, QObject *parent) : QObject(parent), m_view(view)
{
    m_showTimer.setSingleShot(true);
    m_showTimer.setInterval(LogShowMs);
    connect(&m_showTimer, &QTimer::timeout, this, &TrafficLogView::showNow);
}

void TrafficLogView::add(const LogEntry &entry)
{
    m_view->append(entry);
    if (!m_showTimer.isActive())
        m_showTimer.start();
}

void TrafficLogView::showNow()
{
    m_view->showStaged();
}

void TrafficLogView::clear()
{
    m_showTimer.stop();
    m_view->clear();
}
