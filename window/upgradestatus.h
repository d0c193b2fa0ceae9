#pragma once

#include "upgradesequence.h"

#include <QObject>

class QLabel;
class QProgressBar;
class QStatusBar;

// The upgrade's progress in the status bar: bytes served, time and rate, then the outcome.
class UpgradeStatus : public QObject
{
    Q_OBJECT

public:
    explicit UpgradeStatus(QStatusBar *bar, QObject *parent = nullptr);

    void start(qint64 imageSize);
    void showServed(qint64 sliceEnd, qint64 elapsedMs);
    void showResult(uint8_t result, const UpgradeFigures &figures);
    // The upgrade under way, or the start of one, ended without a result: said first, with no
    // progress bar left over from it or from the upgrade before.
    void showStopped(const QString &reason);
    // The port was lost: an upgrade under way has stopped; a result shown stays.
    void showLost(const QString &reason);
    // Says what it shows again, in the language installed now.
    void retranslate();

private:
    enum class Shown { Nothing, Started, Served, Result, Stopped };
    void showText();

    QProgressBar *m_progressBar;
    QLabel *m_label;
    qint64 m_imageSize = 0;
    qint64 m_shownMs = -1; // when the text was last written
    Shown m_shown = Shown::Nothing;
    qint64 m_servedBytes = 0;
    qint64 m_elapsedMs = 0;
    int m_result = 0;
    QString m_reason; // why it stopped
};
