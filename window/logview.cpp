#include "logview.h"

#include "loglines.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QFontDatabase>
#include <QHeaderView>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QUrl>

namespace {

constexpr int Margin = 3;
// Lines longer than this are drawn only where the viewport shows them.
constexpr int LongLine = 400;

// Draws a line as plain text. Only the part of a long line that is in view is drawn: a hex
// line of a 4 KiB reply is 12,300 characters, and laying all of them out for every row in
// view on every repaint would cost more than the rest of the window together.
class LogLineDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override
    {
        QStyleOptionViewItem opt(option);
        initStyleOption(&opt, index);
        const QString text = opt.text;
        opt.text.clear();
        const QWidget *view = opt.widget;
        QStyle *style = view ? view->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, view); // selection, focus
        const bool selected = opt.state & QStyle::State_Selected;
        painter->setPen(opt.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
        painter->setFont(opt.font);
        const QFontMetrics &metrics = opt.fontMetrics;
        const int charWidth = qMax(1, metrics.horizontalAdvance(QLatin1Char('0')));
        const int left = opt.rect.left() + Margin;
        int first = 0;
        int count = text.size();
        const auto *area = qobject_cast<const QAbstractScrollArea *>(view);
        if (text.size() > LongLine && area) {
            // Long lines are hex, plain ASCII: in a fixed-width font a column is a character.
            const QRect shown = area->viewport()->rect();
            first = qMax(0, (shown.left() - left) / charWidth);
            count = shown.width() / charWidth + 2;
        }
        const int baseline =
            opt.rect.top() + (opt.rect.height() - metrics.height()) / 2 + metrics.ascent();
        painter->drawText(QPoint(left + first * charWidth, baseline), text.mid(first, count));
    }

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &) const override
    {
        return {0, option.fontMetrics.height() + 2};
    }
};

} // namespace

LogView::LogView(QWidget *parent) : QTreeView(parent), m_lines(new LogLines(this))
{
    // Hex dumps read best in a fixed-width font; they need no shaping or kerning.
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setStyleStrategy(QFont::PreferNoShaping);
    font.setKerning(false);
    setFont(font);
    setModel(m_lines);
    setItemDelegate(new LogLineDelegate(this));
    // Every row as tall as the first: the view can place ten thousand rows without asking each.
    setUniformRowHeights(true);
    setHeaderHidden(true);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setIndentation(0);
    setWordWrap(false);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    header()->setStretchLastSection(false);
    header()->setSectionResizeMode(QHeaderView::Fixed);
}

void LogView::append(const LogEntry &entry)
{
    m_lines->stage(entry);
    emit textChanged();
}

void LogView::showStaged()
{
    if (!m_lines->hasStaged())
        return;
    const QScrollBar *bar = verticalScrollBar();
    const bool following = bar->value() >= bar->maximum();
    m_lines->commit();
    fitWidth();
    if (following)
        scrollToBottom();
}

void LogView::clear()
{
    m_lines->clear();
    fitWidth();
    emit textChanged();
}

void LogView::setLineLimit(int lines)
{
    m_lines->setLimit(lines);
}

int LogView::lineLimit() const
{
    return m_lines->limit();
}

QString LogView::toPlainText() const
{
    return m_lines->plainText();
}

QString LogView::lastLine() const
{
    return m_lines->lastLine();
}

// The one column is as wide as the widest line, so that the horizontal scroll bar reaches
// the end of every line; never narrower than the view.
void LogView::fitWidth()
{
    const int charWidth = qMax(1, fontMetrics().horizontalAdvance(QLatin1Char('0')));
    const int wanted = m_lines->widestColumns() * charWidth + 2 * Margin;
    const int width = qMax(wanted, viewport()->width());
    if (columnWidth(0) != width)
        setColumnWidth(0, width);
}

void LogView::resizeEvent(QResizeEvent *event)
{
    QTreeView::resizeEvent(event);
    fitWidth();
}

void LogView::copySelection()
{
    QModelIndexList rows = selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end());
    QStringList lines;
    for (const QModelIndex &row : qAsConst(rows))
        lines.append(row.data().toString());
    if (!lines.isEmpty())
        QGuiApplication::clipboard()->setText(lines.join(QLatin1Char('\n')));
}

void LogView::keyPressEvent(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Copy)) {
        copySelection(); // all selected lines, not only the current one
        return;
    }
    QTreeView::keyPressEvent(event);
}

void LogView::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu menu(this);
    QAction *copy = menu.addAction(tr("复制"), this, &LogView::copySelection);
    copy->setEnabled(selectionModel()->hasSelection());
    menu.addAction(tr("全选"), this, &QAbstractItemView::selectAll);
    QAction *folder = menu.addAction(tr("打开日志文件夹"), this, [this] {
        QDesktopServices::openUrl(QUrl::fromLocalFile(m_folder));
    });
    folder->setEnabled(!m_folder.isEmpty());
    folder->setToolTip(m_folder);
    menu.exec(event->globalPos());
}
