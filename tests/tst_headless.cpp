// The upgrader without a window: exit status, summary lines, many modules at once, and a
// command line that needs no display.

#include "modulesimulator.h"
#include "testsupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <memory>

namespace {

struct Outcome
{
    int exitCode = -1;
    QString out;
    QString err;
};

} // namespace

class tst_Headless : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }

    void outcomes_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("summary"); // a pattern; PORT stands for the port
        QTest::newRow("success") << "success" << 0
                                 << "^PORT: ok, 20000 bytes, 20 requests, [0-9]+\\.[0-9]+ s$";
        QTest::newRow("failed result") << "result 3" << 1 << "^PORT: failed, result 3$";
        QTest::newRow("silent module") << "silent" << 2 << "^PORT: error, no answer for 1 s$";
        QTest::newRow("line dropped") << "drop" << 2 << "^PORT: error, port lost: .+$";
        QTest::newRow("missing port")
            << "no port" << 2 << "^PORT: error, cannot open the port: .+$";
        QTest::newRow("unreadable image")
            << "no image" << 2 << "^PORT: error, cannot load the image: .+$";
    }
    void outcomes()
    {
        QFETCH(QString, scenario);
        QFETCH(int, exitCode);
        QFETCH(QString, summary);
        const QByteArray image = TestSupport::randomBytes(20000, 51);
        QString imagePath = TestSupport::writeFile(dir.filePath("fw.ufw"), image);
        SimulatorOptions options;
        options.result = scenario == "result 3" ? 3 : 0;
        options.silent = scenario == "silent";
        options.dropAfter = scenario == "drop" ? 3 : -1;
        PtyPair pty;
        QVERIFY(pty.open());
        ModuleSimulator module(pty, image, options);
        QString port = pty.slavePath();
        if (scenario == "no port")
            port = dir.filePath("no-such-port");
        if (scenario == "no image")
            imagePath = dir.path(); // a directory opens as no file

        const Outcome outcome =
            run({"--headless", "--port", port, "--image", imagePath, "--timeout", "1"});
        QCOMPARE(outcome.exitCode, exitCode);
        const QRegularExpression pattern(QString(summary).replace("PORT", port));
        QVERIFY2(pattern.match(outcome.out.trimmed()).hasMatch(), qPrintable(outcome.out));
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
        for (const QJsonValue &result : results) {
            QCOMPARE(result["status"].toString(), QStringLiteral("ok"));
            QCOMPARE(result["bytes"].toInt(), image.size());
            QCOMPARE(result["crc_errors"].toInt(), 0);
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

private:
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
        outcome.out = QString::fromLocal8Bit(upgrader.readAllStandardOutput());
        outcome.err = QString::fromLocal8Bit(upgrader.readAllStandardError());
        return outcome;
    }

    QTemporaryDir dir;
};

QTEST_MAIN(tst_Headless)
#include "tst_headless.moc"
