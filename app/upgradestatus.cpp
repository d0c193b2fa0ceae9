// Upgrade status: progress in the status bar, and a hint when the module stays silent.

#include "mainwindow.h"

#include "ui_mainwindow.h"

#include <QLabel>
#include <QProgressBar>
#include <QStatusBar>

namespace {

constexpr int ProgressTextIntervalMs = 100;

} // namespace

void MainWindow::setupUpgradeStatus()
{
    progressLabel = new QLabel(this);
    progressBar = new QProgressBar(this);
    progressBar->setMaximumWidth(300);
    progressBar->hide();
    statusBar()->addWidget(progressLabel, 1);
    statusBar()->addPermanentWidget(progressBar);

    silenceTimer.setSingleShot(true);
    connect(&silenceTimer, &QTimer::timeout, this, &MainWindow::showSilenceHint);
}

void MainWindow::startUpgradeStatus(qint64 imageSize)
{
    servedBytes = 0;
    progressShownMs = -1;
    progressBar->setRange(0, int(qMax<qint64>(imageSize, 1)));
    progressBar->setValue(0);
    progressBar->show();
    progressLabel->setText(QStringLiteral("已发送 0 / %1 字节").arg(imageSize));
    upgradeClock.start();
    awaitingResult = true;
    silenceHintShown = false;
    silenceTimer.stop();
}

// Repeated requests for the same slice do not count twice: progress is the highest end served.
void MainWindow::recordServed(qint64 sliceEnd)
{
    if (sliceEnd <= servedBytes)
        return;
    servedBytes = sliceEnd;
    progressBar->setValue(int(servedBytes));
    const qint64 elapsedMs = upgradeClock.elapsed();
    if (progressShownMs >= 0 && elapsedMs - progressShownMs < ProgressTextIntervalMs &&
        servedBytes < ufwFileData.size())
        return; // the text need not change faster than anyone can read it
    progressShownMs = elapsedMs;
    const qint64 rate = elapsedMs > 0 ? servedBytes * 1000 / elapsedMs : 0;
    progressLabel->setText(QStringLiteral("已发送 %1 / %2 字节，用时 %3 s，%4 字节/秒")
                               .arg(servedBytes)
                               .arg(ufwFileData.size())
                               .arg(elapsedMs / 1000.0, 0, 'f', 1)
                               .arg(rate));
}

void MainWindow::showUpgradeResult(bool succeeded)
{
    awaitingResult = false;
    silenceTimer.stop();
    const double seconds = upgradeClock.isValid() ? upgradeClock.elapsed() / 1000.0 : 0.0;
    if (succeeded) {
        progressBar->setValue(progressBar->maximum());
        progressLabel->setText(QStringLiteral("升级完成：%1 字节，用时 %2 s")
                                   .arg(ufwFileData.size())
                                   .arg(seconds, 0, 'f', 1));
    } else {
        progressLabel->setText(
            QStringLiteral("升级失败：模块报告升级未成功，用时 %1 s").arg(seconds, 0, 'f', 1));
    }
}

// Starts, or starts again, the wait for the module: after the start frame and after every
// chunk it sends until the result.
void MainWindow::restartSilenceWait()
{
    if (awaitingResult && portOpen)
        silenceTimer.start(packetMode != 0 ? silentInFramesMs : silentAfterStartMs);
}

void MainWindow::setSilenceLimits(int afterStartMs, int inFramesMs)
{
    silentAfterStartMs = afterStartMs;
    silentInFramesMs = inFramesMs;
}

void MainWindow::showSilenceHint()
{
    if (!awaitingResult || silenceHintShown || !portOpen)
        return;
    silenceHintShown = true;
    appendLogLine(QStringLiteral("模块无应答，请检查连接和波特率"));
}
