// rw47hn-upgrader: the window, or with --headless an upgrade of many ports without one.

#include "commandline.h"
#include "consoleoutput.h"
#include "headlessrunner.h"
#include "mainwindow.h"

#include <QApplication>
#include <QIcon>
#include <QLoggingCategory>
#include <QTimer>

#include <cstdio>

namespace {

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
    HeadlessRunner runner(options);
    if (const QString problem = runner.prepare(); !problem.isEmpty())
        return usageError(problem);
    QObject::connect(&runner, &HeadlessRunner::finished, &app, &QCoreApplication::exit);
    // Started from the event loop, so that ports which end at once can end the loop.
    QTimer::singleShot(0, &runner, &HeadlessRunner::start);
    return app.exec();
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
    presetWindow(w, line);
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
    useUtf8Console();
    {
        // Help, version and headless runs must work without a display: no QApplication yet.
        QCoreApplication app(argc, argv);
        CommandLine line;
        const bool parsed = line.parser.parse(app.arguments());
        if (line.parser.isSet(QStringLiteral("help")) ||
            line.parser.isSet(QStringLiteral("help-all"))) {
            std::fputs(line.parser.helpText().toUtf8().constData(), stdout);
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
