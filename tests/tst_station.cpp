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
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include <sys/stat.h>

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
        QTest::newRow("row lost") << "store refuses" << S::Fault
                                  << "^PORT: ok, 20000 bytes, 20 requests, [0-9.]+ s$"
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
        setup.jsonLinesPath = scenario == "disk full"       ? QStringLiteral("/dev/full")
                              : scenario == "store refuses" ? QString()
                                                            : dir.filePath(scenario + ".jsonl");
        setup.logDir = dir.filePath("logs-" + scenario);
        setup.results = "sqlite:" + dir.filePath(scenario + ".sqlite");
        QVERIFY(station.configure(setup));
        QTRY_COMPARE(model->imageSize(), qint64(image.size()));
        QCOMPARE(model->position(0).state(), StationModel::State::Idle);
        if (scenario == "store refuses") // made as the set-up was taken; from now on it refuses
            QVERIFY(refuseRows(setup.results.mid(7)));

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
        if (scenario == "disk full" || scenario == "store refuses") {
            const QString lost = scenario == "disk full"
                                     ? "结果未写入 /dev/full: "
                                     : "结果库未写入: cannot write " + setup.results + ": ";
            QVERIFY2(position.writeProblem.startsWith(lost), qPrintable(position.writeProblem));
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
    // gone, and the position then waits for the next one; a failure stays on the tile, reason
    // and all, until the next module starts. Stop ends the wait, reporting nothing.
    void portAppears_data()
    {
        QTest::addColumn<bool>("silent");
        QTest::addColumn<QString>("waitingLook");
        QTest::newRow("passed") << false << "waiting";
        QTest::newRow("no answer") << true << "failed";
    }
    void portAppears()
    {
        QFETCH(bool, silent);
        QFETCH(QString, waitingLook);
        const QByteArray image = TestSupport::randomBytes(3000, 62);
        const QString link = dir.filePath("station-port");
        QFile::remove(link);
        StationController station;
        StationModel *model = station.model();
        StationSetup setup = StationSetup::forPorts({link});
        setup.image = TestSupport::writeFile(dir.filePath("a.ufw"), image);
        setup.timeoutSeconds = 1;
        // A store of the row's own: no earlier row's modules in the history.
        setup.results = "sqlite:" + dir.filePath(QTest::currentDataTag() + QString(".sqlite"));
        QVERIFY(station.configure(setup));
        QTRY_COMPARE(model->imageSize(), qint64(image.size()));
        station.start(0);
        QTRY_COMPARE(model->position(0).state(), StationModel::State::Waiting);
        QCOMPARE(PositionTile::colourClass(model->position(0)), QStringLiteral("waiting"));
        PtyPair pty;
        QVERIFY(pty.open());
        SimulatorOptions options;
        options.silent = silent;
        ModuleSimulator module(pty, image, options);
        QVERIFY(QFile::link(pty.slavePath(), link));
        QTRY_COMPARE_WITH_TIMEOUT(model->history().size(), 1, 15000);
        QTRY_COMPARE(model->position(0).now.activity, PositionActivity::Ended);
        QCOMPARE(model->position(0).last, silent ? ModuleOutcome::Error : ModuleOutcome::Passed);
        QVERIFY(QFile::remove(link)); // unplugged
        QTRY_COMPARE(model->position(0).now.activity, PositionActivity::Waiting);
        const StationModel::Position &position = model->position(0);
        QCOMPARE(PositionTile::colourClass(position), waitingLook);
        const QString reason = PositionTile::reasonText(position);
        QVERIFY2(silent ? !position.lastReason.isNone() &&
                              reason.startsWith(position.lastReason.shown())
                        : reason.isEmpty(),
                 qPrintable(reason));
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
        QCOMPARE(StationSetup::load(dir.filePath("moved/station.json"), &loaded).text(), QString());
        QCOMPARE(loaded.image, dir.filePath("moved/fw/fw.ufw"));
        QCOMPARE(loaded.logDir, dir.filePath("moved/logs"));
        setup.image = loaded.image;
        setup.jsonLinesPath = dir.filePath("moved/results.jsonl");
        setup.logDir = loaded.logDir;
        QCOMPARE(loaded, setup);
        QCOMPARE(StationSetup::load(dir.filePath("moved/none.json"), &loaded).kind,
                 SetupProblem::Kind::NoSuchFile);
    }

    // A station file is refused for what the command line refuses, naming the key; what is
    // not a regular file, or is too large, without being read.
    void badStationFiles_data()
    {
        QTest::addColumn<QByteArray>("json"); // with FIFO, ZERO, BIG: that file instead
        QTest::addColumn<QString>("problem");
        const QByteArray port = R"("positions": [{"label": "A1", "port": "COM3"}])";
        const auto with = [&](const char *keys) { return "{" + QByteArray(keys) + port + "}"; };
        QTest::newRow("accepted")
            << with(R"("baud": 921600, "timeout": 12, "module_serial": "required", )") << "";
        QTest::newRow("rate as text, not offered")
            << with(R"("baud": "57600", )") << "baud: not an offered rate: 57600";
        QTest::newRow("timeout as text")
            << with(R"("timeout": "abc", )")
            << R"(timeout: not a whole number of seconds from 1 to 86400: "abc")";
        QTest::newRow("timeout not whole")
            << with(R"("timeout": 2.5, )")
            << "timeout: not a whole number of seconds from 1 to 86400: 2.5";
        QTest::newRow("timeout 0") << with(R"("timeout": 0, )")
                                   << "timeout: not a whole number of seconds from 1 to 86400: 0";
        QTest::newRow("start mode")
            << with(R"("start": "later", )") << R"(start: not on-start or port-appears: "later")";
        QTest::newRow("serial scan unknown")
            << with(R"("module_serial": "sometimes", )")
            << R"(module_serial: not off, optional or required: "sometimes")";
        QTest::newRow("image not text")
            << with(R"("image": 5, )") << "image: not of the expected kind: 5";
        QTest::newRow("no positions")
            << QByteArray(R"({"positions": []})") << "positions: 1 to 16 positions, not 0";
        QByteArray many = R"({"positions": [)";
        for (int i = 0; i < 17; ++i)
            many +=
                QString(R"(%1{"label": "P%2", "port": "COM%2"})").arg(i ? "," : "").arg(i).toUtf8();
        QTest::newRow("17 positions") << many + "]}"
                                      << "positions: 1 to 16 positions, not 17";
        const auto positions = [](const char *list) {
            return R"({"positions": [)" + QByteArray(list) + "]}";
        };
        QTest::newRow("label empty")
            << positions(R"({"label": " ", "port": "COM3"})") << "positions[0].label: empty";
        QTest::newRow("label twice") << positions(R"({"label": "A", "port": "COM3"},
                                                     {"label": "A", "port": "COM4"})")
                                     << "positions[1].label: given twice: A";
        QTest::newRow("port missing")
            << positions(R"({"label": "A"})") << "positions[0].port: empty";
        QTest::newRow("port malformed")
            << positions(R"({"label": "A", "port": "usb=zz"})")
            << "positions[0].port: usb= needs VID:PID, 4 hex digits each";
        QTest::newRow("port twice") << positions(R"({"label": "A", "port": "usb=0403:6001"},
                                                    {"label": "B", "port": "usb=0403:6001"})")
                                    << "positions[1].port: given twice: usb=0403:6001";
        QTest::newRow("results over the image")
            << with(R"("image": "fw.ufw", "json_lines": "./fw.ufw", )")
            << "image and json_lines name the same file: DIR/fw.ufw";
        // Appended to or replaced, the station file would be lost; saved, it would replace them.
        QTest::newRow("results file is the station file")
            << with(R"("json_lines": "./bad.json", )")
            << "json_lines: names the station file itself: DIR/bad.json";
        QTest::newRow("store is the station file")
            << with(R"("results": "sqlite:DIR/bad.json", )")
            << "results: names the station file itself: DIR/bad.json";
        QTest::newRow("not an object") << QByteArray("[1]") << "not a JSON object";
        QTest::newRow("FIFO") << QByteArray("FIFO") << "not a regular file: ";
        QTest::newRow("device") << QByteArray("/dev/zero") << "not a regular file: /dev/zero";
        QTest::newRow("over 1 MiB") << QByteArray("BIG") << "larger than 1 MiB: ";
    }
    void badStationFiles()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, problem);
        const QString folder = QDir(dir.path()).canonicalPath();
        json.replace("DIR", folder.toUtf8());
        QString path = folder + "/bad.json";
        if (json == "FIFO") {
            path = folder + "/fifo.json";
            QVERIFY(QFile::exists(path) || ::mkfifo(qPrintable(path), 0600) == 0);
        } else if (json.startsWith('/'))
            path = QString::fromLatin1(json);
        else
            TestSupport::writeFile(path,
                                   json == "BIG" ? QByteArray(1024 * 1024 + 1, ' ') + "{}" : json);
        StationSetup setup;
        setup.baud = "kept";
        const SetupProblem found = StationSetup::load(path, &setup);
        problem.replace("DIR", folder);
        QVERIFY2(problem.isEmpty() ? found.isNone() : found.text().startsWith(problem),
                 qPrintable(found.text()));
        QCOMPARE(setup.baud, problem.isEmpty() ? QString("921600") : QString("kept"));
        QCOMPARE(found.shown().isEmpty(), problem.isEmpty());
        if (found.kind == SetupProblem::Kind::NamesStationFile) {
            StationSetup named;
            QVERIFY(StationSetup::read(QJsonDocument::fromJson(json).object(), folder, &named)
                        .isNone());
            QCOMPARE(named.save(path), found.text());
            QCOMPARE(contents(path), json);
        }
    }

private:
    // Every insert into the store at `path` fails from now on.
    static bool refuseRows(const QString &path)
    {
        bool made = false;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "refuse");
            db.setDatabaseName(path);
            made = db.open() && QSqlQuery("create trigger refuse before insert on modules begin "
                                          "select raise(abort, 'refused'); end",
                                          db)
                                    .isActive();
        }
        QSqlDatabase::removeDatabase("refuse");
        return made;
    }

    QTemporaryDir dir;
};

QTEST_MAIN(tst_Station)
#include "tst_station.moc"
