#pragma once

#include "language.h"
#include "logentry.h"
#include "portlist.h"
#include "sessionlog.h"
#include "upgradesequence.h"
#include "workerthread.h"

#include <QByteArray>
#include <QMainWindow>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class QLabel;
class QMessageBox;
class PortBox;
class TrafficLogView;
class UpgradeStatus;

QT_BEGIN_NAMESPACE
namespace Ui {
class MainWindow;
}
QT_END_NAMESPACE

// The upgrader's one window: the widgets in front of one upgrade sequence, which serves the
// module from a thread of its own, its log area and the progress in the status bar.
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
    // Opens the port and starts the upgrade once it is open, as the two buttons would.
    void openAndStart();
    // How long the module may stay silent before the log area says so. Tests shorten them.
    void setSilenceLimits(int afterStartMs, int inFramesMs);
    // The sequence's thread, for listeners such as tests: relay() its signals to this thread.
    WorkerThread<UpgradeSequence> &exchangeThread() const { return *exchanges; }
    // Where the port list comes from each time the drop-down opens; the system by default.
    void setPortProvider(std::function<QVector<PortDescription>()> provider);
    // Where each port session's log file goes; the default folder when empty.
    void setLogFolder(const QString &folder);
    // How many lines the log area keeps; older ones leave the view (not the file).
    void setLogLineLimit(int lines);
    // The current or last port session's log file; empty before the first.
    QString logFilePath() const { return sessionLog.filePath(); }
    // Ends what runs without asking, as a signal to the process demands: an upgrade under way
    // is said to be interrupted, in the log area and the file, and the port closes once the
    // sequence has said everything before.
    void endInterrupted();

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;

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
    void openLink();
    void closeLink();
    void takeOpenAnswer(bool opened);
    void showLinkOpen();
    void showLinkClosed();
    void endFileSession();
    void takeEntry(const LogEntry &entry);
    void addWindowLine(const QString &line);
    void clearArea();
    void openLogFile(const QString &portName);
    void showLogFile();
    UpgradeSequence::Phase sequencePhase() const;
    bool transferRunning() const;
    bool upgradeUnderWay() const;
    bool mayInterrupt(const QString &question);
    void closeQuestionIfTransferEnded();
    void setChosenRate(quint64 rate);
    void retranslate();
    void showPortButton();
    void showImageRequest();

    Ui::MainWindow *ui;
    // The upgrade sequence on a thread of its own, so that nothing the window does (laying
    // out, painting, a dialog, reading a large image) delays an answer to the module.
    std::unique_ptr<WorkerThread<UpgradeSequence>> exchanges;
    PortBox *portBox = nullptr;
    TrafficLogView *trafficLog = nullptr;
    UpgradeStatus *upgradeStatus = nullptr;
    SessionLog sessionLog;
    QString logFolder;
    QLabel *logFileLabel = nullptr;
    QPointer<QMessageBox> question; // open while a press asks
    QString openingPort;            // the port and rate of the open that awaits its answer
    QString openingRate;
    QString imageRequest; // what the line edit said when the dialog was cancelled
    bool startWhenOpen = false;
    quint64 heardSession = 0; // the port session of the event being heard: its opens, counted
    quint64 linkSession = 0;  // the port session open as far as the window knows; 0: closed
    quint64 fileSession = 0;  // the port session whose entries go to the log file
    quint64 areaFrom = 0;     // entries made before this one were cleared from the area
};
