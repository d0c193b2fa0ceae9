#include "trafficlog.h"

#include "logview.h"
#include "sessionlog.h"

namespace {

constexpr int LogShowMs = 40;
// Frames closer together than this mean the module is being served.
constexpr int ServingGapMs = 100;

} // namespace

TrafficLogView::TrafficLogView(LogView *view, QObject *parent) : QObject(parent), m_view(view)
{
    m_showTimer.setSingleShot(true);
    connect(&m_showTimer, &QTimer::timeout, this, &TrafficLogView::showDue);
}

// While a received frame is being answered the lines wait, so that the reply leaves the port
// before the log area does any work; the order stays.
void TrafficLogView::appendLine(const QString &line)
{
    if (m_holding) {
        m_held.append(line);
        return;
    }
    addLine(line);
}

// The line is held by the area and written to the file at once; it shows with its batch.
void TrafficLogView::addLine(const QString &line)
{
    m_view->appendLine(line);
    if (m_file)
        m_file->write(line);
    showSoon();
}

// While traffic flows the area shows new lines at most every LogShowMs: laying the view out
// and painting it for every frame would keep the next request waiting.
void TrafficLogView::showSoon()
{
    if (m_showTimer.isActive() || m_showAfterReply)
        return;
    m_showTimer.start(LogShowMs);
}

// A batch is due. While the module is being served it waits for the next reply: right after
// a reply the module is busy receiving it, so the work costs no turnaround. When no reply
// comes, the fallback shows it anyway.
void TrafficLogView::showDue()
{
    if (!m_showAfterReply && m_lastAnswerClock.isValid() &&
        m_lastAnswerClock.elapsed() < ServingGapMs) {
        m_showAfterReply = true;
        m_showTimer.start(ServingGapMs);
        return;
    }
    showNow();
}

void TrafficLogView::showNow()
{
    m_showAfterReply = false;
    m_showTimer.stop();
    m_view->showStaged();
}

void TrafficLogView::holdLines(bool hold)
{
    if (hold)
        m_holding = true;
    else
        releaseLines();
}

// After a received frame has been answered: its lines go in, in their order.
void TrafficLogView::releaseLines()
{
    m_holding = false;
    m_lastAnswerClock.start();
    const QStringList held = std::exchange(m_held, {});
    for (const QString &line : held)
        addLine(line);
    if (m_showAfterReply)
        showNow();
}

void TrafficLogView::clear()
{
    m_view->clear();
}
