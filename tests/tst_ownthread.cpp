// The sequence serves the module from a thread of its own: answers do not wait for the window.

#include "callqueue.h"
#include "protocol.h"
#include "testsupport.h"
#include "workerthread.h"

#include <QtTest>

#include <future>

#include <fcntl.h>
#include <unistd.h>

// A worker that says what it is told to.
class Speaker : public QObject
{
    Q_OBJECT
signals:
    void said(const QString &word, int count);
};

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

    // What a worker says arrives in the order said, from before and after a relay made while
    // the thread runs; a receiver that has gone hears nothing and is not touched.
    void relaysInOrderToLiveReceivers()
    {
        WorkerThread<Speaker> thread(QStringLiteral("speaker"));
        QStringList heard;
        QObject early;
        thread.relay(&Speaker::said, &early, [&](const QString &word, int count) {
            heard << QStringLiteral("early %1 %2").arg(word).arg(count);
        });
        thread.start();
        auto *late = new QObject;
        thread.relay(&Speaker::said, late,
                     [&](const QString &word, int) { heard << QStringLiteral("late ") + word; });
        thread.post([](Speaker &speaker) {
            emit speaker.said(QStringLiteral("a"), 1);
            emit speaker.said(QStringLiteral("b"), 2);
        });
        delete late; // before anything is delivered: this thread has not run its loop since
        bool back = false;
        thread.afterCalls([&] { back = true; });
        QTRY_VERIFY(back);
        QCOMPARE(heard, QStringList({"early a 1", "early b 2"}));
    }

    // A worker stuck in a call does not hold up its owner's end: the wait gives up, nothing
    // more is posted, and the thread is left to end by itself once the call returns.
    void stuckWorkerIsLeftBehind()
    {
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        {
            WorkerThread<QObject> thread(QStringLiteral("stuck"));
            thread.start();
            thread.post([released](QObject &) { released.wait(); });
            QVERIFY(!thread.finish({}, 0));
            thread.post([](QObject &) { QFAIL("posted after the end"); });
        }
        release.set_value();
    }
};

QTEST_MAIN(tst_OwnThread)
#include "tst_ownthread.moc"
