// The module's commands and the replies they get from the window, byte for byte on the wire.

#include "logview.h"
#include "protocol.h"
#include "testsupport.h"

#include <QComboBox>
#include <QtTest>

#include <poll.h>

using TestSupport::frame;
using TestSupport::hex;

namespace {

QByteArray u32(quint32 value)
{
    const std::vector<uint8_t> bytes = u32le(value);
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
}

const QByteArray BaudReply = hex("AA 55 05 00 01 00 C2 01 00 5C DC");

} // namespace

class tst_Handler : public PtyWindowTest
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::quietDebug(); }
    void cleanup() { stopWindow(); }

    void workedReplies_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("slice at 0x100")
            << frame(ReadDataCmd, hex("00 01 00 00 04 00 00 00"))
            << hex("AA 55 0D 00 02 00 01 00 00 04 00 00 00 11 22 33 44 D0 7F");
        QTest::newRow("past the end") << frame(ReadDataCmd, hex("00 10 00 00 00 01 00 00"))
                                      << hex("AA 55 09 00 02 00 10 00 00 00 01 00 00 0E 41");
    }
    void workedReplies()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, reply);
        QByteArray image = TestSupport::randomBytes(0x1000, 1);
        image.replace(0x100, 4, hex("11 22 33 44"));
        startUpgrade(image);
        tap->write(request);
        QTRY_COMPARE(replies(), reply);
    }

    void slices_data()
    {
        QTest::addColumn<int>("imageSize");
        QTest::addColumn<quint32>("address");
        QTest::addColumn<quint32>("count");
        QTest::addColumn<int>("served"); // image bytes expected from `address` on
        QTest::newRow("whole image") << 2500 << 0u << 2500u << 2500;
        QTest::newRow("last 10 bytes") << 0x1000 << 0xFF6u << 0x100u << 10;
        QTest::newRow("count zero") << 0x1000 << 0u << 0u << 0;
        QTest::newRow("empty image") << 0 << 0u << 1024u << 0;
        QTest::newRow("address 2^31") << 0x1000 << 0x80000000u << 16u << 0;
        QTest::newRow("address wraps") << 0x1000 << 0xFFFFFFF0u << 0x20u << 0;
        QTest::newRow("count 2^32-1") << 0x1000 << 0x10u << 0xFFFFFFFFu << 0x1000 - 0x10;
        QTest::newRow("70000 bytes capped") << 100000 << 0u << 70000u << 65526;
        QTest::newRow("capped by the end") << 100000 << 40000u << 70000u << 60000;
    }
    void slices()
    {
        QFETCH(int, imageSize);
        QFETCH(quint32, address);
        QFETCH(quint32, count);
        QFETCH(int, served);
        const QByteArray image = TestSupport::randomBytes(imageSize, 2);
        startUpgrade(image);
        const QByteArray echo = u32(address) + u32(count);
        tap->write(frame(ReadDataCmd, echo));
        const QByteArray expected = frame(ReadDataCmd, echo + image.mid(int(address), served));
        QTRY_COMPARE(replies().size(), expected.size());
        QVERIFY(replies() == expected);
    }

    // Received whole and well, answered with nothing.
    void ignoredRequests_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::newRow("read, 3 bytes") << frame(ReadDataCmd, hex("00 01 00"));
        QTest::newRow("read, 7 bytes") << frame(ReadDataCmd, hex("00 00 00 00 04 00 00"));
        QTest::newRow("read, none") << frame(ReadDataCmd, {});
        QTest::newRow("result, none") << frame(UpgradeResultCmd, {});
        QTest::newRow("start echoed") << StartFrame;
        QTest::newRow("opcode 0") << frame(0x00, hex("01 02"));
        QTest::newRow("opcode 0x7F") << frame(0x7F, {});
    }
    void ignoredRequests()
    {
        QFETCH(QByteArray, request);
        startUpgrade(TestSupport::randomBytes(0x1000, 3));
        SequenceSpy received(driver->window, &UpgradeSequence::frameReceived);
        SequenceSpy results(driver->window, &UpgradeSequence::resultReported);
        QVERIFY(received.heard && results.heard);
        tap->write(request);
        QCOMPARE(sentBeforeBarrier(), QByteArray());
        QTRY_COMPARE(received.count(), 2); // the request and the barrier
        QCOMPARE(results.count(), 0);
        QCOMPARE(driver->log().count("升级成功"), 0);
        QCOMPARE(driver->log().count("切波特率到"), 1); // the 9600 of the start only
    }

    void baudRate_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<bool>("switches");
        QTest::newRow("115200 payload") << frame(BaudRateCmd, hex("00 C2 01 00")) << true;
        QTest::newRow("no payload") << hex("AA 55 01 00 01 A5 82") << true;
        QTest::newRow("length field 4") << frame(BaudRateCmd, hex("00 C2 01")) << false;
    }
    void baudRate()
    {
        QFETCH(QByteArray, request);
        QFETCH(bool, switches);
        startUpgrade({});
        tap->write(request);
        QTRY_COMPARE(replies(), BaudReply);
        if (!switches) {
            // Barrier: a request that does switch. Its switch comes after any the first
            // request had asked for, which would show as a second line.
            tap->write(frame(BaudRateCmd, hex("00 C2 01 00")));
        }
        QTRY_VERIFY(driver->logLines().contains("切波特率到: 115200"));
        QCOMPARE(lineSpeed(), speed_t(B115200));
        QCOMPARE(driver->logLines().count("切波特率到: 115200"), 1);
        // The reply left at the old rate: the switch came after it.
        QVERIFY(TestSupport::containsInOrder(
            driver->log(),
            {"MCU->RW47HN: [" + BaudReply.toHex(' ').toUpper() + ']', "切波特率到: 115200"}));
        QVERIFY(driver->isOpen());
    }

    // Success or not, the line returns to the rate the window shows; a failure says so.
    void result_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("line");
        QTest::newRow("success") << hex("AA 55 02 00 03 00 74 E9") << 0 << "升级成功...";
        QTest::newRow("failure 1")
            << frame(UpgradeResultCmd, hex("01")) << 1 << "升级失败，错误码: 1";
        QTest::newRow("failure 255")
            << frame(UpgradeResultCmd, hex("FF 00")) << 255 << "升级失败，错误码: 255";
    }
    void result()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, result);
        QFETCH(QString, line);
        startUpgrade({}, "460800");
        int emitted = 0;
        connect(&driver->window, &MainWindow::upgradeResultMsg, this, [&] { ++emitted; });
        connect(&driver->window, &MainWindow::upgradeEventMsg, this, [&] { ++emitted; });
        SequenceSpy results(driver->window, &UpgradeSequence::resultReported);
        SequenceSpy returned(driver->window, &UpgradeSequence::returnedToChosenRate);
        QVERIFY(results.heard && returned.heard);
        tap->write(request);
        QTRY_VERIFY(driver->logLines().contains(line));
        QTRY_VERIFY(driver->logLines().contains("切波特率到: 460800"));
        QVERIFY(TestSupport::containsInOrder(driver->log(), {line, "切波特率到: 460800"}));
        QCOMPARE(results.count(), 1);
        QCOMPARE(int(results.first().first().value<uint8_t>()), result);
        QCOMPARE(returned.count(), 1);
        QCOMPARE(lineSpeed(), speed_t(B460800));
        QVERIFY(replies().isEmpty());
        QCOMPARE(emitted, 0); // declared for listeners, never raised by the window
    }

    // The module waits for each reply: it leaves the port before the log area is touched,
    // and the log still shows the request first, then the reply.
    void replyLeavesBeforeTheLog()
    {
        QByteArray image = TestSupport::randomBytes(0x1000, 4);
        startUpgrade(image);
        const QByteArray request = frame(ReadDataCmd, hex("00 01 00 00 00 04 00 00"));
        const QString requestLine = "RW47HN->MCU: [" + request.toHex(' ').toUpper() + ']';
        const QByteArray reply = frame(ReadDataCmd, request.mid(5, 8) + image.mid(0x100, 0x400));
        bool checked = false;
        bool replyWasOnTheLine = false;
        auto *log = driver->widget<LogView>("textBrowser");
        connect(log, &LogView::textChanged, this, [&] {
            if (checked || !log->toPlainText().contains(requestLine))
                return;
            checked = true;
            // Still inside the window's handler: only bytes already written can arrive, and
            // the tap may have taken them already.
            pollfd line{pty.masterFd(), POLLIN, 0};
            replyWasOnTheLine = replies().startsWith(reply.left(1)) || poll(&line, 1, 500) == 1;
        });
        tap->write(request);
        QTRY_VERIFY(checked);
        QVERIFY(replyWasOnTheLine);
        QTRY_COMPARE(replies(), reply);
        QVERIFY(TestSupport::containsInOrder(
            driver->log(), {requestLine, "MCU->RW47HN: [" + reply.toHex(' ').toUpper() + ']'}));
    }

private:
    // Into the frame phase of an upgrade with `image`, the port opened at `rate`.
    void startUpgrade(const QByteArray &image, const QString &rate = "115200")
    {
        QVERIFY(startWindow(Tapped));
        QVERIFY(pressStart(image, rate));
        QVERIFY(answerHandshake());
    }

    // What the window sent since the handshake, without the start frame that its timer sends.
    QByteArray replies() const { return QByteArray(tap->received).replace(StartFrame, ""); }

    speed_t lineSpeed() const { return TestSupport::lineSpeed(pty.masterFd()); }
};

QTEST_MAIN(tst_Handler)
#include "tst_handler.moc"
