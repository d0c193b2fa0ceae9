#pragma once

#include "sessionlog.h"
#include "upgradesequence.h"

#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>

struct HeadlessOptions;

// The image every port serves: loaded and checked once, shared read-only.
struct SharedImage
{
    QString path; // as given
    QByteArray data;
    QString sha256;
};

// Loads and checks the image at `path` into `image`; what is wrong, or empty.
QString loadSharedImage(const QString &path, SharedImage *image);

// One module's upgrade on one port without a window: opens the port, starts the upgrade and
// waits for its end: the module's result, a lost port, no frame for the timeout, or an
// interrupt.
class PortUpgrade : public QObject
{
    Q_OBJECT

public:
    enum class Outcome { Running, Ok, Failed, Error };

    PortUpgrade(const QString &port, const HeadlessOptions &options, const SharedImage &image,
                QObject *parent = nullptr);
    void start();
    // Ends a running upgrade as interrupted; false when it had its result already.
    bool interrupt();

    QString port() const { return m_port; }
    // What a serial= or usb= port led to when the upgrade started; the port itself otherwise.
    QString device() const { return m_device; }
    Outcome outcome() const { return m_outcome; }
    // 0 for success, 1 for a reported failure, 2 for a port that could not be used or finish.
    int exitStatus() const;
    QString summaryLine() const;
    QString progressText() const;
    QJsonObject toJson() const;
    // What the upgrade has done so far, and where its log file is (empty without --log-dir).
    UpgradeFigures liveFigures() const { return m_sequence.figures(); }
    QString logFilePath() const { return m_log.filePath(); }

signals:
    void ended();

private:
    void connectSequence();
    void connectLog();
    void openLog();
    void end(Outcome outcome, const QString &reason = {});
    void endWithError(const QString &reason);
    void onResult(uint8_t result, const UpgradeFigures &figures);
    void takeModuleText(const QByteArray &text);
    QString resolve();
    QString label() const;
    QString logName() const;

    QString m_port; // as given
    QString m_device;
    const HeadlessOptions &m_options;
    const SharedImage &m_image;
    UpgradeSequence m_sequence;
    SessionLog m_log;
    QTimer m_idle; // the module has sent no frame for the timeout
    Outcome m_outcome = Outcome::Running;
    int m_result = -1;
    QString m_reason;
    UpgradeFigures m_figures;
    QDateTime m_started;
    QDateTime m_ended;
    QByteArray m_moduleText;
};
