#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

#include <functional>

class QSerialPortInfo;

// What the system knows of one serial port.
struct PortIdentity
{
    QString name;
    QString description;
    QString manufacturer;
    QString serialNumber;
    QString systemLocation;
    bool hasUsbIds = false;
    quint16 vendorId = 0;
    quint16 productId = 0;
};

using PortLister = std::function<QVector<PortIdentity>()>;

PortIdentity describePort(const QSerialPortInfo &info);
// `lister`, with what it listed given again to every call within `ms` of the listing: a
// listing costs tens of milliseconds, and each waiting position looks four times a second.
PortLister listedAtMostEvery(PortLister lister, int ms);
// The ports the system reports now and offers for use.
QVector<PortIdentity> systemPorts();
// The name QSerialPort opens the port by: its system location, or its name where that
// location is only the name behind Windows' device prefix.
QString portDevice(const QString &name, const QString &systemLocation);

// A port as given to --port: a name or path (rfc2217://HOST:PORT for a port on a device
// server), or `serial=<USB serial number>`, or `usb=<VID>:<PID>` (4 hex digits each) for the
// one adapter that has them.
struct PortRequest
{
    enum class Kind { Name, Serial, Usb };
    Kind kind = Kind::Name;
    QString serialNumber;
    quint16 vendorId = 0;
    quint16 productId = 0;
    QString problem; // what is wrong with the request; empty when it is well formed

    static PortRequest parse(const QString &request);
    bool isIdentity() const { return kind != Kind::Name; }
    // The same adapter always gives the same key, whatever the case of the hex digits.
    QString key() const;
    bool matches(const PortIdentity &port) const;
};

// Where a port request leads among the ports listed.
struct PortResolution
{
    enum class Kind { Device, Absent, Ambiguous, Malformed };
    Kind kind = Kind::Absent;
    QString device;                   // for Device: what to open
    QVector<PortIdentity> candidates; // for Ambiguous: every port that matches
    QString reason;                   // for the rest: why there is no device, naming the request
};

PortResolution resolvePort(const QString &request, const QVector<PortIdentity> &ports);

// One port per line in aligned columns under a header, or a line saying there are none.
QString portTable(const QVector<PortIdentity> &ports);
// A JSON array of objects: name, location, description, manufacturer, serialNumber, vid, pid.
QByteArray portsJson(const QVector<PortIdentity> &ports);
