// Whole upgrades against a module that misbehaves on purpose: the upgrade still completes
// with every byte right, or the window says what happened and claims nothing more.

#include "modulesimulator.h"
#include "testsupport.h"

#include <QLabel>
#include <QProgressBar>
#include <QStatusBar>
#include <QtTest>

class tst_Misbehaviour : public PtyWindowTest
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::quietDebug(); }
    void init() { QVERIFY(startOpenWindow(Untapped)); }
    void cleanup() { stopWindow(); }

    void upgradeSurvives_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<QString>("evidence"); // the start of a log line the scenario leaves
        QTest::newRow("split") << "split"
                               << "";
        QTest::newRow("noise") << "noise"
                               << "";
        QTest::newRow("corrupted crc") << "corrupt-crc"
                                       << "CRC校验错误，丢弃该帧";
        QTest::newRow("bad length") << "bad-length"
                                    << "";
        QTest::newRow("short request") << "short-request"
                                       << "RW47HN->MCU: [AA 55 04 00 02 ";
        QTest::newRow("everything at once") << "all"
                                            << "CRC校验错误，丢弃该帧";
    }
    void upgradeSurvives()
    {
        QFETCH(QString, scenario);
        QFETCH(QString, evidence);
        SimulatorOptions options;
        options.chunk = 512;
        options.replyTimeoutMs = 100;
        options.faults.seed = 7;
        const bool all = scenario == "all";
        options.faults.split = all || scenario == "split";
        options.faults.noise = all || scenario == "noise" ? 0.3 : 0.0;
        options.faults.corruptCrc = all || scenario == "corrupt-crc" ? 0.2 : 0.0;
        options.faults.badLength = all || scenario == "bad-length";
        options.faults.shortRequest = all || scenario == "short-request";

        const QByteArray image = TestSupport::randomBytes(20000, 31);
        ModuleSimulator module(pty, image, options);
        QSignalSpy finished(&module, &ModuleSimulator::finished);
        driver->useImage(TestSupport::writeFile(dir.filePath("fw.ufw"), image));
        driver->clickStart();
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 60000);
        QCOMPARE(finished.first().first().toBool(), true);
        QCOMPARE(module.stats().bytesVerified, qint64(image.size()));
        QCOMPARE(module.stats().mismatches, 0);
        QTRY_VERIFY(driver->logLines().contains("升级成功..."));
        const QStringList lines = driver->logLines();
        QVERIFY(std::any_of(lines.begin(), lines.end(),
                            [&](const QString &line) { return line.startsWith(evidence); }));
        if (options.faults.corruptCrc > 0)
            QVERIFY(module.stats().timeouts > 0);
    }

    // An unplugged module: the loss is reported, the link is closed, the CPU stays idle.
    void droppedLine()
    {
        SimulatorOptions options;
        options.dropAfter = 5;
        const QByteArray image = TestSupport::randomBytes(20000, 32);
        ModuleSimulator module(pty, image, options);
        QSignalSpy dropped(&module, &ModuleSimulator::lineDropped);
        driver->useImage(TestSupport::writeFile(dir.filePath("fw.ufw"), image));
        driver->clickStart();
        QTRY_COMPARE_WITH_TIMEOUT(dropped.count(), 1, 10000);
        QTRY_VERIFY(!driver->isOpen());
        QCOMPARE(driver->logLines().filter("串口已断开: ").size(), 1);
        // The status bar says the upgrade stopped, and keeps no progress of it.
        QTRY_VERIFY(driver->window.statusBar()->findChild<QProgressBar *>()->isHidden());
        QVERIFY(driver->window.statusBar()->findChild<QLabel *>()->text().startsWith("升级中断"));

        const double before = TestSupport::cpuSeconds();
        QTest::qWait(1000);
        QVERIFY2(TestSupport::cpuSeconds() - before < 0.5, "busy after the line was dropped");
        QVERIFY(!driver->log().contains("升级成功"));
        QCOMPARE(driver->logLines().filter("串口已断开: ").size(), 1);
    }

    // A module that never answers: nothing happens and nothing is claimed.
    void silentModule()
    {
        SimulatorOptions options;
        options.silent = true;
        ModuleSimulator module(pty, "abc", options);
        driver->useImage(TestSupport::writeFile(dir.filePath("fw.ufw"), "abc"));
        driver->clickStart();
        QTRY_VERIFY(driver->log().contains("MCU->RW47HN: [AA 55 01 00 06 42 F2]"));
        QTest::qWait(300); // proving an absence: the module had the time to answer
        const QString log = driver->log();
        QVERIFY(!log.contains("RW47HN->MCU"));
        QVERIFY(!log.contains("接收到数据"));
        QVERIFY(!log.contains("升级成功"));
        QVERIFY(driver->isOpen());
    }
};

QTEST_MAIN(tst_Misbehaviour)
#include "tst_misbehaviour.moc"
