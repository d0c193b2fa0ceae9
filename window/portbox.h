#pragma once

#include "portlist.h"

#include <QObject>

#include <functional>

class QComboBox;

// The port box: lists the system's ports, made anew whenever its drop-down opens (adapters
// come and go while the window is open), and takes any typed device path.
class PortBox : public QObject
{
    Q_OBJECT

public:
    explicit PortBox(QComboBox *box, QObject *parent = nullptr);
    // Where the list comes from; the system by default.
    void setProvider(std::function<QVector<PortDescription>()> provider);
    // Lists the ports now; returns what was listed.
    QVector<PortDescription> listPorts();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool opensDropDown(QObject *watched, QEvent *event) const;

    QComboBox *m_box;
    std::function<QVector<PortDescription>()> m_provider = systemPorts;
};
