// Opening, closing and retuning the link, the transmit path's accounting, and lost ports.

#include "testsupport.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <QProcess>
#include <QSerialPort>

#include <cstdio>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

using TestSupport::hex;

namespace {

// The line speed the port has set, as the far end of the pty sees it.
speed_t lineSpeed(const PtyPair &pty)
{
    return TestSupport::lineSpeed(pty.masterFd());
}

} // namespace

class tst_SerialLink : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::quietDebug(); }
    void init() { QVERIFY(pty.open()); }
    void cleanup()
    {
        pty.closeMaster();
        pty.closeSlave();
    }

    void openAtChosenRate_data()
    {
        QTest::addColumn<QString>("rate");
        QTest::addColumn<int>("speed");
        QTest::newRow("9600") << "9600" << int(B9600);
        QTest::newRow("115200") << "115200" << int(B115200);
        QTest::newRow("1000000") << "1000000" << int(B1000000);
    }
    void openAtChosenRate()
    {
        QFETCH(QString, rate);
        QFETCH(int, speed);
        WindowDriver driver;
        driver.selectPort(pty.slavePath());
        driver.selectBaudRate(rate);
        driver.clickOpen();
        QVERIFY(driver.isOpen());
        QCOMPARE(int(lineSpeed(pty)), speed);
        QCOMPARE(driver.logLines(),
                 (QStringList{pty.slavePath() + "串口打开成功", "波特率: " + rate}));
    }

    void closeAndReopenAtAnotherRate()
    {
        WindowDriver driver;
        driver.selectPort(pty.slavePath());
        driver.clickOpen();
        QVERIFY(driver.isOpen());
        driver.clickOpen();
        QVERIFY(!driver.isOpen());
        QCOMPARE(driver.widget<QAbstractButton>("pushButton")->text(), QStringLiteral("打开串口"));
        QCOMPARE(driver.logLines().size(), 2); // closing adds nothing

        driver.selectBaudRate("460800");
        driver.clickOpen();
        QVERIFY(driver.isOpen());
        QCOMPARE(lineSpeed(pty), speed_t(B460800));
    }

    void changeBaudRateRetunesOpenLink()
    {
        WindowDriver driver;
        driver.selectPort(pty.slavePath());
        driver.clickOpen();
        driver.clickClear();
        QVERIFY(
            QMetaObject::invokeMethod(&driver.window, "changeBaudRate", Q_ARG(quint64, 921600)));
        QTRY_COMPARE(driver.logLines(), QStringList{"切波特率到: 921600"});
        QCOMPARE(lineSpeed(pty), speed_t(B921600));
        QVERIFY(driver.isOpen());
        QCOMPARE(driver.widget<QComboBox>("comboBox_2")->currentText(), QStringLiteral("115200"));
    }

    // A pending timer that fires after the user closed the link must not reopen it.
    void changeBaudRateLeavesClosedLinkAlone()
    {
        WindowDriver driver;
        driver.selectPort(pty.slavePath());
        driver.clickOpen();
        driver.clickOpen();
        driver.clickClear();
        QVERIFY(QMetaObject::invokeMethod(&driver.window, "changeBaudRate", Q_ARG(quint64, 9600)));
        // Barrier: the start is handled after the switch, and says the port is closed.
        driver.clickStart();
        QTRY_COMPARE(driver.logLines(), QStringList{"请选择ufw类型的升级文件"});
        QVERIFY(lineSpeed(pty) != speed_t(B9600)); // not reopened at the new rate
        QVERIFY(!driver.isOpen());
    }

    void failedReopenClosesTheLink()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath("ttyLINK");
        QVERIFY(QFile::link(pty.slavePath(), link));
        WindowDriver driver;
        driver.selectPort(link);
        driver.clickOpen();
        QVERIFY(driver.isOpen());
        QVERIFY(QFile::remove(link));
        driver.clickClear();

        QVERIFY(
            QMetaObject::invokeMethod(&driver.window, "changeBaudRate", Q_ARG(quint64, 115200)));
        QTRY_COMPARE(driver.logLines().size(), 1);
        QVERIFY(driver.log().startsWith("切波特率失败: 115200, "));
        QVERIFY(driver.log().size() > QString("切波特率失败: 115200, ").size());
        QTRY_VERIFY(!driver.isOpen());
        QCOMPARE(driver.widget<QAbstractButton>("pushButton")->text(), QStringLiteral("打开串口"));
        // Nothing is sent on the closed link any more; the barrier is an open of the removed
        // link, handled after the send.
        QVERIFY(QMetaObject::invokeMethod(&driver.window, "delaySendStartUpgradeCmd"));
        driver.clickOpen();
        QCOMPARE(driver.logLines().size(), 2);
        QVERIFY(driver.logLines().at(1).startsWith(link + "串口打开失败: "));
    }

    void openFailureIsReported_data()
    {
        QTest::addColumn<QString>("port");
        QTest::newRow("missing device") << "/dev/rw47hn-no-such-port";
        QTest::newRow("empty name") << "";
        QTest::newRow("markup in the name") << "/dev/<b>rw47hn</b><img src=x>";
    }
    void openFailureIsReported()
    {
        QFETCH(QString, port);
        WindowDriver driver;
        driver.selectPort(port);
        driver.clickOpen();
        QVERIFY(!driver.isOpen());
        QCOMPARE(driver.logLines().size(), 1);
        const QString prefix = port + "串口打开失败: ";
        QVERIFY2(driver.log().startsWith(prefix), qPrintable(driver.log()));
        QVERIFY(driver.log().size() > prefix.size()); // carries the reason
    }

    void sendOnClosedLinkDoesNothing()
    {
        WireTap tap(pty.masterFd());
        WindowDriver driver;
        driver.selectPort(pty.slavePath());
        QVERIFY(QMetaObject::invokeMethod(&driver.window, "delaySendStartUpgradeCmd"));
        QVERIFY(driver.log().isEmpty());
        // Barrier: the start frame sent once the link is open is the first thing on the wire.
        driver.clickOpen();
        driver.clickClear();
        QVERIFY(QMetaObject::invokeMethod(&driver.window, "delaySendStartUpgradeCmd"));
        QTRY_COMPARE(tap.received, hex("AA 55 01 00 06 42 F2"));
        // The frame's line follows its bytes onto the wire.
        QTRY_COMPARE(driver.logLines(), QStringList{"MCU->RW47HN: [AA 55 01 00 06 42 F2]"});
    }

    // A vanished far end closes the link, says so once, and leaves the CPU idle.
    void portLossClosesTheLink()
    {
        WindowDriver driver;
        driver.selectPort(pty.slavePath());
        driver.clickOpen();
        driver.clickClear();
        pty.closeMaster();
        QTRY_VERIFY(!driver.isOpen());
        QCOMPARE(driver.logLines().size(), 1);
        QVERIFY(driver.log().startsWith("串口已断开: "));

        const double before = TestSupport::cpuSeconds();
        QTest::qWait(1000);
        const double used = TestSupport::cpuSeconds() - before;
        QVERIFY2(used < 0.5, qPrintable(QString("CPU busy after port loss: %1 s").arg(used)));
        QCOMPARE(driver.logLines().size(), 1);

        // The user can open a working port again afterwards.
        PtyPair other;
        QVERIFY(other.open());
        driver.selectPort(other.slavePath());
        driver.clickOpen();
        QVERIFY(driver.isOpen());
    }

    // Another program has the port: the open fails with the reason, the link stays closed.
    void portHeldByAnotherProcess()
    {
        QProcess holder;
        holder.start(QCoreApplication::applicationFilePath(),
                     {QStringLiteral("--hold-port"), pty.slavePath()});
        QVERIFY(holder.waitForReadyRead(10000));
        QCOMPARE(holder.readLine().trimmed(), QByteArray("held"));

        WindowDriver driver;
        driver.selectPort(pty.slavePath());
        driver.clickOpen();
        QVERIFY(!driver.isOpen());
        const QString prefix = pty.slavePath() + "串口打开失败: ";
        QVERIFY2(driver.log().startsWith(prefix), qPrintable(driver.log()));
        QVERIFY(driver.log().size() > prefix.size());

        holder.closeWriteChannel(); // the holder lets go when its input ends
        QVERIFY(holder.waitForFinished(10000));
        driver.clickOpen();
        QVERIFY(driver.isOpen());
    }

private:
    PtyPair pty;
};

// With --hold-port PATH the test binary is the other program: it opens PATH as a serial
// port and keeps it until its standard input ends.
static int holdPort(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QSerialPort port(QString::fromLocal8Bit(argv[2]));
    if (!port.open(QIODevice::ReadWrite))
        return 1;
    std::printf("held\n");
    std::fflush(stdout);
    char byte;
    while (::read(STDIN_FILENO, &byte, 1) > 0) {
    }
    return 0;
}

int main(int argc, char *argv[])
{
    if (argc == 3 && qstrcmp(argv[1], "--hold-port") == 0)
        return holdPort(argc, argv);
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    tst_SerialLink test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_seriallink.moc"
