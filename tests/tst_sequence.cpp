// The upgrade sequence on its own, over a pseudo-terminal whose far end the test plays: its
// phases and typed events in order, and the bytes it puts on the wire.

#include "protocol.h"
#include "testsupport.h"
#include "upgradesequence.h"

#include <QMetaEnum>
#include <QtTest>

#include <sys/stat.h>

using TestSupport::frame;
using TestSupport::hex;
using TestSupport::readRequest;

namespace {

const QByteArray BaudReply = hex("AA 55 05 00 01 00 C2 01 00 5C DC");

QByteArray withBadCrc(QByteArray bytes)
{
    bytes[bytes.size() - 1] = char(bytes.at(bytes.size() - 1) ^ 0x01);
    return bytes;
}

// Every typed event of a sequence, in the order it came, as text.
class EventLog : public QObject
{
public:
    explicit EventLog(UpgradeSequence &s)
    {
        using S = UpgradeSequence;
        connect(&s, &S::upgradeStarted, this, [this](qint64 size) { add("started", size); });
        connect(&s, &S::imageRefused, this, [this](FirmwareImage::Problem problem, QString line) {
            events << QStringLiteral("refused %1: %2").arg(int(problem)).arg(line);
        });
        connect(&s, &S::phaseChanged, this, [this](S::Phase phase) {
            events << QStringLiteral("phase ") +
                          QMetaEnum::fromType<S::Phase>().valueToKey(int(phase));
        });
        connect(&s, &S::startFrameSent, this, [this] { events << "start frame"; });
        connect(&s, &S::textReceived, this,
                [this](const QByteArray &text) { events << "text " + text.trimmed(); });
        connect(&s, &S::frameReceived, this, [this] { events << "frame"; });
        connect(&s, &S::frameDropped, this, [this] { events << "dropped"; });
        connect(&s, &S::sliceServed, this, [this](qint64 end) { add("slice", end); });
        connect(&s, &S::resultReported, this, [this](uint8_t result, const UpgradeFigures &f) {
            events << QStringLiteral("result %1: %2/%3 bytes, %4 requests, %5 dropped")
                          .arg(result)
                          .arg(f.servedBytes)
                          .arg(f.imageSize)
                          .arg(f.requests)
                          .arg(f.crcErrors);
        });
        connect(&s, &S::returnedToChosenRate, this, [this] { events << "returned"; });
        connect(&s, &S::noAnswer, this, [this] { events << "no answer"; });
        connect(&s, &S::linkLost, this, [this](const QString &reason) {
            events << "lost";
            reasons << reason;
        });
        connect(&s, &S::linkClosed, this, [this] { events << "closed"; });
    }
    QStringList events;
    QStringList reasons;

private:
    void add(const char *what, qint64 value)
    {
        events << QStringLiteral("%1 %2").arg(what).arg(value);
    }
};

} // namespace

class tst_Sequence : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        TestSupport::quietDebug();
        QVERIFY(dir.isValid());
    }
    void init()
    {
        QVERIFY(pty.open());
        tap = new WireTap(pty.masterFd());
        sequence = new UpgradeSequence;
        log = new EventLog(*sequence);
        QVERIFY(sequence->OpenComPorts(pty.slavePath(), "115200"));
    }
    void cleanup()
    {
        delete log;
        delete sequence;
        delete tap;
        pty.closeMaster();
        pty.closeSlave();
    }

    // A short upgrade, with a corrupted frame, a short request and a repeated one on the way.
    void wholeUpgrade()
    {
        const QByteArray image = TestSupport::randomBytes(3000, 61);
        sequence->setFirmwarePath(TestSupport::writeFile(dir.filePath("fw.ufw"), image));
        QVERIFY(sequence->startUpgrade());
        QByteArray wire = AtUpgradeCommand;
        QTRY_COMPARE(tap->received, wire);
        QTRY_COMPARE(lineSpeed(), speed_t(B9600));
        QTRY_VERIFY(log->events.contains("start frame"));
        wire += StartFrame;
        QTRY_COMPARE(tap->received, wire);

        tap->write(OkReply);
        QTRY_VERIFY(log->events.contains("text OK"));
        const QByteArray baudRequest = frame(BaudRateCmd, hex("00 C2 01 00"));
        tap->write(withBadCrc(baudRequest)); // dropped: its answer would come first
        tap->write(baudRequest);
        wire += BaudReply;
        QTRY_COMPARE(tap->received, wire);
        QTRY_COMPARE(lineSpeed(), speed_t(B115200));
        tap->write(frame(ReadDataCmd, hex("00 00 00"))); // too short: unanswered
        const std::pair<quint32, quint32> requests[] = {{0, 1024}, {0, 1024}, {1024, 4096}};
        for (const auto &[address, count] : requests) {
            tap->write(readRequest(address, count));
            wire += frame(ReadDataCmd, readRequest(address, count).mid(5, 8) +
                                           image.mid(int(address), int(count)));
            QTRY_COMPARE(tap->received.size(), wire.size());
        }
        QVERIFY(tap->received == wire);

        tap->write(hex("AA 55 02 00 03 00 74 E9"));
        QTRY_VERIFY(log->events.contains("returned"));
        QCOMPARE(lineSpeed(), speed_t(B115200));
        QCOMPARE(sequence->phase(), UpgradeSequence::Phase::Idle);
        // Barrier: the reply to a later request shows that the result got none.
        tap->write(readRequest(0xFFFFFFF0u, 1));
        wire += frame(ReadDataCmd, readRequest(0xFFFFFFF0u, 1).mid(5, 8));
        QTRY_COMPARE(tap->received.size(), wire.size());
        QVERIFY(tap->received == wire);

        QCOMPARE(log->events, (QStringList{"started 3000",
                                           "phase AtSent",
                                           "phase StartFrameSent",
                                           "start frame",
                                           "text OK",
                                           "dropped",
                                           "frame",
                                           "frame",
                                           "frame",
                                           "phase Serving",
                                           "slice 1024",
                                           "frame",
                                           "frame",
                                           "slice 3000",
                                           "frame",
                                           "phase ReturningToChosenRate",
                                           "result 0: 3000/3000 bytes, 3 requests, 1 dropped",
                                           "phase Idle",
                                           "returned",
                                           "frame"}));
    }

    // The far end goes away while the AT command is out.
    void linkLost()
    {
        sequence->setImage("abc");
        QVERIFY(sequence->startUpgrade());
        QTRY_COMPARE(tap->received, AtUpgradeCommand);
        delete tap; // before the master it watches is closed
        tap = nullptr;
        pty.closeMaster();
        QTRY_VERIFY(log->events.contains("lost"));
        QCOMPARE(log->events, (QStringList{"started 3", "phase AtSent", "phase Idle", "lost"}));
        QVERIFY(!log->reasons.first().isEmpty());
        QVERIFY(!sequence->isOpen());
    }

    // The module waits for the reply, not for its line: when the line is made, the bytes are
    // on the wire already, and the line keeps its place after the request's.
    void replyBeforeItsLine_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("reply");
        const QByteArray image = TestSupport::randomBytes(4096, 5);
        QTest::newRow("baud rate") << frame(BaudRateCmd, hex("00 C2 01 00")) << BaudReply;
        QTest::newRow("slice") << readRequest(1024, 1024)
                               << frame(ReadDataCmd,
                                        readRequest(1024, 1024).mid(5, 8) + image.mid(1024, 1024));
    }
    void replyBeforeItsLine()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, reply);
        sequence->setImage(TestSupport::randomBytes(4096, 5));
        QVector<LogEntry> lines;
        QByteArray onWireAtItsLine;
        QObject listener; // ends the connection with the test
        connect(sequence, &UpgradeSequence::logged, &listener, [&](const LogEntry &entry) {
            if (entry.isTraffic()) // the module's bytes come as text first: no OK yet
                lines << entry;
            if (entry.kind == LogEntry::Kind::Sent)
                onWireAtItsLine = TestSupport::readWithoutEventLoop(pty.masterFd(), reply.size());
        });
        tap->write(request);
        QTRY_VERIFY(lines.size() >= 2); // a rate switch may follow
        QCOMPARE(onWireAtItsLine, reply);
        QCOMPARE(lines.at(0).bytes, request);
        QCOMPARE(lines.at(1).bytes, reply);
        QCOMPARE(lines.at(1).serial, lines.at(0).serial + 1);
    }

    // An image that cannot be loaded: refused with its reason, nothing sent, no phase left.
    void imageRefused_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("event");
        QTest::newRow("missing file")
            << "missing"
            << QStringLiteral("refused %1: >>>>>>>>>>>>>>>>>>>>>>>>>>>>无法打开文件!")
                   .arg(FirmwareImage::CannotOpen);
        QTest::newRow("directory") << "directory"
                                   << QStringLiteral("refused %1: 文件无效: 不是普通文件")
                                          .arg(FirmwareImage::NotRegularFile);
        // Opening a FIFO would wait for a writer: refused unopened.
        QTest::newRow("fifo") << "fifo"
                              << QStringLiteral("refused %1: 文件无效: 不是普通文件")
                                     .arg(FirmwareImage::NotRegularFile);
    }
    void imageRefused()
    {
        QFETCH(QString, kind);
        QFETCH(QString, event);
        const QString path = dir.filePath(QTest::currentDataTag());
        if (kind == "directory")
            QVERIFY(QDir().mkdir(path));
        else if (kind == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        sequence->setFirmwarePath(path);
        QSignalSpy lines(sequence, &UpgradeSequence::logged);
        QVERIFY(!sequence->startUpgrade());
        QCOMPARE(log->events, QStringList{event});
        QCOMPARE(lines.count(), 1);
        QVERIFY(event.endsWith(lines.first().first().value<LogEntry>().text));
        QCOMPARE(sequence->phase(), UpgradeSequence::Phase::Idle);
        // Nothing went out before: the start frame sent now is the first thing on the wire.
        sequence->delaySendStartUpgradeCmd();
        QTRY_COMPARE(tap->received, StartFrame);
    }

private:
    speed_t lineSpeed() const { return TestSupport::lineSpeed(pty.masterFd()); }

    QTemporaryDir dir;
    PtyPair pty;
    WireTap *tap = nullptr;
    UpgradeSequence *sequence = nullptr;
    EventLog *log = nullptr;
};

QTEST_GUILESS_MAIN(tst_Sequence)
#include "tst_sequence.moc"
