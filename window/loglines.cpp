#include "loglines.h"

#include <QStringList>

#include <algorithm>

namespace {

bool isBreak(QChar c)
{
    return c == QLatin1Char('\n') || c == QLatin1Char('\r') || c == QChar::ParagraphSeparator ||
           c == QChar::LineSeparator;
}

// Where a text editor would start a new line. Most lines have no break: they are not copied.
QStringList splitAtBreaks(const QString &line)
{
    if (std::none_of(line.begin(), line.end(), isBreak))
        return {line};
    QString text = line;
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    for (const QChar c :
         {QChar(QLatin1Char('\r')), QChar(QChar::ParagraphSeparator), QChar(QChar::LineSeparator)})
        text.replace(c, QLatin1Char('\n'));
    return text.split(QLatin1Char('\n'));
}

} // namespace

LogLines::LogLines(QObject *parent) : QAbstractListModel(parent) {}

void LogLines::setLimit(int lines)
{
    m_limit = qMax(1, lines);
    commit();
}

QString LogLines::decode(const Row &row)
{
    if (row.kind == LogEntry::Kind::Text)
        return QString::fromUtf8(row.bytes);
    return hexLine(row.kind, row.bytes);
}

int LogLines::columns(const QString &line)
{
    int count = line.size();
    for (const QChar c : line)
        count += c.unicode() >= 0x1100 ? 1 : 0;
    return count;
}

void LogLines::stage(const LogEntry &entry)
{
    if (entry.isTraffic()) {
        // "MCU->RW47HN: [" and "]" around two digits a byte and a space between bytes.
        const int count = int(entry.bytes.size());
        m_widest = qMax(m_widest, 15 + (count > 0 ? 3 * count - 1 : 0));
        m_staged.push_back({entry.kind, entry.bytes});
    } else {
        for (const QString &part : splitAtBreaks(entry.text)) {
            m_widest = qMax(m_widest, columns(part));
            m_staged.push_back({LogEntry::Kind::Text, part.toUtf8()});
        }
    }
    // Lines that would leave before they were ever shown need not wait.
    keepWithinLimit(m_staged, m_limit);
}

void LogLines::commit()
{
    const int incoming = int(m_staged.size());
    const int excess = int(m_rows.size()) + incoming - m_limit;
    if (excess > 0) {
        const int leaving = qMin(excess, int(m_rows.size()));
        beginRemoveRows(QModelIndex(), 0, leaving - 1);
        m_rows.erase(m_rows.begin(), m_rows.begin() + leaving);
        endRemoveRows();
    }
    if (incoming == 0)
        return;
    beginInsertRows(QModelIndex(), int(m_rows.size()), int(m_rows.size()) + incoming - 1);
    for (Row &row : m_staged)
        m_rows.push_back(std::move(row));
    m_staged.clear();
    endInsertRows();
}

void LogLines::keepWithinLimit(std::deque<Row> &rows, int room)
{
    if (int(rows.size()) > room)
        rows.erase(rows.begin(), rows.end() - room);
}

void LogLines::clear()
{
    beginResetModel();
    m_rows.clear();
    m_staged.clear();
    m_widest = 0;
    endResetModel();
}

QString LogLines::plainText() const
{
    QStringList lines;
    for (const std::deque<Row> *rows : {&m_rows, &m_staged}) {
        for (const Row &row : *rows)
            lines.append(decode(row));
    }
    // Staged lines may have pushed older rows past the limit; those are gone already.
    return lines.mid(qMax(0, lines.size() - m_limit)).join(QLatin1Char('\n'));
}

QString LogLines::lastLine() const
{
    if (!m_staged.empty())
        return decode(m_staged.back());
    return m_rows.empty() ? QString() : decode(m_rows.back());
}

int LogLines::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

QVariant LogLines::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= int(m_rows.size()))
        return {};
    return decode(m_rows.at(size_t(index.row())));
}
