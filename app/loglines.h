#pragma once

#include <QAbstractListModel>
#include <QByteArray>
#include <QString>

#include <deque>

// The log area's lines, the newest `limit` of them, stored compactly: a hex line as the bytes
// it shows (a third of its text), any other line as UTF-8. A 4 KiB reply's hex line is
// 12,300 characters; held as text, ten thousand of them would need a quarter of a gigabyte.
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
    // Adds a line as a text editor would show it: a line break inside starts another row.
    void stage(const QString &line);
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
    enum class Kind : quint8 { Text, Sent, Received };
    struct Row
    {
        Kind kind;
        QByteArray bytes; // UTF-8 text, or the bytes a hex line shows
    };
    static Row encode(const QString &line);
    static QString decode(const Row &row);
    static int columns(const QString &line);
    void keepWithinLimit(std::deque<Row> &rows, int room);

    std::deque<Row> m_rows;
    std::deque<Row> m_staged;
    int m_limit = 10000;
    int m_widest = 0;
};
