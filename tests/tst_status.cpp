// What a user sees besides the log: the typed port name, progress, and the hints.

#include "modulesimulator.h"
#include "protocol.h"
#include "testsupport.h"

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QStatusBar>
#include <QtTest>

#include <unistd.h>

using TestSupport::hex;
using TestSupport::readRequest;

namespace {

const QString NoAnswerHint = QStringLiteral("模块无应答，请检查连接和波特率");

} // namespace

class tst_Status : public PtyWindowTest
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::quietDebug(); }
    void init()
    {
        QVERIFY(dir.isValid());
        QVERIFY(pty.open());
        driver = new WindowDriver; // each test chooses its port its own way
    }
    void cleanup() { stopWindow(); }

    void typedPortName_data()
    {
        QTest::addColumn<bool>("preset");
        QTest::newRow("typed") << false;
        QTest::newRow("from the command line") << true;
    }
    void typedPortName()
    {
        QFETCH(bool, preset);
        auto *ports = driver->widget<QComboBox>("comboBox");
        QVERIFY(ports->isEditable());
        const int listed = ports->count();
        if (preset) {
            driver->window.presetPort(pty.slavePath());
        } else {
            ports->lineEdit()->clear();
            QTest::keyClicks(ports->lineEdit(), pty.slavePath());
        }
        QCOMPARE(ports->currentText(), pty.slavePath());
        driver->clickOpen();
        QVERIFY(driver->isOpen());
        QCOMPARE(ports->count(), listed);
        QCOMPARE(driver->logLines().first(), pty.slavePath() + "串口打开成功");
    }

    // What --image, --baud and --start do: as if chosen, selected and pressed.
    void presetsStartAnUpgrade()
    {
        MainWindow &window = driver->window;
        QVERIFY(!window.presetBaudRate("1234"));
        QVERIFY(window.presetBaudRate("460800"));
        const QString image = TestSupport::writeFile(dir.filePath("preset.ufw"), "abc");
        window.presetImage(image);
        window.presetPort(pty.slavePath());
        QCOMPARE(driver->widget<QLineEdit>("lineEdit")->text(), image);
        window.openAndStart();
        QTRY_VERIFY(driver->isOpen());
        // Opened at 460800 already: no switch before the AT command.
        QTRY_COMPARE(driver->logLines().mid(0, 2),
                     (QStringList{"文件打开成功。", "发送升级指令: AT+UPGRADE=1"}));
    }

    // The bar follows the highest end served; repeats and empty slices do not move it.
    void progressThroughAnUpgrade()
    {
        auto *bar = driver->window.statusBar()->findChild<QProgressBar *>();
        auto *label = driver->window.statusBar()->findChild<QLabel *>();
        QVERIFY(bar && label);
        QVERIFY(bar->isHidden());

        WireTap tap(pty.masterFd());
        startUpgrade(TestSupport::randomBytes(5000, 41));
        QTRY_VERIFY(!bar->isHidden());
        QCOMPARE(bar->maximum(), 5000);
        QCOMPARE(bar->value(), 0);

        const struct
        {
            quint32 address, count;
            int progress;
        } steps[] = {{0, 1000, 1000},    {0, 1000, 1000},   {500, 100, 1000},
                     {1000, 1000, 2000}, {99999, 10, 2000}, {0x80000000u, 9, 2000},
                     {4000, 4096, 5000}, {2000, 2000, 5000}};
        for (const auto &step : steps) {
            const QByteArray echo = readRequest(step.address, step.count).mid(5, 8);
            const int replies = tap.received.count(echo);
            tap.write(readRequest(step.address, step.count));
            QTRY_VERIFY(tap.received.count(echo) > replies);
            QTRY_COMPARE(bar->value(), step.progress);
        }
        QVERIFY(label->text().contains("5000 / 5000"));

        tap.write(hex("AA 55 02 00 03 00 74 E9"));
        QTRY_VERIFY(label->text().startsWith("升级完成"));
        QCOMPARE(bar->value(), bar->maximum());
        QVERIFY(!driver->log().contains("已发送")); // progress stays out of the log

        driver->clickStart(); // a new upgrade starts from zero
        QTRY_COMPARE(bar->value(), 0);
    }

    // A module that never answers gets the hint once; the upgrade is not cancelled.
    void noAnswerHint()
    {
        SimulatorOptions options;
        options.silent = true;
        ModuleSimulator module(pty, "abc", options);
        driver->window.setSilenceLimits(300, 500);
        QElapsedTimer clock;
        clock.start();
        startUpgrade("abc");
        QTRY_VERIFY(driver->logLines().contains(NoAnswerHint));
        QVERIFY2(clock.elapsed() >= 1250, "hint before the silence after the start frame");
        QTest::qWait(700); // proving an absence: past the longer limit again, still once only
        QCOMPARE(driver->logLines().count(NoAnswerHint), 1);
        QVERIFY(driver->isOpen());
    }

    void noHintAfterResult()
    {
        const QByteArray image = TestSupport::randomBytes(3000, 42);
        ModuleSimulator module(pty, image);
        QSignalSpy finished(&module, &ModuleSimulator::finished);
        driver->window.setSilenceLimits(300, 500);
        startUpgrade(image);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
        QTRY_VERIFY(driver->logLines().contains("升级成功..."));
        QTest::qWait(700); // proving an absence: past the longer limit
        QVERIFY(!driver->logLines().contains(NoAnswerHint));
    }

    void permissionHint()
    {
        if (geteuid() == 0)
            QSKIP("root may open any device, so there is no permission error to show");
        QVERIFY(QFile::setPermissions(pty.slavePath(), QFileDevice::ReadOwner));
        driver->selectPort(pty.slavePath());
        driver->clickOpen();
        QVERIFY(!driver->isOpen());
        QCOMPARE(driver->logLines().size(), 2);
        QVERIFY(driver->logLines().at(1).contains("dialout"));
    }

private:
    void startUpgrade(const QByteArray &image)
    {
        driver->selectPort(pty.slavePath());
        QVERIFY(pressStart(image));
    }
};

QTEST_MAIN(tst_Status)
#include "tst_status.moc"
