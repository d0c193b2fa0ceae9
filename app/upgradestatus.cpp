// Upgrade status: progress in the status bar.

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
}

void MainWindow::startUpgradeStatus(qint64 imageSize)
{
    progressShownMs = -1;
    progressBar->setRange(0, int(qMax<qint64>(imageSize, 1)));
    progressBar->setValue(0);
    progressBar->show();
    progressLabel->setText(QStringLiteral("已发送 0 / %1 字节").arg(imageSize));
}

void MainWindow::recordServed(qint64 sliceEnd)
{
    progressBar->setValue(int(sliceEnd));
    const UpgradeSession::Figures figures = session.figures();
    const qint64 elapsedMs = figures.elapsedMs;
    if (progressShownMs >= 0 && elapsedMs - progressShownMs < ProgressTextIntervalMs &&
        sliceEnd < figures.imageSize)
        return; // the text need not change faster than anyone can read it
    progressShownMs = elapsedMs;
    const qint64 rate = elapsedMs > 0 ? sliceEnd * 1000 / elapsedMs : 0;
    progressLabel->setText(QStringLiteral("已发送 %1 / %2 字节，用时 %3 s，%4 字节/秒")
                               .arg(sliceEnd)
                               .arg(figures.imageSize)
                               .arg(elapsedMs / 1000.0, 0, 'f', 1)
                               .arg(rate));
}

void MainWindow::showUpgradeResult(uint8_t result)
{
    const UpgradeSession::Figures figures = session.figures();
    const double seconds = figures.elapsedMs / 1000.0;
    if (result == 0) {
        progressBar->setValue(progressBar->maximum());
        progressLabel->setText(QStringLiteral("升级完成：%1 字节，用时 %2 s")
                                   .arg(figures.imageSize)
                                   .arg(seconds, 0, 'f', 1));
    } else {
        progressLabel->setText(
            QStringLiteral("升级失败：模块报告升级未成功，用时 %1 s").arg(seconds, 0, 'f', 1));
    }
}
