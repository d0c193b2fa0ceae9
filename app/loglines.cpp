#include "loglines.h"

#include <QStringList>

#include <algorithm>

namespace {

const QLatin1String SentPrefix("MCU->RW47HN: [");
const QLatin1String ReceivedPrefix("RW47HN->MCU: [");

// The value of an upper-case hex digit, -1 for anything else.
int hexDigit(QChar c)
{
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    return u >= 'A' && u <= 'F' ? u - 'A' + 10 : -1;
}

// The bytes of "AA 55 01" exactly as the sequence writes them, or false when the text is
// anything else: only a line that comes back letter for letter may be stored as bytes.
bool parseHexBody(const QChar *text, int length, QByteArray *bytes)
{
    if (length < 2 || length % 3 != 2)
        return false;
    const int count = (length + 1) / 3;
    bytes->resize(count);
    for (int i = 0; i < count; ++i) {
        const QChar *pair = text + 3 * i;
        const int high = hexDigit(pair[0]);
        const int low = hexDigit(pair[1]);
        if (high < 0 || low < 0 || (i + 1 < count && pair[2] != QLatin1Char(' ')))
            return false;
        (*bytes)[i] = char(high << 4 | low);
    }
    return true;
}

bool isBreak(QChar c)
{
    return c == QLatin1Char('\n') || c == QLatin1Char('\r') || c == QChar::ParagraphSeparator ||
           c == QChar::LineSeparator;
}

// Where a text editor would start a new line. Most lines (every hex line) have no break:
// they are not copied.
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

LogLines::Row LogLines::encode(const QString &line)
{
    for (const QLatin1String &prefix : {SentPrefix, ReceivedPrefix}) {
        QByteArray bytes;
        if (line.startsWith(prefix) && line.endsWith(QLatin1Char(']')) &&
            parseHexBody(line.constData() + prefix.size(), line.size() - prefix.size() - 1, &bytes))
            return {prefix == SentPrefix ? Kind::Sent : Kind::Received, bytes};
    }
    return {Kind::Text, line.toUtf8()};
}

QString LogLines::decode(const Row &row)
{
    if (row.kind == Kind::Text)
        return QString::fromUtf8(row.bytes);
    return (row.kind == Kind::Sent ? SentPrefix : ReceivedPrefix) +
           QLatin1String(row.bytes.toHex(' ').toUpper()) + QLatin1Char(']');
}

int LogLines::columns(const QString &line)
{
    int count = line.size();
    for (const QChar c : line)
        count += c.unicode() >= 0x1100 ? 1 : 0;
    return count;
}

void LogLines::stage(const QString &line)
{
    for (const QString &part : splitAtBreaks(line)) {
        m_widest = qMax(m_widest, columns(part));
        m_staged.push_back(encode(part));
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
