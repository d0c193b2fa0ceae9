// The results store, against a real PostgreSQL server started here and SQLite files, through
// the program itself: every field arrives; records wait while the server is away, also when it
// goes away and comes back within one run, and arrive once, also when the process is killed
// while delivering them; an older schema of the tool's is upgraded in place and a newer one
// left alone;
// the report's figures; one SQLite file written by several processes at once.

#include "modulesimulator.h"
#include "postgresserver.h"
#include "resultsdatabase.h"
#include "testsupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QtTest>

#include <memory>

namespace {

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
    QString id; // the one module's record, when asked for
};

// The rows a store holds, oldest first, read as the report reads them.
std::vector<ModuleRow> storedRows(const QString &store)
{
    QString problem;
    ResultsDatabase database(ResultsTarget::parse(store, &problem), ResultsDatabase::Use::Read);
    if (database.open(&problem) != ResultsDatabase::Outcome::Done)
        return {};
    std::vector<ModuleRow> rows = database.rows({}, {}, &problem);
    std::reverse(rows.begin(), rows.end());
    return rows;
}

QStringList idsOf(const std::vector<ModuleRow> &rows)
{
    QStringList ids;
    for (const ModuleRow &row : rows)
        ids << row.value(QStringLiteral("id")).toString();
    return ids;
}

} // namespace

class tst_Results : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        TestSupport::quietDebug();
        QVERIFY(dir.isValid());
    }

    // A module's row holds what its JSON line holds, and the station's name.
    void recordsArrive_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("sqlite") << "sqlite";
        QTest::newRow("postgresql") << "postgresql";
    }
    void recordsArrive()
    {
        QFETCH(QString, kind);
        const QString store = newStore(kind);
        const QByteArray image = TestSupport::randomBytes(20000, 61);
        const QString imagePath = TestSupport::writeFile(dir.filePath("fw.ufw"), image);
        PtyPair pty;
        QVERIFY(pty.open());
        ModuleSimulator module(pty, image);
        const QString lines = dir.filePath(kind + ".jsonl");
        const Run outcome =
            run({"--headless", "--port", pty.slavePath(), "--image", imagePath, "--results", store,
                 "--station-name", "line3-a", "--json-lines", lines});
        QCOMPARE(outcome.exitCode, 0);
        const QJsonObject json = QJsonDocument::fromJson(contents(lines)).object();
        const std::vector<ModuleRow> rows = storedRows(store);
        QCOMPARE(rows.size(), size_t(1));
        for (const QString &column : ModuleRow::names()) {
            const QVariant value = rows.front().value(column);
            if (column == "station")
                QCOMPARE(value.toString(), QStringLiteral("line3-a"));
            else if (json.value(column).isDouble())
                QCOMPARE(value.toDouble(), json.value(column).toDouble());
            else if (json.value(column).isString())
                QCOMPARE(value.toString(), json.value(column).toString());
            else
                QVERIFY2(value.isNull(), qPrintable(column));
        }
    }

    // The module's status stays its own; the record waits in the outbox and reaches the
    // server once at the next run that reaches it, beside that run's own.
    void serverAway_data()
    {
        QTest::addColumn<bool>("stopServer");
        QTest::addColumn<QString>("firstPassword");
        QTest::addColumn<QString>("secondPassword"); // empty: none in the text, PGPASSWORD's
        const QString right = PostgresServer::Password;
        QTest::newRow("server stopped") << true << right << right;
        QTest::newRow("login refused") << false << "wrong" << right;
        QTest::newRow("no password, then PGPASSWORD") << false << ""
                                                      << "";
    }
    void serverAway()
    {
        QFETCH(bool, stopServer);
        QFETCH(QString, firstPassword);
        QFETCH(QString, secondPassword);
        requireServer();
        const QString database = newDatabase();
        const QString home = newDataHome();
        if (stopServer)
            QVERIFY(server.stop());
        const Run first = recordModule(server.url(database, firstPassword), home);
        QVERIFY(server.startAgain());
        QCOMPARE(first.exitCode, 0);
        QVERIFY2(first.err.contains("1 record(s) wait in "), qPrintable(first.err));
        QVERIFY(storedRows(server.url(database)).empty());
        const Run second = recordMissingPort(server.url(database, secondPassword), home,
                                             {"PGPASSWORD=" + QString(PostgresServer::Password)});
        QVERIFY2(!second.err.contains("wait in"), qPrintable(second.err));
        QCOMPARE(idsOf(storedRows(server.url(database))), QStringList({first.id, second.id}));
    }

    // One run of three ports that appear one after another: the first module reaches the
    // server, the second waits in the outbox while the server is stopped, and the third, once
    // it is back, brings the second with it; each record is there once and none waits at the end.
    void serverAwayMidRun()
    {
        requireServer();
        const QString store = server.url(newDatabase());
        const QString json = dir.filePath(QStringLiteral("run-%1.json").arg(++made));
        std::vector<std::unique_ptr<PtyPair>> ptys;
        std::vector<std::unique_ptr<ModuleSimulator>> modules;
        QStringList links;
        for (int i = 0; i < 3; ++i) {
            ptys.push_back(std::make_unique<PtyPair>());
            QVERIFY(ptys.back()->open());
            modules.push_back(std::make_unique<ModuleSimulator>(*ptys.back(), "image"));
            links << dir.filePath(QStringLiteral("midrun-%1").arg(i));
        }
        QStringList arguments{"--headless", "--wait", "--image", image(),
                              "--results",  store,    "--json",  json};
        for (const QString &link : qAsConst(links))
            arguments << "--port" << link;
        QProcess upgrader;
        start(upgrader, arguments, newDataHome());
        QString err;
        const auto said = [&](const QString &text) {
            err += QString::fromUtf8(upgrader.readAllStandardError());
            return err.contains(text);
        };
        const auto plugIn = [&](int i) {
            return QFile::link(ptys[size_t(i)]->slavePath(), links[i]);
        };
        QVERIFY(plugIn(0));
        QTRY_COMPARE_WITH_TIMEOUT(storedRows(store).size(), size_t(1), 20000);
        QVERIFY(server.stop());
        QVERIFY(plugIn(1));
        QTRY_VERIFY_WITH_TIMEOUT(said("cannot take records now"), 20000);
        QVERIFY2(
            err.contains(QRegularExpression("cannot take records now \\([^\n]+\\); they wait")),
            qPrintable(err));
        QVERIFY(server.startAgain());
        QVERIFY(plugIn(2));
        const Run outcome = finish(upgrader);
        err += outcome.err;
        QCOMPARE(outcome.exitCode, 0);
        QVERIFY2(err.contains("takes records again") && !err.contains("record(s) wait in"),
                 qPrintable(err));
        QStringList ids;
        for (const QJsonValue &record : QJsonDocument::fromJson(contents(json)).array())
            ids << record["id"].toString();
        QCOMPARE(ids.size(), 3);
        QCOMPARE(idsOf(storedRows(store)), ids);
    }

    // Killed after the server took a waiting record, before the outbox let it go: the next run
    // offers it again and the server keeps the one it has.
    void killedWhileDelivering()
    {
        requireServer();
        const QString store = server.url(newDatabase());
        const QString home = newDataHome();
        QVERIFY(server.stop());
        const Run waiting = recordMissingPort(store, home);
        QVERIFY(server.startAgain());
        QProcess delivering;
        start(delivering,
              {"--headless", "--image", image(), "--port", dir.filePath("absent"), "--results",
               store},
              home, {"RW47HN_FORWARD_HOLD_MS=60000"});
        QTRY_COMPARE_WITH_TIMEOUT(storedRows(store).size(), size_t(1), 20000);
        delivering.kill();
        QVERIFY(delivering.waitForFinished());
        const Run next = recordMissingPort(store, home);
        QCOMPARE(idsOf(storedRows(store)), QStringList({waiting.id, next.id}));
        QVERIFY2(!next.err.contains("wait in"), qPrintable(next.err));
    }

    // A store made by this tool's first schema is brought up to date in place, its rows kept;
    // one made by a newer tool is neither written nor read, and stays as it was.
    void otherSchemaVersion_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("older");
        for (const char *kind : {"sqlite", "postgresql"}) {
            QTest::addRow("older, %s", kind) << kind << true;
            QTest::addRow("newer, %s", kind) << kind << false;
        }
    }
    void otherSchemaVersion()
    {
        QFETCH(QString, kind);
        QFETCH(bool, older);
        const QString store = newStore(kind);
        const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        const int newer = ResultsDatabase::SchemaVersion + 1;
        QCOMPARE(execIn(store, older ? firstSchema(kind == "postgresql", id)
                                     : QStringList{"create table schema_version (version "
                                                   "integer not null)",
                                                   QString("insert into schema_version values "
                                                           "(%1)")
                                                       .arg(newer)}),
                 QString());
        if (older) {
            const Run next =
                recordMissingPort(store, newDataHome(), {}, {"--module-serial", "SN-7"});
            const std::vector<ModuleRow> rows = storedRows(store);
            QCOMPARE(idsOf(rows), QStringList({id, next.id}));
            QCOMPARE(rows.back().value("module_serial").toString(), QStringLiteral("SN-7"));
            QCOMPARE(execIn(store, {"select module_serial from modules"}), QString());
            return;
        }
        const QString refusal = QString("the database has schema version %1, newer than this "
                                        "tool's %2")
                                    .arg(newer)
                                    .arg(ResultsDatabase::SchemaVersion);
        for (const QStringList &arguments :
             {QStringList{"--headless", "--image", image(), "--port", dir.filePath("absent")},
              QStringList{"--report"}}) {
            const Run outcome = run(arguments + QStringList{"--results", store});
            QCOMPARE(outcome.exitCode, 2);
            QVERIFY2(outcome.err.contains(refusal), qPrintable(outcome.err));
        }
        QCOMPARE(execIn(store, {"select 1 from modules"}).isEmpty(), false);
    }

    // Figures from known rows: by local day, station, position and image; the median of the
    // passed modules; --since and --until bound the days.
    void reportFigures_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("expected");
        const QString header = "day,station,position,image,image_sha256,modules,passed,failed,"
                               "yield_percent,median_seconds\r\n";
        const QString day7 = "2026-12-07,s1,A1,fw1.ufw,aaa,3,2,1,66.7,25.00\r\n"
                             "2026-12-07,s1,A2,fw1.ufw,aaa,1,1,0,100.0,10.00\r\n";
        const QString day8 = "2026-12-08,s2,,fw2.ufw,bbb,1,0,1,0.0,\r\n";
        QTest::newRow("csv, sqlite")
            << "sqlite" << QStringList{"--csv", "-"} << header + day7 + day8;
        QTest::newRow("csv, postgresql")
            << "postgresql" << QStringList{"--csv", "-"} << header + day7 + day8;
        QTest::newRow("until the first day")
            << "sqlite" << QStringList{"--csv", "-", "--until", "2026-12-07"} << header + day7;
        QTest::newRow("since the second day")
            << "postgresql" << QStringList{"--csv", "-", "--since", "2026-12-08"} << header + day8;
        QTest::newRow("json") << "sqlite"
                              << QStringList{"--json", "-", "--since", "2026-12-08T00:00"}
                              << "[{\"day\":\"2026-12-08\",\"failed\":1,\"image\":\"fw2.ufw\","
                                 "\"image_sha256\":\"bbb\",\"median_seconds\":null,\"modules\":1,"
                                 "\"passed\":0,\"position\":null,\"station\":\"s2\","
                                 "\"yield_percent\":0}]";
        QTest::newRow("table") << "sqlite" << QStringList{"--since", "2026-12-08"}
                               << "DAY         STATION  POSITION  IMAGE    SHA256  MODULES  "
                                  "PASSED  FAILED  YIELD %  MEDIAN S\n"
                                  "2026-12-08  s2       -         fw2.ufw  bbb           1       "
                                  "0       1      0.0         -\n";
    }
    void reportFigures()
    {
        QFETCH(QString, kind);
        QFETCH(QStringList, arguments);
        QFETCH(QString, expected);
        const QString store = newStore(kind);
        QCOMPARE(insertKnownRows(store), QString());
        const Run outcome = run(QStringList{"--report", "--results", store} + arguments);
        QCOMPARE(outcome.exitCode, 0);
        QString out = outcome.out;
        if (arguments.contains("--json"))
            out = QJsonDocument::fromJson(out.toUtf8()).toJson(QJsonDocument::Compact) + '\n';
        QCOMPARE(out, expected.endsWith('\n') ? expected : expected + '\n');
    }

    // Four processes record into one SQLite file at once: every record is there, once.
    void sqliteSharedByProcesses()
    {
        const QString store = newStore("sqlite");
        std::vector<std::unique_ptr<QProcess>> processes;
        for (int p = 0; p < 4; ++p) {
            QStringList arguments{"--headless", "--image", image(), "--results", store};
            for (int port = 0; port < 8; ++port)
                arguments << "--port"
                          << dir.filePath(QStringLiteral("absent-%1-%2").arg(p).arg(port));
            processes.push_back(std::make_unique<QProcess>());
            start(*processes.back(), arguments, newDataHome());
        }
        for (const auto &process : processes) {
            const Run outcome = finish(*process);
            QCOMPARE(outcome.exitCode, 2);
            QCOMPARE(outcome.err, QString());
        }
        const QStringList ids = idsOf(storedRows(store));
        QCOMPARE(ids.size(), 32);
        QCOMPARE(QSet<QString>(ids.begin(), ids.end()).size(), 32);
    }

private:
    static QByteArray contents(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    void requireServer()
    {
        if (QDir(QStringLiteral("/usr/lib/postgresql")).isEmpty())
            QSKIP("no PostgreSQL server installed (scripts/test.sh installs it)");
        // Started on first need: an entry of SQLite rows alone starts none.
        if (!serverStarted) {
            serverStarted = true;
            serverProblem = server.start();
        }
        QVERIFY2(serverProblem.isEmpty(), qPrintable(serverProblem));
    }

    QString newDatabase()
    {
        const QString name = QStringLiteral("results_%1").arg(++made);
        const QString problem = server.exec("postgres", {"create database " + name});
        return problem.isEmpty() ? name : QString();
    }

    QString newDataHome() { return dir.filePath(QStringLiteral("home-%1").arg(++made)); }

    // A fresh store of the kind: a SQLite file, or a database of the server.
    QString newStore(const QString &kind)
    {
        if (kind == "sqlite")
            return "sqlite:" + dir.filePath(QStringLiteral("store-%1.sqlite").arg(++made));
        requireServer();
        return server.url(newDatabase());
    }

    QString execIn(const QString &store, const QStringList &statements)
    {
        if (store.startsWith("postgresql:"))
            return server.exec(store.section('/', -1), statements);
        QString problem;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "exec");
            db.setDatabaseName(store.mid(7));
            if (!db.open())
                problem = db.lastError().text();
            for (const QString &statement : statements) {
                QSqlQuery query(db);
                if (problem.isEmpty() && !query.exec(statement))
                    problem = query.lastError().text();
            }
        }
        QSqlDatabase::removeDatabase("exec");
        return problem;
    }

    // The tables as the tool's first schema made them, with one module of that time.
    static QStringList firstSchema(bool server, const QString &id)
    {
        QString columns = "id uuid primary key, station text not null, position text, port text "
                          "not null, device text, image text, image_sha256 text, image_size "
                          "bigint, started timestamptz, ended timestamptz, seconds double "
                          "precision, bytes bigint, requests integer, crc_errors integer, status "
                          "text not null, result integer, reason text, reason_code text, "
                          "tool_version text, module_text text";
        if (!server)
            columns.replace("uuid", "text")
                .replace("timestamptz", "text")
                .replace("bigint", "integer")
                .replace("double precision", "real");
        return {"create table schema_version (version integer not null)",
                "insert into schema_version values (1)", "create table modules (" + columns + ")",
                "create index modules_started on modules (started)",
                QString("insert into modules (id, station, port, status, started) values ('%1', "
                        "'line1', '/dev/ttyUSB0', 'ok', '2020-01-02T03:04:05.000Z')")
                    .arg(id)};
    }

    QString image()
    {
        const QString path = dir.filePath("small.ufw");
        return QFile::exists(path) ? path : TestSupport::writeFile(path, "image");
    }

    // As a station runs it: no display, its own data folder, days in UTC.
    void start(QProcess &upgrader, const QStringList &arguments, const QString &home,
               const QStringList &environment = {})
    {
        QProcessEnvironment all = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "PGPASSWORD"})
            all.remove(name);
        all.insert("XDG_DATA_HOME", home);
        all.insert("TZ", "UTC");
        for (const QString &setting : environment)
            all.insert(setting.section('=', 0, 0), setting.section('=', 1));
        upgrader.setProcessEnvironment(all);
        upgrader.start(QStringLiteral(RW47HN_UPGRADER_PATH), arguments);
    }

    Run finish(QProcess &upgrader)
    {
        Run outcome;
        if (upgrader.error() == QProcess::FailedToStart ||
            !QTest::qWaitFor([&] { return upgrader.state() == QProcess::NotRunning; }, 30000))
            return outcome;
        outcome.exitCode = upgrader.exitStatus() == QProcess::NormalExit ? upgrader.exitCode() : -2;
        outcome.out = QString::fromUtf8(upgrader.readAllStandardOutput());
        outcome.err = QString::fromUtf8(upgrader.readAllStandardError());
        // A sanitizer's report in the child shows only as its exit status otherwise.
        if (outcome.err.contains(QLatin1String("Sanitizer")))
            qWarning().noquote() << outcome.err;
        return outcome;
    }

    Run run(const QStringList &arguments, const QString &home = {},
            const QStringList &environment = {})
    {
        QProcess upgrader;
        start(upgrader, arguments, home.isEmpty() ? newDataHome() : home, environment);
        return finish(upgrader);
    }

    // One module's run into `store`, its record's id from --json: a port that is not there,
    // or a module that passes.
    Run recordMissingPort(const QString &store, const QString &home,
                          const QStringList &environment = {}, const QStringList &more = {})
    {
        const QString json = dir.filePath(QStringLiteral("run-%1.json").arg(++made));
        Run outcome = run(QStringList{"--headless", "--image", image(), "--port",
                                      dir.filePath("absent"), "--results", store, "--json", json} +
                              more,
                          home, environment);
        outcome.id = QJsonDocument::fromJson(contents(json)).array().at(0)["id"].toString();
        return outcome;
    }
    Run recordModule(const QString &store, const QString &home)
    {
        PtyPair pty;
        if (!pty.open())
            return {};
        ModuleSimulator module(pty, "image");
        const QString json = dir.filePath(QStringLiteral("run-%1.json").arg(++made));
        Run outcome = run({"--headless", "--image", image(), "--port", pty.slavePath(), "--results",
                           store, "--json", json},
                          home);
        outcome.id = QJsonDocument::fromJson(contents(json)).array().at(0)["id"].toString();
        return outcome;
    }

    // Five modules of two days, two stations, three positions and two images.
    QString insertKnownRows(const QString &store)
    {
        struct Known
        {
            const char *station, *position, *image, *sha, *started;
            ModuleRecord::Status status;
            int seconds;
        };
        const Known known[] = {{"s1", "A1", "fw1.ufw", "aaa", "2026-12-07T08:00:00.000Z",
                                ModuleRecord::Status::Ok, 20},
                               {"s1", "A1", "fw1.ufw", "aaa", "2026-12-07T09:00:00.000Z",
                                ModuleRecord::Status::Ok, 30},
                               {"s1", "A1", "fw1.ufw", "aaa", "2026-12-07T10:00:00.000Z",
                                ModuleRecord::Status::Failed, 5},
                               {"s1", "A2", "fw1.ufw", "aaa", "2026-12-07T23:59:00.000Z",
                                ModuleRecord::Status::Ok, 10},
                               {"s2", "", "fw2.ufw", "bbb", "2026-12-08T00:00:00.000Z",
                                ModuleRecord::Status::Error, 30}};
        QString problem;
        ResultsDatabase database(ResultsTarget::parse(store, &problem),
                                 ResultsDatabase::Use::Write);
        for (const Known &module : known) {
            ModuleRecord record;
            record.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
            record.position = module.position;
            record.port = "/dev/ttyUSB0";
            record.image = module.image;
            record.imageSha256 = module.sha;
            record.started = QDateTime::fromString(module.started, Qt::ISODateWithMs);
            record.ended = record.started.addSecs(module.seconds);
            record.status = module.status;
            if (database.insert(ModuleRow::of(record, module.station), {}, &problem) !=
                ResultsDatabase::Outcome::Done)
                return problem;
        }
        return {};
    }

    PostgresServer server;
    QString serverProblem;
    bool serverStarted = false;
    QTemporaryDir dir;
    int made = 0;
};

QTEST_MAIN(tst_Results)
#include "tst_results.moc"
