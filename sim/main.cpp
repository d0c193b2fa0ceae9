// rw47hn-sim: a simulated module on a pseudo-terminal, to try the upgrader without hardware.

#include "modulesimulator.h"
#include "ptypair.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

void printLine(FILE *stream, const QString &line)
{
    std::fprintf(stream, "%s\n", qPrintable(line));
    std::fflush(stream);
}

int fail(const QString &message)
{
    printLine(stderr, QStringLiteral("rw47hn-sim: ") + message);
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("rw47hn-sim"));
    // The frame builder logs every CRC for the upgrader's console; the simulator's own
    // output is its summary.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated RW47HN module on a pseudo-terminal. Open the printed port in the upgrader, "
        "choose the same image and start the upgrade."));
    parser.addHelpOption();
    const QCommandLineOption imageOption(QStringLiteral("image"),
                                         QStringLiteral("Firmware image the module expects."),
                                         QStringLiteral("FILE"));
    const QCommandLineOption chunkOption(QStringLiteral("chunk"),
                                         QStringLiteral("Bytes per data request (default 1024)."),
                                         QStringLiteral("N"), QStringLiteral("1024"));
    const QCommandLineOption linkOption(QStringLiteral("link"),
                                        QStringLiteral("Also make PATH a symlink to the port."),
                                        QStringLiteral("PATH"));
    const QCommandLineOption timeoutOption(
        QStringLiteral("timeout"),
        QStringLiteral("Milliseconds to wait for a reply before asking again (default 1000)."),
        QStringLiteral("MS"), QStringLiteral("1000"));
    const QCommandLineOption paceOption(
        QStringLiteral("pace"),
        QStringLiteral("Take as long as the bytes need on a real line at the rate the upgrader "
                       "has set (8N1)."));
    const QCommandLineOption paceBaudOption(
        QStringLiteral("pace-baud"),
        QStringLiteral("Pace as if the line ran at RATE, whatever the upgrader has set."),
        QStringLiteral("RATE"), QStringLiteral("0"));
    const QCommandLineOption statsOption(
        QStringLiteral("stats"),
        QStringLiteral("After the summary, print turnaround percentiles and line use."));
    const QCommandLineOption repeatOption(
        QStringLiteral("repeat"),
        QStringLiteral("Keep serving upgrades until interrupted instead of exiting after one."));
    const QCommandLineOption seedOption(QStringLiteral("seed"),
                                        QStringLiteral("Seed of the misbehaviour (default 1)."),
                                        QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption splitOption(
        QStringLiteral("split"), QStringLiteral("Write every frame in random pieces with pauses."));
    const QCommandLineOption noiseOption(
        QStringLiteral("noise"),
        QStringLiteral("Garbage bytes before a frame with probability P (never a header)."),
        QStringLiteral("P"), QStringLiteral("0"));
    const QCommandLineOption corruptOption(
        QStringLiteral("corrupt-crc"),
        QStringLiteral("Send a request with a wrong CRC with probability P."), QStringLiteral("P"),
        QStringLiteral("0"));
    const QCommandLineOption badLengthOption(
        QStringLiteral("bad-length"), QStringLiteral("Once, send a frame with length field 0."));
    const QCommandLineOption shortOption(
        QStringLiteral("short-request"),
        QStringLiteral("Once, send a data request with only 3 payload bytes."));
    const QCommandLineOption dropOption(QStringLiteral("drop-after"),
                                        QStringLiteral("Hang up the line after N requests."),
                                        QStringLiteral("N"), QStringLiteral("-1"));
    const QCommandLineOption silentOption(QStringLiteral("silent"),
                                          QStringLiteral("Never answer anything."));
    parser.addOptions({imageOption, chunkOption, linkOption, timeoutOption, paceOption,
                       paceBaudOption, statsOption, repeatOption, seedOption, splitOption,
                       noiseOption, corruptOption, badLengthOption, shortOption, dropOption,
                       silentOption});
    parser.process(app);

    if (!parser.isSet(imageOption))
        return fail(QStringLiteral("--image FILE is required"));
    QFile imageFile(parser.value(imageOption));
    if (!imageFile.open(QIODevice::ReadOnly))
        return fail(imageFile.fileName() + QStringLiteral(": ") + imageFile.errorString());
    const QByteArray image = imageFile.readAll();

    SimulatorOptions options;
    bool valid[8] = {};
    options.chunk = parser.value(chunkOption).toInt(&valid[0]);
    options.replyTimeoutMs = parser.value(timeoutOption).toInt(&valid[1]);
    options.seed = parser.value(seedOption).toUInt(&valid[2]);
    options.noise = parser.value(noiseOption).toDouble(&valid[3]);
    options.corruptCrc = parser.value(corruptOption).toDouble(&valid[4]);
    options.dropAfter = parser.value(dropOption).toInt(&valid[5]);
    options.paceBaud = parser.value(paceBaudOption).toInt(&valid[6]);
    valid[7] = options.paceBaud >= 0;
    options.pace = parser.isSet(paceOption) || options.paceBaud > 0;
    options.split = parser.isSet(splitOption);
    options.badLength = parser.isSet(badLengthOption);
    options.shortRequest = parser.isSet(shortOption);
    options.silent = parser.isSet(silentOption);
    if (!std::all_of(std::begin(valid), std::end(valid), [](bool ok) { return ok; }))
        return fail(QStringLiteral("an option value is not a number"));
    if (options.chunk < 1 || options.chunk > 65526)
        return fail(QStringLiteral("--chunk must be between 1 and 65526"));
    if (options.replyTimeoutMs < 1)
        return fail(QStringLiteral("--timeout must be positive"));
    if (options.noise < 0 || options.noise > 1 || options.corruptCrc < 0 || options.corruptCrc > 1)
        return fail(QStringLiteral("probabilities must be between 0 and 1"));

    PtyPair pty;
    QString error;
    if (!pty.open(&error))
        return fail(QStringLiteral("cannot create a pseudo-terminal: ") + error);

    const QString link = parser.value(linkOption);
    if (!link.isEmpty()) {
        QFile::remove(link);
        if (!QFile::link(pty.slavePath(), link))
            return fail(QStringLiteral("cannot create the link ") + link);
    }
    printLine(stdout, QStringLiteral("rw47hn-sim: module on %1%2, expecting %3 bytes")
                          .arg(pty.slavePath(),
                               link.isEmpty() ? QString() : QStringLiteral(" (") + link + ')')
                          .arg(image.size()));

    ModuleSimulator module(pty, image, options);
    int exitCode = 1;
    QObject::connect(&module, &ModuleSimulator::finished, &app, [&](bool succeeded) {
        printLine(stdout,
                  QStringLiteral("rw47hn-sim: upgrade %1: %2")
                      .arg(succeeded ? QStringLiteral("succeeded") : QStringLiteral("FAILED"),
                           module.summary()));
        if (parser.isSet(statsOption))
            printLine(stdout, module.statsLine());
        exitCode = succeeded ? 0 : 1;
        if (parser.isSet(repeatOption) && pty.masterFd() >= 0)
            return; // the line is still up: the module waits for the next AT command
        // Let the upgrader read the result before the line goes away.
        QTimer::singleShot(500, &app, &QCoreApplication::quit);
    });
    app.exec();
    if (!link.isEmpty())
        QFile::remove(link);
    return exitCode;
}
