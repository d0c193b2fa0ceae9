#pragma once

#include "portlist.h"
#include "upgradesequence.h"

#include <QByteArray>
#include <QMainWindow>
#include <QString>

#include <cstdint>
#include <functional>

class PortBox;
class TrafficLogView;
class UpgradeStatus;

QT_BEGIN_NAMESPACE
namespace Ui {
class MainWindow;
}
QT_END_NAMESPACE

// The upgrader's one window: the widgets in front of one upgrade sequence, its log area and
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
    UpgradeSequence &upgradeSequence() { return sequence; }
    // Where the port list comes from each time the drop-down opens; the system by default.
    void setPortProvider(std::function<QVector<PortDescription>()> provider);

    // ---- The window's established meta-object surface: listeners and callers reach these
    // by name. The two signals are declared for listeners of the log; the window never emits
    // them. The two slots forward to the sequence. ----
signals:
    void upgradeResultMsg(uint8_t flag, QByteArray data, const uint8_t *byteArray, uint64_t size);
    void upgradeEventMsg(QString msg);

private slots:
    void on_pushButton_clicked();
    void on_toolButton_clicked();
    void on_pushButton_2_clicked();
    void on_pushButton_3_clicked();
    void changeBaudRate(quint64 baudrate);
    void delaySendStartUpgradeCmd();
    // ---- end of the meta-object surface ----

private:
    void SerialAppInit();
    void SearchAvailablePorts();
    void registerTypeNames();
    void connectSequence();
    void showLinkOpen(const QString &portName, const QString &rateText);
    void showLinkClosed();

    Ui::MainWindow *ui;
    UpgradeSequence sequence;
    PortBox *portBox = nullptr;
    TrafficLogView *trafficLog = nullptr;
    UpgradeStatus *upgradeStatus = nullptr;
};
