// The production station without its window: one position's course through its states with a
// simulated module, served by the station's own thread, as the model shows it.

#include "language.h"
#include "modulesimulator.h"
#include "positiontile.h"
#include "stationcontroller.h"
#include "testsupport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>

namespace {

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class tst_Station : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        TestSupport::quietDebug();
        // As users get it: Qt's own texts in Chinese, which no record may carry.
        Language::install(Language::Code::Chinese);
        QVERIFY(dir.isValid());
    }

    // Started on Start: the module's outcome, the counts, the history, the JSON line and the
    // log are those of a headless run, and the position waits for the next Start.
    void positionCourse_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<StationModel::State>("state");
        QTest::addColumn<QString>("summary"); // a pattern; PORT stands for the port
        QTest::addColumn<QString>("reasonCode");
        using S = StationModel::State;
        QTest::newRow("passed") << "passed" << S::Passed
                                << "^PORT: ok, 20000 bytes, 20 requests, [0-9.]+ s$"
                                << "";
        QTest::newRow("failed result") << "result 3" << S::Failed << "^PORT: failed, result 3$"
                                       << "";
        QTest::newRow("port lost")
            << "drop" << S::Error << "^PORT: error, port lost: the device went away$"
            << "port_lost";
        QTest::newRow("no answer") << "silent" << S::Error << "^PORT: error, no answer for 1 s$"
                                   << "no_answer";
        QTest::newRow("interrupted") << "interrupt" << S::Error << "^PORT: error, interrupted$"
                                     << "interrupted";
        // Fails within Start itself: a fault of the station's, no module, no record.
        QTest::newRow("not a port") << "file" << S::Fault << ""
                                    << "cannot_open";
        // The module passes, but its record cannot be written: never shown as a pass.
        QTest::newRow("record lost")
            << "disk full" << S::Fault << "^PORT: ok, 20000 bytes, 20 requests, [0-9.]+ s$"
            << "";
    }
    void positionCourse()
    {
        QFETCH(QString, scenario);
        QFETCH(StationModel::State, state);
        QFETCH(QString, summary);
        QFETCH(QString, reasonCode);
        const QByteArray image = TestSupport::randomBytes(20000, 61);
        SimulatorOptions options;
        options.result = scenario == "result 3" ? 3 : 0;
        options.silent = scenario == "silent" || scenario == "interrupt";
        options.dropAfter = scenario == "drop" ? 3 : -1;
        PtyPair pty;
        QVERIFY(pty.open());
        ModuleSimulator module(pty, image, options);

        StationController station;
        StationModel *model = station.model();
        const QString port = scenario == "file"
                                 ? TestSupport::writeFile(dir.filePath("not-a-port"), "x")
                                 : pty.slavePath();
        StationSetup setup = StationSetup::forPorts({port});
        setup.image = TestSupport::writeFile(dir.filePath("fw.ufw"), image);
        setup.mode = StartMode::OnStart;
        setup.timeoutSeconds = scenario == "silent" ? 1 : 30;
        setup.jsonLinesPath = scenario == "disk full" ? QStringLiteral("/dev/full")
                                                      : dir.filePath(scenario + ".jsonl");
        setup.logDir = dir.filePath("logs-" + scenario);
        setup.results = "sqlite:" + dir.filePath(scenario + ".sqlite");
        QVERIFY(station.configure(setup));
        QTRY_COMPARE(model->imageSize(), qint64(image.size()));
        QCOMPARE(model->position(0).state(), StationModel::State::Idle);

        station.start(0);
        QTRY_VERIFY(model->position(0).state() != StationModel::State::Idle);
        if (scenario == "interrupt") {
            QTRY_VERIFY(model->isUpgrading(0));
            station.stop(0);
        }
        if (scenario == "file") {
            QTRY_COMPARE(model->position(0).state(), state);
            QCOMPARE(model->position(0).portFault.code(), reasonCode);
            QTRY_COMPARE(model->position(0).now.activity, PositionActivity::Stopped);
            station.finish(); // every line written, everything said delivered
            QCOMPARE(model->history().size(), 0);
            QVERIFY(!QFile::exists(setup.jsonLinesPath));
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(model->history().size(), 1, 15000);
        QTRY_COMPARE(model->position(0).now.activity, PositionActivity::Stopped);

        const StationModel::Position &position = model->position(0);
        QCOMPARE(position.state(), state);
        if (scenario == "disk full") {
            QVERIFY(position.writeProblem.contains("/dev/full"));
            QCOMPARE(model->history().first().writeProblem, position.writeProblem);
            QCOMPARE(PositionTile::colourClass(position), QStringLiteral("failed"));
            return;
        }
        const bool passed = state == StationModel::State::Passed;
        QCOMPARE(position.passed, passed ? 1 : 0);
        QCOMPARE(position.failed, passed ? 0 : 1);
        QCOMPARE(model->totals().passed, passed ? 1 : 0);
        QCOMPARE(model->totals().failed, passed ? 0 : 1);
        QCOMPARE(model->totals().yieldPercent, passed ? 100.0 : 0.0);
        if (state == StationModel::State::Failed)
            QCOMPARE(position.lastResult, 3);

        const ModuleRecord &record = model->history().first().module;
        const QRegularExpression pattern(QString(summary).replace("PORT", port));
        QVERIFY2(pattern.match(record.summaryLine()).hasMatch(), qPrintable(record.summaryLine()));
        QCOMPARE(record.position, QStringLiteral("A1"));
        QCOMPARE(position.lastReason.code(), reasonCode);
        QCOMPARE(model->history().first().writeProblem, QString());
        if (passed)
            QCOMPARE(module.stats().bytesVerified, qint64(image.size()));

        // What a headless run writes for the module, and the position.
        QTRY_VERIFY(contents(setup.jsonLinesPath).endsWith('\n'));
        const QJsonObject line = QJsonDocument::fromJson(contents(setup.jsonLinesPath)).object();
        QCOMPARE(line["position"].toString(), QStringLiteral("A1"));
        QCOMPARE(line["port"].toString(), port);
        QCOMPARE(line["bytes"].toInt(), int(record.bytes));
        QCOMPARE(line["reason_code"].toString(), reasonCode);
        QCOMPARE(line["reason"].toString(), record.reason.text());
        QCOMPARE(line["id"].toString(), record.id);
        QCOMPARE(line["seconds"].toDouble(), record.started.msecsTo(record.ended) / 1000.0);
        if (scenario != "interrupt")
            QVERIFY(record.seconds() >= 1.0); // the start frame alone waits a second
        QVERIFY(record.logPath.startsWith(setup.logDir + '/'));
        QVERIFY(contents(record.logPath).trimmed().endsWith(record.summaryLine().toUtf8()));

        // A station opened anew counts on from the store: the same totals, the same history.
        StationController again;
        QVERIFY(again.configure(setup));
        QTRY_COMPARE(again.model()->history().size(), 1);
        QCOMPARE(again.model()->history().first().module.id, record.id);
        QCOMPARE(again.model()->history().first().module.reason.shown(), record.reason.shown());
        QCOMPARE(again.model()->totals().passed, model->totals().passed);
        QCOMPARE(again.model()->totals().failed, model->totals().failed);

        // The next Start serves the next module on the same port.
        if (scenario == "passed") {
            station.start(0);
            QTRY_COMPARE_WITH_TIMEOUT(model->history().size(), 2, 15000);
            QCOMPARE(model->totals().passed, 2);
            QVERIFY(model->history().first().module.id != record.id);
        }
    }

    // A set-up whose results file or log folder cannot be written holds Start back.
    void outputsCheckedBeforeStart_data()
    {
        QTest::addColumn<QString>("results");
        QTest::addColumn<QString>("logs");
        QTest::addColumn<bool>("startable");
        QTest::newRow("writable") << "ok.jsonl"
                                  << "logs" << true;
        QTest::newRow("results file is a folder") << "."
                                                  << "" << false;
        QTest::newRow("results folder missing") << "none/r.jsonl"
                                                << "" << false;
        QTest::newRow("log folder under a file") << ""
                                                 << "plain/logs" << false;
    }
    void outputsCheckedBeforeStart()
    {
        QFETCH(QString, results);
        QFETCH(QString, logs);
        QFETCH(bool, startable);
        TestSupport::writeFile(dir.filePath("plain"), "x");
        StationController station;
        StationSetup setup = StationSetup::forPorts({dir.filePath("no-port")});
        setup.image = TestSupport::writeFile(dir.filePath("c.ufw"), "image");
        setup.jsonLinesPath = results.isEmpty() ? QString() : dir.filePath(results);
        setup.logDir = logs.isEmpty() ? QString() : dir.filePath(logs);
        QVERIFY(station.configure(setup));
        QTRY_COMPARE(station.model()->imageSize(), qint64(5));
        QCOMPARE(station.model()->canStart(), startable);
        QCOMPARE(station.model()->image().outputProblem.isEmpty(), startable);
        QVERIFY(!QFileInfo::exists(dir.filePath("ok.jsonl"))); // looked at, not left behind
        station.start(0);
        QTRY_COMPARE(station.model()->position(0).now.activity,
                     startable ? PositionActivity::Waiting : PositionActivity::Stopped);
    }

    // When its port appears: the module is upgraded, its outcome stays shown until the port has
    // gone, and the position then waits for the next one; Stop ends the wait, reporting nothing.
    void portAppears()
    {
        const QByteArray image = TestSupport::randomBytes(3000, 62);
        const QString link = dir.filePath("station-port");
        QFile::remove(link);
        StationController station;
        StationModel *model = station.model();
        StationSetup setup = StationSetup::forPorts({link});
        setup.image = TestSupport::writeFile(dir.filePath("a.ufw"), image);
        setup.results = "sqlite:" + dir.filePath("appears.sqlite"); // no earlier run's modules
        QVERIFY(station.configure(setup));
        QTRY_COMPARE(model->imageSize(), qint64(image.size()));
        station.start(0);
        QTRY_COMPARE(model->position(0).state(), StationModel::State::Waiting);
        PtyPair pty;
        QVERIFY(pty.open());
        ModuleSimulator module(pty, image);
        QVERIFY(QFile::link(pty.slavePath(), link));
        QTRY_COMPARE_WITH_TIMEOUT(model->history().size(), 1, 15000);
        QTRY_COMPARE(model->position(0).now.activity, PositionActivity::Ended);
        QCOMPARE(model->position(0).state(), StationModel::State::Passed);
        QVERIFY(QFile::remove(link)); // unplugged
        QTRY_COMPARE(model->position(0).state(), StationModel::State::Waiting);
        QCOMPARE(model->position(0).last, ModuleOutcome::Passed); // its colour stays
        station.stop(0);
        QTRY_COMPARE(model->position(0).now.activity, PositionActivity::Stopped);
        station.finish();
        QCOMPARE(model->history().size(), 1);
    }

    // A station file names its files relative to itself: the folder moves with them.
    void stationFileTravels()
    {
        StationSetup setup = StationSetup::forPorts({"COM3", "serial=A1B2"});
        setup.image = dir.filePath("site/fw/fw.ufw");
        setup.jsonLinesPath = dir.filePath("site/results.jsonl");
        setup.logDir = dir.filePath("site/logs");
        setup.mode = StartMode::OnStart;
        setup.timeoutSeconds = 12;
        QVERIFY(QDir().mkpath(dir.filePath("site")));
        QCOMPARE(setup.save(dir.filePath("site/station.json")), QString());
        const QJsonObject saved =
            QJsonDocument::fromJson(contents(dir.filePath("site/station.json"))).object();
        QCOMPARE(saved["image"].toString(), QStringLiteral("fw/fw.ufw"));
        QVERIFY(QDir().rename(dir.filePath("site"), dir.filePath("moved")));
        StationSetup loaded;
        QCOMPARE(StationSetup::load(dir.filePath("moved/station.json"), &loaded), QString());
        QCOMPARE(loaded.image, dir.filePath("moved/fw/fw.ufw"));
        QCOMPARE(loaded.logDir, dir.filePath("moved/logs"));
        setup.image = loaded.image;
        setup.jsonLinesPath = dir.filePath("moved/results.jsonl");
        setup.logDir = loaded.logDir;
        QCOMPARE(loaded, setup);
        QVERIFY(!StationSetup::load(dir.filePath("moved/none.json"), &loaded).isEmpty());
    }

private:
    QTemporaryDir dir;
};

QTEST_MAIN(tst_Station)
#include "tst_station.moc"
