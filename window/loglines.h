#pragma once

#include "logentry.h"

#include <QAbstractListModel>
#include <QByteArray>
#include <QString>

#include <deque>

// The log area's lines, the newest `limit` of them, stored compactly: traffic as its bytes (a
// third of its hex line), any other line as UTF-8. A 4 KiB reply's hex line is 12,300
// characters; held as text, ten thousand of them would need a quarter of a gigabyte.
//
// New lines are staged first and become rows in one go at commit(), so that a view lays
// itself out once per batch rather than once per line.
class LogLines : public QAbstractListModel
{
    Q_OBJECT

public:
    explicit LogLines(QObject *parent = nullptr);

    void setLimit(int lines);
    int limit() const { return m_limit; }
    // Adds an entry; text as a text editor would show it: a line break starts another row.
    void stage(const LogEntry &entry);
    // Makes the staged lines rows and lets the oldest go beyond the limit.
    void commit();
    bool hasStaged() const { return !m_staged.empty(); }
    void clear();

    // All held lines, staged ones included, one per line break.
    QString plainText() const;
    QString lastLine() const;
    // Columns of the widest line held since the last clear(); wide characters count twice.
    int widestColumns() const { return m_widest; }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;

private:
    struct Row
    {
        LogEntry::Kind kind;
        QByteArray bytes; // UTF-8 text, or the bytes of the traffic
    };
    static QString decode(const Row &row);
    static int columns(const QString &line);
    void keepWithinLimit(std::deque<Row> &rows, int room);

    std::deque<Row> m_rows;
    std::deque<Row> m_staged;
    int m_limit = 10000;
    int m_widest = 0;
};
