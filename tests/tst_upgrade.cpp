// Whole upgrades against the simulated module, and the timing of the start sequence.

#include "modulesimulator.h"
#include "protocol.h"
#include "testsupport.h"

#include <QtTest>

using TestSupport::hex;

namespace {

// Past the moment the start frame of a press is due.
constexpr int StartFrameAfterAtMsWithMargin = UpgradeSequence::StartFrameAfterAtMs + 300;

// The start sequence's steps as the sequence logged them, each at its time at the wire (ms
// since the epoch): taken on the serving thread, so a busy window cannot reorder them.
class StepTimes : public QObject
{
public:
    explicit StepTimes(MainWindow &window)
    {
        heard = TestSupport::hearSequence(
            window, &UpgradeSequence::logged, this, [this](const LogEntry &entry) {
                if (entry.kind == LogEntry::Kind::Sent && entry.bytes == AtUpgradeCommand)
                    steps.append({entry.timeMs, "AT"});
                else if (entry.kind == LogEntry::Kind::Sent && entry.bytes == StartFrame)
                    steps.append({entry.timeMs, "start"});
                else if (entry.kind == LogEntry::Kind::Text && entry.text == "切波特率到: 9600")
                    steps.append({entry.timeMs, "switch"});
            });
    }
    QVector<QPair<qint64, QString>> steps;
    bool heard = false;
};

} // namespace

class tst_Upgrade : public PtyWindowTest
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::quietDebug(); }
    void init() { QVERIFY(startOpenWindow(Untapped)); }
    void cleanup() { stopWindow(); }

    void fullUpgrade_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("empty image") << 0;
        QTest::newRow("2500 bytes") << 2500;
        QTest::newRow("100 KiB") << 100 * 1024;
    }
    void fullUpgrade()
    {
        QFETCH(int, size);
        const QByteArray image = TestSupport::randomBytes(size, 21);
        ModuleSimulator module(pty, image);
        QSignalSpy finished(&module, &ModuleSimulator::finished);
        int emitted = 0;
        connect(&driver->window, &MainWindow::upgradeResultMsg, this, [&] { ++emitted; });
        connect(&driver->window, &MainWindow::upgradeEventMsg, this, [&] { ++emitted; });

        driver->useImage(TestSupport::writeFile(dir.filePath("fw.ufw"), image));
        driver->clickStart();
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30000);
        QCOMPARE(finished.first().first().toBool(), true);
        QCOMPARE(module.stats().bytesVerified, qint64(size));
        QCOMPARE(module.stats().mismatches, 0);
        QCOMPARE(module.stats().requests, (size + 1023) / 1024);

        QTRY_VERIFY(driver->logLines().contains("升级成功..."));
        QTRY_COMPARE(driver->logLines().last(), QStringLiteral("切波特率到: 115200"));
        const QStringList lines = driver->logLines();
        QVERIFY(TestSupport::containsInOrder(
            lines.join('\n'),
            {"文件打开成功。", "发送升级指令: AT+UPGRADE=1",
             "MCU->RW47HN: [41 54 2B 55 50 47 52 41 44 45 3D 31 0D 0A]", "延时1s发送开始升级指令",
             "切波特率到: 9600", "MCU->RW47HN: [AA 55 01 00 06 42 F2]", "接收到数据：\nOK\n\n\nOK",
             "RW47HN->MCU: [AA 55 05 00 01 00 C2 01 00 5C DC]",
             "MCU->RW47HN: [AA 55 05 00 01 00 C2 01 00 5C DC]", "切波特率到: 115200",
             "RW47HN->MCU: [AA 55 02 00 03 00 74 E9]", "升级成功...", "切波特率到: 115200"}));
        const int requests = lines.filter("RW47HN->MCU: [AA 55 09 00 02").size();
        QCOMPARE(requests, module.stats().requests);
        QCOMPARE(lines.filter("MCU->RW47HN: [AA 55").size(), requests + 2);
        QCOMPARE(emitted, 0);
    }

    void secondUpgradeAfterSuccess()
    {
        const QByteArray image = TestSupport::randomBytes(5000, 22);
        ModuleSimulator module(pty, image);
        QSignalSpy finished(&module, &ModuleSimulator::finished);
        driver->useImage(TestSupport::writeFile(dir.filePath("fw.ufw"), image));
        for (int round = 1; round <= 2; ++round) {
            driver->clickStart();
            QTRY_COMPARE(driver->logLines().value(0), QStringLiteral("文件打开成功。"));
            QTRY_COMPARE_WITH_TIMEOUT(finished.count(), round, 20000);
            QCOMPARE(finished.last().first().toBool(), true);
            QCOMPARE(module.stats().bytesVerified, qint64(image.size()));
            QTRY_VERIFY(driver->logLines().contains("升级成功..."));
            QTRY_COMPARE(driver->logLines().last(), QStringLiteral("切波特率到: 115200"));
        }
    }

    // The AT command goes out at the rate the window shows, whatever the port ran at before.
    void startsAtTheShownRate_data()
    {
        QTest::addColumn<bool>("abandoned"); // an upgrade left the port at 9600
        QTest::addColumn<QString>("boxRate");
        QTest::addColumn<QStringList>("linesBeforeAt");
        QTest::newRow("rates agree") << false << "115200" << QStringList{"文件打开成功。"};
        QTest::newRow("box changed")
            << false << "460800" << QStringList{"文件打开成功。", "切波特率到: 460800"};
        QTest::newRow("upgrade abandoned")
            << true << "115200" << QStringList{"文件打开成功。", "切波特率到: 115200"};
    }
    void startsAtTheShownRate()
    {
        QFETCH(bool, abandoned);
        QFETCH(QString, boxRate);
        QFETCH(QStringList, linesBeforeAt);
        QVERIFY(driver->useImage(TestSupport::writeFile(dir.filePath("fw.ufw"), "image")));
        if (abandoned) {
            driver->clickStart();
            QTRY_VERIFY(driver->logLines().contains("切波特率到: 9600"));
        }
        driver->selectBaudRate(boxRate);
        driver->clickStart();
        QTRY_VERIFY(driver->logLines().contains("发送升级指令: AT+UPGRADE=1"));
        const QStringList lines = driver->logLines();
        const int at = lines.indexOf("发送升级指令: AT+UPGRADE=1");
        QCOMPARE(lines.mid(0, at), linesBeforeAt);
    }

    // The delayed steps of a start belong to its port session: a close and a reopen within
    // the second end them. Proven by a start frame sent on request after they were due.
    void reopenEndsTheStartSequence()
    {
        WireTap tap(pty.masterFd());
        driver->useImage(TestSupport::writeFile(dir.filePath("fw.ufw"), "image"));
        driver->clickStart();
        QTRY_VERIFY(tap.received.startsWith(AtUpgradeCommand));
        driver->clickOpen();
        driver->clickOpen();
        QVERIFY(driver->isOpen());
        driver->clickClear();
        QTest::qWait(StartFrameAfterAtMsWithMargin);
        QVERIFY(QMetaObject::invokeMethod(&driver->window, "delaySendStartUpgradeCmd"));
        const QString startLine = "MCU->RW47HN: [AA 55 01 00 06 42 F2]";
        QTRY_VERIFY(driver->logLines().contains(startLine));
        QCOMPARE(driver->logLines(), QStringList{startLine});
        QTRY_COMPARE(tap.received.count(StartFrame), 1);
        QCOMPARE(TestSupport::lineSpeed(pty.masterFd()), speed_t(B115200));
    }

    // A start right after a result ends the result's return to the chosen rate: the start
    // frame goes out at 9600, not at the rate that return would have set.
    void startRightAfterAResult()
    {
        WireTap tap(pty.masterFd());
        driver->useImage(TestSupport::writeFile(dir.filePath("fw.ufw"), "image"));
        driver->clickStart();
        QTRY_VERIFY_WITH_TIMEOUT(tap.received.contains(StartFrame), 5000);
        tap.write(OkReply);
        QTRY_VERIFY(driver->logLines().contains("OK"));
        SequenceSpy results(driver->window, &UpgradeSequence::resultReported);
        QVERIFY(results.heard);
        tap.write(TestSupport::frame(UpgradeResultCmd, QByteArray(1, '\0')));
        QTRY_COMPARE_WITH_TIMEOUT(results.count(), 1, 5000);
        tap.received.clear();
        driver->clickStart(); // well within the 100 ms before the return
        QTRY_VERIFY_WITH_TIMEOUT(tap.received.contains(StartFrame), 5000);
        QCOMPARE(TestSupport::lineSpeed(pty.masterFd()), speed_t(B9600));
        QVERIFY(!driver->logLines().contains("升级成功..."));
    }

    // Presses at 0 and 500 ms: AT, switch, AT, switch, start frame, start frame.
    void startSequenceTimeline_data()
    {
        QTest::addColumn<int>("presses");
        QTest::newRow("one press") << 1;
        QTest::newRow("two presses 500 ms apart") << 2;
    }
    void startSequenceTimeline()
    {
        QFETCH(int, presses);
        WireTap tap(pty.masterFd());
        driver->useImage(TestSupport::writeFile(dir.filePath("fw.ufw"), "image"));
        StepTimes log(driver->window);
        QVERIFY(log.heard);
        driver->clickStart();
        if (presses == 2) {
            QTest::qWait(500);
            driver->clickStart();
        }
        const QStringList expectedOrder =
            presses == 1 ? QStringList{"AT", "switch", "start"}
                         : QStringList{"AT", "switch", "AT", "switch", "start", "start"};
        QTRY_COMPARE_WITH_TIMEOUT(tap.received.count(StartFrame), presses, 5000);
        QTRY_COMPARE(log.steps.size(), expectedOrder.size());
        const auto events = log.steps;
        QStringList order;
        for (const auto &event : events)
            order << event.second;
        QCOMPARE(order, expectedOrder);
        // Each step is timed from its own press's AT, the second AT from the first: a busy
        // machine makes a step late, never early, and lateness does not add up along the rows.
        const QVector<int> pressOf =
            presses == 1 ? QVector<int>{0, 0, 0} : QVector<int>{0, 0, 1, 1, 0, 1};
        const QVector<int> expectedMs =
            presses == 1 ? QVector<int>{0, 50, 1000} : QVector<int>{0, 50, 500, 50, 1000, 1000};
        const qint64 pressAt[2] = {events.at(0).first, events.value(2).first};
        for (int i = 0; i < events.size(); ++i) {
            const qint64 from = i == 2 ? pressAt[0] : pressAt[pressOf.at(i)];
            const qint64 late = events.at(i).first - from - expectedMs.at(i);
            QVERIFY2(late >= -1 && late < 300,
                     qPrintable(QString("%1 %2 ms late").arg(order.at(i)).arg(late)));
        }
    }
};

QTEST_MAIN(tst_Upgrade)
#include "tst_upgrade.moc"
