#pragma once

#include "upgradesequence.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVector>

#include <memory>

struct HeadlessOptions
{
    QStringList ports;
    QString image;
    QString baud = QStringLiteral("115200");
    int timeoutSeconds = 30;
    bool verbose = false;
    bool debug = false;
    QString jsonPath;
};

// One port's upgrade without a window: opens the port, starts the upgrade and waits for its
// end: the module's result, a lost port, or silence for longer than the timeout.
class PortUpgrade : public QObject
{
    Q_OBJECT

public:
    enum class Outcome { Running, Ok, Failed, Error };

    PortUpgrade(const QString &port, const HeadlessOptions &options, QObject *parent = nullptr);
    void start();

    QString port() const { return m_port; }
    Outcome outcome() const { return m_outcome; }
    // 0 for success, 1 for a reported failure, 2 for a port that could not be used or finish.
    int exitStatus() const;
    QString summaryLine() const;
    QString progressText() const;
    QJsonObject toJson() const;

signals:
    void ended();

private:
    void connectSequence();
    void end(Outcome outcome, const QString &reason = {});
    void endWithError(const QString &reason);
    void onResult(uint8_t result, const UpgradeFigures &figures);

    QString m_port;
    const HeadlessOptions &m_options;
    UpgradeSequence m_sequence;
    QTimer m_idle; // the module has sent no frame for the timeout
    Outcome m_outcome = Outcome::Running;
    int m_result = -1;
    QString m_reason;
    UpgradeFigures m_figures;
};

// Upgrades every port at once, prints a summary line per port as it ends and a progress line
// at most every second, and finishes with the highest exit status.
class HeadlessRunner : public QObject
{
    Q_OBJECT

public:
    explicit HeadlessRunner(const HeadlessOptions &options, QObject *parent = nullptr);
    void start();

signals:
    void finished(int exitStatus);

private:
    void portEnded(PortUpgrade *upgrade);
    void printProgress();
    bool writeJson() const;

    HeadlessOptions m_options;
    std::vector<std::unique_ptr<PortUpgrade>> m_upgrades;
    QTimer m_progress;
    int m_running = 0;
};
