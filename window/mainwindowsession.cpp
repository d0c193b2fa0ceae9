// MainWindow: what the sequence says, the port session's log file, and the questions asked
// before a press ends a running transfer.

#include "mainwindow.h"
#include "trafficlogview.h"
#include "ui_mainwindow.h"

#include <QCloseEvent>
#include <QLabel>
#include <QMessageBox>

// ---- Entries ----

// Every entry of the file's session goes to the file; the area shows those made after its
// last clearing.
void MainWindow::takeEntry(const LogEntry &entry)
{
    if (heardSession == fileSession)
        sessionLog.write(entry);
    if (entry.serial >= areaFrom)
        trafficLog->add(entry);
}

// A line of the window's own, in the area and the file of the open session.
void MainWindow::addWindowLine(const QString &line)
{
    const LogEntry entry = LogEntry::ofText(line);
    if (fileSession != 0)
        sessionLog.write(entry);
    trafficLog->add(entry);
}

// Clears every line made before the press, also those still on their way.
void MainWindow::clearArea()
{
    const UpgradeSequence *sequence = exchanges->worker();
    areaFrom = sequence ? sequence->entriesProduced() : 0;
    trafficLog->clear();
}

// The session's last event: closed by a press, lost, or failed at a rate switch.
void MainWindow::endFileSession()
{
    const quint64 session = heardSession;
    if (session == fileSession) {
        sessionLog.close();
        fileSession = 0;
    }
    if (session == linkSession)
        showLinkClosed();
    closeQuestionIfTransferEnded();
}

// ---- The log file ----

void MainWindow::setLogFolder(const QString &folder)
{
    logFolder = folder;
    ui->textBrowser->setLogFolder(folder.isEmpty() ? SessionLog::defaultFolder() : folder);
}

void MainWindow::setLogLineLimit(int lines)
{
    if (lines > 0)
        ui->textBrowser->setLineLimit(lines);
}

// One file per port session, from the opening line on; a file that cannot be opened costs a
// line in the area (through failed()), the session goes on without it.
void MainWindow::openLogFile(const QString &portName)
{
    sessionLog.open(logFolder, portName);
    fileSession = linkSession;
    showLogFile();
}

// Where the file is, without a line in the log area: the status bar and the area's menu.
void MainWindow::showLogFile()
{
    const QString path = sessionLog.filePath();
    if (path.isEmpty())
        return;
    logFileLabel->setText(tr("日志文件: %1").arg(path));
    logFileLabel->setToolTip(path);
    ui->textBrowser->setLogFolder(sessionLog.folderPath());
}

// ---- Questions before a press ends a running transfer ----

// The sequence's own phase at this moment, read without waiting; Idle once it has ended.
UpgradeSequence::Phase MainWindow::sequencePhase() const
{
    const UpgradeSequence *sequence = exchanges->worker();
    return sequence ? sequence->phase() : UpgradeSequence::Phase::Idle;
}

// The module has asked for data and has not reported its result: the sequence's own phase
// at this moment, not what the window last heard of it.
bool MainWindow::transferRunning() const
{
    return sequencePhase() == UpgradeSequence::Phase::Serving;
}

// An interrupted transfer can leave a module that does not boot: a press that would end one
// asks first. Outside a transfer every press does what it always did. A transfer that ends
// while the question is open closes it: nothing is done, the user sees the outcome.
bool MainWindow::mayInterrupt(const QString &text)
{
    if (!transferRunning())
        return true;
    QMessageBox box(QMessageBox::Question, windowTitle(), text, QMessageBox::Yes | QMessageBox::No,
                    this);
    box.setDefaultButton(QMessageBox::No);
    question = &box;
    const bool yes = box.exec() == QMessageBox::Yes;
    question = nullptr;
    return yes && transferRunning();
}

void MainWindow::closeQuestionIfTransferEnded()
{
    if (question && !transferRunning())
        question->done(QMessageBox::No);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (!mayInterrupt(tr("升级正在进行，关闭窗口会中断本次升级。是否关闭？"))) {
        event->ignore();
        return;
    }
    // The session ends with the window: the port closes, and its file once the last line is in.
    if (linkSession != 0)
        closeLink();
    QMainWindow::closeEvent(event);
}

// ---- Ending without a question ----

// From the AT command until the module's result is in: an end there leaves the module without
// the image it was being given, whether or not it has asked for data yet.
bool MainWindow::upgradeUnderWay() const
{
    switch (sequencePhase()) {
    case UpgradeSequence::Phase::AtSent:
    case UpgradeSequence::Phase::StartFrameSent:
    case UpgradeSequence::Phase::Serving:
        return true;
    case UpgradeSequence::Phase::Idle:
    case UpgradeSequence::Phase::ReturningToChosenRate:
        break;
    }
    return false;
}

// The session's end comes through finish(), which also closes a question still open.
void MainWindow::endInterrupted()
{
    if (upgradeUnderWay())
        addWindowLine(tr("升级被中断"));
    if (linkSession != 0)
        closeLink();
    exchanges->finish();
}
