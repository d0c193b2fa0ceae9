// The receive path: the OK handshake and frame reassembly, whatever the chunking.

#include "frame.h"
#include "testsupport.h"

#include <QtTest>

#include <memory>

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
    void initTestCase() { TestSupport::quietDebug(); }

    void init()
    {
        QVERIFY(startWindow(Tapped));
        driver->clickOpen();
        QVERIFY(driver->isOpen());
        driver->clickClear();
        text = std::make_unique<SequenceSpy>(driver->window, &UpgradeSequence::textReceived);
        received = std::make_unique<SequenceSpy>(driver->window, &UpgradeSequence::frameReceived);
        dropped = std::make_unique<SequenceSpy>(driver->window, &UpgradeSequence::frameDropped);
        QVERIFY(text->heard && received->heard && dropped->heard);
    }

    void cleanup()
    {
        text.reset();
        received.reset();
        dropped.reset();
        stopWindow();
    }

    void okReplyStartsFramePhase()
    {
        sendText(Ok);
        QCOMPARE(driver->log(), QStringLiteral("接收到数据：\nOK\n\n\nOK\n"));
        // From now on chunks are frame bytes only: no text entry, OK is just noise.
        tap->write(Ok + unknownFrame);
        QTRY_COMPARE(received->count(), 1);
        QCOMPARE(text->count(), 1);
        QCOMPARE(driver->log().count("接收到数据："), 1);
    }

    void okSplitOverTwoChunksStaysInTextPhase()
    {
        sendText("\r\nO");
        sendText("K\r\n");
        QCOMPARE(driver->log().count("接收到数据："), 2);
        sendText(unknownFrame); // still the text phase
        QCOMPARE(driver->log().count("接收到数据："), 3);
        QTRY_COMPARE(received->count(), 1); // the frame is handled all the same
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
        sendText(chunk);
        QCOMPARE(driver->log(), "接收到数据：" + shown);
        QCOMPARE(text->first().first().toByteArray(), chunk);
    }

    // A frame cut in two chunks at every position is read whole. Sent before the OK, where
    // every chunk announces itself as text and still goes to the frame reader, so that the
    // two halves surely arrive apart.
    void frameSplitAtEveryBoundary()
    {
        for (int cut = 1; cut < unknownFrame.size(); ++cut) {
            sendText(unknownFrame.left(cut));
            sendText(unknownFrame.mid(cut));
        }
        const int cuts = unknownFrame.size() - 1;
        // The last frame's event may still be on its way from the exchange thread.
        QTRY_COMPARE(received->count(), cuts);
        QTRY_COMPARE(driver->logLines().count(hexLine(unknownFrame)), cuts);
    }

    void streams_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QByteArrayList>("frames"); // shown as received, in order
        QTest::addColumn<int>("crcErrors");
        const QByteArray a = frame(0x7E, hex("01"));
        const QByteArray b = frame(0x7F, hex("02 03"));
        QByteArray badCrc = b;
        badCrc[badCrc.size() - 1] = char(badCrc.at(badCrc.size() - 1) ^ 0x01);
        QTest::newRow("two frames in one chunk") << a + b << QByteArrayList{a, b} << 0;
        QTest::newRow("garbage between")
            << hex("00 13 55") + a + hex("FF AA 00") + b << QByteArrayList{a, b} << 0;
        QTest::newRow("stray AA before a frame")
            << hex("AA") + a + hex("AA AA") + b << QByteArrayList{a, b} << 0;
        QTest::newRow("AA then another byte") << hex("AA 00") + a << QByteArrayList{a} << 0;
        QTest::newRow("wrong crc dropped") << badCrc + a << QByteArrayList{badCrc, a} << 1;
        QTest::newRow("zero length is no frame")
            << hex("AA 55 00 00") + a << QByteArrayList{a} << 0;
    }
    void streams()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QByteArrayList, frames);
        QFETCH(int, crcErrors);
        sendText(Ok);
        tap->write(stream);
        QCOMPARE(sentBeforeBarrier(), QByteArray());
        QStringList expected;
        for (const QByteArray &bytes : frames)
            expected << hexLine(bytes);
        QTRY_COMPARE(received->count(), frames.size() - crcErrors + 1); // and the barrier
        QCOMPARE(driver->logLines().filter("RW47HN->MCU: [").mid(0, frames.size()), expected);
        QCOMPARE(dropped->count(), crcErrors);
        QCOMPARE(driver->logLines().count("CRC校验错误，丢弃该帧"), crcErrors);
    }

    // A corrupted request is shown, reported and never answered.
    void corruptedRequestIsNotAnswered()
    {
        sendText(Ok);
        QByteArray request = frame(BaudRateCmd, hex("00 C2 01 00"));
        request[6] = char(request.at(6) ^ 0x40);
        tap->write(request);
        QTRY_COMPARE(dropped->count(), 1);
        QCOMPARE(driver->logLines(), (QStringList{"接收到数据：", "OK", "", "", "OK", "",
                                                  hexLine(request), "CRC校验错误，丢弃该帧"}));
        QCOMPARE(sentBeforeBarrier(), QByteArray());
    }

private:
    // Writes one chunk in the text phase and waits until the window has taken it in.
    void sendText(const QByteArray &chunk)
    {
        const int before = text->count();
        tap->write(chunk);
        QTRY_COMPARE(text->count(), before + 1);
    }

    const QByteArray unknownFrame = frame(0x7F, hex("10 20 30"));
    std::unique_ptr<SequenceSpy> text, received, dropped;
};

QTEST_MAIN(tst_Receive)
#include "tst_receive.moc"
