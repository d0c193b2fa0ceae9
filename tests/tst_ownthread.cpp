// The sequence serves the module from a thread of its own: answers do not wait for the window.

#include "callqueue.h"
#include "protocol.h"
#include "testsupport.h"

#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

class tst_OwnThread : public PtyWindowTest
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::quietDebug(); }
    void init() { QVERIFY(dir.isValid()); }
    void cleanup() { stopWindow(); }

    // The window's thread is held in this function, which never returns to its event loop
    // until the reply is in: the module is answered all the same.
    void answersWhileTheWindowIsBlocked()
    {
        QVERIFY(startWindow(Tapped));
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

    // A wake-up that cannot be sent (ENOBUFS, ENOMEM, ...) still wakes the queue's thread, the
    // first time and once that has run. Its descriptor is swapped for one that refuses writes,
    // with the pair kept open meanwhile, so that the reading end sees no end of its own.
    void failedWakeUpStillRunsTheCalls()
    {
        CallQueue queue;
        const int end = queue.wakeUpEnd();
        QVERIFY(end >= 0);
        const int pair = ::dup(end);
        const int refusing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        QVERIFY(pair >= 0 && refusing >= 0);
        QCOMPARE(::dup2(refusing, end), end);
        int ran = 0;
        for (int call = 1; call <= 2; ++call) {
            queue.post([&ran] { ++ran; });
            QTRY_COMPARE(ran, call);
        }
        QCOMPARE(::dup2(pair, end), end);
        ::close(pair);
        ::close(refusing);
    }
};

QTEST_MAIN(tst_OwnThread)
#include "tst_ownthread.moc"
