#pragma once

// Helpers shared by the tests: the master side of a pty as a wire tap, and a driver that
// works the window through its widgets.

#include "mainwindow.h"
#include "ptypair.h"
#include "testbytes.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QVariantList>
#include <QVector>

#include <memory>
#include <type_traits>

#include <termios.h>

class QSocketNotifier;

namespace TestSupport {

// CPU time this process has used, in seconds.
double cpuSeconds();
// The rate set on a pty, read from either side, as a termios speed code.
speed_t lineSpeed(int fd);
// Reads `size` bytes from `fd` without running the event loop. At most 5 s.
QByteArray readWithoutEventLoop(int fd, int size);

// Runs `slot` of `receiver` in this thread each time the window's sequence emits `signal`, as
// the window hears it; in place when this returns: a call posted after the connection has
// come back.
template <typename Signal, typename Receiver, typename Slot>
bool hearSequence(MainWindow &window, Signal signal, Receiver *receiver, Slot slot)
{
    WorkerThread<UpgradeSequence> &thread = window.exchangeThread();
    thread.relay(signal, receiver, slot);
    auto inPlace = std::make_shared<bool>(false);
    thread.afterCalls([inPlace] { *inPlace = true; });
    return QTest::qWaitFor([&] { return *inPlace; });
}

} // namespace TestSupport

// What the window's sequence says on one of its signals, heard in the window's thread: the
// arguments of each time, as QSignalSpy keeps them.
class SequenceSpy : public QObject, public QList<QVariantList>
{
public:
    template <typename... Args>
    SequenceSpy(MainWindow &window, void (UpgradeSequence::*signal)(Args...))
    {
        heard = TestSupport::hearSequence(window, signal, this,
                                          [this](const std::decay_t<Args> &...args) {
                                              append(QVariantList{QVariant::fromValue(args)...});
                                          });
    }
    bool heard = false; // in place
};

// Reads everything that arrives on the master side and remembers when it came.
class WireTap : public QObject
{
    Q_OBJECT
public:
    explicit WireTap(int masterFd, QObject *parent = nullptr);
    void write(const QByteArray &bytes);
    QByteArray received;
    QVector<qint64> arrivalMs; // one entry per byte in `received`
    QElapsedTimer clock;

private:
    void readAvailable();
    int m_fd;
    QSocketNotifier *m_notifier;
};

// One window, driven as a user would: through its widgets, found by object name.
class WindowDriver
{
public:
    WindowDriver();
    template <typename T> T *widget(const char *name) const
    {
        return window.findChild<T *>(QLatin1String(name));
    }
    void selectPort(const QString &path);
    void selectBaudRate(const QString &rate);
    // Presses the open button, and returns once the window knows whether the port opened.
    void clickOpen();
    void clickStart();
    void clickClear();
    // Works the real file dialog: chooses `path`, or cancels when it is empty. True when the
    // window shows the outcome; a dialog that will not close ends the test process.
    bool chooseFile(const QString &path);
    // Puts the image in place as --image does, without the dialog. True.
    bool useImage(const QString &path);
    bool isOpen() const;
    QString log() const;
    QStringList logLines() const;

    QTemporaryDir logFolder; // the window's log files, gone with the test
    MainWindow window;
};

// Base of the tests that drive one window on a fresh pty pair: the test holds the master
// side (through a wire tap when it reads what the window sends), the port box shows the slave.
class PtyWindowTest : public QObject
{
protected:
    enum MasterSide { Untapped, Tapped };
    // Opens the pair and makes the window; check the result with QVERIFY.
    bool startWindow(MasterSide master);
    // Starts the window and opens its port.
    bool startOpenWindow(MasterSide master);
    // Ends what startWindow began, window first; harmless when nothing was started.
    void stopWindow();
    // Opens the port at `rate`, puts in place a file that holds `image`, presses start and waits
    // for the switch to 9600. Check the result with QVERIFY.
    bool pressStart(const QByteArray &image, const QString &rate = QStringLiteral("115200"));
    // Answers the AT command with OK: the frame phase. Forgets what the window sent so far.
    bool answerHandshake();
    // Proves an absence: asks for one byte past any image's end and waits for the reply.
    // The window answers frames in order, so what it sent before that reply is all it sent
    // for the frames before; that is returned, without the start frame.
    QByteArray sentBeforeBarrier();
    // Reads `size` bytes from the master side without running the event loop: the window
    // hears nothing meanwhile. At most 5 s.
    QByteArray readWithoutEventLoop(int size);

    PtyPair pty;
    WireTap *tap = nullptr;
    WindowDriver *driver = nullptr;
    QTemporaryDir dir;
};
