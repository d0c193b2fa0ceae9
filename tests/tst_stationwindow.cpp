// The station window: two positions at once, each with its simulated module, started with
// Space; each module gets its JSON line with its position and its log file. And its menu
// switches the language of what it shows.

#include "modulesimulator.h"
#include "stationwindow.h"
#include "testsupport.h"

#include <QAction>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

#include <algorithm>

class tst_StationWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        TestSupport::quietDebug();
        QVERIFY(dir.isValid());
        // The set-up is remembered in the settings: here, not in the user's.
        QStandardPaths::setTestModeEnabled(true);
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.filePath("config"));
    }

    void twoPositionsAtOnce()
    {
        const QByteArray image = TestSupport::randomBytes(30000, 63);
        PtyPair lines[2];
        std::vector<std::unique_ptr<ModuleSimulator>> modules;
        StationSetup setup;
        for (PtyPair &line : lines) {
            QVERIFY(line.open());
            modules.push_back(std::make_unique<ModuleSimulator>(line, image));
        }
        setup.positions = {{"L", lines[0].slavePath()}, {"R", lines[1].slavePath()}};
        setup.image = TestSupport::writeFile(dir.filePath("fw.ufw"), image);
        setup.jsonLinesPath = dir.filePath("results.jsonl");
        setup.logDir = dir.filePath("logs");
        setup.timeoutSeconds = 7; // not shown in the window, kept all the same
        QVERIFY(QDir().mkpath(setup.logDir));

        StationWindow window;
        window.useSetup(setup);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        StationModel *model = window.controller()->model();
        QTRY_COMPARE(model->imageSize(), qint64(image.size()));
        QTest::keyClick(&window, Qt::Key_Space);
        QTRY_COMPARE_WITH_TIMEOUT(model->history().size(), 2, 20000);
        window.close();
        QVERIFY(!window.isVisible()); // nothing was being upgraded: no question

        QMap<QString, QJsonObject> byPosition;
        QFile file(setup.jsonLinesPath);
        QVERIFY(file.open(QIODevice::ReadOnly));
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (!line.isEmpty()) {
                const QJsonObject object = QJsonDocument::fromJson(line).object();
                byPosition.insert(object["position"].toString(), object);
            }
        }
        QCOMPARE(byPosition.keys(), (QStringList{"L", "R"}));
        for (int i = 0; i < 2; ++i) {
            const QJsonObject line = byPosition.value(setup.positions.at(i).label);
            QCOMPARE(line["port"].toString(), lines[i].slavePath());
            QCOMPARE(line["status"].toString(), QStringLiteral("ok"));
            QCOMPARE(line["bytes"].toInt(), image.size());
            QCOMPARE(modules[size_t(i)]->stats().bytesVerified, qint64(image.size()));
        }
        QCOMPARE(model->totals().passed, 2);
        for (const StationRecord &entry : model->history()) {
            const ModuleRecord &record = entry.module;
            QFile log(record.logPath);
            QVERIFY2(log.open(QIODevice::ReadOnly), qPrintable(record.logPath));
            QVERIFY(log.readAll().trimmed().endsWith(record.summaryLine().toUtf8()));
        }
        QCOMPARE(QDir(setup.logDir).entryList(QDir::Files).size(), 2);
        // Remembered for the next run.
        StationSetup remembered;
        QVERIFY(StationSetup::remembered(&remembered).isNone());
        QCOMPARE(remembered, setup);
    }

    // The menu retranslates what is shown, the tiles' buttons included, both ways.
    void menuSwitchesLanguage()
    {
        StationSetup setup;
        setup.positions = {{"A1", dir.filePath("no-such-port")}};
        StationWindow window;
        window.useSetup(setup);
        window.findChild<QAction *>("actionEnglish")->trigger();
        QTRY_COMPARE(window.windowTitle(), QStringLiteral("RW47HN production station"));
        QVERIFY(hasButton(window, "Start"));
        QVERIFY(hasButton(window, "Lock"));
        window.findChild<QAction *>("actionChinese")->trigger();
        QTRY_COMPARE(window.windowTitle(), QStringLiteral("RW47HN 量产工位"));
        QVERIFY(hasButton(window, "开始"));
        QVERIFY(!hasButton(window, "Start"));
    }

private:
    static bool hasButton(const QWidget &window, const QString &text)
    {
        const QList<QPushButton *> buttons = window.findChildren<QPushButton *>();
        return std::any_of(buttons.begin(), buttons.end(),
                           [&](const QPushButton *button) { return button->text() == text; });
    }

    QTemporaryDir dir;
};

QTEST_MAIN(tst_StationWindow)
#include "tst_stationwindow.moc"
