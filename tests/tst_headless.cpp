// The upgrader without a window: exit status, summary lines, many modules at once, and a
// command line that needs no display. And the windows' end on a signal, which is the
// headless run's.

#include "modulesimulator.h"
#include "portstation.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QUuid>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace {

struct Outcome
{
    int exitCode = -1;
    QString out;
    QString err;
};

void writeAll(int fd, const QByteArray &bytes)
{
    for (int done = 0; done < bytes.size();)
        done += int(qMax<ssize_t>(::write(fd, bytes.constData() + done, bytes.size() - done), 0));
}

// What is waiting to be read on a non-blocking look.
QByteArray readAvailable(int fd)
{
    QByteArray bytes;
    pollfd descriptor{fd, POLLIN, 0};
    char buffer[256];
    while (::poll(&descriptor, 1, 0) == 1 && (descriptor.revents & POLLIN)) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count <= 0)
            break;
        bytes.append(buffer, int(count));
    }
    return bytes;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int lineCount(const QString &path)
{
    return contents(path).count('\n');
}

// Every line of a JSON lines file as an object; an empty object for a line that is none.
QList<QJsonObject> jsonObjects(const QString &path)
{
    QList<QJsonObject> objects;
    for (const QByteArray &line : contents(path).split('\n')) {
        if (!line.isEmpty())
            objects << QJsonDocument::fromJson(line).object();
    }
    return objects;
}

// Where QSerialPort keeps the lock of `port` on a system that keeps such locks; empty else.
QString lockFilePath(const QString &port)
{
    const QString folder = QStringLiteral("/var/lock");
    if (!QFileInfo(folder).isWritable())
        return QString();
    QString name = port;
    name.remove(0, QStringLiteral("/dev/").size()).replace('/', '_');
    return folder + "/LCK.." + name;
}

// Resets in the child what a runner may have set for itself (nohup ignores SIGHUP, a
// background job SIGINT, a thread may block them): fork and exec would hand it on, and the
// rows would then test the runner's settings instead of the upgrader's.
void takeSignalsAsUsual()
{
    sigset_t caught;
    sigemptyset(&caught);
    for (const int number : {SIGHUP, SIGINT, SIGTERM}) {
        ::signal(number, SIG_DFL);
        sigaddset(&caught, number);
    }
    ::sigprocmask(SIG_UNBLOCK, &caught, nullptr);
}

class SignalReadyProcess : public QProcess
{
public:
    SignalReadyProcess()
    {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        setChildProcessModifier(takeSignalsAsUsual);
#endif
    }
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)

protected:
    void setupChildProcess() override
    {
        takeSignalsAsUsual();
    }
#endif
};

// Whether a process waits for the flock on `path`: Linux lists each waiter with "->".
bool lockWaitedFor(const QString &path)
{
    struct stat status
    {
    };
    if (::stat(qPrintable(path), &status) != 0)
        return false;
    const QByteArray inode = ':' + QByteArray::number(qulonglong(status.st_ino)) + ' ';
    for (const QByteArray &line : contents("/proc/locks").split('\n')) {
        if (line.contains("-> FLOCK") && line.contains(inode))
            return true;
    }
    return false;
}

} // namespace

class tst_Headless : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        TestSupport::quietDebug();
        QVERIFY(dir.isValid());
    }

    // Run in the default language, with Qt's Chinese loaded: the records stay English.
    void outcomes_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("summary"); // a pattern; PORT stands for the port
        QTest::addColumn<QString>("reasonCode");
        QTest::newRow("success") << "success" << 0
                                 << "^PORT: ok, 20000 bytes, 20 requests, [0-9]+\\.[0-9]+ s$"
                                 << "";
        QTest::newRow("failed result") << "result 3" << 1 << "^PORT: failed, result 3$"
                                       << "";
        QTest::newRow("silent module") << "silent" << 2 << "^PORT: error, no answer for 1 s$"
                                       << "no_answer";
        QTest::newRow("line dropped")
            << "drop" << 2 << "^PORT: error, port lost: the device went away$"
            << "port_lost";
        QTest::newRow("missing port")
            << "no port" << 2 << "^PORT: error, cannot open the port: no such device$"
            << "cannot_open";
        QTest::newRow("chatter, no frame") << "chatter" << 2 << "^PORT: error, no answer for 1 s$"
                                           << "no_answer";
        QTest::newRow("adapter absent")
            << "no adapter" << 2 << "^PORT: error, no port matches PORT$"
            << "port_not_found";
    }
    void outcomes()
    {
        QFETCH(QString, scenario);
        QFETCH(int, exitCode);
        QFETCH(QString, summary);
        QFETCH(QString, reasonCode);
        const QByteArray image = TestSupport::randomBytes(20000, 51);
        const QString imagePath = TestSupport::writeFile(dir.filePath("fw.ufw"), image);
        SimulatorOptions options;
        options.result = scenario == "result 3" ? 3 : 0;
        options.silent = scenario == "silent" || scenario == "chatter";
        options.dropAfter = scenario == "drop" ? 3 : -1;
        PtyPair pty;
        QVERIFY(pty.open());
        ModuleSimulator module(pty, image, options);
        QString port = pty.slavePath();
        if (scenario == "no port")
            port = dir.filePath("no-such-port");
        if (scenario == "no adapter")
            port = "serial=rw47hn-no-such-adapter";
        // Bytes that never form a frame do not keep a module alive.
        QTimer chatter;
        connect(&chatter, &QTimer::timeout, [&] { writeAll(pty.masterFd(), "xyz"); });
        if (scenario == "chatter")
            chatter.start(50);

        const QString json = dir.filePath("outcome.json");
        const Outcome outcome = run(
            {"--headless", "--port", port, "--image", imagePath, "--timeout", "1", "--json", json});
        QCOMPARE(outcome.exitCode, exitCode);
        const QRegularExpression pattern(QString(summary).replace("PORT", port));
        QVERIFY2(pattern.match(outcome.out.trimmed()).hasMatch(), qPrintable(outcome.out));
        const QJsonObject record = QJsonDocument::fromJson(contents(json)).array().at(0).toObject();
        QCOMPARE(record["reason_code"].toString(), reasonCode);
        if (exitCode == 2)
            QCOMPARE(outcome.out.trimmed(), port + ": error, " + record["reason"].toString());
        QCOMPARE(QUuid::fromString(record["id"].toString()).isNull(), false);
        // Wall time from the start to the end, whatever the outcome; a module that was
        // reached waited a second for the start frame alone.
        const auto time = [&](const char *key) {
            return QDateTime::fromString(record[key].toString(), Qt::ISODateWithMs);
        };
        QCOMPARE(record["seconds"].toDouble(), time("started").msecsTo(time("ended")) / 1000.0);
        if (!scenario.startsWith("no "))
            QVERIFY2(record["seconds"].toDouble() >= 1.0, qPrintable(outcome.out));
        if (exitCode == 0)
            QCOMPARE(module.stats().bytesVerified, qint64(image.size()));
    }

    // Every module gets every byte right, and the JSON file says so per port.
    void eightModulesAtOnce()
    {
        const QByteArray image = TestSupport::randomBytes(50000, 52);
        const QString imagePath = TestSupport::writeFile(dir.filePath("eight.ufw"), image);
        std::vector<std::unique_ptr<PtyPair>> lines;
        std::vector<std::unique_ptr<ModuleSimulator>> modules;
        QStringList arguments = {"--headless", "--image", imagePath, "--json",
                                 dir.filePath("results.json")};
        for (int i = 0; i < 8; ++i) {
            lines.push_back(std::make_unique<PtyPair>());
            QVERIFY(lines.back()->open());
            modules.push_back(std::make_unique<ModuleSimulator>(*lines.back(), image));
            arguments << "--port" << lines.back()->slavePath();
        }
        const Outcome outcome = run(arguments);
        QCOMPARE(outcome.exitCode, 0);
        QCOMPARE(outcome.out.count(": ok, 50000 bytes, 49 requests, "), 8);
        for (const auto &module : modules) {
            QCOMPARE(module->stats().bytesVerified, qint64(image.size()));
            QCOMPARE(module->stats().mismatches, 0);
        }
        QFile json(dir.filePath("results.json"));
        QVERIFY(json.open(QIODevice::ReadOnly));
        const QJsonArray results = QJsonDocument::fromJson(json.readAll()).array();
        QCOMPARE(results.size(), 8);
        const QRegularExpression utcMs("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$");
        const QString sha256 = QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex();
        for (const QJsonValue &result : results) {
            QCOMPARE(result["status"].toString(), QStringLiteral("ok"));
            QCOMPARE(result["bytes"].toInt(), image.size());
            QCOMPARE(result["crc_errors"].toInt(), 0);
            QCOMPARE(result["image"].toString(), imagePath);
            QCOMPARE(result["image_size"].toInt(), image.size());
            QCOMPARE(result["image_sha256"].toString(), sha256);
            QCOMPARE(result["tool_version"].toString(), QStringLiteral(RW47HN_VERSION));
            QCOMPARE(result["module_text"].toString(), QStringLiteral("\r\nOK\r\n"));
            QVERIFY(utcMs.match(result["started"].toString()).hasMatch());
            QVERIFY(result["ended"].toString() >= result["started"].toString());
        }
    }

    // No display anywhere: help and version work, mistakes are one line and status 2.
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output"); // stdout for status 0, the one stderr line else
        QTest::newRow("help") << QStringList{"--help"} << 0 << "--headless";
        QTest::newRow("version") << QStringList{"--version"} << 0
                                 << "rw47hn-upgrader " RW47HN_VERSION;
        QTest::newRow("bad option") << QStringList{"--headless", "--bogus"} << 2
                                    << "rw47hn-upgrader: Unknown option 'bogus'.";
        QTest::newRow("no image") << QStringList{"--headless", "--port", "/dev/null"} << 2
                                  << "rw47hn-upgrader: --headless needs --image";
        QTest::newRow("no port") << QStringList{"--headless", "--image", "a.ufw"} << 2
                                 << "rw47hn-upgrader: --headless needs at least one --port";
        QTest::newRow("rate not offered") << QStringList{"--baud", "1234"} << 2
                                          << "rw47hn-upgrader: --baud: not an offered rate: 1234";
        QTest::newRow("bad option, window")
            << QStringList{"--bogus"} << 2 << "rw47hn-upgrader: Unknown option 'bogus'.";
        QTest::newRow("window") << QStringList{} << 2
                                << "rw47hn-upgrader: cannot open a window: no display (use "
                                   "--headless to upgrade without one)";
    }

    // Refused before any port is opened: one line, status 2, not a byte on the line.
    void refusals_data()
    {
        QTest::addColumn<QStringList>("arguments"); // PORT: a live pty; LINK: a link to it
        QTest::addColumn<QString>("error");
        const QStringList run = {"--headless", "--image", "IMAGE", "--port", "PORT"};
        QTest::newRow("same port twice")
            << run + QStringList{"--port", "PORT"} << "--port: given twice: PORT (PORT)";
        QTest::newRow("same device by a link")
            << run + QStringList{"--port", "LINK"} << "--port: given twice: LINK (PORT)";
        for (const char *seconds : {"0", "86401", "4294968"})
            QTest::newRow(seconds) << run + QStringList{"--timeout", seconds}
                                   << QString("--timeout: not a number of seconds from 1 to "
                                              "86400: ") +
                                          seconds;
        QTest::newRow("json folder missing")
            << run + QStringList{"--json", "/no/such/r.json"} << "--json: no such folder: /no/such";
        QTest::newRow("json-lines folder missing")
            << run + QStringList{"--json-lines", "/no/such/r.jsonl"}
            << "--json-lines: no such folder: /no/such";
        QTest::newRow("report over the image") << run + QStringList{"--json", "IMAGE"}
                                               << "--json and --image name the same file: IMAGE";
        QTest::newRow("image is a device")
            << QStringList{"--headless", "--image", "/dev/zero", "--port", "PORT"}
            << "cannot load the image /dev/zero: 文件无效: 不是普通文件";
        QTest::newRow("image is a FIFO")
            << QStringList{"--headless", "--image", "FIFO", "--port", "PORT"}
            << "cannot load the image FIFO: 文件无效: 不是普通文件";
        // A station is refused as the options are, its station file without being read.
        QTest::newRow("station file is a FIFO")
            << QStringList{"-platform", "offscreen", "--station", "--profile", "FIFO"}
            << "--profile: FIFO: not a regular file: FIFO";
        QStringList seventeen = {"-platform", "offscreen", "--station", "--port", "PORT"};
        for (int i = 1; i <= 16; ++i)
            seventeen << "--port" << QString("COM%1").arg(i);
        QTest::newRow("station of 17 positions")
            << seventeen << "--station: positions: 1 to 16 positions, not 17";
    }
    void refusals()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, error);
        PtyPair pty;
        QVERIFY(pty.open());
        const QString link = dir.filePath("link");
        QFile::remove(link);
        QVERIFY(QFile::link(pty.slavePath(), link));
        const QString fifo = dir.filePath("fifo.ufw");
        QVERIFY(QFile::exists(fifo) || ::mkfifo(qPrintable(fifo), 0600) == 0);
        const QString image = TestSupport::writeFile(dir.filePath("r.ufw"), "x");
        for (QString *text : {&error})
            text->replace("PORT", pty.slavePath())
                .replace("LINK", link)
                .replace("FIFO", fifo)
                .replace("IMAGE", QFileInfo(image).canonicalFilePath());
        arguments.replaceInStrings(QRegularExpression("^PORT$"), pty.slavePath());
        arguments.replaceInStrings(QRegularExpression("^LINK$"), link);
        arguments.replaceInStrings(QRegularExpression("^FIFO$"), fifo);
        arguments.replaceInStrings(QRegularExpression("^IMAGE$"), image);

        Outcome outcome = run(arguments);
        QCOMPARE(outcome.exitCode, 2);
        // A station's window notes a missing runtime folder before the refusal: Qt's, not ours.
        outcome.err.remove(QRegularExpression("^QStandardPaths: [^\n]*\n"));
        QCOMPARE(outcome.err, "rw47hn-upgrader: " + error + '\n');
        QCOMPARE(readAvailable(pty.masterFd()), QByteArray()); // the run has ended
    }
    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        const Outcome outcome = run(arguments);
        QCOMPARE(outcome.exitCode, exitCode);
        if (exitCode == 0)
            QVERIFY2(outcome.out.contains(output), qPrintable(outcome.out));
        else
            QCOMPARE(outcome.err, output + '\n');
    }

    // The list needs no display; ptys are not among the ports a system lists, so only its
    // form is known here: a JSON array, on stdout or in a file, and a table line per port.
    void listPorts()
    {
        const Outcome json = run({"--list-ports", "--json", "-"});
        QCOMPARE(json.exitCode, 0);
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(json.out.toUtf8(), &error);
        QVERIFY2(document.isArray(), qPrintable(error.errorString()));
        const QString file = dir.filePath("ports.json");
        QCOMPARE(run({"--list-ports", "--json", file}).exitCode, 0);
        QCOMPARE(QJsonDocument::fromJson(contents(file)), document);
        const Outcome table = run({"--list-ports"});
        QCOMPARE(table.exitCode, 0);
        const int ports = document.array().size();
        QCOMPARE(table.out.count('\n'), ports == 0 ? 1 : ports + 1);
        QVERIFY2(ports > 0 || table.out == "no serial ports found\n", qPrintable(table.out));
    }

    // A station given an adapter's serial number looks it up at every poll and as each module
    // starts: the adapter comes back under another name and its next module is upgraded there.
    void stationFollowsItsAdapter()
    {
        const QByteArray image = TestSupport::randomBytes(2000, 57);
        SharedImage shared{"i.ufw", image, {}};
        QVector<PortIdentity> listed;
        int looks = 0;
        HeadlessOptions options;
        options.wait = options.loop = true;
        options.logDir = dir.filePath("adapter-logs");
        QVERIFY(QDir().mkpath(options.logDir));
        options.listPorts = [&] {
            ++looks;
            return listed;
        };
        PortStation station("serial=S1", options, shared);
        std::vector<ModuleRecord> ended;
        connect(&station, &PortStation::moduleEnded, this,
                [&](const ModuleRecord &record) { ended.push_back(record); });
        station.start();
        for (int module = 0; module < 2; ++module) {
            PtyPair pty;
            QVERIFY(pty.open());
            ModuleSimulator simulator(pty, image);
            const int seen = looks;
            QTRY_VERIFY(looks > seen + 1); // polled at least once more without the adapter
            QCOMPARE(int(ended.size()), module);
            listed = {{"ttyX", "", "", "S1", pty.slavePath(), true, 0x0403, 0x6001},
                      {"ttyY", "", "", "S2", "/dev/no-such-port", true, 0x0403, 0x6001}};
            QTRY_COMPARE_WITH_TIMEOUT(int(ended.size()), module + 1, 10000);
            const ModuleRecord &record = ended.back();
            QCOMPARE(record.status, ModuleRecord::Status::Ok);
            QVERIFY2(record.summaryLine().startsWith("serial=S1 (" + pty.slavePath() + "): ok"),
                     qPrintable(record.summaryLine()));
            QCOMPARE(record.toJson()["port"].toString(), QString("serial=S1"));
            QCOMPARE(record.toJson()["device"].toString(), pty.slavePath());
            listed.clear(); // unplugged
        }
        QVERIFY(!station.interrupt());
        // A log per module, named after the request and the device, nothing a file system trips on.
        const QStringList logs = QDir(options.logDir).entryList(QDir::Files);
        QCOMPARE(logs.size(), 2);
        for (const QString &name : logs)
            QVERIFY2(QRegularExpression("^[0-9_-]+_serial_S1_\\d+\\.log$").match(name).hasMatch(),
                     qPrintable(name));
    }

    // A report that cannot be written is an error, and the old one stays whole.
    void reportCannotBeWritten()
    {
        const QString full = dir.filePath("full");
        QVERIFY(QDir().mkpath(full));
        if (::getuid() != 0 || ::mount("tmpfs", qPrintable(full), "tmpfs", 0, "size=64k") != 0)
            QSKIP("needs root to mount a small tmpfs; permissions do not stop root's writes");
        const QString report = full + "/results.json";
        TestSupport::writeFile(report, "old report\n");
        QFile filler(full + "/filler");
        QVERIFY(filler.open(QIODevice::WriteOnly));
        while (filler.write(QByteArray(4096, 'x')) > 0 && filler.flush()) {
        }
        filler.close();
        const QByteArray image = TestSupport::randomBytes(4000, 53);
        PtyPair pty;
        QVERIFY(pty.open());
        ModuleSimulator module(pty, image);
        const Outcome outcome =
            run({"--headless", "--port", pty.slavePath(), "--image",
                 TestSupport::writeFile(dir.filePath("small.ufw"), image), "--json", report});
        const QStringList left = QDir(full).entryList(QDir::Files);
        QFile old(report);
        const bool oldRead = old.open(QIODevice::ReadOnly);
        const QByteArray oldContent = old.readAll();
        old.close();
        ::umount(qPrintable(full));
        QCOMPARE(outcome.exitCode, 2);
        QVERIFY2(outcome.err.contains("rw47hn-upgrader: cannot write " + report + ": "),
                 qPrintable(outcome.err));
        QVERIFY(oldRead);
        QCOMPARE(oldContent, QByteArray("old report\n"));
        QCOMPARE(left, (QStringList{"filler", "results.json"}));
    }

    // A report goes to what its path names: /dev/null and a FIFO are written through and stay
    // what they are; a FIFO nobody reads and a folder are refused, status 2.
    void reportTargets_data()
    {
        QTest::addColumn<bool>("headless"); // else the port list
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>(
            "target"); // FOLDER, FIFO, READ FIFO (read by this test) or a path
        QTest::addColumn<QString>("problem"); // empty: status 0
        QTest::newRow("port list to /dev/null") << false << "--json"
                                                << "/dev/null"
                                                << "";
        QTest::newRow("report to /dev/null") << true << "--json"
                                             << "/dev/null"
                                             << "";
        QTest::newRow("history to /dev/null") << true << "--json-lines"
                                              << "/dev/null"
                                              << "";
        QTest::newRow("report to a FIFO being read") << true << "--json"
                                                     << "READ FIFO"
                                                     << "";
        QTest::newRow("history to a FIFO being read") << true << "--json-lines"
                                                      << "READ FIFO"
                                                      << "";
        QTest::newRow("port list to a FIFO nobody reads") << false << "--json"
                                                          << "FIFO"
                                                          << "a FIFO that nobody reads";
        QTest::newRow("port list to a folder") << false << "--json"
                                               << "FOLDER"
                                               << "a folder, not a file";
        QTest::newRow("report to a folder") << true << "--json"
                                            << "FOLDER"
                                            << "a folder, not a file";
        QTest::newRow("history to a folder") << true << "--json-lines"
                                             << "FOLDER"
                                             << "a folder, not a file";
    }
    void reportTargets()
    {
        QFETCH(bool, headless);
        QFETCH(QString, option);
        QFETCH(QString, target);
        QFETCH(QString, problem);
        const QString fifo = dir.filePath("report.fifo");
        QVERIFY(QFile::exists(fifo) || ::mkfifo(qPrintable(fifo), 0600) == 0);
        const QString path = target == "FOLDER"        ? dir.filePath("folder")
                             : target.endsWith("FIFO") ? fifo
                                                       : target;
        QVERIFY(QDir().mkpath(dir.filePath("folder")));
        const int reader = target == "READ FIFO"
                               ? ::open(qPrintable(fifo), O_RDONLY | O_NONBLOCK | O_CLOEXEC)
                               : -1;
        const QByteArray image = TestSupport::randomBytes(2000, 58);
        PtyPair pty;
        QVERIFY(pty.open());
        ModuleSimulator module(pty, image);
        QStringList arguments = {option, path};
        arguments += headless ? QStringList{"--headless", "--port", pty.slavePath(), "--image",
                                            TestSupport::writeFile(dir.filePath("t.ufw"), image)}
                              : QStringList{"--list-ports"};
        const Outcome outcome = run(arguments);
        const QByteArray written = reader >= 0 ? readAvailable(reader) : QByteArray();
        if (reader >= 0)
            ::close(reader);
        QCOMPARE(outcome.exitCode, problem.isEmpty() ? 0 : 2);
        if (!problem.isEmpty())
            QVERIFY2(outcome.err.contains("rw47hn-upgrader: cannot write " + path + ": " + problem +
                                          '\n'),
                     qPrintable(outcome.err));
        struct stat status
        {
        };
        QCOMPARE(::stat(qPrintable(path), &status), 0);
        if (target == "/dev/null")
            QVERIFY(S_ISCHR(status.st_mode));
        if (reader >= 0)
            QVERIFY2(!QJsonDocument::fromJson(written).isNull(), written.constData());
    }

    // Past a file-size limit (ulimit -f) a report or a log is a write that failed: one line in
    // English, status 2, the old report as it was; never the end of the process by SIGXFSZ.
    void fileSizeLimit_data()
    {
        QTest::addColumn<bool>("headless"); // else the port list
        // Room for the port's lock file (about 100 bytes), not for what cannot be written.
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<QString>("output"); // what cannot be written
        QTest::newRow("port list") << false << qint64(1) << "--json";
        QTest::newRow("report") << true << qint64(400) << "--json";
        QTest::newRow("log file") << true << qint64(1024) << "--log-dir";
    }
    void fileSizeLimit()
    {
        QFETCH(bool, headless);
        QFETCH(qint64, limit);
        QFETCH(QString, output);
        const QString report = TestSupport::writeFile(dir.filePath("limit.json"), "old\n");
        const QString logs = dir.filePath("limit-logs");
        QVERIFY(QDir(logs).removeRecursively());
        const QByteArray image = TestSupport::randomBytes(2000, 59);
        PtyPair pty;
        QVERIFY(pty.open());
        ModuleSimulator module(pty, image);
        QStringList arguments = {output, output == "--json" ? report : logs, "--results", "none"};
        arguments += headless ? QStringList{"--headless", "--port", pty.slavePath(), "--image",
                                            TestSupport::writeFile(dir.filePath("u.ufw"), image)}
                              : QStringList{"--list-ports"};
        QProcess upgrader;
        startWithFileLimit(upgrader, arguments, limit);
        const Outcome outcome = finish(upgrader);
        QCOMPARE(outcome.exitCode, 2); // not ended by SIGXFSZ
        const QStringList logFiles = QDir(logs).entryList(QDir::Files);
        const QString unwritten = output == "--json" ? report : logs + '/' + logFiles.value(0);
        QVERIFY2(outcome.err.contains("rw47hn-upgrader: cannot write " + unwritten +
                                      ": File too large\n"),
                 qPrintable(outcome.err));
        QCOMPARE(contents(report), QByteArray("old\n"));
        if (headless) // the module itself went well
            QVERIFY2(outcome.out.startsWith(pty.slavePath() + ": ok"), qPrintable(outcome.out));
    }

    // A signal during two modules: both reported as interrupted, both reports written, 128 +
    // the signal. A second signal is sent once the first module's JSON line is on disk and its
    // sync is held (the test hook RW47HN_SYNC_DELAY_MS): the run is still reporting then.
    void interruptStillReports_data()
    {
        QTest::addColumn<QStringList>("signalNames"); // one after the other
        QTest::addColumn<bool>("stdoutClosed");       // from the start: its reader has gone
        QTest::addColumn<int>("exitCode");            // -2: ended by the signal, no report
        QTest::newRow("SIGINT") << QStringList{"INT"} << false << 130;
        QTest::newRow("stdout closed, then SIGINT") << QStringList{"INT"} << true << 130;
        QTest::newRow("SIGHUP") << QStringList{"HUP"} << false << 129;
        QTest::newRow("SIGHUP twice, as a dropped session sends it")
            << QStringList{"HUP", "HUP"} << false << 129;
        QTest::newRow("SIGTERM then SIGINT") << QStringList{"TERM", "INT"} << false << -2;
    }
    void interruptStillReports()
    {
        QFETCH(QStringList, signalNames);
        QFETCH(bool, stdoutClosed);
        QFETCH(int, exitCode);
        const QMap<QString, int> numbers = {{"HUP", SIGHUP}, {"INT", SIGINT}, {"TERM", SIGTERM}};
        PtyPair lines[2];
        SimulatorOptions silent;
        silent.silent = true;
        std::vector<std::unique_ptr<ModuleSimulator>> modules;
        const QString json = dir.filePath("int.json");
        const QString jsonLines = dir.filePath("int.jsonl");
        QFile::remove(json);
        QFile::remove(jsonLines);
        QStringList arguments = {
            "--headless",   "--verbose",
            "--json",       json,
            "--json-lines", jsonLines,
            "--image",      TestSupport::writeFile(dir.filePath("i.ufw"), "abc")};
        for (PtyPair &line : lines) {
            QVERIFY(line.open());
            modules.push_back(std::make_unique<ModuleSimulator>(line, "abc", silent));
            arguments << "--port" << line.slavePath();
        }
        QProcess upgrader;
        int stdoutEnds[2] = {-1, -1};
        if (stdoutClosed) {
            QVERIFY(::pipe2(stdoutEnds, O_CLOEXEC) == 0);
            upgrader.setStandardOutputFile(QString("/proc/self/fd/%1").arg(stdoutEnds[1]));
        }
        start(upgrader, arguments,
              {{"RW47HN_SYNC_DELAY_MS", signalNames.size() > 1 ? "2000" : "0"}});
        for (const int end : stdoutEnds) {
            if (end >= 0)
                ::close(end); // nobody reads the upgrader's stdout any more
        }
        QTRY_COMPARE_WITH_TIMEOUT(stderrSoFar.count("切波特率到: 9600"), 2, 10000);
        for (int i = 0; i < signalNames.size(); ++i) {
            if (i > 0)
                QTRY_VERIFY_WITH_TIMEOUT(lineCount(jsonLines) > 0, 10000);
            ::kill(pid_t(upgrader.processId()), numbers.value(signalNames.at(i)));
        }
        const Outcome outcome = finish(upgrader);
        QCOMPARE(outcome.exitCode, exitCode);
        if (exitCode < 0) {
            QVERIFY(!QFile::exists(json)); // ended at once, before the report
            return;
        }
        for (const PtyPair &line : lines) {
            if (!stdoutClosed)
                QVERIFY(outcome.out.contains(line.slavePath() + ": error, interrupted\n"));
        }
        if (stdoutClosed)
            QVERIFY2(outcome.err.contains("rw47hn-upgrader: stdout: "), qPrintable(outcome.err));
        QFile report(json);
        QVERIFY(report.open(QIODevice::ReadOnly));
        const QJsonArray results = QJsonDocument::fromJson(report.readAll()).array();
        QCOMPARE(results.size(), 2);
        for (const QJsonValue &result : results)
            QCOMPARE(result["reason"].toString(), QStringLiteral("interrupted"));
        QCOMPARE(jsonObjects(jsonLines).size(), 2);
        for (const QJsonObject &result : jsonObjects(jsonLines))
            QCOMPARE(result["reason"].toString(), QStringLiteral("interrupted"));
    }

    // The windows end on a signal as a headless run does: the module in mid-transfer is
    // reported interrupted, its port closes (its lock file goes), the status is 128 + the
    // signal. The module stops asking after its first slice came back right, so the transfer
    // waits, whatever the timing, until the signal ends it.
    void windowsEndOnSignal_data()
    {
        QTest::addColumn<bool>("station"); // else the main window
        QTest::addColumn<int>("signalNumber");
        // Both windows take the three signals through the one watcher: each signal once,
        // each window at least once.
        QTest::newRow("station, SIGTERM") << true << int(SIGTERM);
        QTest::newRow("station, SIGHUP") << true << int(SIGHUP);
        QTest::newRow("main window, SIGINT") << false << int(SIGINT);
    }
    void windowsEndOnSignal()
    {
        QFETCH(bool, station);
        QFETCH(int, signalNumber);
        const QByteArray image = TestSupport::randomBytes(20000, 57);
        PtyPair pty;
        QVERIFY(pty.open());
        // Slow enough on the line (a slice a second) that no transfer ends within the look.
        SimulatorOptions slow;
        slow.pace = true;
        slow.paceBaud = 9600;
        auto module = std::make_unique<ModuleSimulator>(pty, image, slow);
        const QString logDir = dir.filePath("window-logs");
        QVERIFY(QDir(logDir).removeRecursively());
        const QString jsonLines = dir.filePath("window.jsonl");
        QFile::remove(jsonLines);
        QStringList arguments = {"--port",    pty.slavePath(),
                                 "--image",   TestSupport::writeFile(dir.filePath("s.ufw"), image),
                                 "--log-dir", logDir};
        arguments << "--start";
        if (station)
            arguments << "--station"
                      << "--json-lines" << jsonLines;
        SignalReadyProcess upgrader;
        // The windows keep their settings: here, not in the user's.
        start(upgrader, arguments,
              {{"QT_QPA_PLATFORM", "offscreen"}, {"XDG_CONFIG_HOME", dir.filePath("config")}});
        QTRY_VERIFY2_WITH_TIMEOUT(module->stats().bytesVerified > 0,
                                  qPrintable(stderrSoFar + upgrader.readAllStandardOutput()),
                                  10000);
        module.reset();
        const QString lock = lockFilePath(pty.slavePath());
        if (!lock.isEmpty())
            QVERIFY2(QFile::exists(lock), qPrintable(lock)); // held while the port is open
        ::kill(pid_t(upgrader.processId()), signalNumber);
        const Outcome outcome = finish(upgrader);
        QVERIFY2(outcome.exitCode == 128 + signalNumber, qPrintable(outcome.err));
        if (!lock.isEmpty())
            QVERIFY(!QFile::exists(lock));
        if (station) {
            QVERIFY2(outcome.out.contains(pty.slavePath() + ": error, interrupted\n"),
                     qPrintable(outcome.out));
            const QList<QJsonObject> results = jsonObjects(jsonLines);
            QCOMPARE(results.size(), 1);
            QCOMPARE(results.first()["reason"].toString(), QStringLiteral("interrupted"));
            QCOMPARE(results.first()["position"].toString(), QStringLiteral("A1"));
            return;
        }
        const QStringList logs = QDir(logDir).entryList(QDir::Files);
        QCOMPARE(logs.size(), 1);
        QVERIFY(contents(QDir(logDir).filePath(logs.first())).contains("升级被中断"));
    }

    // A line that does not fit (a file-size limit mid-line) leaves the file exactly as it was,
    // a line another writer appended meanwhile included; the next run appends a whole line,
    // after a line break when the file ended in a fragment.
    void jsonLinesStayWhole_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("other"); // appended by this test while the upgrader waits
        const QByteArray whole = "{\"port\":\"earlier\"}\n";
        QTest::newRow("after whole lines") << whole << QByteArray();
        QTest::newRow("after a fragment") << whole + "{\"port\":\"cut" << QByteArray();
        QTest::newRow("another writer holds the lock")
            << whole << QByteArray("{\"port\":\"other\"}\n");
    }
    void jsonLinesStayWhole()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, other);
        const QByteArray image = TestSupport::randomBytes(2000, 56);
        const QString path = TestSupport::writeFile(dir.filePath("limited.jsonl"), before);
        // No results store: a file-size limit of a few hundred bytes leaves SQLite no room.
        const QStringList arguments = {"--headless",
                                       "--json-lines",
                                       path,
                                       "--results",
                                       "none",
                                       "--image",
                                       TestSupport::writeFile(dir.filePath("l.ufw"), image)};
        for (const bool limited : {true, false}) {
            PtyPair pty;
            QVERIFY(pty.open());
            ModuleSimulator module(pty, image);
            QProcess upgrader;
            QFile holder(path);
            const bool holding = limited && !other.isEmpty();
            if (holding) {
                QVERIFY(holder.open(QIODevice::ReadWrite | QIODevice::Append));
                QCOMPARE(::flock(holder.handle(), LOCK_EX), 0);
            }
            // Room for the port's lock file and for 200 more bytes here, less than a line.
            const qint64 room = before.size() + other.size() + 200;
            startWithFileLimit(upgrader, arguments + QStringList{"--port", pty.slavePath()},
                               limited ? room : -1);
            if (holding) {
                QTRY_VERIFY_WITH_TIMEOUT(lockWaitedFor(path), 10000);
                QCOMPARE(holder.write(other), other.size());
                QVERIFY(holder.flush() && ::fsync(holder.handle()) == 0);
                holder.close(); // and the lock with it
            }
            const Outcome outcome = finish(upgrader);
            QVERIFY2(outcome.out.startsWith(pty.slavePath() + ": ok, 2000 bytes"),
                     qPrintable(outcome.out));
            QCOMPARE(outcome.exitCode, limited ? 2 : 0); // not ended by SIGXFSZ
            QCOMPARE(outcome.err.contains("rw47hn-upgrader: cannot write " + path + ": "), limited);
            if (limited)
                QCOMPARE(contents(path), before + other);
        }
        before += other;
        const QByteArray after = contents(path);
        const QByteArray kept = before.endsWith('\n') ? before : before + '\n';
        QVERIFY2(after.startsWith(kept), after.constData());
        const QList<QByteArray> lines = after.split('\n');
        QCOMPARE(lines.size(), kept.count('\n') + 2); // one line more, ended
        QCOMPARE(lines.last(), QByteArray());
        for (const QByteArray &line : lines.mid(0, lines.size() - 1)) {
            if (line != "{\"port\":\"cut")
                QVERIFY2(QJsonDocument::fromJson(line).isObject(), line.constData());
        }
        QCOMPARE(QJsonDocument::fromJson(lines.at(lines.size() - 2))["status"].toString(),
                 QStringLiteral("ok"));
    }

    // Looping, a port that fails before a byte is sent is no module: no line, no record, no
    // status of its; it is tried again after 1 s, then 2 s.
    void loopTakesAFailingPortForNoModule()
    {
        const QString jsonLines = dir.filePath("fault.jsonl");
        const QString notAPort = TestSupport::writeFile(dir.filePath("not-a-port"), "x");
        QProcess upgrader;
        start(upgrader, {"--headless", "--loop", "--port", notAPort, "--json-lines", jsonLines,
                         "--image", TestSupport::writeFile(dir.filePath("f.ufw"), "image")});
        QTRY_VERIFY_WITH_TIMEOUT(stderrSoFar.contains("; trying again in 2 s"), 10000);
        QCOMPARE(stderrSoFar.count("rw47hn-upgrader: " + notAPort + ": cannot open the port: "), 2);
        ::kill(pid_t(upgrader.processId()), SIGTERM);
        const Outcome outcome = finish(upgrader);
        QCOMPARE(outcome.exitCode, 0);
        QCOMPARE(outcome.out, QString());
        QVERIFY(!QFileInfo::exists(jsonLines));
    }

    // A station: the port appears later, a module ends, the port goes and comes back with
    // the next module; each gets its line and its JSON line; a signal between modules ends
    // the run with their status.
    void loopUpgradesModuleAfterModule()
    {
        const QByteArray image = TestSupport::randomBytes(3000, 54);
        const QString link = dir.filePath("station-port");
        const QString jsonLines = dir.filePath("station.jsonl");
        QFile::remove(link);
        QProcess upgrader;
        const QString logs = dir.filePath("logs/station/today"); // made by the upgrader
        QVERIFY(!QFileInfo::exists(dir.filePath("logs")));
        start(upgrader,
              {"--headless", "--loop", "--port", link, "--json-lines", jsonLines, "--log-dir", logs,
               "--timeout", "1", "--image", TestSupport::writeFile(dir.filePath("s.ufw"), image)});
        for (int module = 1; module <= 2; ++module) {
            PtyPair pty;
            QVERIFY(pty.open());
            ModuleSimulator simulator(pty, image);
            QTest::qWait(300); // the port is not there yet: the station waits for it
            QVERIFY(QFile::link(pty.slavePath(), link));
            QTRY_COMPARE_WITH_TIMEOUT(lineCount(jsonLines), module, 10000);
            QCOMPARE(simulator.stats().bytesVerified, qint64(image.size()));
            QVERIFY(QFile::remove(link)); // unplugged
        }
        QCOMPARE(upgrader.state(), QProcess::Running);
        ::kill(pid_t(upgrader.processId()), SIGTERM);
        const Outcome outcome = finish(upgrader);
        QCOMPARE(outcome.exitCode, 0);
        QCOMPARE(outcome.out.count(link + ": ok, 3000 bytes, "), 2);
        // A log per module, every line after its time, hex lines included.
        const QStringList files = QDir(logs).entryList(QDir::Files, QDir::Name);
        QCOMPARE(files.size(), 2);
        for (const QString &name : files) {
            QVERIFY2(QRegularExpression(
                         "^\\d{4}-\\d\\d-\\d\\d_\\d\\d-\\d\\d-\\d\\d_station-port(-2)?\\.log$")
                         .match(name)
                         .hasMatch(),
                     qPrintable(name));
            QFile log(QDir(logs).filePath(name));
            QVERIFY(log.open(QIODevice::ReadOnly));
            const QStringList lines =
                QString::fromUtf8(log.readAll()).split('\n', Qt::SkipEmptyParts);
            const QRegularExpression stamped("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} .");
            for (const QString &line : lines)
                QVERIFY2(stamped.match(line).hasMatch(), qPrintable(line));
            QVERIFY(lines.first().endsWith(" rw47hn-upgrader " RW47HN_VERSION ", language zh_CN"));
            QVERIFY(lines.at(1).endsWith(" 文件打开成功。"));
            QVERIFY(lines.filter("MCU->RW47HN: [AA 55 01 00 06 42 F2]").size() == 1);
            QVERIFY(lines.last().contains(" " + link + ": ok, 3000 bytes, 3 requests, "));
        }
    }

    // A port that is not there yet is waited for, and the wait is no silence: the timeout
    // starts with the start frame.
    void waitForPort()
    {
        const QByteArray image = TestSupport::randomBytes(2000, 55);
        const QString link = dir.filePath("late-port");
        QFile::remove(link);
        QProcess upgrader;
        start(upgrader, {"--headless", "--wait", "--timeout", "1", "--port", link, "--image",
                         TestSupport::writeFile(dir.filePath("w.ufw"), image)});
        PtyPair pty;
        QVERIFY(pty.open());
        ModuleSimulator simulator(pty, image);
        QTest::qWait(1500); // longer than the timeout
        QCOMPARE(upgrader.state(), QProcess::Running);
        QVERIFY(QFile::link(pty.slavePath(), link));
        const Outcome outcome = finish(upgrader);
        QCOMPARE(outcome.exitCode, 0);
        QVERIFY(outcome.out.startsWith(link + ": ok, 2000 bytes, "));
    }

private:
    void start(QProcess &upgrader, const QStringList &arguments,
               const QMap<QString, QString> &variables = {})
    {
        stderrSoFar.clear();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("DISPLAY");
        environment.remove("QT_QPA_PLATFORM");
        for (auto variable = variables.begin(); variable != variables.end(); ++variable)
            environment.insert(variable.key(), variable.value());
        upgrader.setProcessEnvironment(environment);
        connect(&upgrader, &QProcess::readyReadStandardError, this, [this, &upgrader] {
            stderrSoFar += QString::fromUtf8(upgrader.readAllStandardError());
        });
        upgrader.start(QStringLiteral(RW47HN_UPGRADER_PATH), arguments);
        QVERIFY(upgrader.waitForStarted());
    }
    // The limit (bytes; -1 none) is this process's only while the upgrader starts, which
    // inherits it; SIGXFSZ is at its default action then, as a shell's ulimit -f leaves it,
    // so that only the upgrader's own handling keeps it alive past the limit.
    void startWithFileLimit(QProcess &upgrader, const QStringList &arguments, qint64 bytes)
    {
        rlimit old{};
        ::getrlimit(RLIMIT_FSIZE, &old);
        rlimit limit = old;
        if (bytes >= 0)
            limit.rlim_cur = rlim_t(bytes);
        const auto oldAction = ::signal(SIGXFSZ, SIG_DFL);
        ::setrlimit(RLIMIT_FSIZE, &limit);
        start(upgrader, arguments);
        ::setrlimit(RLIMIT_FSIZE, &old);
        ::signal(SIGXFSZ, oldAction);
    }
    Outcome finish(QProcess &upgrader)
    {
        Outcome outcome;
        if (!QTest::qWaitFor([&] { return upgrader.state() == QProcess::NotRunning; }, 30000))
            return outcome;
        outcome.exitCode = upgrader.exitStatus() == QProcess::NormalExit ? upgrader.exitCode() : -2;
        outcome.out = QString::fromUtf8(upgrader.readAllStandardOutput());
        outcome.err = stderrSoFar + QString::fromUtf8(upgrader.readAllStandardError());
        return outcome;
    }

    QString stderrSoFar;

    // Runs the upgrader as a station would, without a display, while this process's event
    // loop plays the modules.
    Outcome run(const QStringList &arguments)
    {
        QProcess upgrader;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("DISPLAY");
        environment.remove("WAYLAND_DISPLAY");
        environment.remove("QT_QPA_PLATFORM");
        upgrader.setProcessEnvironment(environment);
        upgrader.start(QStringLiteral(RW47HN_UPGRADER_PATH), arguments);
        Outcome outcome;
        if (!upgrader.waitForStarted() ||
            !QTest::qWaitFor([&] { return upgrader.state() == QProcess::NotRunning; }, 30000))
            return outcome;
        outcome.exitCode = upgrader.exitStatus() == QProcess::NormalExit ? upgrader.exitCode() : -2;
        outcome.out = QString::fromUtf8(upgrader.readAllStandardOutput());
        outcome.err = QString::fromUtf8(upgrader.readAllStandardError());
        return outcome;
    }

    QTemporaryDir dir;
};

QTEST_MAIN(tst_Headless)
#include "tst_headless.moc"
