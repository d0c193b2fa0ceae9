// rw47hn-sim: a simulated module on a pseudo-terminal, to try the upgrader without hardware.

#include "modulesimulator.h"
#include "ptypair.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTimer>

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
    parser.addOptions({imageOption, chunkOption, linkOption});
    parser.process(app);

    if (!parser.isSet(imageOption))
        return fail(QStringLiteral("--image FILE is required"));
    QFile imageFile(parser.value(imageOption));
    if (!imageFile.open(QIODevice::ReadOnly))
        return fail(imageFile.fileName() + QStringLiteral(": ") + imageFile.errorString());
    const QByteArray image = imageFile.readAll();

    SimulatorOptions options;
    bool chunkValid = false;
    options.chunk = parser.value(chunkOption).toInt(&chunkValid);
    if (!chunkValid || options.chunk < 1 || options.chunk > 65526)
        return fail(QStringLiteral("--chunk must be between 1 and 65526"));

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

    ModuleSimulator module(pty.masterFd(), image, options);
    int exitCode = 1;
    QObject::connect(&module, &ModuleSimulator::finished, &app, [&](bool succeeded) {
        printLine(stdout, QStringLiteral("rw47hn-sim: upgrade %1: %2")
                              .arg(succeeded ? QStringLiteral("succeeded")
                                             : QStringLiteral("FAILED"),
                                   module.summary()));
        exitCode = succeeded ? 0 : 1;
        // Let the upgrader read the result before the line goes away.
        QTimer::singleShot(500, &app, &QCoreApplication::quit);
    });
    app.exec();
    if (!link.isEmpty())
        QFile::remove(link);
    return exitCode;
}
