#pragma once

#include "stationmodel.h"

#include <QFrame>

class QLabel;
class QProgressBar;
class QPushButton;

// One position on the station's grid: its name on a block coloured by its last outcome, its
// port, state, progress, time and counts, and its Start and Stop buttons.
class PositionTile : public QFrame
{
    Q_OBJECT

public:
    explicit PositionTile(int index, QWidget *parent = nullptr);
    void display(const StationModel::Position &position, qint64 imageSize, bool canStart);

    static QString stateText(const StationModel::Position &position);
    // The colour class of the block: idle, running, passed or failed.
    static QString colourClass(const StationModel::Position &position);

signals:
    void startPressed(int index);
    void stopPressed(int index);

private:
    void layOut();

    int m_index;
    QLabel *m_block;
    QLabel *m_port;
    QLabel *m_state;
    QProgressBar *m_progress;
    QLabel *m_elapsed;
    QLabel *m_counts;
    QPushButton *m_start;
    QPushButton *m_stop;
};
