// Qt's warning about a timer started from a thread other than its own ends the test process,
// within a test run and outside one. Each case runs this program again as a child that does
// just that, and looks at how it ended.

#include "testbytes.h"

#include <QProcess>
#include <QTimer>
#include <QtTest>

#include <thread>

namespace {

void startTimerFromAnotherThread()
{
    QTimer timer;
    std::thread([&timer] { timer.start(10); }).join();
}

} // namespace

// The child's test run, set up as every test sets itself up.
class Misuse : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::quietDebug(); }
    void timerFromAnotherThread() { startTimerFromAnotherThread(); }
};

class tst_ThreadCheck : public QObject
{
    Q_OBJECT

private slots:
    void misuseEndsTheProcess_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::newRow("in a test run") << "--misuse-in-test-run";
        QTest::newRow("outside a test run") << "--misuse";
    }
    void misuseEndsTheProcess()
    {
        QFETCH(QString, mode);
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {mode});
        QVERIFY(child.waitForFinished(30000));
        const QByteArray errors = child.readAllStandardError();
#ifdef Q_OS_WIN
        // MinGW's std::abort() ends the process with status 3, a normal exit to QProcess.
        const bool aborted = child.exitStatus() == QProcess::CrashExit || child.exitCode() == 3;
#else
        const bool aborted = child.exitStatus() == QProcess::CrashExit;
#endif
        QVERIFY2(aborted, errors.constData());
        QVERIFY2(errors.contains("Used from the wrong thread, the test process ends: "
                                 "QObject::startTimer: Timers cannot be started from another "
                                 "thread"),
                 errors.constData());
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QByteArray mode = argc > 1 ? argv[1] : "";
    if (mode == "--misuse") {
        startTimerFromAnotherThread();
        return 0;
    }
    if (mode == "--misuse-in-test-run") {
        Misuse misuse;
        return QTest::qExec(&misuse, 1, argv);
    }
    tst_ThreadCheck test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_threadcheck.moc"
