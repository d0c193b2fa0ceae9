#include "elidedlabel.h"

#include <QPainter>
#include <QStyle>

ElidedLabel::ElidedLabel(Qt::TextElideMode mode, QWidget *parent) : QLabel(parent), m_mode(mode)
{
    setTextFormat(Qt::PlainText);
    // Preferred: the layout may give it less than its size hint, down to the small minimum.
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
}

void ElidedLabel::setElideMode(Qt::TextElideMode mode)
{
    if (m_mode == mode)
        return;
    m_mode = mode;
    update();
}

QString ElidedLabel::shownText() const
{
    return fontMetrics().elidedText(text(), m_mode, textRect().width());
}

// Room for the ellipsis and a character on either side of it, or for the whole text when
// that is shorter.
QSize ElidedLabel::minimumSizeHint() const
{
    const QSize whole = QLabel::sizeHint();
    const QMargins margins = contentsMargins();
    const int cut = fontMetrics().horizontalAdvance(QStringLiteral("W…W")) + 2 * margin() +
                    margins.left() + margins.right();
    return {qMin(whole.width(), cut), QLabel::minimumSizeHint().height()};
}

void ElidedLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    drawFrame(&painter);
    style()->drawItemText(&painter, textRect(),
                          int(QStyle::visualAlignment(layoutDirection(), alignment())), palette(),
                          isEnabled(), shownText(), foregroundRole());
}

QRect ElidedLabel::textRect() const
{
    return contentsRect().adjusted(margin(), margin(), -margin(), -margin());
}
