#pragma once

#include "logentry.h"

#include <QString>
#include <QTreeView>

class LogLines;

// The log area: one row per line, in a fixed-width font, never wrapped, never read as markup.
// It holds the newest lines up to a limit; lines come in staged and appear in batches, so that
// the view lays itself out once per batch however fast lines arrive.
class LogView : public QTreeView
{
    Q_OBJECT

public:
    explicit LogView(QWidget *parent = nullptr);

    // The entry is held at once; it shows at the next showStaged().
    void append(const LogEntry &entry);
    // Shows the staged lines, and keeps the newest in sight when the view was at the end.
    void showStaged();
    void clear();
    void setLineLimit(int lines);
    int lineLimit() const;

    // What the area holds as plain text, one line per line break, staged lines included.
    QString toPlainText() const;
    QString lastLine() const;
    // The folder the context menu offers to open; none when empty.
    void setLogFolder(const QString &folder) { m_folder = folder; }

signals:
    // A line came in, or the area was cleared.
    void textChanged();

protected:
    void contextMenuEvent(QContextMenuEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void copySelection();
    void fitWidth();

    LogLines *m_lines;
    QString m_folder;
};
