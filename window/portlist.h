#pragma once

#include "portidentity.h"

#include <QString>
#include <QVector>

class QComboBox;

using PortDescription = PortIdentity;

// One line per fact the system knows, for the port's tooltip; empty when it knows none.
QString portTooltip(const PortDescription &port);
// Writes what the system knows of each port to the debug log.
void logPorts(const QVector<PortDescription> &ports);
// Makes the box list exactly `ports` in their order, each with its tooltip. The text in the
// box, typed or chosen, stays as it was; an empty box shows the first port.
void showPorts(QComboBox *box, const QVector<PortDescription> &ports);
