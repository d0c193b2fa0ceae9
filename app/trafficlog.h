#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

class QTextBrowser;

// The log area: lines added as plain text, repaints held back while traffic flows, and the
// lines of a frame being answered kept until its reply is out.
class TrafficLogView : public QObject
{
    Q_OBJECT

public:
    explicit TrafficLogView(QTextBrowser *view, QObject *parent = nullptr);

    void appendLine(const QString &line);
    // While a received frame is being answered its lines wait, and go in once it is answered.
    void holdLines(bool hold);
    void clear();

private:
    void addLine(const QString &line);
    void releaseLines();
    void holdRepaint();
    void repaintSoon();
    void repaintNow();

    QTextBrowser *m_view;
    bool m_holding = false;
    QStringList m_held;
    QTimer m_repaintTimer;          // the log area repaints when it runs out
    bool m_repaintAfterReply = false; // the repaint waits for the next reply
    QElapsedTimer m_lastAnswerClock;  // since the last received frame was answered
};
