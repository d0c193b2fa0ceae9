#include "portbox.h"

#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>

PortBox::PortBox(QComboBox *box, QObject *parent) : QObject(parent), m_box(box)
{
    m_box->installEventFilter(this);
    if (m_box->lineEdit())
        m_box->lineEdit()->installEventFilter(this);
}

void PortBox::setProvider(std::function<QVector<PortDescription>()> provider)
{
    m_provider = std::move(provider);
}

QVector<PortDescription> PortBox::listPorts()
{
    const QVector<PortDescription> ports = m_provider();
    showPorts(m_box, ports);
    return ports;
}

bool PortBox::eventFilter(QObject *watched, QEvent *event)
{
    if (opensDropDown(watched, event))
        listPorts();
    return QObject::eventFilter(watched, event);
}

// A press on the box, F4, or Alt with an arrow key.
bool PortBox::opensDropDown(QObject *watched, QEvent *event) const
{
    if (event->type() == QEvent::MouseButtonPress)
        return watched == m_box;
    if (event->type() != QEvent::KeyPress || (watched != m_box && watched != m_box->lineEdit()))
        return false;
    const auto *key = static_cast<QKeyEvent *>(event);
    const bool altArrow = (key->modifiers() & Qt::AltModifier) &&
                          (key->key() == Qt::Key_Down || key->key() == Qt::Key_Up);
    return key->key() == Qt::Key_F4 || altArrow;
}
