// Ports by what they are: a serial= or usb= port found among a given list, and the list as
// --list-ports shows it, on every platform.

#include "portidentity.h"
#include "testbytes.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {

PortIdentity usbPort(const QString &name, const QString &serial, quint16 vid, quint16 pid)
{
    return {name, "USB serial", "FTDI", serial, "/dev/" + name, true, vid, pid};
}

// Two adapters of one kind, one with USB IDs that have hex letters, two without USB IDs that
// share a serial number, one behind Windows' device prefix.
const QVector<PortIdentity> Ports = {
    usbPort("ttyUSB0", "A1", 0x0403, 0x6001),
    usbPort("ttyUSB1", "", 0x0403, 0x6001),
    usbPort("ttyACM0", "C3", 0x2341, 0x00ab),
    {"ttyS0", "", "", "DUP", "/dev/ttyS0", false, 0, 0},
    {"ttyS1", "", "", "DUP", "/dev/ttyS1", false, 0, 0},
    {"COM8", "", "", "W8", "\\\\.\\COM8", false, 0, 0},
};

} // namespace

Q_DECLARE_METATYPE(PortResolution::Kind)

class tst_PortIdentity : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::quietDebug(); }

    void resolve_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<PortResolution::Kind>("kind");
        QTest::addColumn<QString>("text"); // the device, or the reason there is none
        using K = PortResolution::Kind;
        QTest::newRow("path passes") << "/dev/ttyUSB0" << K::Device << "/dev/ttyUSB0";
        QTest::newRow("unlisted name passes") << "COM3" << K::Device << "COM3";
        QTest::newRow("serial") << "serial=A1" << K::Device << "/dev/ttyUSB0";
        QTest::newRow("serial, Windows") << "serial=W8" << K::Device << "COM8";
        QTest::newRow("serial absent") << "serial=Z9" << K::Absent << "no port matches serial=Z9";
        QTest::newRow("serial is exact") << "serial=a1" << K::Absent << "no port matches serial=a1";
        QTest::newRow("serial ambiguous")
            << "serial=DUP" << K::Ambiguous
            << "serial=DUP matches 2 ports: ttyS0 (serial DUP), ttyS1 (serial DUP)";
        QTest::newRow("usb") << "usb=2341:00ab" << K::Device << "/dev/ttyACM0";
        QTest::newRow("usb, upper case") << "usb=2341:00AB" << K::Device << "/dev/ttyACM0";
        QTest::newRow("usb absent")
            << "usb=1234:5678" << K::Absent << "no port matches usb=1234:5678";
        QTest::newRow("usb, port without IDs")
            << "usb=0000:0000" << K::Absent << "no port matches usb=0000:0000";
        QTest::newRow("usb ambiguous")
            << "usb=0403:6001" << K::Ambiguous
            << "usb=0403:6001 matches 2 ports: ttyUSB0 (serial A1), ttyUSB1 (no serial number)";
        const QString usbProblem = "usb= needs VID:PID, 4 hex digits each (usb=0403:6001): ";
        for (const char *request : {"usb=12", "usb=zzzz:1", "usb=0x0403:6001", "usb=04031:6001",
                                    "usb=0403-6001", "usb=0403:6001:1", "usb="})
            QTest::newRow(request) << request << K::Malformed << usbProblem + request;
        QTest::newRow("serial= empty")
            << "serial=" << K::Malformed << "serial= needs the adapter's serial number: serial=";
    }
    void resolve()
    {
        QFETCH(QString, request);
        QFETCH(PortResolution::Kind, kind);
        QFETCH(QString, text);
        const PortResolution resolution = resolvePort(request, Ports);
        QCOMPARE(resolution.kind, kind);
        QCOMPARE(kind == PortResolution::Kind::Device ? resolution.device : resolution.reason,
                 text);
        QCOMPARE(resolution.candidates.size(),
                 kind == PortResolution::Kind::Ambiguous ? 2
                 : kind == PortResolution::Kind::Device && PortRequest::parse(request).isIdentity()
                     ? 1
                     : 0);
    }

    // The same adapter is the same key however its hex digits are written.
    void keys()
    {
        QCOMPARE(PortRequest::parse("usb=ABCD:00eF").key(), QString("usb=abcd:00ef"));
        QCOMPARE(PortRequest::parse("serial=Xy").key(), QString("serial=Xy"));
        QCOMPARE(PortRequest::parse("/dev/ttyUSB0").key(), QString());
    }

    // Positions that look at nearly the same moment share one listing.
    void sharedListing()
    {
        int listings = 0;
        const PortLister lister = [&] { return QVector<PortIdentity>(++listings, Ports.at(0)); };
        const PortLister shared = listedAtMostEvery(lister, 3600 * 1000);
        QCOMPARE(shared().size(), 1);
        QCOMPARE(shared().size(), 1);
        QCOMPARE(listings, 1);
        const PortLister unshared = listedAtMostEvery(lister, 0);
        unshared();
        QCOMPARE(unshared().size(), 3);
    }

    // What scripts read: every port, IDs as 4 lowercase hex digits or null; the table lines
    // up its columns.
    void listing()
    {
        const QVector<PortIdentity> ports = {Ports.at(2), Ports.at(5)};
        const QJsonArray array = QJsonDocument::fromJson(portsJson(ports)).array();
        QCOMPARE(array.size(), 2);
        QCOMPARE(array.at(0).toObject(), (QJsonObject{{"name", "ttyACM0"},
                                                      {"location", "/dev/ttyACM0"},
                                                      {"description", "USB serial"},
                                                      {"manufacturer", "FTDI"},
                                                      {"serialNumber", "C3"},
                                                      {"vid", "2341"},
                                                      {"pid", "00ab"}}));
        QVERIFY(array.at(1)["vid"].isNull() && array.at(1)["pid"].isNull());
        QCOMPARE(QJsonDocument::fromJson(portsJson({})).array(), QJsonArray());

        const QStringList lines = portTable(ports).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines.at(1).simplified(), QString("ttyACM0 USB serial FTDI C3 2341:00ab"));
        QCOMPARE(lines.at(2).simplified(), QString("COM8 - - W8 -"));
        for (const QString &line : lines)
            QCOMPARE(line.indexOf(QRegularExpression("\\S+$")), lines.at(0).indexOf("VID:PID"));
        QCOMPARE(portTable({}), QString("no serial ports found\n"));
    }
};

QTEST_GUILESS_MAIN(tst_PortIdentity)
#include "tst_portidentity.moc"
