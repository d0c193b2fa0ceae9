// Ports on a device server: the telnet layer at every cut of a stream, and whole upgrades
// through a real ser2net in front of the simulated module on a pty.

#include "modulesimulator.h"
#include "protocol.h"
#include "rfc2217link.h"
#include "testsupport.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QtTest>

using TestSupport::hex;
using Command = TelnetCodec::Command;

Q_DECLARE_METATYPE(QVector<TelnetCodec::Command>)
Q_DECLARE_METATYPE(LinkError)

namespace {

// A ser2net of its own, serving one device on a free port of the loopback interface.
class DeviceServer
{
public:
    ~DeviceServer() { stop(); }

    // `accepter` is how the server speaks: telnet(rfc2217), or plain telnet.
    bool start(const QString &device, const QString &accepter = QStringLiteral("telnet(rfc2217)"))
    {
        const QString program =
            QStandardPaths::findExecutable("ser2net", {"/usr/sbin", "/usr/local/sbin", "/usr/bin"});
        if (program.isEmpty())
            qFatal("ser2net is not installed: scripts/deps.sh ser2net");
        QTcpServer probe; // a port nobody uses now
        if (!probe.listen(QHostAddress::LocalHost))
            return false;
        port = probe.serverPort();
        probe.close();
        const QString config = QStringLiteral("connection: &line\n"
                                              "  accepter: %1,tcp,127.0.0.1,%2\n"
                                              "  connector: serialdev,%3,115200n81,local\n"
                                              "  options:\n    chardelay: false\n")
                                   .arg(accepter)
                                   .arg(port)
                                   .arg(device);
        TestSupport::writeFile(m_dir.filePath("ser2net.yaml"), config.toUtf8());
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(program, {"-n", "-u", "-c", m_dir.filePath("ser2net.yaml"), "-P",
                                  m_dir.filePath("ser2net.pid")});
        return m_process.waitForStarted() && QTest::qWaitFor([this] { return listening(); });
    }
    void stop()
    {
        m_process.kill();
        m_process.waitForFinished();
    }
    QString url() const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(port); }
    quint16 port = 0;

private:
    bool listening() const
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(200);
    }
    QTemporaryDir m_dir;
    QProcess m_process;
};

} // namespace

class tst_Rfc2217 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::quietDebug(); }

    // The server's stream may be cut anywhere by TCP: every cut gives the same data and commands.
    void decoderAtEveryCut_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QVector<Command>>("commands");
        QTest::newRow("0xFF doubled")
            << hex("41 FF FF 42 FF FF FF FF") << hex("41 FF 42 FF FF") << QVector<Command>{};
        QTest::newRow("negotiations between data")
            << hex("78 FF FD 00 79 FF FB 2C FF FE 05") << QByteArray("xy")
            << QVector<Command>{{253, 0, {}}, {251, 44, {}}, {254, 5, {}}};
        QTest::newRow("rate answer with a doubled 0xFF")
            << hex("FF FA 2C 65 00 00 FF FF 00 FF F0 61") << QByteArray("a")
            << QVector<Command>{{250, 44, hex("65 00 00 FF 00")}};
        QTest::newRow("NOP and go-ahead dropped")
            << hex("FF F1 61 FF F9 62") << QByteArray("ab") << QVector<Command>{};
        const QByteArray fullFrame = buildFrame(ReadDataCmd, QByteArray(40, char(0xFF)));
        QTest::newRow("frame full of 0xFF")
            << TelnetCodec::escaped(fullFrame) << fullFrame << QVector<Command>{};
    }
    void decoderAtEveryCut()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QByteArray, data);
        QFETCH(QVector<Command>, commands);
        for (int cut = 0; cut <= stream.size(); ++cut) {
            TelnetCodec codec;
            QByteArray gotData;
            QVector<Command> gotCommands;
            codec.take(stream.left(cut), gotData, gotCommands);
            codec.take(stream.mid(cut), gotData, gotCommands);
            QCOMPARE(gotData, data);
            QVERIFY2(gotCommands == commands, qPrintable(QString::number(cut)));
        }
        TelnetCodec byteByByte;
        QByteArray gotData;
        QVector<Command> gotCommands;
        for (const char byte : stream)
            byteByByte.take(QByteArray(1, byte), gotData, gotCommands);
        QCOMPARE(gotData, data);
        QVERIFY(gotCommands == commands);
    }

    // A whole upgrade through the server; every rate the upgrade switches to is on the pty's
    // termios once the switch is said to be done.
    void upgradeThroughServer_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::newRow("random") << TestSupport::randomBytes(6000, 34);
        QTest::newRow("0xFF throughout") << QByteArray(6000, char(0xFF));
    }
    void upgradeThroughServer()
    {
        QFETCH(QByteArray, image);
        PtyPair pty;
        QVERIFY(pty.open());
        ModuleSimulator module(pty, image);
        QSignalSpy finished(&module, &ModuleSimulator::finished);
        DeviceServer server;
        QVERIFY(server.start(pty.slavePath()));
        UpgradeSequence sequence;
        sequence.setImage(image);
        sequence.setChosenRate(460800);
        QVector<speed_t> speeds;
        connect(&sequence, &UpgradeSequence::logged, this, [&](const LogEntry &entry) {
            if (entry.text.startsWith(QStringLiteral("切波特率到")))
                speeds.append(TestSupport::lineSpeed(pty.masterFd()));
        });
        QVector<int> results;
        connect(&sequence, &UpgradeSequence::resultReported, this,
                [&](uint8_t result) { results.append(result); });
        QVERIFY(sequence.OpenComPorts(server.url(), "460800"));
        QCOMPARE(TestSupport::lineSpeed(pty.masterFd()), speed_t(B460800));
        QVERIFY(sequence.startUpgrade());
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30000);
        QVERIFY(finished.first().first().toBool());
        QCOMPARE(module.stats().bytesVerified, qint64(image.size()));
        QCOMPARE(module.stats().mismatches, 0);
        QTRY_COMPARE(results, QVector<int>{0}); // the result frame is still on its way
        QTRY_COMPARE(speeds, (QVector<speed_t>{B9600, B115200, B460800}));
    }

    // A server that goes away mid-transfer is a lost port, with its reason.
    void serverGoneMidTransfer()
    {
        const QByteArray image = TestSupport::randomBytes(200000, 35);
        PtyPair pty;
        QVERIFY(pty.open());
        ModuleSimulator module(pty, image);
        DeviceServer server;
        QVERIFY(server.start(pty.slavePath()));
        UpgradeSequence sequence;
        sequence.setImage(image);
        QSignalSpy lost(&sequence, &UpgradeSequence::linkLost);
        connect(&sequence, &UpgradeSequence::sliceServed, this, [&] { server.stop(); });
        QVERIFY(sequence.OpenComPorts(server.url(), "115200"));
        QVERIFY(sequence.startUpgrade());
        QTRY_COMPARE_WITH_TIMEOUT(lost.count(), 1, 15000);
        QCOMPARE(sequence.linkError(), LinkError::ServerClosed);
        QCOMPARE(lost.first().first().toString(), serialErrorShown(LinkError::ServerClosed));
        QVERIFY(!sequence.isOpen());
    }

    // What cannot serve a port is refused at the open, with the reason.
    void refusedOpen_data()
    {
        QTest::addColumn<QString>("accepter"); // empty: no server at all
        QTest::addColumn<LinkError>("error");
        QTest::newRow("nobody listening") << QString() << LinkError::ServerUnreachable;
        QTest::newRow("telnet without the port option")
            << QStringLiteral("telnet") << LinkError::OptionRefused;
    }
    void refusedOpen()
    {
        QFETCH(QString, accepter);
        QFETCH(LinkError, error);
        PtyPair pty;
        QVERIFY(pty.open());
        DeviceServer server;
        if (!accepter.isEmpty())
            QVERIFY(server.start(pty.slavePath(), accepter));
        const QString url =
            accepter.isEmpty() ? QStringLiteral("rfc2217://127.0.0.1:1") : server.url();
        UpgradeSequence sequence;
        QSignalSpy answer(&sequence, &UpgradeSequence::openFinished);
        QCOMPARE(sequence.OpenComPorts(url, "115200"), 0);
        QCOMPARE(answer.count(), 1);
        QCOMPARE(sequence.linkError(), error);
        QVERIFY(sequence.errorString().startsWith(serialErrorShown(error)));
    }
};

QTEST_MAIN(tst_Rfc2217)
#include "tst_rfc2217.moc"
