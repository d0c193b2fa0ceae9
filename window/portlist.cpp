#include "portlist.h"

#include <QComboBox>
#include <QDebug>

QString portTooltip(const PortDescription &port)
{
    QStringList lines;
    if (!port.description.isEmpty())
        lines << port.description;
    if (!port.manufacturer.isEmpty())
        lines << port.manufacturer;
    if (!port.serialNumber.isEmpty())
        lines << QStringLiteral("S/N %1").arg(port.serialNumber);
    if (port.hasUsbIds)
        lines << QStringLiteral("USB %1:%2")
                     .arg(port.vendorId, 4, 16, QLatin1Char('0'))
                     .arg(port.productId, 4, 16, QLatin1Char('0'));
    return lines.join(QLatin1Char('\n'));
}

void showPorts(QComboBox *box, const QVector<PortDescription> &ports)
{
    const QString text = box->currentText();
    box->clear();
    for (const PortDescription &port : ports) {
        box->addItem(port.name);
        box->setItemData(box->count() - 1, portTooltip(port), Qt::ToolTipRole);
    }
    // An empty box, nothing typed or chosen yet, shows the first port.
    const int index = text.isEmpty() && !ports.isEmpty() ? 0 : box->findText(text);
    if (index >= 0)
        box->setCurrentIndex(index);
    else
        box->setEditText(text);
}

void logPorts(const QVector<PortDescription> &ports)
{
    qDebug() << "Available serial ports:";
    for (const PortDescription &port : ports) {
        qDebug() << "Port:" << port.name;
        qDebug() << "Description:" << port.description;
        qDebug() << "Manufacturer:" << port.manufacturer;
        qDebug() << "System Location:" << port.systemLocation;
        qDebug() << "Vendor Identifier:" << port.vendorId;
        qDebug() << "Product Identifier:" << port.productId;
        qDebug() << "---------------------------------------";
    }
}
