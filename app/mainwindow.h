#pragma once

#include "portlist.h"
#include "upgradesession.h"

#include <QByteArray>
#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <functional>

class QLabel;
class QProgressBar;

QT_BEGIN_NAMESPACE
namespace Ui {
class MainWindow;
}
QT_END_NAMESPACE

// The upgrader's one window: the widgets in front of one upgrade session, its log area and
// the progress in the status bar.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Settings that must be made before the QApplication exists: scaling on high-DPI screens.
    static void prepareApplication();

    // Shows `portName` in the port box, as if the user had typed it.
    void presetPort(const QString &portName);
    // Puts the image in place as if it had been chosen in the dialog.
    void presetImage(const QString &path);
    // Selects one of the offered rates; false when it is not one of them.
    bool presetBaudRate(const QString &rate);
    // Opens the port and starts the upgrade, as the two buttons would.
    void openAndStart();
    // How long the module may stay silent before the log area says so. Tests shorten them.
    void setSilenceLimits(int afterStartMs, int inFramesMs);
    UpgradeSession &upgradeSession() { return session; }
    // Where the port list comes from each time the drop-down opens; the system by default.
    void setPortProvider(std::function<QVector<PortDescription>()> provider);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

signals:
    // Declared for listeners of the traffic and event log; the window itself never emits them.
    void upgradeResultMsg(uint8_t flag, QByteArray data, const uint8_t *byteArray, uint64_t size);
    void upgradeEventMsg(QString msg);

private slots:
    void on_pushButton_clicked();
    void on_toolButton_clicked();
    void on_pushButton_2_clicked();
    void on_pushButton_3_clicked();
    void changeBaudRate(quint64 baudrate);
    void delaySendStartUpgradeCmd();

private:
    // Serial link
    void SerialAppInit();
    void SearchAvailablePorts();
    void refreshPortList();
    void showLinkClosed();

    // Upgrade status: progress in the status bar
    void setupUpgradeStatus();
    void startUpgradeStatus(qint64 imageSize);
    void recordServed(qint64 sliceEnd);
    void showUpgradeResult(uint8_t result);

    // Traffic log
    void setupTrafficLog();
    void appendLogLine(const QString &line);
    void addLogLine(const QString &line);
    void holdLogLines(bool hold);
    void releaseLogLines();
    void holdLogRepaint();
    void repaintLogSoon();
    void repaintLogNow();

    Ui::MainWindow *ui;
    UpgradeSession session;
    std::function<QVector<PortDescription>()> portProvider = systemPorts;

    bool holdingLogLines = false; // a received frame is being answered
    QStringList heldLogLines;
    QTimer logRepaintTimer;         // the log area repaints when it runs out
    bool repaintAfterReply = false; // the repaint waits for the next reply
    QElapsedTimer lastAnswerClock;  // since the last received frame was answered
    QProgressBar *progressBar = nullptr;
    QLabel *progressLabel = nullptr;
    qint64 progressShownMs = -1; // when the status text was last written
};
