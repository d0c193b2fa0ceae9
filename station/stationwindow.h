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

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void prepareSetupPanel();
    void prepareShortcuts();
    void applySetup();
    void showSetup(const StationSetup &setup);
    void rebuildTiles();
    void showPosition(int index);
    void showTotals();
    void showImage();
    void addHistoryRow(const ModuleRecord &record);
    void openHistoryLog(int row);
    void updateSetupEnabled();
    void toggleLock(bool locked);
    void stopPressed(int index);
    void closeQuestionIfTransferEnded();
    bool ask(const QString &text);
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
    QTimer m_totalsClock;             // modules per hour moves with time
    QPointer<QMessageBox> m_question; // open while a Stop or the close asks
    int m_questionPosition = -1;      // the position it is about; -1: all
    bool m_showing = false;           // the panel is being filled, not edited
    StationSetup m_given;             // for what the panel does not show
};
