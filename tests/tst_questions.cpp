// A running transfer asks before a press ends it; outside a transfer no press asks.

#include "protocol.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QtTest>

namespace {

enum class Press { Start, ClosePort, CloseWindow };

// Answers every message box that comes up with `answer`, from a timer that runs inside the
// box's own event loop, and remembers what each asked.
class BoxAnswerer : public QObject
{
public:
    explicit BoxAnswerer(QMessageBox::StandardButton answer) : m_answer(answer)
    {
        connect(&m_timer, &QTimer::timeout, this, &BoxAnswerer::answerOpenBoxes);
        m_timer.start(20);
    }
    QStringList questions;

private:
    void answerOpenBoxes()
    {
        for (QWidget *top : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(top);
            if (!box || !box->isVisible() || !box->button(m_answer))
                continue;
            questions << box->text();
            box->button(m_answer)->click();
        }
    }
    QMessageBox::StandardButton m_answer;
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
    // request, answered. Past the start frame the press has sent all it sends.
    bool serveFirstRequest(bool pressFirst = true)
    {
        if (pressFirst && !pressStart(image))
            return false;
        if (!answerHandshake() ||
            !QTest::qWaitFor([this] { return tap->received.contains(StartFrame); }, 5000))
            return false;
        const QByteArray request = TestSupport::readRequest(0, 0x100);
        tap->write(request);
        const QByteArray reply =
            TestSupport::frame(ReadDataCmd, request.mid(5, 8) + image.left(0x100));
        if (!QTest::qWaitFor([&] { return tap->received.contains(reply); }))
            return false;
        tap->received.clear();
        // The window hears of the transfer with the reply's line, whichever thread serves.
        return QTest::qWaitFor([&] {
            return driver->logLines().contains("MCU->RW47HN: [" + reply.toHex(' ').toUpper() + ']');
        });
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
