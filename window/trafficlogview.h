#pragma once

#include "logentry.h"

#include <QObject>
#include <QTimer>

class LogView;

// What the log area does with the entries of an upgrade: it takes each at once and shows new
// lines in batches, at most every LogShowMs, so that the view lays itself out and paints
// once per batch however fast the module is served.
class TrafficLogView : public QObject
{
    Q_OBJECT

public:
    explicit TrafficLogView(LogView *view, QObject *parent = nullptr);

    void add(const LogEntry &entry);
    void clear();

private:
    void showNow();

    LogView *m_view;
    QTimer m_showTimer; // the staged lines show when it runs out
};
