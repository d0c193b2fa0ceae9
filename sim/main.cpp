// rw47hn-sim: a simulated module on a pseudo-terminal, to try the upgrader without hardware.

#include "consoleoutput.h"
#include "interruptwatcher.h"
#include "modulesimulator.h"
#include "ptypair.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace {

// Everything the command line sets.
struct Settings
{
    QString image;
    QString link;
    bool repeat = false;
    bool stats = false;
    SimulatorOptions module;
};

// One command-line option: its name, value name (empty for a flag), help, and how its value
// goes into the settings; false when the value is not acceptable.
struct Option
{
    const char *name;
    const char *valueName;
    const char *help;
    std::function<bool(const QString &, Settings &)> apply;
};

bool toInt(const QString &text, int &out, int low, int high)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    out = value;
    return ok && value >= low && value <= high;
}

bool toProbability(const QString &text, double &out)
{
    bool ok = false;
    out = text.toDouble(&ok);
    return ok && out >= 0 && out <= 1;
}

const QVector<Option> &options()
{
    static const QVector<Option> table = {
        {"image", "FILE", "Firmware image the module expects (required).",
         [](const QString &v, Settings &s) { return !(s.image = v).isEmpty(); }},
        {"chunk", "N", "Bytes per data request, 1 to 65526 (default 1024).",
         [](const QString &v, Settings &s) { return toInt(v, s.module.chunk, 1, 65526); }},
        {"link", "PATH", "Also make PATH a symlink to the port.",
         [](const QString &v, Settings &s) { return !(s.link = v).isEmpty(); }},
        {"timeout", "MS", "Milliseconds to wait for a reply before asking again (default 1000).",
         [](const QString &v, Settings &s) {
             return toInt(v, s.module.replyTimeoutMs, 1, 3600000);
         }},
        {"pace", nullptr,
         "Take as long as the bytes need on a real line at the rate the upgrader has set (8N1).",
         [](const QString &, Settings &s) { return s.module.pace = true; }},
        {"pace-baud", "RATE", "Pace as if the line ran at RATE, whatever the upgrader has set.",
         [](const QString &v, Settings &s) {
             s.module.pace = true;
             return toInt(v, s.module.paceBaud, 1, 100000000);
         }},
        {"adapter-latency", "MS",
         "Hold the short end of every frame MS before the upgrader gets it, as a USB adapter "
         "without low-latency mode does.",
         [](const QString &v, Settings &s) {
             return toInt(v, s.module.adapterLatencyMs, 0, 1000);
         }},
        {"stats", nullptr, "After the summary, print the upgrade's figures as one JSON line.",
         [](const QString &, Settings &s) { return s.stats = true; }},
        {"repeat", nullptr, "Keep serving upgrades until interrupted instead of exiting after one.",
         [](const QString &, Settings &s) { return s.repeat = true; }},
        {"result", "N", "Report result N (1 to 255) after a complete upgrade instead of 0.",
         [](const QString &v, Settings &s) { return toInt(v, s.module.result, 1, 255); }},
        {"seed", "N", "Seed of the misbehaviour (default 1).",
         [](const QString &v, Settings &s) {
             bool ok = false;
             s.module.faults.seed = v.toUInt(&ok);
             return ok;
         }},
        {"split", nullptr, "Write every frame in random pieces with pauses.",
         [](const QString &, Settings &s) { return s.module.faults.split = true; }},
        {"noise", "P", "Garbage bytes before a frame with probability P (never a header).",
         [](const QString &v, Settings &s) { return toProbability(v, s.module.faults.noise); }},
        {"corrupt-crc", "P", "Send a request with a wrong CRC with probability P.",
         [](const QString &v, Settings &s) {
             return toProbability(v, s.module.faults.corruptCrc);
         }},
        {"bad-length", nullptr, "Once, send a frame with length field 0.",
         [](const QString &, Settings &s) { return s.module.faults.badLength = true; }},
        {"short-request", nullptr, "Once, send a data request with only 3 payload bytes.",
         [](const QString &, Settings &s) { return s.module.faults.shortRequest = true; }},
        {"drop-after", "N", "Hang up the line after N requests.",
         [](const QString &v, Settings &s) { return toInt(v, s.module.dropAfter, 0, INT_MAX); }},
        {"silent", nullptr, "Never answer anything.",
         [](const QString &, Settings &s) { return s.module.silent = true; }},
    };
    return table;
}

int fail(const QString &message)
{
    printLine(stderr, QStringLiteral("rw47hn-sim: ") + message);
    return 2;
}

// Reads the command line into `settings`; an empty result means success.
QString parse(const QCoreApplication &app, Settings &settings)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated RW47HN module on a pseudo-terminal. Open the printed port in the upgrader, "
        "choose the same image and start the upgrade."));
    parser.addHelpOption();
    for (const Option &o : options()) {
        parser.addOption(o.valueName ? QCommandLineOption(o.name, o.help, o.valueName)
                                     : QCommandLineOption(o.name, o.help));
    }
    parser.process(app);
    for (const Option &o : options()) {
        if (parser.isSet(o.name) && !o.apply(parser.value(o.name), settings))
            return QStringLiteral("--%1: not an acceptable value: %2")
                .arg(o.name, parser.value(o.name));
    }
    return settings.image.isEmpty() ? QStringLiteral("--image FILE is required") : QString();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("rw47hn-sim"));
    // The frame builder logs every CRC for the upgrader's console; the simulator's own
    // output is its summary.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));

    Settings settings;
    if (const QString error = parse(app, settings); !error.isEmpty())
        return fail(error);
    QFile imageFile(settings.image);
    if (!imageFile.open(QIODevice::ReadOnly))
        return fail(imageFile.fileName() + QStringLiteral(": ") + imageFile.errorString());
    const QByteArray image = imageFile.readAll();

    PtyPair pty;
    QString error;
    if (!pty.open(&error))
        return fail(QStringLiteral("cannot create a pseudo-terminal: ") + error);
    // Killed with SIGINT or SIGTERM, the simulator takes its link with it: a link left behind
    // would lead the next run to a terminal that is gone.
    InterruptWatcher interrupts("rw47hn-sim: interrupted");
    QObject::connect(&interrupts, &InterruptWatcher::interrupted, &app, [&](int signalNumber) {
        interrupts.release();
        QCoreApplication::exit(128 + signalNumber);
    });
    interrupts.watch();
    if (!settings.link.isEmpty()) {
        QFile::remove(settings.link);
        if (!QFile::link(pty.slavePath(), settings.link))
            return fail(QStringLiteral("cannot create the link ") + settings.link);
    }
    const QString linkNote = settings.link.isEmpty() ? QString() : " (" + settings.link + ')';
    printLine(stdout, QStringLiteral("rw47hn-sim: module on %1%2, expecting %3 bytes")
                          .arg(pty.slavePath(), linkNote)
                          .arg(image.size()));

    ModuleSimulator module(pty, image, settings.module);
    int exitCode = 1;
    QObject::connect(&module, &ModuleSimulator::finished, &app, [&](bool succeeded) {
        printLine(stdout, QStringLiteral("rw47hn-sim: upgrade %1: %2")
                              .arg(succeeded ? "succeeded" : "FAILED", module.stats().summary()));
        if (settings.stats) {
            const QJsonObject stats = module.stats().toJson(module.lineBaud());
            printLine(stdout, QJsonDocument(stats).toJson(QJsonDocument::Compact));
        }
        exitCode = succeeded ? 0 : 1;
        if (settings.repeat && pty.masterFd() >= 0)
            return; // the line is still up: the module waits for the next AT command
        // Let the upgrader read the result before the line goes away.
        QTimer::singleShot(500, &app, &QCoreApplication::quit);
    });
    const int loopStatus = app.exec();
    if (!settings.link.isEmpty())
        QFile::remove(settings.link);
    return loopStatus > 128 ? loopStatus : exitCode;
}
