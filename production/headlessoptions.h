#pragma once

#include "portidentity.h"
#include "resultstarget.h"

#include <QString>
#include <QStringList>

// What a headless run was asked to do, as the command line gives it.
struct HeadlessOptions
{
    QStringList ports;
    QString image;
    QString baud = QStringLiteral("115200");
    int timeoutSeconds = 30;
    bool verbose = false;
    bool debug = false;
    QString jsonPath;
    QString jsonLinesPath;
    QString logDir;
    ResultsTarget results; // where each module's row goes; none unless the command line says
    QString stationName;   // the store's `station` column
    QString moduleSerial;  // the one module's serial, for its record; empty: none given
    bool wait = false;     // a port that does not exist yet is waited for
    bool loop = false;     // module after module on each port, until interrupted
    // A port that fails before a byte is sent (will not open, no adapter found) is recorded as
    // a module that ended with an error; otherwise it is a fault of the station's, told by
    // PortStation::portFault and tried again.
    bool recordPortFaults = true;
    // Where serial= and usb= ports are looked up; a test gives a list of its own.
    PortLister listPorts = systemPorts;
};
