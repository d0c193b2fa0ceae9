#include "trafficlog.h"

#include <QFontDatabase>
#include <QScrollBar>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>

namespace {

constexpr int LogRepaintMs = 40;
// Frames closer together than this mean the module is being served.
constexpr int ServingGapMs = 100;

} // namespace

// Hex dumps read best in a fixed-width font. Its lines need no shaping or kerning, and
// leaving both out makes laying out the ever-growing log several times cheaper.
TrafficLogView::TrafficLogView(QTextBrowser *view, QObject *parent) : QObject(parent), m_view(view)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setStyleStrategy(QFont::PreferNoShaping);
    font.setKerning(false);
    m_view->setFont(font);

    m_repaintTimer.setSingleShot(true);
    connect(&m_repaintTimer, &QTimer::timeout, this, &TrafficLogView::repaintSoon);
}

// While a received frame is being answered the lines wait, so that the reply leaves the port
// before the log area does any work; the order stays.
void TrafficLogView::appendLine(const QString &line)
{
    if (m_holding) {
        m_held.append(line);
        return;
    }
    holdRepaint();
    addLine(line);
}

// QTextEdit::append guesses rich text from the start of the string, so a module's banner or a
// typed port name that looks like a tag would be interpreted; such lines are inserted as text
// instead. All others take append's own path, which stays cheap however long the log grows.
void TrafficLogView::addLine(const QString &line)
{
    if (!Qt::mightBeRichText(line)) {
        m_view->append(line);
        return;
    }
    QScrollBar *scrollBar = m_view->verticalScrollBar();
    const bool atBottom = scrollBar->value() >= scrollBar->maximum();
    QTextCursor cursor(m_view->document());
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    if (!m_view->document()->isEmpty())
        cursor.insertBlock();
    cursor.insertText(line);
    cursor.endEditBlock();
    if (atBottom)
        scrollBar->setValue(scrollBar->maximum());
}

// While traffic flows the log area repaints at most every LogRepaintMs: a repaint per frame
// would keep the next request waiting. The lines themselves are in at once.
void TrafficLogView::holdRepaint()
{
    if (m_repaintTimer.isActive() || m_repaintAfterReply)
        return;
    m_view->viewport()->setUpdatesEnabled(false);
    m_repaintTimer.start(LogRepaintMs);
}

// A repaint is due. While the module is being served it waits for the next reply: right after
// a reply the module is busy receiving it, so the repaint costs no turnaround. When no reply
// comes, the fallback paints anyway.
void TrafficLogView::repaintSoon()
{
    if (!m_repaintAfterReply && m_lastAnswerClock.isValid() &&
        m_lastAnswerClock.elapsed() < ServingGapMs) {
        m_repaintAfterReply = true;
        m_repaintTimer.start(ServingGapMs);
        return;
    }
    repaintNow();
}

void TrafficLogView::repaintNow()
{
    m_repaintAfterReply = false;
    m_repaintTimer.stop();
    m_view->viewport()->setUpdatesEnabled(true);
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
    holdRepaint();
    for (const QString &line : qAsConst(m_held))
        addLine(line);
    m_held.clear();
    if (m_repaintAfterReply)
        repaintNow();
}

void TrafficLogView::clear()
{
    m_view->clearHistory();
    m_view->clear();
}
