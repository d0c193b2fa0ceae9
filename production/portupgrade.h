#pragma once

#include "modulerecord.h"
#include "sessionlog.h"
#include "upgradesequence.h"

#include <QDateTime>
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
// interrupt. Its record holds everything a report says of it.
class PortUpgrade : public QObject
{
    Q_OBJECT

public:
    PortUpgrade(const QString &port, const HeadlessOptions &options, const SharedImage &image,
                QObject *parent = nullptr);
    // The serial scanned for the module on the port, for its record; before start().
    void setModuleSerial(const QString &serial) { m_record.moduleSerial = serial; }
    void start();
    // Ends a running upgrade as interrupted; false when it had its result already.
    bool interrupt();

    QString port() const { return m_record.port; }
    bool hasEnded() const { return m_ended; }
    // Complete once ended() has come.
    const ModuleRecord &record() const { return m_record; }
    QString progressText() const;
    // What the upgrade has done so far.
    UpgradeFigures liveFigures() const { return m_sequence.figures(); }

signals:
    void ended(const ModuleRecord &record);

private:
    void connectSequence();
    void connectLog();
    void end(ModuleRecord::Status status, const EndReason &reason = {});
    void endWithError(const EndReason &reason);
    void onResult(uint8_t result, const UpgradeFigures &figures);
    void takeModuleText(const QByteArray &text);
    EndReason resolve();
    QString logName() const;

    const HeadlessOptions &m_options;
    const SharedImage &m_image;
    UpgradeSequence m_sequence;
    SessionLog m_log;
    QTimer m_idle; // the module has sent no frame for the timeout
    ModuleRecord m_record;
    UpgradeFigures m_figures;
    QByteArray m_moduleText;
    bool m_ended = false;
};
