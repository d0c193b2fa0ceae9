#pragma once

#include "stationmodel.h"

#include <QFrame>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

// One position on the station's grid, readable from across the room: a coloured block sized
// to the tile with the position's name, its state as a large word (✓ or ✗ after a module)
// and why a module failed; below it the port, the module's serial, progress, time and counts, Start
// and Stop.
class PositionTile : public QFrame
{
    Q_OBJECT

public:
    explicit PositionTile(int index, QWidget *parent = nullptr);
    void display(const StationModel::Position &position, qint64 imageSize, bool canStart);

    // The colour class of the block: idle, waiting, running, passed or failed. A failure
    // stays until the next module starts, also while the position waits for it.
    static QString colourClass(const StationModel::Position &position);
    // The large word, and the line under it: why the last module failed, or empty.
    static QString stateWord(const StationModel::Position &position);
    static QString reasonText(const StationModel::Position &position);

signals:
    void startPressed(int index);
    // A barcode scanner typed a serial and Enter into the position's field.
    void serialScanned(int index, const QString &serial);
    void stopPressed(int index);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void layOut();
    void fitTexts();
    void showSerial(const StationModel::Position &position);

    int m_index;
    QFrame *m_block;
    QLabel *m_name;
    QLabel *m_word;
    QLabel *m_reason;
    QLabel *m_port;
    QLineEdit *m_serial;
    QProgressBar *m_progress;
    QLabel *m_elapsed;
    QLabel *m_counts;
    QPushButton *m_start;
    QPushButton *m_stop;
};
