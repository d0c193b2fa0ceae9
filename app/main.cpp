// rw47hn-upgrader: the window, or with --headless an upgrade of many ports without one.

#include "headlessrunner.h"
#include "mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QLoggingCategory>
#include <QTimer>

#include <cstdio>

namespace {

const QStringList OfferedRates = {"9600", "115200", "460800", "921600", "1000000"};

struct CommandLine
{
    QCommandLineParser parser;
    QCommandLineOption port{"port",
                            "Port to use, for example /dev/ttyUSB0 or a /dev/serial/by-id/ "
                            "link. In the window: put NAME in the port box. Headless: give it "
                            "once per module.",
                            "NAME"};
    QCommandLineOption image{"image", "Firmware image (.ufw), as if chosen in the dialog.", "FILE"};
    QCommandLineOption baud{"baud",
                            "Rate to open the ports at: 9600, 115200, 460800, 921600 or "
                            "1000000 (default 115200).",
                            "RATE"};
    QCommandLineOption start{"start", "Open the port and start the upgrade at once."};
    QCommandLineOption headless{"headless", "Upgrade without a window; needs no display."};
    QCommandLineOption timeout{"timeout",
                               "Headless: give a module up after it sent nothing for SECONDS "
                               "(default 30).",
                               "SECONDS", "30"};
    QCommandLineOption verbose{"verbose", "Headless: print every log line on stderr."};
    QCommandLineOption debug{"debug", "Headless: keep the debug output (a line per byte)."};
    QCommandLineOption json{"json", "Headless: write the results to FILE as a JSON array.", "FILE"};

    CommandLine()
    {
        parser.setApplicationDescription(
            "Upgrades the firmware of RW47HN modules over serial ports.\n"
            "Exit status, headless: 0 every module succeeded, 1 a module reported failure, "
            "2 a port could not be used or finish.");
        parser.addHelpOption();
        parser.addVersionOption();
        parser.addOptions({port, image, baud, start, headless, timeout, verbose, debug, json});
    }
    // Checks what the options say; an empty result means they make sense.
    QString check() const
    {
        if (parser.isSet(baud) && !OfferedRates.contains(parser.value(baud)))
            return "--baud: not an offered rate: " + parser.value(baud);
        if (!parser.isSet(headless))
            return {};
        if (!parser.isSet(port))
            return "--headless needs at least one --port";
        if (!parser.isSet(image))
            return "--headless needs --image";
        bool ok = false;
        if (parser.value(timeout).toInt(&ok) <= 0 || !ok)
            return "--timeout: not a positive number of seconds: " + parser.value(timeout);
        if (!parser.positionalArguments().isEmpty())
            return "unexpected argument: " + parser.positionalArguments().first();
        return {};
    }
};

int usageError(const QString &message)
{
    std::fprintf(stderr, "rw47hn-upgrader: %s\n", qPrintable(message));
    return 2;
}

int runHeadless(QCoreApplication &app, const CommandLine &line)
{
    HeadlessOptions options;
    options.ports = line.parser.values(line.port);
    options.image = line.parser.value(line.image);
    if (line.parser.isSet(line.baud))
        options.baud = line.parser.value(line.baud);
    options.timeoutSeconds = line.parser.value(line.timeout).toInt();
    options.verbose = line.parser.isSet(line.verbose);
    options.debug = line.parser.isSet(line.debug);
    options.jsonPath = line.parser.value(line.json);
    // Every byte on the line makes debug lines; many ports would drown the summaries.
    if (!options.debug)
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    HeadlessRunner runner(options);
    QObject::connect(&runner, &HeadlessRunner::finished, &app, &QCoreApplication::exit);
    // Started from the event loop, so that ports which end at once can end the loop.
    QTimer::singleShot(0, &runner, &HeadlessRunner::start);
    return app.exec();
}

int runWindow(int argc, char *argv[])
{
    MainWindow::prepareApplication();
    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/rw47hn-upgrader.png")));
    QGuiApplication::setDesktopFileName(QStringLiteral("rw47hn-upgrader"));
    // Parsed again: QApplication has taken out the options that are its own.
    CommandLine line;
    if (!line.parser.parse(app.arguments()))
        return usageError(line.parser.errorText());
    if (const QString problem = line.check(); !problem.isEmpty())
        return usageError(problem);

    auto *w = new MainWindow; // lives until the process ends
    w->setWindowTitle(QStringLiteral("RW47HN串口升级demo"));
    if (line.parser.isSet(line.port))
        w->presetPort(line.parser.value(line.port));
    if (line.parser.isSet(line.image))
        w->presetImage(line.parser.value(line.image));
    if (line.parser.isSet(line.baud))
        w->presetBaudRate(line.parser.value(line.baud));
    w->show();
    if (line.parser.isSet(line.start))
        w->openAndStart();
    return app.exec();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("rw47hn-upgrader"));
    QCoreApplication::setApplicationVersion(QStringLiteral(RW47HN_VERSION));
    {
        // Help, version and headless runs must work without a display: no QApplication yet.
        QCoreApplication app(argc, argv);
        CommandLine line;
        const bool parsed = line.parser.parse(app.arguments());
        if (line.parser.isSet(QStringLiteral("help")) ||
            line.parser.isSet(QStringLiteral("help-all"))) {
            std::fputs(qPrintable(line.parser.helpText()), stdout);
            return 0;
        }
        if (line.parser.isSet(QStringLiteral("version"))) {
            std::printf("rw47hn-upgrader %s\n", RW47HN_VERSION);
            return 0;
        }
        // Unknown options may be QApplication's own; only the window can tell.
        if (!parsed && line.parser.isSet(line.headless))
            return usageError(line.parser.errorText());
        if (const QString problem = line.check(); parsed && !problem.isEmpty())
            return usageError(problem);
        if (line.parser.isSet(line.headless))
            return runHeadless(app, line);
    }
    return runWindow(argc, argv);
}
