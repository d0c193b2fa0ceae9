// Frame builder, CRC and the simulator's frame reader against known answers.

#include "frame.h"
#include "framereader.h"
#include "protocol.h"
#include "testsupport.h"

#include <QtTest>

using TestSupport::hex;

static QByteArray bytesOf(const std::vector<uint8_t> &v)
{
    return QByteArray(reinterpret_cast<const char *>(v.data()), int(v.size()));
}

static std::vector<uint8_t> vectorOf(const QByteArray &b)
{
    return std::vector<uint8_t>(b.begin(), b.end());
}

class tst_Frame : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::captureDebug(); }
    void init() { TestSupport::clearDebug(); }

    void crc_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("crc");
        QTest::newRow("check value") << QByteArray("123456789") << 0x31C3;
        QTest::newRow("empty") << QByteArray() << 0x0000;
        QTest::newRow("opcode alone") << hex("06") << 0x60C6;
        QTest::newRow("start frame body") << hex("AA 55 01 00 06") << 0xF242;
        QTest::newRow("result body") << hex("AA 55 02 00 03 00") << 0xE974;
        QTest::newRow("high bits") << hex("FF FF") << 0x1D0F;
    }
    void crc()
    {
        QFETCH(QByteArray, input);
        QFETCH(int, crc);
        QCOMPARE(int(crc16Xmodem(reinterpret_cast<const uint8_t *>(input.constData()),
                                 size_t(input.size()))),
                 crc);
    }

    void workedFrames_data()
    {
        QTest::addColumn<int>("opcode");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QString>("crcLine");
        QTest::newRow("baud rate reply")
            << 1 << hex("00 C2 01 00") << hex("AA 55 05 00 01 00 C2 01 00 5C DC") << " DC5C";
        QTest::newRow("start") << 6 << QByteArray() << hex("AA 55 01 00 06 42 F2") << " F242";
        QTest::newRow("result") << 3 << hex("00") << hex("AA 55 02 00 03 00 74 E9") << " E974";
        QTest::newRow("slice") << 2 << hex("00 01 00 00 04 00 00 00 11 22 33 44")
                               << hex("AA 55 0D 00 02 00 01 00 00 04 00 00 00 11 22 33 44 D0 7F")
                               << " 7FD0";
    }
    // The shared constants and helpers against the worked frames.
    void vocabulary()
    {
        QCOMPARE(StartFrame, hex("AA 55 01 00 06 42 F2"));
        QCOMPARE(buildFrame(BaudRateCmd, u32le(FastBaudRate)),
                 hex("AA 55 05 00 01 00 C2 01 00 5C DC"));
        const QByteArray request = readRequestFrame(0x100, 4);
        QCOMPARE(request, hex("AA 55 09 00 02 00 01 00 00 04 00 00 00 D5 33"));
        QCOMPARE(frameLengthField(request), uint16_t(9));
        QCOMPARE(readU32le(reinterpret_cast<const uint8_t *>(request.constData()) + 5), 0x100u);
    }

    void workedFrames()
    {
        QFETCH(int, opcode);
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, frame);
        QFETCH(QString, crcLine);
        QCOMPARE(bytesOf(DataFormatToPaket(uint8_t(opcode), vectorOf(payload))), frame);
        QCOMPARE(TestSupport::debugLines(), QStringList{crcLine});
        QVERIFY(frameCrcMatches(frame));
    }

    void lengthField_data()
    {
        QTest::addColumn<int>("payloadSize");
        QTest::addColumn<QByteArray>("lengthField");
        QTest::newRow("empty") << 0 << hex("01 00");
        QTest::newRow("255 bytes") << 255 << hex("00 01");
        QTest::newRow("largest") << MaxFramePayload << hex("FF FF");
    }
    void lengthField()
    {
        QFETCH(int, payloadSize);
        QFETCH(QByteArray, lengthField);
        const QByteArray payload = TestSupport::randomBytes(payloadSize, 7);
        const QByteArray frame = bytesOf(DataFormatToPaket(0x02, vectorOf(payload)));
        QCOMPARE(frame.size(), payloadSize + FrameOverhead);
        QCOMPARE(frame.mid(2, 2), lengthField);
        QCOMPARE(frame.mid(5, payloadSize), payload);
        QVERIFY(frameCrcMatches(frame));
    }

    void oversizedPayloadIsRefused()
    {
        const std::vector<uint8_t> payload(size_t(MaxFramePayload) + 1, 0x5A);
        QVERIFY(DataFormatToPaket(0x02, payload).empty());
        QCOMPARE(TestSupport::debugLines().size(), 1);
        QVERIFY(TestSupport::debugLines().first().contains("65535"));
    }

    void crcMismatchIsDetected_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::newRow("crc low byte") << hex("AA 55 01 00 06 43 F2");
        QTest::newRow("crc high byte") << hex("AA 55 01 00 06 42 F3");
        QTest::newRow("payload bit") << hex("AA 55 02 00 03 01 74 E9");
        QTest::newRow("too short") << hex("AA");
    }
    void crcMismatchIsDetected()
    {
        QFETCH(QByteArray, frame);
        QVERIFY(!frameCrcMatches(frame));
    }

    // The simulator's reader: any cut, garbage between frames, a bad CRC, a zero length.
    void frameReader_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<int>("frames");
        const QByteArray start = hex("AA 55 01 00 06 42 F2");
        const QByteArray result = hex("AA 55 02 00 03 00 74 E9");
        QTest::newRow("two frames") << start + result << 2;
        QTest::newRow("garbage around") << hex("00 AA 13") + start + hex("55 AA") + result << 2;
        QTest::newRow("header twice") << hex("AA") + start << 1;
        QTest::newRow("bad crc skipped") << hex("AA 55 01 00 06 42 F3") + result << 1;
        QTest::newRow("zero length skipped") << hex("AA 55 00 00") + result << 1;
    }
    void frameReader()
    {
        QFETCH(QByteArray, stream);
        QFETCH(int, frames);
        for (int cut = 0; cut <= stream.size(); ++cut) {
            FrameReader reader;
            const int found =
                reader.feed(stream.left(cut)).size() + reader.feed(stream.mid(cut)).size();
            QCOMPARE(found, frames);
        }
    }
};

QTEST_GUILESS_MAIN(tst_Frame)
#include "tst_frame.moc"
