// rw47hn-upgrader: the window, or with --headless an upgrade of many ports without one.

#include "commandline.h"
#include "consoleoutput.h"
#include "headlessrunner.h"
#include "interruptwatcher.h"
#include "mainwindow.h"
#include "portidentity.h"
#include "reportcommand.h"
#include "reportfile.h"
#include "stationwindow.h"

#include <QApplication>
#include <QIcon>
#include <QLoggingCategory>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#ifdef Q_OS_UNIX
#include <csignal>
#endif

namespace {

const char *const NoWindow =
    "cannot open a window: no display (use --headless to upgrade without one)";

int usageError(const QString &message)
{
    printLine(stderr, QStringLiteral("rw47hn-upgrader: ") + message);
    return 2;
}

int runHeadless(QCoreApplication &app, const CommandLine &line)
{
    const HeadlessOptions options = line.headlessOptions();
    surviveClosedConsole();
    // Every byte on the line makes debug lines; many ports would drown the summaries.
    if (!options.debug)
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    Language::install(line.language());
    HeadlessRunner runner(options);
    if (const QString problem = runner.prepare(); !problem.isEmpty())
        return usageError(problem);
    QObject::connect(&runner, &HeadlessRunner::finished, &app, &QCoreApplication::exit);
    // Started from the event loop, so that ports which end at once can end the loop.
    QTimer::singleShot(0, &runner, &HeadlessRunner::start);
    return app.exec();
}

// --list-ports: a table on stdout; with --json the JSON array to FILE, or to stdout for -.
int listPorts(const CommandLine &line)
{
    // A FIFO or a pipe whose reader leaves is a write that failed, with its status.
    surviveClosedConsole();
    const QVector<PortIdentity> ports = systemPorts();
    if (!line.parser.isSet(line.json)) {
        printLine(stdout, portTable(ports).trimmed());
        return 0;
    }
    const QByteArray json = portsJson(ports);
    const QString path = line.parser.value(line.json);
    if (path == QLatin1String("-")) {
        printLine(stdout, QString::fromUtf8(json).trimmed());
        return 0;
    }
    if (const QString problem = writeWholeFile(path, json); !problem.isEmpty())
        return usageError(QStringLiteral("cannot write %1: %2").arg(path, problem));
    return 0;
}

// Without a display the platform plugin cannot start and QApplication aborts the process with
// a page of its own. The plain case (an X11 or Wayland platform, neither display named) is
// told before; a display that is named but cannot be reached is caught by holdMessages().
bool displayNamed(const QStringList &arguments)
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN) && !defined(Q_OS_ANDROID)
    QString platform = qEnvironmentVariable("QT_QPA_PLATFORM");
    for (int i = 1; i + 1 < arguments.size(); ++i) {
        if (arguments.at(i) == QLatin1String("-platform") ||
            arguments.at(i) == QLatin1String("--platform"))
            platform = arguments.at(i + 1);
    }
    // A platform named outright (offscreen, vnc, eglfs, ...) needs no display of this kind.
    for (const QString &name : platform.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        if (!name.startsWith(QLatin1String("xcb")) && !name.startsWith(QLatin1String("wayland")))
            return true;
    }
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
#else
    Q_UNUSED(arguments);
    return true;
#endif
}

struct HeldMessage
{
    QtMsgType type;
    QByteArray category;
    QString text;
};
std::vector<HeldMessage> heldMessages;

// While QApplication starts, its messages are held; a fatal one is a platform that could not
// start, said in one line with status 2 instead of an abort.
void holdMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtFatalMsg) {
        usageError(QLatin1String(NoWindow));
        std::_Exit(2);
    }
    heldMessages.push_back({type, context.category, text});
}

void passHeldMessages(QtMessageHandler handler)
{
    qInstallMessageHandler(handler);
    for (const HeldMessage &message : heldMessages) {
        const QMessageLogContext context(nullptr, 0, nullptr, message.category.constData());
        if (handler != nullptr)
            handler(message.type, context, message.text);
    }
    heldMessages.clear();
}

void presetWindow(MainWindow *w, const CommandLine &line)
{
    const QCommandLineParser &parser = line.parser;
    if (parser.isSet(line.port))
        w->presetPort(parser.value(line.port));
    if (parser.isSet(line.image))
        w->presetImage(parser.value(line.image));
    if (parser.isSet(line.baud))
        w->presetBaudRate(parser.value(line.baud));
    w->setLogFolder(parser.value(line.logDir));
    w->setLogLineLimit(parser.value(line.logLines).toInt());
}

// The last set-up, a station file, or one made of the options given; each checked as the
// options are, and refused naming the key.
StationSetup stationSetup(const CommandLine &line, QString *problem)
{
    const QCommandLineParser &parser = line.parser;
    StationSetup setup;
    if (parser.isSet(line.profile)) {
        const QString path = parser.value(line.profile);
        if (const SetupProblem found = StationSetup::load(path, &setup); !found.isNone())
            *problem = QStringLiteral("--profile: %1: %2").arg(path, found.text());
    } else if (parser.isSet(line.port)) {
        const HeadlessOptions options = line.headlessOptions();
        setup = StationSetup::forPorts(options.ports);
        setup.image = options.image;
        setup.baud = options.baud;
        setup.timeoutSeconds = options.timeoutSeconds;
        setup.jsonLinesPath = options.jsonLinesPath;
        setup.logDir = options.logDir;
        // Remembered whole, so that a later run from another folder finds the same files.
        setup = setup.withWholePaths();
        if (const SetupProblem found = setup.problem(); !found.isNone())
            *problem = "--station: " + found.text();
    } else if (const SetupProblem found = StationSetup::remembered(&setup); !found.isNone()) {
        *problem = "the remembered station set-up: " + found.text() +
                   " (give --profile or --port to replace it)";
    }
    if (parser.isSet(line.results))
        setup.results = parser.value(line.results);
    if (parser.isSet(line.stationNameOption))
        setup.stationName = line.stationName();
    return setup;
}

// SIGINT, SIGTERM and SIGHUP end a window as they end a headless run: `endRun` ends what is
// under way as interrupted, says so and closes the ports (their lock files go with them), and
// the status is 128 + the signal's number, also when nothing was under way. Leaving every
// event loop also leaves a question's, so an open question does not hold the end up.
void endOnSignal(InterruptWatcher &interrupts, const std::function<void()> &endRun)
{
    QObject::connect(&interrupts, &InterruptWatcher::interrupted, [&interrupts, endRun](int n) {
        endRun();
        interrupts.release();
        QCoreApplication::exit(128 + n);
    });
    interrupts.watch();
}

int runStation(QApplication &app, const CommandLine &line, InterruptWatcher &interrupts)
{
    QString problem;
    const StationSetup setup = stationSetup(line, &problem);
    if (!problem.isEmpty())
        return usageError(problem);
    // Every byte on every position's line makes debug lines: the console would drown in them.
    if (!line.parser.isSet(line.debug))
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    StationWindow window;
    window.useSetup(setup);
    // The last set-up opens as the engineer left it; one given here is new, to be checked.
    const bool lastSetup = !line.parser.isSet(line.profile) && !line.parser.isSet(line.port);
    if (lastSetup && StationSetup::rememberedLocked())
        window.lock();
    window.show();
    if (line.parser.isSet(line.start))
        window.controller()->startAllIdle(); // as Space does, once the image is loaded
    // Every module under way gets its summary line and its JSON line, as Stop gives it.
    endOnSignal(interrupts, [&window] { window.controller()->finish(); });
    return app.exec();
}

int runWindow(int argc, char *argv[])
{
    MainWindow::prepareApplication();
    const QtMessageHandler handler = qInstallMessageHandler(holdMessage);
    QApplication app(argc, argv);
    passHeldMessages(handler);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/rw47hn-upgrader.png")));
    QGuiApplication::setDesktopFileName(QStringLiteral("rw47hn-upgrader"));
    // Parsed again: QApplication has taken out the options that are its own.
    CommandLine line;
    if (!line.parser.parse(app.arguments()))
        return usageError(line.parser.errorText());
    if (const QString problem = line.check(); !problem.isEmpty())
        return usageError(problem);
    Language::install(line.language()); // before a window: it starts in that language
    // Until a window takes them, a signal ends the process at once: nothing has begun yet.
    InterruptWatcher interrupts("rw47hn-upgrader: interrupted before the window opened");
    if (line.parser.isSet(line.station))
        return runStation(app, line, interrupts);
    auto *w = new MainWindow; // lives until the process ends
    presetWindow(w, line);
    w->show();
    endOnSignal(interrupts, [w] { w->endInterrupted(); });
    if (line.parser.isSet(line.start))
        w->openAndStart();
    return app.exec();
}

} // namespace

int main(int argc, char *argv[])
{
#ifdef Q_OS_UNIX
    // A file-size limit (ulimit -f) would otherwise end the process at the write past it, with
    // no report; ignored, that write fails like one on a full disk and is said as such.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    keepStandardStreamsOpen();
    QCoreApplication::setApplicationName(QStringLiteral("rw47hn-upgrader"));
    QCoreApplication::setApplicationVersion(QStringLiteral(RW47HN_VERSION));
    useUtf8Console();
    {
        // Everything but the window must work without a display: no QApplication yet.
        QCoreApplication app(argc, argv);
        const QStringList arguments = app.arguments();
        CommandLine line;
        bool parsed = line.parser.parse(CommandLine::withoutQtOptions(arguments));
        if (line.parser.isSet(QStringLiteral("help")) ||
            line.parser.isSet(QStringLiteral("help-all"))) {
            std::fputs(line.parser.helpText().toUtf8().constData(), stdout);
            return 0;
        }
        if (line.parser.isSet(QStringLiteral("version"))) {
            std::printf("rw47hn-upgrader %s\n", RW47HN_VERSION);
            return 0;
        }
        // Qt's own options are for the window: a headless run takes none of them.
        if (parsed && line.parser.isSet(line.headless))
            parsed = line.parser.parse(arguments);
        if (!parsed)
            return usageError(line.parser.errorText());
        if (const QString problem = line.check(); !problem.isEmpty())
            return usageError(problem);
        if (line.parser.isSet(line.listPorts))
            return listPorts(line);
        if (line.parser.isSet(line.report))
            return runReport(line);
        if (line.parser.isSet(line.headless))
            return runHeadless(app, line);
        if (!displayNamed(arguments))
            return usageError(QLatin1String(NoWindow));
    }
    return runWindow(argc, argv);
}
