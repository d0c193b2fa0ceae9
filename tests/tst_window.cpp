// The window as built: layout, meta-object, baud list, port list, hex lines and clearing.

#include "testsupport.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMetaMethod>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QToolButton>
#include <QtTest>

using TestSupport::hex;

class tst_Window : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::quietDebug(); }

    void widgets_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("className");
        QTest::addColumn<QString>("parentName");
        QTest::addColumn<QRect>("geometry"); // null when a layout places the widget
        QTest::addColumn<int>("pointSize");  // 0 for the default font
        QTest::addColumn<QString>("text");
        const QRect laidOut;
        QTest::newRow("layoutWidget") << "layoutWidget"
                                      << "QWidget"
                                      << "centralwidget" << QRect(20, 20, 971, 591) << 0 << "";
        QTest::newRow("groupBox") << "groupBox"
                                  << "QGroupBox"
                                  << "layoutWidget" << laidOut << 0 << "串口配置区";
        QTest::newRow("layoutWidget1") << "layoutWidget1"
                                       << "QWidget"
                                       << "groupBox" << QRect(380, 20, 361, 41) << 0 << "";
        QTest::newRow("label_2") << "label_2"
                                 << "QLabel"
                                 << "layoutWidget1" << laidOut << 18 << "波特率";
        QTest::newRow("comboBox_2") << "comboBox_2"
                                    << "QComboBox"
                                    << "layoutWidget1" << laidOut << 18 << "115200";
        QTest::newRow("layoutWidget2") << "layoutWidget2"
                                       << "QWidget"
                                       << "groupBox" << QRect(20, 70, 161, 37) << 0 << "";
        QTest::newRow("radioButton") << "radioButton"
                                     << "QRadioButton"
                                     << "layoutWidget2" << laidOut << 18 << "";
        QTest::newRow("pushButton") << "pushButton"
                                    << "QPushButton"
                                    << "layoutWidget2" << laidOut << 20 << "打开串口";
        QTest::newRow("layoutWidget3") << "layoutWidget3"
                                       << "QWidget"
                                       << "groupBox" << QRect(21, 20, 361, 41) << 0 << "";
        QTest::newRow("label") << "label"
                               << "QLabel"
                               << "layoutWidget3" << laidOut << 18 << "端口号";
        QTest::newRow("comboBox") << "comboBox"
                                  << "QComboBox"
                                  << "layoutWidget3" << laidOut << 18 << "";
        QTest::newRow("groupBox_2") << "groupBox_2"
                                    << "QGroupBox"
                                    << "layoutWidget" << laidOut << 0 << "升级显示区";
        QTest::newRow("textBrowser") << "textBrowser"
                                     << "LogView"
                                     << "groupBox_2" << QRect(0, 70, 791, 391) << 0 << "";
        QTest::newRow("pushButton_2")
            << "pushButton_2"
            << "QPushButton"
            << "groupBox_2" << QRect(820, 70, 111, 31) << 12 << "清除窗口";
        QTest::newRow("pushButton_3") << "pushButton_3"
                                      << "QPushButton"
                                      << "groupBox_2" << QRect(820, 20, 111, 31) << 18 << "升级";
        QTest::newRow("layoutWidget4") << "layoutWidget4"
                                       << "QWidget"
                                       << "groupBox_2" << QRect(1, 20, 791, 32) << 0 << "";
        QTest::newRow("label_3") << "label_3"
                                 << "QLabel"
                                 << "layoutWidget4" << laidOut << 18 << "升级文件";
        QTest::newRow("lineEdit") << "lineEdit"
                                  << "QLineEdit"
                                  << "layoutWidget4" << laidOut << 16 << "";
        QTest::newRow("toolButton") << "toolButton"
                                    << "QToolButton"
                                    << "layoutWidget4" << laidOut << 18 << "...";
    }
    void widgets()
    {
        QFETCH(QString, name);
        QFETCH(QString, className);
        QFETCH(QString, parentName);
        QFETCH(QRect, geometry);
        QFETCH(int, pointSize);
        QFETCH(QString, text);
        WindowDriver driver;
        auto *widget = driver.window.findChild<QWidget *>(name);
        QVERIFY(widget);
        QCOMPARE(QString(widget->metaObject()->className()), className);
        QCOMPARE(widget->parentWidget()->objectName(), parentName);
        if (!geometry.isNull())
            QCOMPARE(widget->geometry(), geometry);
        if (pointSize)
            QCOMPARE(widget->font().pointSize(), pointSize);
        QString shown;
        if (auto *box = qobject_cast<QGroupBox *>(widget))
            shown = box->title();
        else if (auto *button = qobject_cast<QAbstractButton *>(widget))
            shown = button->text();
        else if (auto *label = qobject_cast<QLabel *>(widget))
            shown = label->text();
        else if (auto *combo = qobject_cast<QComboBox *>(widget))
            shown = combo->currentText();
        else if (auto *edit = qobject_cast<QLineEdit *>(widget))
            shown = edit->text();
        if (!qobject_cast<QComboBox *>(widget) || name == "comboBox_2")
            QCOMPARE(shown, text);
    }

    void windowFrame()
    {
        MainWindow window;
        QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
        QCOMPARE(window.windowTitle(), QStringLiteral("RW47HN串口升级demo"));
        QCOMPARE(window.size(), QSize(1004, 649));
        QCOMPARE(window.menuBar()->actions().size(), 1);
        QCOMPARE(window.menuBar()->actions().first()->text(), QStringLiteral("语言"));
        QCOMPARE(window.menuBar()->objectName(), QStringLiteral("menubar"));
        QCOMPARE(window.statusBar()->objectName(), QStringLiteral("statusbar"));
        QCOMPARE(window.centralWidget()->objectName(), QStringLiteral("centralwidget"));
        auto *indicator = window.findChild<QRadioButton *>("radioButton");
        QVERIFY(!indicator->isChecked());
        QVERIFY(indicator->styleSheet().startsWith("QRadioButton { color: red; }QRadioButton"));
    }

    void baudRates()
    {
        WindowDriver driver;
        auto *rates = driver.widget<QComboBox>("comboBox_2");
        QStringList items;
        for (int i = 0; i < rates->count(); ++i)
            items << rates->itemText(i);
        QCOMPARE(items, (QStringList{"9600", "115200", "460800", "921600", "1000000"}));
        QCOMPARE(rates->currentIndex(), 1);
    }

    void metaObject()
    {
        const QMetaObject &meta = MainWindow::staticMetaObject;
        const QStringList expected = {
            "upgradeResultMsg(uint8_t,QByteArray,const uint8_t*,uint64_t)",
            "upgradeEventMsg(QString)",
            "on_pushButton_clicked()",
            "on_toolButton_clicked()",
            "on_pushButton_2_clicked()",
            "on_pushButton_3_clicked()",
            "changeBaudRate(qulonglong)",
            "delaySendStartUpgradeCmd()",
        };
        QStringList methods;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
            methods << QString(meta.method(i).methodSignature());
        QCOMPARE(methods, expected);
        QCOMPARE(meta.method(meta.methodOffset()).methodType(), QMetaMethod::Signal);
        QCOMPARE(meta.method(meta.methodOffset() + 2).access(), QMetaMethod::Private);

        WindowDriver driver; // registers the type names
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        const auto typeId = [](const char *name) { return QMetaType::fromName(name).id(); };
#else
        const auto typeId = [](const char *name) { return QMetaType::type(name); };
#endif
        QCOMPARE(typeId("uint8_t"), int(QMetaType::UChar));
        QCOMPARE(typeId("uint64_t"), int(QMetaType::ULongLong));
    }

    // The slots named after the timers can be reached by name; on a closed link they do nothing.
    void slotsByNameOnClosedLink()
    {
        WindowDriver driver;
        QVERIFY(
            QMetaObject::invokeMethod(&driver.window, "changeBaudRate", Q_ARG(quint64, 115200)));
        QVERIFY(QMetaObject::invokeMethod(&driver.window, "delaySendStartUpgradeCmd"));
        QVERIFY(driver.log().isEmpty());
        QVERIFY(!driver.isOpen());
    }

    void hexLines_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QString>("line");
        QTest::newRow("high bytes") << hex("AA 55 04 00 7F FF 80 0A 2E 61")
                                    << "RW47HN->MCU: [AA 55 04 00 7F FF 80 0A 2E 61]";
        QTest::newRow("no payload")
            << hex("AA 55 01 00 7E DD 0D") << "RW47HN->MCU: [AA 55 01 00 7E DD 0D]";
    }
    // Frames from the module and bytes to it, as shown in the log.
    void hexLines()
    {
        QFETCH(QByteArray, frame);
        QFETCH(QString, line);
        PtyPair pty;
        QVERIFY(pty.open());
        WireTap tap(pty.masterFd());
        WindowDriver driver;
        driver.selectPort(pty.slavePath());
        driver.clickOpen();
        QVERIFY(driver.isOpen());

        tap.write(frame);
        QTRY_VERIFY(driver.logLines().contains(line));
        QVERIFY(QMetaObject::invokeMethod(&driver.window, "delaySendStartUpgradeCmd"));
        QTRY_COMPARE(driver.logLines().filter("->"),
                     (QStringList{line, "MCU->RW47HN: [AA 55 01 00 06 42 F2]"}));
        QTRY_COMPARE(tap.received, hex("AA 55 01 00 06 42 F2"));
    }

    void clearButton()
    {
        PtyPair pty;
        QVERIFY(pty.open());
        WindowDriver driver;
        driver.selectPort(pty.slavePath());
        driver.clickOpen();
        QVERIFY(!driver.log().isEmpty());
        driver.clickClear();
        QVERIFY(driver.log().isEmpty());
        QVERIFY(QMetaObject::invokeMethod(&driver.window, "delaySendStartUpgradeCmd"));
        QTRY_COMPARE(driver.logLines(), QStringList{"MCU->RW47HN: [AA 55 01 00 06 42 F2]"});
    }

    // Opening the drop-down lists the ports of now, with what the system knows of each;
    // what is typed or chosen stays.
    void portListFollowsTheSystem()
    {
        WindowDriver driver;
        auto *box = driver.widget<QComboBox>("comboBox");
        QVector<PortDescription> ports = {
            {"ttyUSB0", "FT232R USB UART", "FTDI", "A10KZ3", "/dev/ttyUSB0", true, 0x0403, 0x6001},
            {"ttyS0", {}, {}, {}, "/dev/ttyS0", false, 0, 0}};
        driver.window.setPortProvider([&] { return ports; });
        const auto items = [box] {
            QStringList names;
            for (int i = 0; i < box->count(); ++i)
                names << box->itemText(i);
            return names;
        };
        box->setEditText("/dev/serial/by-id/typed");
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(box->width() - 4, box->height() / 2));
        box->hidePopup();
        QCOMPARE(items(), (QStringList{"ttyUSB0", "ttyS0"}));
        QCOMPARE(box->currentText(), QStringLiteral("/dev/serial/by-id/typed"));
        QCOMPARE(box->itemData(0, Qt::ToolTipRole).toString(),
                 QStringLiteral("FT232R USB UART\nFTDI\nS/N A10KZ3\nUSB 0403:6001"));
        QCOMPARE(box->itemData(1, Qt::ToolTipRole).toString(), QString());

        box->setCurrentIndex(0); // chosen; then ttyS0 goes away and ttyACM0 comes
        ports = {{"ttyACM0", "Modem", {}, {}, "/dev/ttyACM0", false, 0, 0}, ports.first()};
        QTest::keyClick(box->lineEdit(), Qt::Key_F4);
        box->hidePopup();
        QCOMPARE(items(), (QStringList{"ttyACM0", "ttyUSB0"}));
        QCOMPARE(box->currentText(), QStringLiteral("ttyUSB0"));
    }

    // Nothing typed or chosen yet: the box shows the first port the system lists.
    void startShowsTheFirstPort()
    {
        WindowDriver driver;
        QCOMPARE(driver.widget<QComboBox>("comboBox")->currentText(), systemPorts().value(0).name);
    }

    void listingShowsTheFirstPortOfAnEmptyBox_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("shown");
        QTest::newRow("nothing typed") << ""
                                       << "ttyFAKE0";
        QTest::newRow("typed path") << "/dev/serial/by-id/typed"
                                    << "/dev/serial/by-id/typed";
        QTest::newRow("typed listed port") << "ttyFAKE2"
                                           << "ttyFAKE2";
    }
    void listingShowsTheFirstPortOfAnEmptyBox()
    {
        QFETCH(QString, typed);
        QFETCH(QString, shown);
        WindowDriver driver;
        auto *box = driver.widget<QComboBox>("comboBox");
        driver.window.setPortProvider([] {
            QVector<PortDescription> ports;
            for (const char *name : {"ttyFAKE0", "ttyFAKE1", "ttyFAKE2"})
                ports.append({name, {}, {}, {}, QStringLiteral("/dev/") + name, false, 0, 0});
            return ports;
        });
        box->setEditText(typed);
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(box->width() - 4, box->height() / 2));
        box->hidePopup();
        QCOMPARE(box->count(), 3);
        QCOMPARE(box->currentText(), shown);
    }
};

QTEST_MAIN(tst_Window)
#include "tst_window.moc"
