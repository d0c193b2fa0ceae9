// The station window: two positions at once, each with its simulated module, started with
// Space; each module gets its JSON line with its position and its log file. And its menu
// switches the language of what it shows.

#include "modulesimulator.h"
#include "resultsdatabase.h"
#include "stationwindow.h"
#include "testsupport.h"

#include <QAction>
#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTableWidget>
#include <QtTest>

#include <algorithm>

#include <cstdio>

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
        // A store of this run's own: the window restores the history of the one it is given,
        // and the default one (in the test-mode folder) keeps every earlier run's modules.
        setup.results = "sqlite:" + dir.filePath("two.sqlite");
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

    // A fixture keeps its adapter and the operator swaps the module: after its outcome the
    // position takes the next module at once, by Space, by its key or by its Start, whether its
    // port went away or not; the port's link is followed anew, and an image replaced on disk
    // under the same name is what the next module gets, with its own checksum in the record.
    // With a required serial the position holds until one is scanned: Space passes it by, and
    // the scanner's Enter starts it; the serial goes into that module's record and the
    // results store, and is cleared for the next.
    void nextModuleOnFixture_data()
    {
        QTest::addColumn<bool>("onStart"); // else when the port appears
        QTest::addColumn<int>("press");    // a key, 0 for the tile's Start, -1 for a scan
        QTest::newRow("on Start, Space") << true << int(Qt::Key_Space);
        QTest::newRow("on Start, key 1") << true << int(Qt::Key_1);
        QTest::newRow("port appears, Start") << false << 0;
        QTest::newRow("on Start, serial scanned") << true << -1;
    }
    void nextModuleOnFixture()
    {
        QFETCH(bool, onStart);
        QFETCH(int, press);
        const QByteArray images[2] = {TestSupport::randomBytes(9000, 71),
                                      TestSupport::randomBytes(12000, 72)};
        const QString link = dir.filePath("fixture");
        QFile::remove(link);
        PtyPair lines[2];
        QVERIFY(lines[0].open());
        ModuleSimulator first(lines[0], images[0]);
        QVERIFY(QFile::link(lines[0].slavePath(), link));
        StationSetup setup = StationSetup::forPorts({link});
        setup.image = TestSupport::writeFile(dir.filePath("current.ufw"), images[0]);
        setup.mode = onStart ? StartMode::OnStart : StartMode::PortAppears;
        setup.results = "sqlite:" + dir.filePath(QTest::currentDataTag() + QString(".sqlite"));
        setup.serialScan = press < 0 ? SerialScan::Required : SerialScan::Off;
        StationWindow window;
        window.useSetup(setup);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        StationModel *model = window.controller()->model();
        QTRY_COMPARE(model->imageSize(), qint64(images[0].size()));
        auto *start = window.findChild<QWidget *>("position1")->findChild<QPushButton *>("start");
        auto *serial = window.findChild<QWidget *>("position1")->findChild<QLineEdit *>("serial");
        int scans = 0;
        const auto pressStart = [&] {
            if (press > 0)
                QTest::keyClick(&window, Qt::Key(press));
            else if (press == 0)
                QTest::mouseClick(start, Qt::LeftButton);
            else {
                // Held: the tile says so, and Space does not start it. The record below, with
                // the serial scanned after, shows that no module started before the scan.
                QTRY_VERIFY(!start->isEnabled());
                QVERIFY(serial->text().isEmpty());
                QTest::keyClick(&window, Qt::Key_Space);
                QTest::keyClicks(serial, QStringLiteral("SN-%1").arg(++scans));
                QTest::keyClick(serial, Qt::Key_Return);
            }
        };
        pressStart();
        QTRY_COMPARE_WITH_TIMEOUT(model->history().size(), 1, 15000);
        if (press < 0)
            QCOMPARE(model->history().first().module.moduleSerial, QStringLiteral("SN-1"));

        QVERIFY(lines[1].open());
        ModuleSimulator second(lines[1], images[1]);
        TestSupport::writeFile(setup.image, images[1]);
        // The link moves to the next module in one step: the port never goes away.
        QVERIFY(QFile::link(lines[1].slavePath(), link + ".next"));
        QCOMPARE(::rename(qPrintable(link + ".next"), qPrintable(link)), 0);
        QTRY_VERIFY(start->isEnabled() || press < 0);
        pressStart();
        QTRY_COMPARE_WITH_TIMEOUT(model->history().size(), 2, 15000);
        const ModuleRecord &record = model->history().first().module;
        QCOMPARE(record.status, ModuleRecord::Status::Ok);
        const QString sha256 = QString::fromLatin1(
            QCryptographicHash::hash(images[1], QCryptographicHash::Sha256).toHex());
        QCOMPARE(record.imageSha256, sha256);
        QCOMPARE(model->image().sha256, sha256); // what the panel shows
        QCOMPARE(second.stats().bytesVerified, qint64(images[1].size()));
        if (press < 0) {
            QCOMPARE(record.toJson()["module_serial"].toString(), QStringLiteral("SN-2"));
            QCOMPARE(storedSerials(setup.results), QStringList({"SN-2", "SN-1"}));
            QTRY_VERIFY(serial->text().isEmpty() && !start->isEnabled()); // the next one held
        }
    }

    // A set-up that the command line would refuse is said in the panel and not applied.
    void panelRefusesWhatTheCommandLineRefuses()
    {
        StationSetup setup = StationSetup::forPorts({"COM3", "COM4"});
        StationWindow window;
        window.useSetup(setup);
        auto *table = window.findChild<QTableWidget *>("positionsTable");
        table->item(1, 0)->setText("A1");
        auto *problem = window.findChild<QLabel *>("setupProblem");
        SetupProblem twice;
        twice.kind = SetupProblem::Kind::LabelTwice;
        twice.value = "A1";
        twice.position = 1;
        QCOMPARE(problem->text(), twice.shown());
        QCOMPARE(window.controller()->setup(), setup.withWholePaths());
        table->item(1, 0)->setText("A2");
        QCOMPARE(problem->text(), QString());
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
    // Newest first, as the store gives them.
    static QStringList storedSerials(const QString &store)
    {
        QString problem;
        ResultsDatabase database(ResultsTarget::parse(store, &problem), ResultsDatabase::Use::Read);
        QStringList serials;
        if (database.open(&problem) == ResultsDatabase::Outcome::Done) {
            for (const ModuleRow &row : database.rows({}, {}, &problem))
                serials << row.value(QStringLiteral("module_serial")).toString();
        }
        return serials;
    }

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
