// Serial ports by what they are: the system's list, and a port found by its adapter's
// serial number or USB IDs whatever name the system gave it this time.

#include "portidentity.h"

#include "networkport.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <QStringList>

#include <algorithm>
#include <iterator>
#include <memory>

namespace {

const QLatin1String SerialPrefix("serial=");
const QLatin1String UsbPrefix("usb=");

// On macOS every port is listed twice; the tty. device waits for carrier detect on open,
// which a module's adapter never raises, so only the cu. one is of use.
bool offered(const QSerialPortInfo &info)
{
#ifdef Q_OS_MACOS
    return !info.portName().startsWith(QLatin1String("tty."));
#else
    Q_UNUSED(info);
    return true;
#endif
}

QString hex4(quint16 value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

QString candidateList(const QVector<PortIdentity> &ports)
{
    QStringList parts;
    for (const PortIdentity &port : ports)
        parts << port.name + (port.serialNumber.isEmpty()
                                  ? QStringLiteral(" (no serial number)")
                                  : QStringLiteral(" (serial %1)").arg(port.serialNumber));
    return parts.join(QStringLiteral(", "));
}

} // namespace

PortIdentity describePort(const QSerialPortInfo &info)
{
    return {info.portName(),         info.description(),
            info.manufacturer(),     info.serialNumber(),
            info.systemLocation(),   info.hasVendorIdentifier() && info.hasProductIdentifier(),
            info.vendorIdentifier(), info.productIdentifier()};
}

QVector<PortIdentity> systemPorts()
{
    QVector<PortIdentity> ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        if (offered(info))
            ports.append(describePort(info));
    }
    return ports;
}

PortLister listedAtMostEvery(PortLister lister, int ms)
{
    struct Listing
    {
        QElapsedTimer age;
        QVector<PortIdentity> ports;
    };
    auto last = std::make_shared<Listing>();
    return [lister = std::move(lister), ms, last] {
        if (!last->age.isValid() || last->age.elapsed() >= ms) {
            last->ports = lister();
            last->age.start();
        }
        return last->ports;
    };
}

QString portDevice(const QString &name, const QString &systemLocation)
{
    if (systemLocation.isEmpty() || systemLocation.startsWith(QLatin1String("\\\\.\\")))
        return name;
    return systemLocation;
}

PortRequest PortRequest::parse(const QString &request)
{
    PortRequest parsed;
    if (NetworkPort::isNetworkName(request)) {
        parsed.problem = NetworkPort::parse(request).problem; // a name, checked here once
    } else if (request.startsWith(SerialPrefix)) {
        parsed.kind = Kind::Serial;
        parsed.serialNumber = request.mid(SerialPrefix.size());
        if (parsed.serialNumber.isEmpty())
            parsed.problem =
                QStringLiteral("serial= needs the adapter's serial number: ") + request;
    } else if (request.startsWith(UsbPrefix)) {
        parsed.kind = Kind::Usb;
        static const QRegularExpression ids(QStringLiteral("^([0-9A-Fa-f]{4}):([0-9A-Fa-f]{4})$"));
        const QRegularExpressionMatch match = ids.match(request.mid(UsbPrefix.size()));
        parsed.vendorId = quint16(match.captured(1).toUInt(nullptr, 16));
        parsed.productId = quint16(match.captured(2).toUInt(nullptr, 16));
        if (!match.hasMatch())
            parsed.problem =
                QStringLiteral("usb= needs VID:PID, 4 hex digits each (usb=0403:6001): ") + request;
    }
    return parsed;
}

QString PortRequest::key() const
{
    switch (kind) {
    case Kind::Serial:
        return SerialPrefix + serialNumber;
    case Kind::Usb:
        return UsbPrefix + hex4(vendorId) + QLatin1Char(':') + hex4(productId);
    case Kind::Name:
        break;
    }
    return {};
}

bool PortRequest::matches(const PortIdentity &port) const
{
    switch (kind) {
    case Kind::Serial:
        return port.serialNumber == serialNumber;
    case Kind::Usb:
        return port.hasUsbIds && port.vendorId == vendorId && port.productId == productId;
    case Kind::Name:
        break;
    }
    return false;
}

PortResolution resolvePort(const QString &request, const QVector<PortIdentity> &ports)
{
    PortResolution resolution;
    const PortRequest parsed = PortRequest::parse(request);
    if (!parsed.isIdentity()) {
        resolution.kind = PortResolution::Kind::Device;
        resolution.device = request;
        return resolution;
    }
    if (!parsed.problem.isEmpty()) {
        resolution.kind = PortResolution::Kind::Malformed;
        resolution.reason = parsed.problem;
        return resolution;
    }
    std::copy_if(ports.begin(), ports.end(), std::back_inserter(resolution.candidates),
                 [&](const PortIdentity &port) { return parsed.matches(port); });
    if (resolution.candidates.size() == 1) {
        const PortIdentity &port = resolution.candidates.first();
        resolution.kind = PortResolution::Kind::Device;
        resolution.device = portDevice(port.name, port.systemLocation);
    } else if (resolution.candidates.isEmpty()) {
        resolution.kind = PortResolution::Kind::Absent;
        resolution.reason = QStringLiteral("no port matches ") + request;
    } else {
        resolution.kind = PortResolution::Kind::Ambiguous;
        resolution.reason = QStringLiteral("%1 matches %2 ports: %3")
                                .arg(request)
                                .arg(resolution.candidates.size())
                                .arg(candidateList(resolution.candidates));
    }
    return resolution;
}

QString portTable(const QVector<PortIdentity> &ports)
{
    if (ports.isEmpty())
        return QStringLiteral("no serial ports found\n");
    QVector<QStringList> rows = {{QStringLiteral("NAME"), QStringLiteral("DESCRIPTION"),
                                  QStringLiteral("MANUFACTURER"), QStringLiteral("SERIAL"),
                                  QStringLiteral("VID:PID")}};
    auto shown = [](const QString &text) { return text.isEmpty() ? QStringLiteral("-") : text; };
    for (const PortIdentity &port : ports)
        rows.append({port.name, shown(port.description), shown(port.manufacturer),
                     shown(port.serialNumber),
                     port.hasUsbIds ? hex4(port.vendorId) + QLatin1Char(':') + hex4(port.productId)
                                    : QStringLiteral("-")});
    QVector<int> widths(rows.first().size(), 0);
    for (const QStringList &row : rows) {
        for (int column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], int(row.at(column).size()));
    }
    QString table;
    for (const QStringList &row : rows) {
        QString line;
        for (int column = 0; column + 1 < row.size(); ++column)
            line += row.at(column).leftJustified(widths[column] + 2);
        table += line + row.last() + QLatin1Char('\n');
    }
    return table;
}

QByteArray portsJson(const QVector<PortIdentity> &ports)
{
    QJsonArray array;
    auto id = [](const PortIdentity &port, quint16 value) {
        return port.hasUsbIds ? QJsonValue(hex4(value)) : QJsonValue(QJsonValue::Null);
    };
    for (const PortIdentity &port : ports)
        array.append(QJsonObject{{QStringLiteral("name"), port.name},
                                 {QStringLiteral("location"), port.systemLocation},
                                 {QStringLiteral("description"), port.description},
                                 {QStringLiteral("manufacturer"), port.manufacturer},
                                 {QStringLiteral("serialNumber"), port.serialNumber},
                                 {QStringLiteral("vid"), id(port, port.vendorId)},
                                 {QStringLiteral("pid"), id(port, port.productId)}});
    return QJsonDocument(array).toJson();
}
