// The codec against known answers: CRC, frame builder, frame reader, and the host's answer to
// each command.

#include "commandhandler.h"
#include "frame.h"
#include "framereader.h"
#include "protocol.h"
#include "testbytes.h"

#include <QtTest>

using TestSupport::frame;
using TestSupport::hex;

namespace {

QByteArray bytesOf(const std::vector<uint8_t> &v)
{
    return QByteArray(reinterpret_cast<const char *>(v.data()), int(v.size()));
}

std::vector<uint8_t> vectorOf(const QByteArray &b)
{
    return std::vector<uint8_t>(b.begin(), b.end());
}

const QByteArray BaudReply = hex("AA 55 05 00 01 00 C2 01 00 5C DC");
const QByteArray Start = hex("AA 55 01 00 06 42 F2");
const QByteArray ResultOk = hex("AA 55 02 00 03 00 74 E9");
const QByteArray SliceReply = hex("AA 55 0D 00 02 00 01 00 00 04 00 00 00 11 22 33 44 D0 7F");
const QByteArray EchoOnlyReply = hex("AA 55 09 00 02 00 10 00 00 00 01 00 00 0E 41");

QByteArray withBadCrc(QByteArray bytes)
{
    bytes[bytes.size() - 1] = char(bytes.at(bytes.size() - 1) ^ 0x01);
    return bytes;
}

// A frame as the reader gave it, in a form a table can hold: its hex, then "ok" or "bad".
QString shown(const QByteArray &bytes, bool crcMatches)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper()) + (crcMatches ? " ok" : " bad");
}

// What differs between the frames read and those expected; empty when nothing does.
QString mismatch(const QVector<FrameReader::Received> &read, const QStringList &expected,
                 const QString &how)
{
    QStringList got;
    for (const FrameReader::Received &frame : read) {
        got << shown(frame.bytes, frame.crcMatches);
        // The accessors cut the frame where the builder put its parts.
        if (frame.crcMatches && buildFrame(frame.opcode(), frame.payload()) != frame.bytes)
            return how + ": opcode or payload cut wrong in " + got.last();
    }
    return got == expected ? QString() : how + ": read " + got.join(" | ");
}

// An image of `size` bytes with 11 22 33 44 at 0x100, when it is that long.
QByteArray image(int size)
{
    QByteArray bytes = TestSupport::randomBytes(size, 5);
    if (size >= 0x104)
        bytes.replace(0x100, 4, hex("11 22 33 44"));
    return bytes;
}

QByteArray request(quint32 address, quint32 count)
{
    return readRequestFrame(address, count).mid(5, ReadRequestSize);
}

} // namespace

class tst_Frame : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::quietDebug(); }

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

    // The shared constants and helpers against the worked frames.
    void vocabulary()
    {
        QCOMPARE(StartFrame, Start);
        QCOMPARE(buildFrame(BaudRateCmd, u32le(FastBaudRate)), BaudReply);
        const QByteArray request = readRequestFrame(0x100, 4);
        QCOMPARE(request, hex("AA 55 09 00 02 00 01 00 00 04 00 00 00 D5 33"));
        QCOMPARE(frameLengthField(request), uint16_t(9));
        QCOMPARE(readU32le(reinterpret_cast<const uint8_t *>(request.constData()) + 5), 0x100u);
        QCOMPARE(MaxSliceSize, 65526u);
    }

    void workedFrames_data()
    {
        QTest::addColumn<int>("opcode");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("frame");
        QTest::newRow("baud rate reply") << 1 << hex("00 C2 01 00") << BaudReply;
        QTest::newRow("start") << 6 << QByteArray() << Start;
        QTest::newRow("result") << 3 << hex("00") << ResultOk;
        QTest::newRow("slice") << 2 << hex("00 01 00 00 04 00 00 00 11 22 33 44") << SliceReply;
    }
    void workedFrames()
    {
        QFETCH(int, opcode);
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, frame);
        QCOMPARE(bytesOf(DataFormatToPaket(uint8_t(opcode), vectorOf(payload))), frame);
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
        QVERIFY(buildFrame(0x02, payload).isEmpty());
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

    // Each stream gives the same frames however it is cut: whole, in two chunks at every
    // position, and byte by byte.
    void readerAtEveryCut_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QStringList>("frames"); // read, in order, with their CRC verdict
        QTest::addColumn<int>("state");          // the reader's state at the end
        const auto ok = [](const QByteArray &bytes) { return shown(bytes, true); };
        const int idle = FrameReader::WaitHeader1;
        for (const auto &[name, worked] :
             {std::pair{"baud rate reply", BaudReply}, std::pair{"start", Start},
              std::pair{"result", ResultOk}, std::pair{"slice", SliceReply},
              std::pair{"echo only", EchoOnlyReply},
              std::pair{"request", readRequestFrame(0x100, 4)}})
            QTest::newRow(name) << worked << QStringList{ok(worked)} << idle;
        const QByteArray long300 = frame(ReadDataCmd, TestSupport::randomBytes(300, 6));
        QTest::newRow("length over 255") << long300 << QStringList{ok(long300)} << idle;

        QTest::newRow("two frames in one chunk")
            << Start + ResultOk << QStringList{ok(Start), ok(ResultOk)} << idle;
        QTest::newRow("stray AA before a frame")
            << hex("AA") + Start << QStringList{ok(Start)} << idle;
        QTest::newRow("three AA before a frame")
            << hex("AA AA AA") + Start << QStringList{ok(Start)} << idle;
        QTest::newRow("garbage around") << hex("00 AA 13") + Start + hex("55 AA") + ResultOk
                                        << QStringList{ok(Start), ok(ResultOk)} << idle;
        // Were the header kept, 55 01 00 06 42 F2 would complete a start frame.
        QTest::newRow("AA then another byte drops the header")
            << hex("AA 00") + Start.mid(1) + ResultOk << QStringList{ok(ResultOk)} << idle;
        // Were length 0 a frame, the next AA 55 would be its CRC and the result lost.
        QTest::newRow("zero length drops the header")
            << hex("AA 55 00 00") + ResultOk << QStringList{ok(ResultOk)} << idle;
        QTest::newRow("wrong crc reported, next frame read")
            << withBadCrc(Start) + ResultOk
            << QStringList{shown(withBadCrc(Start), false), ok(ResultOk)} << idle;
        // After a dropped frame a header is looked for afresh: 55 alone starts none.
        QTest::newRow("search afresh after a dropped frame")
            << withBadCrc(Start) + hex("55 00 01 06 42 F2") + ResultOk
            << QStringList{shown(withBadCrc(Start), false), ok(ResultOk)} << idle;
        // The search starts again after a dropped frame, not inside it.
        const QByteArray carrier = withBadCrc(frame(0x7F, Start));
        QTest::newRow("dropped frame hides what it carries")
            << carrier + ResultOk << QStringList{shown(carrier, false), ok(ResultOk)} << idle;
        const QByteArray holder = frame(ReadDataCmd, Start);
        QTest::newRow("AA 55 inside a payload") << holder << QStringList{ok(holder)} << idle;
        QTest::newRow("AA alone") << hex("AA") << QStringList{} << int(FrameReader::WaitHeader2);
        QTest::newRow("header alone")
            << hex("AA 55") << QStringList{} << int(FrameReader::WaitLengthLow);
        QTest::newRow("frame without its CRC")
            << ResultOk.left(6) << QStringList{} << int(FrameReader::WaitCrcLow);
    }
    void readerAtEveryCut()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QStringList, frames);
        QFETCH(int, state);
        for (int cut = 0; cut <= stream.size(); ++cut) {
            FrameReader reader;
            QVector<FrameReader::Received> read = reader.feed(stream.left(cut));
            read += reader.feed(stream.mid(cut));
            const QString problem = mismatch(read, frames, QStringLiteral("cut at %1").arg(cut));
            QVERIFY2(problem.isEmpty(), qPrintable(problem));
            QCOMPARE(int(reader.state()), state);
        }
        FrameReader reader;
        QVector<FrameReader::Received> read;
        for (const char byte : stream) {
            if (reader.take(uint8_t(byte)))
                read.append(reader.completed());
        }
        const QString problem = mismatch(read, frames, QStringLiteral("byte by byte"));
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QCOMPARE(int(reader.state()), state);
    }

    void resetForgetsPartialFrame()
    {
        FrameReader reader;
        QVERIFY(reader.feed(Start.left(4)).isEmpty());
        QCOMPARE(reader.state(), FrameReader::WaitOpcode);
        reader.reset();
        QCOMPARE(reader.state(), FrameReader::WaitHeader1);
        const QVector<FrameReader::Received> read = reader.feed(ResultOk);
        QCOMPARE(read.size(), 1);
        QCOMPARE(read.first().bytes, ResultOk);
    }

    void answers_data()
    {
        QTest::addColumn<int>("opcode");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<int>("imageSize"); // image(imageSize) is served
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("next");
        QTest::addColumn<int>("result");
        QTest::addColumn<qint64>("sliceStart"); // -1: no data request was served
        QTest::addColumn<qint64>("sliceSize");
        const int nothing = int(CommandAnswer::Next::Nothing);
        const int fast = int(CommandAnswer::Next::SwitchToFastRate);
        const int report = int(CommandAnswer::Next::ReportResult);
        const auto none = [&](const char *name, int opcode, const QByteArray &payload) {
            QTest::newRow(name) << opcode << payload << 0x1000 << QByteArray() << nothing << 0
                                << qint64(-1) << qint64(0);
        };
        const auto baud = [&](const char *name, const QByteArray &payload, int next) {
            QTest::newRow(name) << 1 << payload << 0x1000 << BaudReply << next << 0 << qint64(-1)
                                << qint64(0);
        };
        const auto read =
            [&](const char *name, int size, quint32 address, quint32 count, qint64 served) {
                const QByteArray echo = request(address, count);
                QTest::newRow(name)
                    << 2 << echo << size
                    << frame(ReadDataCmd, echo + image(size).mid(int(address), int(served)))
                    << nothing << 0 << qint64(address) << served;
            };
        const auto result = [&](const char *name, const QByteArray &payload, int value) {
            QTest::newRow(name) << 3 << payload << 0x1000 << QByteArray() << report << value
                                << qint64(-1) << qint64(0);
        };

        baud("baud rate, 115200", hex("00 C2 01 00"), fast);
        baud("baud rate, no payload", {}, fast);
        baud("baud rate, 3 bytes keep the rate", hex("00 C2 01"), nothing);
        baud("baud rate, 5 bytes", hex("00 C2 01 00 00"), fast);
        QTest::newRow("read 4 at 0x100") << 2 << request(0x100, 4) << 0x1000 << SliceReply
                                         << nothing << 0 << qint64(0x100) << qint64(4);
        QTest::newRow("read at the end") << 2 << request(0x1000, 0x100) << 0x1000 << EchoOnlyReply
                                         << nothing << 0 << qint64(0x1000) << qint64(0);
        read("last 10 bytes", 0x1000, 0xFF6, 0x100, 10);
        read("count zero", 0x1000, 0, 0, 0);
        read("empty image", 0, 0, 1024, 0);
        read("address 2^31", 0x1000, 0x80000000u, 16, 0);
        read("address wraps", 0x1000, 0xFFFFFFF0u, 0x20, 0);
        read("count 2^32-1", 0x1000, 0x10, 0xFFFFFFFFu, 0x1000 - 0x10);
        read("capped at the largest slice", 100000, 0, 70000, 65526);
        read("capped by the end", 100000, 40000, 70000, 60000);
        QTest::newRow("read, 9 bytes: 8 echoed")
            << 2 << request(0x100, 4) + hex("EE") << 0x1000 << SliceReply << nothing << 0
            << qint64(0x100) << qint64(4);
        none("read, 7 bytes", 2, request(0x100, 4).left(7));
        none("read, none", 2, {});
        result("result 0", hex("00"), 0);
        result("result 1", hex("01"), 1);
        result("result 255 and more", hex("FF 00"), 255);
        none("result, none", 3, {});
        none("start echoed", 6, {});
        none("opcode 0", 0, hex("01 02"));
        none("opcode 0x7F", 0x7F, {});
    }
    void answers()
    {
        QFETCH(int, opcode);
        QFETCH(QByteArray, payload);
        QFETCH(int, imageSize);
        QFETCH(QByteArray, reply);
        QFETCH(int, next);
        QFETCH(int, result);
        QFETCH(qint64, sliceStart);
        QFETCH(qint64, sliceSize);
        const CommandAnswer answer = answerCommand(uint8_t(opcode), payload, image(imageSize));
        QCOMPARE(answer.reply.size(), reply.size());
        QVERIFY(answer.reply == reply);
        QCOMPARE(int(answer.next), next);
        QCOMPARE(int(answer.result), result);
        QCOMPARE(answer.served, sliceStart >= 0);
        if (answer.served) {
            QCOMPARE(answer.sliceStart, sliceStart);
            QCOMPARE(answer.sliceSize, sliceSize);
        }
    }
};

QTEST_GUILESS_MAIN(tst_Frame)
#include "tst_frame.moc"
