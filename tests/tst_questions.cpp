// A running transfer asks before a press ends it; outside a transfer no press asks.

#include "protocol.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QtTest>

#include <functional>

namespace {

enum class Press { Start, ClosePort, CloseWindow };

// Answers every message box that comes up with `answer`, from a timer that runs inside the
// box's own event loop, and remembers what each asked. `whenAsked` runs once a box is up;
// the answer comes `afterMs` later, unless the box has closed by itself.
class BoxAnswerer : public QObject
{
public:
    explicit BoxAnswerer(QMessageBox::StandardButton answer, std::function<void()> whenAsked = {},
                         int afterMs = 0)
        : m_answer(answer), m_whenAsked(std::move(whenAsked)), m_afterMs(afterMs)
    {
        connect(&m_timer, &QTimer::timeout, this, &BoxAnswerer::answerOpenBoxes);
        m_timer.start(20);
    }
    QStringList questions;
    int answered = 0;

private:
    void answerOpenBoxes()
    {
        for (QWidget *top : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(top);
            if (!box || !box->isVisible() || !box->button(m_answer))
                continue;
            if (box != m_box) {
                m_box = box;
                questions << box->text();
                m_shown.start();
                if (m_whenAsked)
                    m_whenAsked();
            }
            if (m_shown.elapsed() >= m_afterMs) {
                ++answered;
                box->button(m_answer)->click();
            }
        }
    }
    QMessageBox::StandardButton m_answer;
    std::function<void()> m_whenAsked;
    int m_afterMs;
    QPointer<QMessageBox> m_box;
    QElapsedTimer m_shown;
    QTimer m_timer;
};

} // namespace

Q_DECLARE_METATYPE(Press)

class tst_Questions : public PtyWindowTest
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::quietDebug(); }
    void init() { QVERIFY(startWindow(Tapped)); }
    void cleanup() { stopWindow(); }

    void duringTransfer_data()
    {
        QTest::addColumn<Press>("press");
        QTest::addColumn<bool>("yes");
        QTest::addColumn<QString>("question");
        const QString restart = "升级正在进行，重新开始会中断本次升级。是否重新开始？";
        const QString closePort = "升级正在进行，关闭串口会中断本次升级。是否关闭？";
        const QString closeWindow = "升级正在进行，关闭窗口会中断本次升级。是否关闭？";
        QTest::newRow("start, no") << Press::Start << false << restart;
        QTest::newRow("start, yes") << Press::Start << true << restart;
        QTest::newRow("close port, no") << Press::ClosePort << false << closePort;
        QTest::newRow("close port, yes") << Press::ClosePort << true << closePort;
        QTest::newRow("close window, no") << Press::CloseWindow << false << closeWindow;
        QTest::newRow("close window, yes") << Press::CloseWindow << true << closeWindow;
    }
    // No leaves the transfer as it was: nothing is sent, the next request is answered.
    // Yes does what the press does outside a transfer.
    void duringTransfer()
    {
        QFETCH(Press, press);
        QFETCH(bool, yes);
        QFETCH(QString, question);
        QVERIFY(serveFirstRequest());
        BoxAnswerer answerer(yes ? QMessageBox::Yes : QMessageBox::No);
        const bool closed = act(press);
        QCOMPARE(answerer.questions, QStringList{question});
        if (!yes) {
            QCOMPARE(sentBeforeBarrier(), QByteArray());
            QVERIFY(driver->isOpen());
            QVERIFY(!closed);
            return;
        }
        if (press == Press::Start) {
            QTRY_VERIFY(tap->received.startsWith(AtUpgradeCommand));
            QTRY_VERIFY(driver->logLines().contains("发送升级指令: AT+UPGRADE=1"));
            QTRY_VERIFY_WITH_TIMEOUT(tap->received.endsWith(StartFrame), 5000);
            return;
        }
        QVERIFY(!driver->isOpen());
        QCOMPARE(closed, press == Press::CloseWindow);
    }

    void transferEndsWhileAsking_data()
    {
        QTest::addColumn<Press>("press");
        QTest::addColumn<bool>("portLost"); // else the module reports its result
        QTest::newRow("result, start") << Press::Start << false;
        QTest::newRow("result, close port") << Press::ClosePort << false;
        QTest::newRow("port lost, close window") << Press::CloseWindow << true;
    }
    // The question closes by itself and nothing is done: no new start, the window stays.
    void transferEndsWhileAsking()
    {
        QFETCH(Press, press);
        QFETCH(bool, portLost);
        QVERIFY(serveFirstRequest());
        BoxAnswerer answerer(
            QMessageBox::Yes,
            [&] {
                if (!portLost) {
                    tap->write(TestSupport::frame(UpgradeResultCmd, QByteArray(1, '\0')));
                    return;
                }
                delete tap;
                tap = nullptr;
                pty.closeMaster();
            },
            5000);
        QVERIFY(!act(press));
        QCOMPARE(answerer.questions.size(), 1);
        QCOMPARE(answerer.answered, 0);
        if (portLost) {
            QTRY_VERIFY(!driver->isOpen());
            return;
        }
        QTRY_VERIFY(driver->logLines().contains("升级成功..."));
        QVERIFY(driver->isOpen());
        QCOMPARE(sentBeforeBarrier(), QByteArray()); // no AT command, no close
    }

    void outsideTransfer_data()
    {
        QTest::addColumn<bool>("afterResult"); // else during the handshake
        QTest::addColumn<Press>("press");
        QTest::newRow("handshake, start") << false << Press::Start;
        QTest::newRow("handshake, close port") << false << Press::ClosePort;
        QTest::newRow("after the result, start") << true << Press::Start;
        QTest::newRow("after the result, close window") << true << Press::CloseWindow;
    }
    // Before the first data request and after the result a press asks nothing.
    void outsideTransfer()
    {
        QFETCH(bool, afterResult);
        QFETCH(Press, press);
        QVERIFY(pressStart(image));
        if (afterResult) {
            QVERIFY(serveFirstRequest(false));
            tap->write(TestSupport::frame(UpgradeResultCmd, QByteArray(1, '\0')));
            QTRY_VERIFY(driver->logLines().contains("升级成功..."));
        }
        tap->received.clear();
        BoxAnswerer answerer(QMessageBox::No);
        act(press);
        QCOMPARE(answerer.questions, QStringList());
        if (press == Press::Start)
            QTRY_VERIFY(tap->received.startsWith(AtUpgradeCommand));
        else
            QVERIFY(!driver->isOpen());
    }

private:
    // Into the transfer: the handshake, the start frame, then the module's first data
    // request, answered. The reply is read without an event loop: the window has not heard
    // of the transfer when the test presses.
    bool serveFirstRequest(bool pressFirst = true)
    {
        if (pressFirst && !pressStart(image))
            return false;
        if (!answerHandshake() ||
            !QTest::qWaitFor([this] { return tap->received.contains(StartFrame); }, 5000))
            return false;
        const QByteArray request = TestSupport::readRequest(0, 0x100);
        const QByteArray reply =
            TestSupport::frame(ReadDataCmd, request.mid(5, 8) + image.left(0x100));
        tap->received.clear();
        tap->write(request);
        return readWithoutEventLoop(reply.size()) == reply;
    }

    const QByteArray image = TestSupport::randomBytes(0x800, 5);

    // The press; true when the window closed.
    bool act(Press press)
    {
        switch (press) {
        case Press::Start:
            driver->clickStart();
            break;
        case Press::ClosePort:
            driver->clickOpen();
            break;
        case Press::CloseWindow:
            return driver->window.close();
        }
        return false;
    }
};

QTEST_MAIN(tst_Questions)
#include "tst_questions.moc"
