#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

class LogView;
class SessionLog;

// What the log area does with the lines of an upgrade: a received frame's lines wait until its
// reply is out, the area shows new lines in batches at most every LogShowMs, and while the
// module is being served a batch waits for the next reply, when the module is busy reading.
// Every line also goes to the session's log file, when there is one.
class TrafficLogView : public QObject
{
    Q_OBJECT

public:
    explicit TrafficLogView(LogView *view, QObject *parent = nullptr);

    void appendLine(const QString &line);
    // While a received frame is being answered its lines wait, and go in once it is answered.
    void holdLines(bool hold);
    // Clears the area; the log file keeps every line.
    void clear();
    void setFile(SessionLog *file) { m_file = file; }

private:
    void addLine(const QString &line);
    void releaseLines();
    void showSoon();
    void showDue();
    void showNow();

    LogView *m_view;
    SessionLog *m_file = nullptr;
    bool m_holding = false;
    QStringList m_held;
    QTimer m_showTimer;              // the staged lines show when it runs out
    bool m_showAfterReply = false;   // the batch waits for the next reply
    QElapsedTimer m_lastAnswerClock; // since the last received frame was answered
};
