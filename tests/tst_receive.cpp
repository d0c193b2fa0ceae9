// The receive path: the OK handshake and frame reassembly, whatever the chunking.

#include "frame.h"
#include "testsupport.h"

#include <QtTest>

using TestSupport::countDebug;
using TestSupport::frame;
using TestSupport::hex;

namespace {

QString hexLine(const QByteArray &bytes)
{
    return "RW47HN->MCU: [" + QString(bytes.toHex(' ').toUpper()) + ']';
}

const QByteArray Ok = QByteArrayLiteral("\r\nOK\r\n");

} // namespace

class tst_Receive : public PtyWindowTest
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::captureDebug(); }

    void init()
    {
        QVERIFY(startWindow(Tapped));
        driver->clickOpen();
        QVERIFY(driver->isOpen());
        driver->clickClear();
        TestSupport::clearDebug();
    }

    void cleanup() { stopWindow(); }

    void okReplyStartsFramePhase()
    {
        send(Ok);
        QCOMPARE(driver->log(), QStringLiteral("接收到数据：\nOK\n\n\nOK\n"));
        // From now on chunks are frame bytes only: no text entry, OK is just noise.
        send(Ok + unknownFrame);
        QCOMPARE(countDebug("<<<opcode:  127"), 1);
        QCOMPARE(driver->log().count("接收到数据："), 1);
    }

    void okSplitOverTwoChunksStaysInTextPhase()
    {
        send("\r\nO");
        send("K\r\n");
        QCOMPARE(driver->log().count("接收到数据："), 2);
        send(unknownFrame);
        QCOMPARE(driver->log().count("接收到数据："), 3); // still the text phase
        QCOMPARE(countDebug("<<<opcode:  127"), 1);       // the frame is handled all the same
    }

    // The module's text is shown as text, never interpreted, up to the first NUL.
    void textShownAsReceived_data()
    {
        QTest::addColumn<QByteArray>("chunk");
        QTest::addColumn<QString>("shown");
        QTest::newRow("NUL ends the text") << QByteArray("ab\0cd", 5) << "ab";
        QTest::newRow("bold tag") << QByteArray("<b>x</b>") << "<b>x</b>";
        QTest::newRow("image tag") << QByteArray("<img src=x.png>") << "<img src=x.png>";
        QTest::newRow("entity") << QByteArray("&lt;tag&gt;") << "&lt;tag&gt;";
    }
    void textShownAsReceived()
    {
        QFETCH(QByteArray, chunk);
        QFETCH(QString, shown);
        send(chunk);
        QCOMPARE(driver->log(), "接收到数据：" + shown);
    }

    void frameSplitAtEveryBoundary()
    {
        send(Ok);
        for (int cut = 1; cut < unknownFrame.size(); ++cut) {
            send(unknownFrame.left(cut));
            send(unknownFrame.mid(cut));
        }
        const int cuts = unknownFrame.size() - 1;
        QCOMPARE(countDebug("<<<opcode:  127"), cuts);
        QCOMPARE(driver->logLines().count(hexLine(unknownFrame)), cuts);
    }

    void streams_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QStringList>("opcodes"); // handled, in order
        QTest::addColumn<int>("crcErrors");
        const QByteArray a = frame(0x7E, hex("01"));
        const QByteArray b = frame(0x7F, hex("02 03"));
        QByteArray badCrc = b;
        badCrc[badCrc.size() - 1] = char(badCrc.at(badCrc.size() - 1) ^ 0x01);
        QTest::newRow("two frames in one chunk") << a + b << QStringList{"126", "127"} << 0;
        QTest::newRow("garbage between")
            << hex("00 13 55") + a + hex("FF AA 00") + b << QStringList{"126", "127"} << 0;
        QTest::newRow("stray AA before a frame")
            << hex("AA") + a + hex("AA AA") + b << QStringList{"126", "127"} << 0;
        QTest::newRow("AA then another byte") << hex("AA 00") + a << QStringList{"126"} << 0;
        QTest::newRow("wrong crc dropped") << badCrc + a << QStringList{"126"} << 1;
        QTest::newRow("zero length is no frame")
            << hex("AA 55 00 00") + a << QStringList{"126"} << 0;
    }
    void streams()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QStringList, opcodes);
        QFETCH(int, crcErrors);
        send(Ok);
        send(stream);
        QStringList handled;
        for (const QString &line : TestSupport::debugLines()) {
            if (line.startsWith("<<<opcode:  "))
                handled << line.mid(12);
        }
        QCOMPARE(handled, opcodes);
        QCOMPARE(driver->logLines().count("CRC校验错误，丢弃该帧"), crcErrors);
    }

    // A corrupted request is shown, reported and never answered.
    void corruptedRequestIsNotAnswered()
    {
        send(Ok);
        QByteArray request = frame(BaudRateCmd, hex("00 C2 01 00"));
        request[6] = char(request.at(6) ^ 0x40);
        send(request);
        QCOMPARE(driver->logLines(), (QStringList{"接收到数据：", "OK", "", "", "OK", "",
                                                  hexLine(request), "CRC校验错误，丢弃该帧"}));
        QCOMPARE(sentBeforeBarrier(), QByteArray());
    }

private:
    // Writes one chunk and waits until the window has taken it in.
    void send(const QByteArray &chunk)
    {
        const int before = countDebug("<<<bytes: ") + driver->log().count("接收到数据：");
        tap->write(chunk);
        QTRY_VERIFY(countDebug("<<<bytes: ") + driver->log().count("接收到数据：") > before);
    }

    const QByteArray unknownFrame = frame(0x7F, hex("10 20 30"));
};

QTEST_MAIN(tst_Receive)
#include "tst_receive.moc"
