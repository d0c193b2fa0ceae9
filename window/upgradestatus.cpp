#include "upgradestatus.h"

#include "elidedlabel.h"

#include <QProgressBar>
#include <QStatusBar>

namespace {

constexpr int ProgressTextIntervalMs = 100;

} // namespace

UpgradeStatus::UpgradeStatus(QStatusBar *bar, QObject *parent)
    : QObject(parent), m_progressBar(new QProgressBar(bar)),
      m_label(new ElidedLabel(Qt::ElideRight, bar))
{
    m_progressBar->setMaximumWidth(300);
    m_progressBar->hide();
    bar->addWidget(m_label, 1);
    bar->addPermanentWidget(m_progressBar);
}

void UpgradeStatus::start(qint64 imageSize)
{
    m_imageSize = imageSize;
    m_shownMs = -1;
    m_progressBar->setRange(0, int(qMax<qint64>(imageSize, 1)));
    m_progressBar->setValue(0);
    m_progressBar->show();
    m_shown = Shown::Started;
    showText();
}

void UpgradeStatus::showServed(qint64 sliceEnd, qint64 elapsedMs)
{
    m_progressBar->setValue(int(sliceEnd));
    if (m_shownMs >= 0 && elapsedMs - m_shownMs < ProgressTextIntervalMs && sliceEnd < m_imageSize)
        return; // the text need not change faster than anyone can read it
    m_shownMs = elapsedMs;
    m_shown = Shown::Served;
    m_servedBytes = sliceEnd;
    m_elapsedMs = elapsedMs;
    showText();
}

void UpgradeStatus::showResult(uint8_t result, const UpgradeFigures &figures)
{
    if (result == 0)
        m_progressBar->setValue(m_progressBar->maximum());
    m_shown = Shown::Result;
    m_result = result;
    m_imageSize = figures.imageSize;
    m_elapsedMs = figures.elapsedMs;
    showText();
}

void UpgradeStatus::showStopped(const QString &reason)
{
    m_progressBar->hide();
    if (m_shown != Shown::Served)
        m_servedBytes = 0;
    m_shown = Shown::Stopped;
    m_reason = reason;
    showText();
}

void UpgradeStatus::showLost(const QString &reason)
{
    if (m_shown == Shown::Started || m_shown == Shown::Served)
        showStopped(reason);
}

void UpgradeStatus::retranslate()
{
    showText();
}

void UpgradeStatus::showText()
{
    const double seconds = m_elapsedMs / 1000.0;
    switch (m_shown) {
    case Shown::Nothing:
        break;
    case Shown::Started:
        m_label->setText(tr("已发送 0 / %1 字节").arg(m_imageSize));
        break;
    case Shown::Served:
        m_label->setText(tr("已发送 %1 / %2 字节，用时 %3 s，%4 字节/秒")
                             .arg(m_servedBytes)
                             .arg(m_imageSize)
                             .arg(seconds, 0, 'f', 1)
                             .arg(m_elapsedMs > 0 ? m_servedBytes * 1000 / m_elapsedMs : 0));
        break;
    case Shown::Result:
        if (m_result == 0)
            m_label->setText(
                tr("升级完成：%1 字节，用时 %2 s").arg(m_imageSize).arg(seconds, 0, 'f', 1));
        else
            m_label->setText(tr("升级失败：模块报告升级未成功，用时 %1 s").arg(seconds, 0, 'f', 1));
        break;
    case Shown::Stopped:
        m_label->setText(tr("升级中断：%1，已发送 %2 / %3 字节")
                             .arg(m_reason)
                             .arg(m_servedBytes)
                             .arg(m_imageSize));
        break;
    }
}
