// The log area keeps the newest lines; the log file keeps every line of a port session.

#include "logview.h"
#include "protocol.h"
#include "sessionlog.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QRegularExpression>
#include <QStatusBar>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

class tst_WindowLog : public PtyWindowTest
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::quietDebug(); }
    void init()
    {
        QVERIFY(dir.isValid());
        // A folder of its own for each test: pty names and seconds repeat.
        logs = dir.filePath(QString::number(++runs));
        QVERIFY(QDir().mkpath(logs));
        QVERIFY(startWindow(Tapped));
        driver->window.setLogFolder(logs);
    }
    void cleanup()
    {
        stopWindow();
        if (savedLimit.rlim_max != 0)
            setrlimit(RLIMIT_FSIZE, &savedLimit);
        signal(SIGXFSZ, SIG_DFL); // nothing started later inherits the ignore
    }

    // A short upgrade, the area cleared, the port closed: the file has every line, in order,
    // after the local time; the status bar says where it is, the area does not.
    void fileHoldsTheSession()
    {
        const QByteArray image = TestSupport::randomBytes(0x40, 7);
        QVERIFY(pressStart(image));
        QVERIFY(answerHandshake());
        QTRY_VERIFY_WITH_TIMEOUT(tap->received.contains(StartFrame), 5000);
        const QByteArray request = TestSupport::readRequest(0, 0x40);
        tap->write(request);
        tap->write(TestSupport::frame(UpgradeResultCmd, QByteArray(1, '\0')));
        QTRY_VERIFY(driver->logLines().contains("切波特率到: 115200"));
        driver->clickClear();
        driver->clickOpen(); // closes the port and the file

        const QString path = driver->window.logFilePath();
        const QString port = QFileInfo(pty.slavePath()).fileName();
        QCOMPARE(QFileInfo(path).absolutePath(), QFileInfo(logs).absoluteFilePath());
        QVERIFY(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d_\\d\\d-\\d\\d-\\d\\d_" + port + "\\.log$")
                    .match(QFileInfo(path).fileName())
                    .hasMatch());
        // The file closes with the session's last entry.
        QTRY_VERIFY(readLines(path).join('\n').contains("切波特率到: 115200"));
        QStringList lines = readLines(path);
        const QRegularExpression stamp("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d ");
        for (QString &line : lines) {
            QVERIFY2(stamp.match(line).hasMatch(), qPrintable(line));
            line.remove(0, 13);
        }
        const QByteArray reply = TestSupport::frame(ReadDataCmd, request.mid(5, 8) + image);
        QVERIFY(TestSupport::containsInOrder(lines.join('\n'),
                                             {pty.slavePath() + "串口打开成功", "波特率: 115200",
                                              "文件打开成功。", "发送升级指令: AT+UPGRADE=1\\r\\n",
                                              "切波特率到: 9600", "\\r\\nOK\\r\\n",
                                              "RW47HN->MCU: [" + request.toHex(' ').toUpper() + ']',
                                              "MCU->RW47HN: [" + reply.toHex(' ').toUpper() + ']',
                                              "升级成功...", "切波特率到: 115200"}));
        QVERIFY(driver->log().isEmpty());
        const auto labels = driver->window.statusBar()->findChildren<QLabel *>();
        QVERIFY(std::any_of(labels.begin(), labels.end(),
                            [&](QLabel *label) { return label->text().contains(path); }));
    }

    void pressWithLinesInFlight_data()
    {
        QTest::addColumn<bool>("closePort"); // else the area is cleared
        QTest::newRow("close port") << true;
        QTest::newRow("clear") << false;
    }
    // Lines the sequence has made and the window has not taken yet: at 关闭串口 they still
    // reach the session's file; at 清除窗口 none of them reaches the area.
    void pressWithLinesInFlight()
    {
        QFETCH(bool, closePort);
        QVERIFY(pressStart(TestSupport::randomBytes(0x40, 9)));
        QVERIFY(answerHandshake());
        QStringList inFlight;
        for (int i = 0; i < 20; ++i) { // frames the window logs and does not answer
            const QByteArray frame = TestSupport::frame(0x70, QByteArray(1, char(i)));
            tap->write(frame);
            inFlight << hexLine(LogEntry::Kind::Received, frame);
        }
        // The reply to a later request, read without the event loop: every line before it
        // is made, none has reached the window.
        const QByteArray request = TestSupport::frame(BaudRateCmd, TestSupport::hex("00 C2 01 00"));
        const QByteArray reply = TestSupport::hex("AA 55 05 00 01 00 C2 01 00 5C DC");
        tap->write(request);
        QCOMPARE(readWithoutEventLoop(reply.size()), reply);
        inFlight << hexLine(LogEntry::Kind::Sent, reply);
        if (closePort) {
            driver->clickOpen();
            QTRY_VERIFY(driver->logLines().contains(inFlight.last()));
            QVERIFY(TestSupport::containsInOrder(driver->log(), inFlight));
            const QString path = driver->window.logFilePath();
            QTRY_VERIFY(TestSupport::containsInOrder(withoutTimes(readLines(path)).join('\n'),
                                                     driver->logLines()));
            return;
        }
        driver->clickClear();
        const QString barrier =
            hexLine(LogEntry::Kind::Received, TestSupport::frame(0x71, QByteArray()));
        tap->write(TestSupport::frame(0x71, QByteArray()));
        QTRY_VERIFY(driver->logLines().contains(barrier));
        for (const QString &line : inFlight)
            QVERIFY2(!driver->logLines().contains(line), qPrintable(line));
    }

    // The area keeps the newest lines; the file keeps all of them.
    void boundedArea()
    {
        driver->window.setLogLineLimit(3);
        driver->clickOpen();
        for (const char *text : {"a", "b", "c", "d"}) {
            tap->write(text);
            QTRY_VERIFY(driver->log().endsWith(QStringLiteral("接收到数据：") + text));
        }
        QCOMPARE(driver->logLines(),
                 (QStringList{"接收到数据：b", "接收到数据：c", "接收到数据：d"}));
        auto *view = driver->widget<LogView>("textBrowser");
        QTRY_COMPARE(view->model()->index(0, 0).data().toString(), QStringLiteral("接收到数据：b"));
        QCOMPARE(view->model()->rowCount(), 3);
        driver->clickOpen();
        QTRY_COMPARE(readLines(driver->window.logFilePath()).size(), 7); // after the tool's line
    }

    void writeFailure_data()
    {
        QTest::addColumn<bool>("fileLimit"); // else the folder is gone
        QTest::newRow("file size limit") << true;
        QTest::newRow("no folder") << false;
    }
    // One line says so; the session goes on.
    void writeFailure()
    {
        QFETCH(bool, fileLimit);
        if (!fileLimit)
            QVERIFY(QDir(logs).removeRecursively());
        driver->clickOpen();
        QVERIFY(driver->isOpen());
        if (fileLimit) {
            // From now on files of this process may not grow past 64 bytes: the opening lines
            // wait in the file's buffer, and writing them out fails with EFBIG, as on a full
            // disk, whoever runs the test. The window runs here without the program's main(),
            // so this does what main() does first: it ignores the signal, which would end the
            // process. A started program's own handling is shown by tst_headless.
            signal(SIGXFSZ, SIG_IGN);
            rlimit limit{};
            getrlimit(RLIMIT_FSIZE, &limit);
            savedLimit = limit;
            limit.rlim_cur = 64;
            QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
        }
        const auto failures = [this] {
            return driver->logLines().filter(QRegularExpression("^日志文件写入失败: .+")).size();
        };
        QTRY_COMPARE_WITH_TIMEOUT(failures(), 1, 5000);
        for (const char *text : {"a", "b"}) {
            tap->write(text);
            QTRY_VERIFY(driver->log().endsWith(QStringLiteral("接收到数据：") + text));
        }
        QCOMPARE(failures(), 1);
    }

private:
    int runs = 0;
    rlimit savedLimit{};
    QString logs;

    static QStringList withoutTimes(QStringList lines)
    {
        for (QString &line : lines)
            line.remove(0, 13);
        return lines;
    }

    static QStringList readLines(const QString &path)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }
};

QTEST_MAIN(tst_WindowLog)
#include "tst_windowlog.moc"
