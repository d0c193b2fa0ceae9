// Traffic log: the log area, its repaints while traffic flows, and the clear button.

#include "mainwindow.h"

#include "ui_mainwindow.h"

#include <QDebug>
#include <QFontDatabase>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>

namespace {

constexpr int LogRepaintMs = 40;
// Frames closer together than this mean the module is being served.
constexpr int ServingGapMs = 100;

} // namespace

// Hex dumps read best in a fixed-width font. Its lines need no shaping or kerning, and
// leaving both out makes laying out the ever-growing log several times cheaper.
void MainWindow::setupTrafficLog()
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setStyleStrategy(QFont::PreferNoShaping);
    font.setKerning(false);
    ui->textBrowser->setFont(font);

    logRepaintTimer.setSingleShot(true);
    connect(&logRepaintTimer, &QTimer::timeout, this, &MainWindow::repaintLogSoon);
}

// Adds one line to the log area. While a received frame is being answered the lines wait,
// so that the reply leaves the port before the log area does any work; the order stays.
void MainWindow::appendLogLine(const QString &line)
{
    if (holdingLogLines) {
        heldLogLines.append(line);
        return;
    }
    holdLogRepaint();
    addLogLine(line);
}

// Adds one line as plain text. QTextEdit::append guesses rich text from the start of the
// string, so a module's banner or a typed port name that looks like a tag would be
// interpreted; such lines are inserted as text instead. All others take append's own path,
// which stays cheap however long the log grows.
void MainWindow::addLogLine(const QString &line)
{
    QTextBrowser *log = ui->textBrowser;
    if (!Qt::mightBeRichText(line)) {
        log->append(line);
        return;
    }
    QScrollBar *scrollBar = log->verticalScrollBar();
    const bool atBottom = scrollBar->value() >= scrollBar->maximum();
    QTextCursor cursor(log->document());
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    if (!log->document()->isEmpty())
        cursor.insertBlock();
    cursor.insertText(line);
    cursor.endEditBlock();
    if (atBottom)
        scrollBar->setValue(scrollBar->maximum());
}

// While traffic flows the log area repaints at most every LogRepaintMs: a repaint per
// frame would keep the next request waiting. The lines themselves are in at once.
void MainWindow::holdLogRepaint()
{
    if (logRepaintTimer.isActive() || repaintAfterReply)
        return;
    ui->textBrowser->viewport()->setUpdatesEnabled(false);
    logRepaintTimer.start(LogRepaintMs);
}

// A repaint is due. While the module is being served it waits for the next reply: right
// after a reply the module is busy receiving it, so the repaint costs no turnaround. When
// no reply comes, the fallback paints anyway.
void MainWindow::repaintLogSoon()
{
    if (!repaintAfterReply && lastAnswerClock.isValid() &&
        lastAnswerClock.elapsed() < ServingGapMs) {
        repaintAfterReply = true;
        logRepaintTimer.start(ServingGapMs);
        return;
    }
    repaintLogNow();
}

void MainWindow::repaintLogNow()
{
    repaintAfterReply = false;
    logRepaintTimer.stop();
    ui->textBrowser->viewport()->setUpdatesEnabled(true);
}

// While the session answers a received frame its lines wait, and go in once it is answered.
void MainWindow::holdLogLines(bool hold)
{
    if (hold)
        holdingLogLines = true;
    else
        releaseLogLines();
}

// After a received frame has been answered: its lines go in, in their order.
void MainWindow::releaseLogLines()
{
    holdingLogLines = false;
    lastAnswerClock.start();
    holdLogRepaint();
    for (const QString &line : qAsConst(heldLogLines))
        addLogLine(line);
    heldLogLines.clear();
    if (repaintAfterReply)
        repaintLogNow();
}

void MainWindow::on_pushButton_2_clicked()
{
    ui->textBrowser->clearHistory();
    ui->textBrowser->clear();
}
