// The sequence in a thread of its own: whole upgrades as before, and answers that do not
// wait for the window.

#include "modulesimulator.h"
#include "protocol.h"
#include "testsupport.h"

#include <QDeadlineTimer>
#include <QtTest>

#include <cerrno>
#include <poll.h>
#include <unistd.h>

class tst_OwnThread : public PtyWindowTest
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::quietDebug(); }
    void init() { QVERIFY(dir.isValid()); }
    void cleanup() { stopWindow(); }

    void fullUpgrade()
    {
        QVERIFY(startWindow(Untapped));
        driver->window.serveInOwnThread();
        driver->clickOpen();
        QVERIFY(driver->isOpen());
        const QByteArray image = TestSupport::randomBytes(20000, 31);
        ModuleSimulator module(pty, image);
        QSignalSpy finished(&module, &ModuleSimulator::finished);
        driver->chooseFile(TestSupport::writeFile(dir.filePath("fw.ufw"), image));
        driver->clickStart();
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30000);
        QCOMPARE(finished.first().first().toBool(), true);
        QCOMPARE(module.stats().bytesVerified, qint64(image.size()));
        QCOMPARE(module.stats().mismatches, 0);
        QTRY_COMPARE(driver->logLines().value(driver->logLines().size() - 1),
                     QStringLiteral("切波特率到: 115200"));
        QVERIFY(TestSupport::containsInOrder(
            driver->log(), {"文件打开成功。", "发送升级指令: AT+UPGRADE=1", "切波特率到: 9600",
                            "RW47HN->MCU: [AA 55 05 00 01 00 C2 01 00 5C DC]",
                            "MCU->RW47HN: [AA 55 05 00 01 00 C2 01 00 5C DC]", "切波特率到: 115200",
                            "升级成功...", "切波特率到: 115200"}));
    }

    // The window's thread is held in this function, which never returns to its event loop
    // until the reply is in: the module is answered all the same.
    void answersWhileTheWindowIsBlocked()
    {
        QVERIFY(startWindow(Tapped));
        driver->window.serveInOwnThread();
        const QByteArray image = TestSupport::randomBytes(0x800, 32);
        QVERIFY(pressStart(image));
        QVERIFY(answerHandshake());
        QTRY_VERIFY_WITH_TIMEOUT(tap->received.contains(StartFrame), 5000);

        const QByteArray request = TestSupport::readRequest(0x100, 0x400);
        const QByteArray reply =
            TestSupport::frame(ReadDataCmd, request.mid(5, 8) + image.mid(0x100, 0x400));
        tap->write(request);
        QCOMPARE(readWithoutEventLoop(reply.size()), reply);
    }

private:
    // Reads `size` bytes from the master side, waiting at most 5 s, without an event loop.
    QByteArray readWithoutEventLoop(int size)
    {
        QByteArray bytes;
        const QDeadlineTimer deadline(5000);
        while (bytes.size() < size && !deadline.hasExpired()) {
            pollfd line{pty.masterFd(), POLLIN, 0};
            if (poll(&line, 1, int(deadline.remainingTime())) <= 0)
                continue;
            char buffer[4096];
            const ssize_t count = ::read(pty.masterFd(), buffer, sizeof buffer);
            if (count > 0)
                bytes.append(buffer, int(count));
        }
        return bytes;
    }
};

QTEST_MAIN(tst_OwnThread)
#include "tst_ownthread.moc"
