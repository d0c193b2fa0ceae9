#pragma once

#include "stationcontroller.h"

#include <QMainWindow>
#include <QPointer>
#include <QTimer>
#include <QVector>

#include <memory>

class PositionTile;
class QMessageBox;
class QGridLayout;

namespace Ui {
class StationWindow;
}

// The production station: the set-up, which the operator locks, a tile per position with its
// state and outcome, the totals since the last reset and the last modules. The positions are
// served by a StationController on a thread of their own.
class StationWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit StationWindow(QWidget *parent = nullptr);
    ~StationWindow() override;

    StationController *controller() { return &m_controller; }
    // Shows `setup` and takes it for the positions.
    void useSetup(const StationSetup &setup);
    StationSetup setupShown() const;
    bool isLocked() const;
    void lock();
    // As Space does: every position ready for a module, when the set-up shown can be used.
    void startAll();

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void prepareSetupPanel();
    void prepareShortcuts();
    void retranslate();
    void applySetup();
    void showSetup(const StationSetup &setup);
    void rebuildTiles();
    void showPosition(int index);
    void showTotals();
    void showImage();
    void addHistoryRow(const StationRecord &record);
    void showWriteFailure(const QString &problem);
    void openHistoryLog(int row);
    void updateSetupEnabled();
    void toggleLock(bool locked);
    void stopPressed(int index);
    void startPosition(int index);
    void takeSerial(int index, const QString &serial);
    void stopAllPressed();
    bool unlockAllowed();
    bool canStart() const;
    void closeQuestionIfTransferEnded();
    // Asks Yes or No; a question about a transfer (a position's, or AnyTransfer) is closed
    // with No when that transfer ends meanwhile.
    bool ask(const QString &text, int position = NoTransfer);
    void resetTotals();
    void chooseImage();
    void chooseJsonLines();
    void chooseLogDir();
    void addPosition();
    void removePosition();
    void openProfile();
    void saveProfile();
    int upgradingCount() const;

    std::unique_ptr<Ui::StationWindow> ui;
    StationController m_controller;
    QVector<PositionTile *> m_tiles;
    QGridLayout *m_grid;
    QTimer m_totalsClock; // modules per hour moves with time
    static constexpr int NoTransfer = -2;
    static constexpr int AnyTransfer = -1;
    QPointer<QMessageBox> m_question;    // open while the window asks
    int m_questionPosition = NoTransfer; // the transfer it is about, if any
    bool m_showing = false;              // the panel is being filled, not edited
    StationSetup m_given;                // for what the panel does not show
    SetupProblem m_setupProblem;         // of the set-up shown: it is not applied
};
