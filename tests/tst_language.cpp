// The window in Chinese, its source language, and in English: the lines it shows and writes,
// Qt's own buttons, and the bytes on the line, which no language changes.

#include "commandline.h"
#include "language.h"
#include "protocol.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QMessageBox>
#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

class tst_Language : public PtyWindowTest
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        TestSupport::quietDebug();
        // Saved choices go to the test's own settings, never the user's.
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(QSettings("rw47hn-upgrader", "rw47hn-upgrader").fileName().contains(".qttest"));
    }
    void cleanup()
    {
        stopWindow();
        QSettings("rw47hn-upgrader", "rw47hn-upgrader").clear();
    }

    void upgradeInLanguage_data()
    {
        QTest::addColumn<QString>("option"); // --lang, when given
        QTest::addColumn<QString>("saved");  // chosen in the menu before, when any
        QTest::addColumn<bool>("english");
        QTest::newRow("Chinese by default") << ""
                                            << "" << false;
        QTest::newRow("--lang en") << "en"
                                   << "" << true;
        QTest::newRow("saved English") << ""
                                       << "en" << true;
        QTest::newRow("--lang zh over saved English") << "zh"
                                                      << "en" << false;
    }
    void upgradeInLanguage()
    {
        QFETCH(QString, option);
        QFETCH(QString, saved);
        QFETCH(bool, english);
        auto say = [english](const char *zh, const char *en) {
            return QString::fromUtf8(english ? en : zh);
        };
        if (!saved.isEmpty())
            Language::save(*Language::fromOption(saved));
        CommandLine line;
        QStringList arguments{"rw47hn-upgrader"};
        if (!option.isEmpty())
            arguments << "--lang" << option;
        QVERIFY(line.parser.parse(arguments));
        QVERIFY(line.check().isEmpty());
        Language::install(line.language());
        QVERIFY(dir.isValid());
        QVERIFY(startWindow(Tapped));

        // A short upgrade; during the transfer a press of 升级 asks, and is answered No.
        const QByteArray image = TestSupport::randomBytes(0x40, 3);
        driver->clickOpen();
        driver->useImage(TestSupport::writeFile(dir.filePath("fw.ufw"), image));
        driver->clickStart();
        QTRY_VERIFY(driver->logLines().contains(say("切波特率到: 9600", "Switching to 9600 baud")));
        tap->write(OkReply);
        QTRY_VERIFY_WITH_TIMEOUT(tap->received.endsWith(StartFrame), 5000);
        const QByteArray baudReply = TestSupport::hex("AA 55 05 00 01 00 C2 01 00 5C DC");
        tap->write(TestSupport::frame(BaudRateCmd, TestSupport::hex("00 C2 01 00")));
        QTRY_VERIFY(
            driver->logLines().contains(say("切波特率到: 115200", "Switching to 115200 baud")));
        const QByteArray request = TestSupport::readRequest(0, 0x40);
        const QByteArray dataReply = TestSupport::frame(ReadDataCmd, request.mid(5, 8) + image);
        tap->write(request);
        QTRY_VERIFY(tap->received.endsWith(dataReply));
        QStringList asked;
        QTimer answerer;
        connect(&answerer, &QTimer::timeout, this, [&asked] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                asked << box->text() << box->button(QMessageBox::Yes)->text()
                      << box->button(QMessageBox::No)->text();
                box->button(QMessageBox::No)->click();
            }
        });
        answerer.start(20);
        driver->clickStart();
        answerer.stop();
        QCOMPARE(asked, (QStringList{say("升级正在进行，重新开始会中断本次升级。是否重新开始？",
                                         "An upgrade is running. Starting again interrupts it. "
                                         "Start again?"),
                                     say("是(&Y)", "&Yes"), say("否(&N)", "&No")}));
        tap->write(TestSupport::frame(UpgradeResultCmd, QByteArray(1, '\0')));
        QTRY_VERIFY(driver->logLines().contains(say("升级成功...", "Upgrade succeeded")));
        QTRY_COMPARE(driver->logLines().last(),
                     say("切波特率到: 115200", "Switching to 115200 baud"));
        driver->clickOpen(); // closes the port and its log file

        // Every byte on the line is what it is in Chinese.
        QCOMPARE(tap->received, AtUpgradeCommand + StartFrame + baudReply + dataReply);
        const QStringList lines{
            say("串口打开成功", "Port opened: ") + pty.slavePath(),
            say("波特率: 115200", "Baud rate: 115200"),
            say("文件打开成功。", "File opened."),
            say("发送升级指令: AT+UPGRADE=1", "Sending the upgrade command: AT+UPGRADE=1"),
            say("延时1s发送开始升级指令", "Sending the start command in 1 s"),
            say("升级成功...", "Upgrade succeeded")};
        QStringList expected = lines;
        if (!english) // the port's name comes first in Chinese
            expected.first() = pty.slavePath() + "串口打开成功";
        // The press of 升级 cleared the area: the port's lines are in the file only.
        QVERIFY(TestSupport::containsInOrder(driver->log(), expected.mid(2)));
        QFile file(driver->window.logFilePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString logged = QString::fromUtf8(file.readAll());
        QVERIFY2(logged.section('\n', 0, 0)
                     .endsWith(QStringLiteral(" rw47hn-upgrader ") + RW47HN_VERSION +
                               ", language " + say("zh_CN", "en")),
                 qPrintable(logged.section('\n', 0, 0)));
        QVERIFY(TestSupport::containsInOrder(logged, expected));

        // The menu switches to the other language at once, and keeps it for the next start.
        auto *other =
            driver->window.findChild<QAction *>(english ? "actionChinese" : "actionEnglish");
        other->trigger();
        auto *open = driver->widget<QAbstractButton>("pushButton");
        QTRY_COMPARE(open->text(), say("Open", "打开串口"));
        // The English text fits the button, which keeps its place in the layout.
        QVERIFY(open->text() == "打开串口" ||
                open->fontMetrics().horizontalAdvance(open->text()) < open->contentsRect().width());
        QCOMPARE(driver->widget<QGroupBox>("groupBox_2")->title(),
                 say("Upgrade log", "升级显示区"));
        QCOMPARE(Language::saved(), english ? Language::Code::Chinese : Language::Code::English);
    }
};

QTEST_MAIN(tst_Language)
#include "tst_language.moc"
