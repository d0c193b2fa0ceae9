#pragma once

#include <QLabel>

// A one-line label that shows as much of its text as fits and elides the rest, so a long
// text never makes the window wider. text() stays the whole text; the size hint is the
// whole text's width, the minimum only a few characters, so a layout may shrink it. It
// paints the elision itself, so setText() through a plain QLabel pointer works as well.
class ElidedLabel : public QLabel
{
    Q_OBJECT

public:
    explicit ElidedLabel(Qt::TextElideMode mode = Qt::ElideRight, QWidget *parent = nullptr);

    Qt::TextElideMode elideMode() const { return m_mode; }
    void setElideMode(Qt::TextElideMode mode);
    // What is painted now: the text, cut to the width the label has.
    QString shownText() const;

    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QRect textRect() const;

    Qt::TextElideMode m_mode;
};
