// The debug lines the program has always written, for readers of its console. The only test
// that reads the debug output: all others assert on the wire, typed events and the log area.

#include "commandhandler.h"
#include "framereader.h"
#include "protocol.h"
#include "testsupport.h"

#include <QComboBox>
#include <QtTest>

#include <mutex>

using TestSupport::frame;
using TestSupport::hex;

namespace {

// Debug lines come from the window's thread and from the thread that serves the module.
std::mutex capturedMutex;
QStringList capturedLines; // under capturedMutex

QStringList captured()
{
    std::lock_guard<std::mutex> lock(capturedMutex);
    return capturedLines;
}

void clearCaptured()
{
    std::lock_guard<std::mutex> lock(capturedMutex);
    capturedLines.clear();
}

// Takes the place of QtTest's message handler, so the thread check is made here.
void keepMessage(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    TestSupport::failOnThreadMisuse(message);
    if (type == QtFatalMsg) {
        fprintf(stderr, "%s\n", qPrintable(message));
        abort();
    }
    if (type == QtDebugMsg) {
        std::lock_guard<std::mutex> lock(capturedMutex);
        capturedLines.append(message);
    } else if (!message.contains(QLatin1String("propagateSizeHints")))
        fprintf(stderr, "%s\n", qPrintable(message));
}

int countStarting(const QString &prefix)
{
    int count = 0;
    for (const QString &line : captured())
        count += line.startsWith(prefix) ? 1 : 0;
    return count;
}

QStringList linesStarting(const QStringList &lines, const QString &prefix)
{
    QStringList found;
    for (const QString &line : lines) {
        if (line.startsWith(prefix))
            found << line;
    }
    return found;
}

} // namespace

class tst_DebugLog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qInstallMessageHandler(keepMessage); }
    void init() { clearCaptured(); }

    // " %04X": the CRC of every frame built.
    void builtFrames_data()
    {
        QTest::addColumn<int>("opcode");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("baud rate reply") << 1 << hex("00 C2 01 00") << QStringList{" DC5C"};
        QTest::newRow("start") << 6 << QByteArray() << QStringList{" F242"};
        QTest::newRow("slice") << 2 << hex("00 01 00 00 04 00 00 00 11 22 33 44")
                               << QStringList{" 7FD0"};
        QTest::newRow("too large")
            << 2 << QByteArray(MaxFramePayload + 1, 'x')
            << QStringList{"DataFormatToPaket: payload of 65535 bytes exceeds 65534, frame not "
                           "built"};
    }
    void builtFrames()
    {
        QFETCH(int, opcode);
        QFETCH(QByteArray, payload);
        QFETCH(QStringList, lines);
        buildFrame(uint8_t(opcode), payload);
        QCOMPARE(captured(), lines);
    }

    // A traced reader writes the opcode and a count for every byte after the length.
    void tracedReader_data()
    {
        QTest::addColumn<bool>("traced");
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("result") << true << hex("AA 55 02 00 03 00 74 E9")
                                << QStringList{" 03", "==Len:  2 cnt:  1", "Len:  2 cnt:  2"};
        QTest::newRow("start") << true << hex("AA AA 55 01 00 06 42 F2")
                               << QStringList{" 06", "==Len:  1 cnt:  1"};
        QTest::newRow("not traced") << false << hex("AA 55 02 00 03 00 74 E9") << QStringList{};
    }
    void tracedReader()
    {
        QFETCH(bool, traced);
        QFETCH(QByteArray, stream);
        QFETCH(QStringList, lines);
        FrameReader reader;
        reader.setTraced(traced);
        QCOMPARE(reader.feed(stream).size(), 1);
        QCOMPARE(captured(), lines);
    }

    void commandLines_data()
    {
        QTest::addColumn<int>("opcode");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("baud rate")
            << 1 << hex("00 C2 01 00") << QStringList{"<<<opcode:  1", " DC5C"};
        QTest::newRow("read") << 2 << hex("00 01 00 00 04 00 00 00")
                              << QStringList{"<<<opcode:  2", "<<<addr:  256 len:  4", " 7FD0"};
        QTest::newRow("read, 3 bytes")
            << 2 << hex("00 01 00")
            << QStringList{"<<<opcode:  2", "<<<ReadDataCmd too short, ignored; length: 4"};
        QTest::newRow("success") << 3 << hex("00") << QStringList{"<<<opcode:  3", "升级成功！"};
        QTest::newRow("failure") << 3 << hex("01") << QStringList{"<<<opcode:  3"};
        QTest::newRow("result, none")
            << 3 << QByteArray()
            << QStringList{"<<<opcode:  3", "<<<UpgradeResultCmd too short, ignored; length: 1"};
        QTest::newRow("start echoed") << 6 << QByteArray() << QStringList{"<<<opcode:  6"};
        QTest::newRow("opcode 0x7F") << 0x7F << QByteArray() << QStringList{"<<<opcode:  127"};
    }
    void commandLines()
    {
        QFETCH(int, opcode);
        QFETCH(QByteArray, payload);
        QFETCH(QStringList, lines);
        QByteArray image(0x1000, 0);
        image.replace(0x100, 4, hex("11 22 33 44"));
        answerCommand(uint8_t(opcode), payload, image);
        QCOMPARE(captured(), lines);
    }

    // Whatever ports this machine has, each is listed once and logged as a group of seven.
    void portDiscovery()
    {
        WindowDriver driver;
        const QStringList lines = captured();
        const int header = lines.indexOf("Available serial ports:");
        QVERIFY(header >= 0);
        const QStringList groups = lines.mid(header + 1);
        auto *ports = driver.widget<QComboBox>("comboBox");
        QCOMPARE(groups.size(), ports->count() * 7);
        for (int port = 0; port < ports->count(); ++port) {
            QCOMPARE(groups.at(port * 7), "Port: \"" + ports->itemText(port) + '"');
            QVERIFY(groups.at(port * 7 + 4).startsWith("Vendor Identifier: "));
            QCOMPARE(groups.at(port * 7 + 6), QString(39, '-'));
        }
    }

    // Opening, one frame answered, the rate switch it asks for, and a result: each step's
    // lines, the hex lines one for one with the log area's.
    void traffic()
    {
        PtyPair pty;
        QVERIFY(pty.open());
        WireTap tap(pty.masterFd());
        WindowDriver driver;
        QTemporaryDir dir;
        const QString image = TestSupport::writeFile(dir.filePath("fw.ufw"), "abc");
        QVERIFY(driver.chooseFile(image));
        driver.selectPort(pty.slavePath());
        driver.selectBaudRate("460800");
        driver.clickOpen();
        QVERIFY(driver.isOpen());
        QVERIFY(TestSupport::containsInOrder(
            captured().join('\n'),
            {'"' + image + "\" \n", '"' + pty.slavePath() + "\" \n", "\"460800\" \n",
             "Serial port opened successfully.", "Low latency mode not available on"}));
        QCOMPARE(countStarting("Low latency mode not available on"), 1);

        tap.write(OkReply);
        QTRY_VERIFY(driver.logLines().contains("OK"));
        QCOMPARE(countStarting("<<<bytes: "), 0); // the OK is text, not frame bytes
        const QByteArray request = frame(BaudRateCmd, hex("00 C2 01 00"));
        const QByteArray reply = hex("AA 55 05 00 01 00 C2 01 00 5C DC");
        clearCaptured();
        tap.write(request);
        QTRY_COMPARE(tap.received, reply);
        QTRY_COMPARE(linesStarting(captured(), ">>>bytes: ").value(0), ">>>bytes:  0");
        QStringList lines = captured();
        lines.erase(std::remove_if(lines.begin(), lines.end(),
                                   [](const QString &line) { return line.startsWith(">>>"); }),
                    lines.end());
        QVERIFY(lines.first().startsWith("<<<bytes:  "));
        QCOMPARE(lines.mid(1, 10),
                 (QStringList{" 01", "==Len:  5 cnt:  1", "Len:  5 cnt:  2", "Len:  5 cnt:  3",
                              "Len:  5 cnt:  4", "Len:  5 cnt:  5",
                              "Hex string: \"RW47HN->MCU: [AA 55 05 00 01 00 C2 01 "
                              "00 5C DC]\"",
                              "<<<opcode:  1", " DC5C",
                              "Hex string: \"MCU->RW47HN: [AA 55 05 00 01 00 C2 01 "
                              "00 5C DC]\""}));
        // The switch to 115200 reopens the port, which asks for low latency again.
        QTRY_COMPARE(countStarting("Low latency mode not available on"), 1);

        tap.write(hex("AA 55 02 00 03 00 74 E9"));
        QTRY_VERIFY(captured().contains("<<<reset buadrate:  460800"));
        QVERIFY(TestSupport::containsInOrder(
            captured().join('\n'), {"<<<opcode:  3", "升级成功！", "<<<reset buadrate:  460800"}));

        QStringList hexLines;
        for (const QString &line : driver.logLines()) {
            if (line.contains("->"))
                hexLines << "Hex string: \"" + line + '"';
        }
        QCOMPARE(hexLines.size(), 3);
        QCOMPARE(linesStarting(captured(), "Hex string: "), hexLines);

        clearCaptured();
        UpgradeSequence sequence;
        QCOMPARE(sequence.OpenComPorts(pty.slavePath(), "fast"), 0);
        QCOMPARE(captured(), QStringList{"Conversion failed!"});
    }

    // The module waits for each reply: the debug lines of the chunk that asks for it are
    // written once the reply is on the wire (its log entry is made after the write).
    void linesAfterTheReply_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QStringList>("lines"); // some of the chunk's, in order
        QTest::newRow("baud rate") << frame(BaudRateCmd, hex("00 C2 01 00"))
                                   << QStringList{"<<<bytes: ", "<<<opcode:  1", " DC5C",
                                                  "Hex string: \"MCU->RW47HN: [AA 55 05"};
        QTest::newRow("slice") << TestSupport::readRequest(1, 2)
                               << QStringList{"<<<bytes: ", "<<<opcode:  2", "<<<addr:  1 len:  2",
                                              "Hex string: \"MCU->RW47HN: [AA 55 0B"};
    }
    void linesAfterTheReply()
    {
        QFETCH(QByteArray, request);
        QFETCH(QStringList, lines);
        PtyPair pty;
        QVERIFY(pty.open());
        WireTap tap(pty.masterFd());
        UpgradeSequence sequence;
        sequence.setImage("abc");
        QVERIFY(sequence.OpenComPorts(pty.slavePath(), "115200"));
        bool replied = false;
        QStringList linesAtReply;
        QObject listener; // ends the connection with the test
        connect(&sequence, &UpgradeSequence::logged, &listener, [&](const LogEntry &entry) {
            if (entry.kind != LogEntry::Kind::Sent)
                return;
            replied = true;
            linesAtReply = captured();
        });
        clearCaptured();
        tap.write(request);
        QTRY_VERIFY(captured().join('\n').contains(lines.last()));
        QVERIFY(replied);
        QCOMPARE(linesAtReply, QStringList());
        QVERIFY(TestSupport::containsInOrder(captured().join('\n'), lines));
    }

    // Bytes handed to the port are counted up, and down again as the port reports them.
    void writeAccounting()
    {
        PtyPair pty;
        QVERIFY(pty.open());
        WireTap tap(pty.masterFd());
        WindowDriver driver;
        driver.selectPort(pty.slavePath());
        driver.clickOpen();
        clearCaptured();
        QVERIFY(QMetaObject::invokeMethod(&driver.window, "delaySendStartUpgradeCmd"));
        QTRY_COMPARE(tap.received.size(), 7);
        QTRY_VERIFY(captured().contains(">>>bytes:  0"));
        QVERIFY(captured().contains("Hex string: \"MCU->RW47HN: [AA 55 01 00 06 42 F2]\""));

        // The count survives closing and reopening the link.
        driver.clickOpen();
        driver.clickOpen();
        clearCaptured();
        QVERIFY(QMetaObject::invokeMethod(&driver.window, "delaySendStartUpgradeCmd"));
        QTRY_COMPARE(tap.received.size(), 14);
        QTRY_VERIFY(captured().contains(">>>bytes:  0"));
        QCOMPARE(countStarting("Serial Written Error."), 0);
        for (const QString &line : linesStarting(captured(), ">>>bytes: "))
            QVERIFY(line.mid(10).toInt() >= 0);
    }
};

QTEST_MAIN(tst_DebugLog)
#include "tst_debuglog.moc"
