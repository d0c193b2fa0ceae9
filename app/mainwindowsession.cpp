// MainWindow: the sequence's own thread, the port session's log file, and the questions
// asked before a press ends a running transfer.

#include "eventrelay.h"
#include "exchangethread.h"
#include "mainwindow.h"
#include "trafficlog.h"
#include "ui_mainwindow.h"

#include <QCloseEvent>
#include <QLabel>
#include <QMessageBox>

// ---- The sequence's thread ----

// From then on all the sequence says comes through the relay, in its order.
void MainWindow::serveInOwnThread()
{
    if (linkOpen || exchanges->isRunning())
        return;
    sequence.disconnect(this);
    sequence.disconnect(trafficLog);
    relay = new EventRelay(this);
    connectSequence();
    exchanges->start();
}

void MainWindow::setChosenRate(quint64 rate)
{
    exchanges->run([this, rate] { sequence.setChosenRate(rate); });
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
    showLogFile();
}

// Where the file is, without a line in the log area: the status bar and the area's menu.
void MainWindow::showLogFile()
{
    const QString path = sessionLog.filePath();
    logFileLabel->setText(QStringLiteral("日志文件: ") + path);
    logFileLabel->setToolTip(path);
    ui->textBrowser->setLogFolder(sessionLog.folderPath());
}

// ---- Questions before a press ends a running transfer ----

// The module has asked for data and has not reported its result, on the port still open.
bool MainWindow::transferRunning() const
{
    return serving && linkOpen;
}

// An interrupted transfer can leave a module that does not boot: a press that would end one
// asks first. Outside a transfer every press does what it always did.
bool MainWindow::mayInterrupt(const QString &question)
{
    if (!transferRunning())
        return true;
    return QMessageBox::question(this, windowTitle(), question, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (!mayInterrupt(QStringLiteral("升级正在进行，关闭窗口会中断本次升级。是否关闭？"))) {
        event->ignore();
        return;
    }
    // The session ends with the window: the port closes and the log file is complete.
    if (linkOpen) {
        exchanges->run([this] { sequence.closePort(); });
        showLinkClosed();
    }
    QMainWindow::closeEvent(event);
}
