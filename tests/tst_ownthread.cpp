// The sequence serves the module from a thread of its own: answers do not wait for the window.

#include "protocol.h"
#include "testsupport.h"

#include <QtTest>

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
};

QTEST_MAIN(tst_OwnThread)
#include "tst_ownthread.moc"
