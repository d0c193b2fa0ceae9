// The elided label: a long text in the status bar leaves the window as wide as it was.

#include "elidedlabel.h"
#include "testbytes.h"

#include <QMainWindow>
#include <QStatusBar>
#include <QtTest>

class tst_ElidedLabel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::quietDebug(); }

    // The log file's path is set before the window shows, the progress text while it shows.
    void longTextKeepsTheWindowWidth_data()
    {
        QTest::addColumn<Qt::TextElideMode>("mode");
        QTest::addColumn<bool>("permanent");
        QTest::addColumn<bool>("beforeShow");
        QTest::addColumn<bool>("keepsEnd");
        QTest::newRow("path") << Qt::ElideMiddle << true << true << true;
        QTest::newRow("progress") << Qt::ElideRight << false << false << false;
    }
    void longTextKeepsTheWindowWidth()
    {
        QFETCH(Qt::TextElideMode, mode);
        QFETCH(bool, permanent);
        QFETCH(bool, beforeShow);
        QFETCH(bool, keepsEnd);
        QMainWindow window;
        window.setCentralWidget(new QWidget);
        // A bar made apart from the window, as the form makes it: its minimum width counts.
        window.setStatusBar(new QStatusBar);
        window.resize(400, 300);
        auto *label = new ElidedLabel(mode);
        if (permanent)
            window.statusBar()->addPermanentWidget(label);
        else
            window.statusBar()->addWidget(label, 1);
        const QString text = QStringLiteral("/home/user/logs/").repeated(20) + "session.log";
        if (beforeShow)
            label->setText(text);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        if (!beforeShow) {
            label->setText(text);
            // Each round carries the layout request one level up: to the bar, to the window,
            // and one to spare.
            for (int i = 0; i < 3; ++i)
                QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        }

        QVERIFY(label->sizeHint().width() > 400); // a plain label would widen the window
        QCOMPARE(window.width(), 400);
        QVERIFY(label->width() < 400);
        QCOMPARE(label->text(), text);
        const QString shown = label->shownText();
        QVERIFY(shown.size() < text.size());
        QVERIFY(shown.startsWith(text.left(1)));
        QCOMPARE(shown.endsWith(text.right(1)), keepsEnd);
    }
};

QTEST_MAIN(tst_ElidedLabel)
#include "tst_elidedlabel.moc"
