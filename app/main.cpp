#include "mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>

static MainWindow *w = nullptr;

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("rw47hn-upgrader"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/rw47hn-upgrader.png")));
    QGuiApplication::setDesktopFileName(QStringLiteral("rw47hn-upgrader"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Upgrades the firmware of an RW47HN module over a serial port."));
    parser.addHelpOption();
    const QCommandLineOption portOption(
        QStringLiteral("port"),
        QStringLiteral("Put NAME in the port box at start, for example /dev/ttyUSB0 or a "
                       "/dev/serial/by-id/ link."),
        QStringLiteral("NAME"));
    parser.addOption(portOption);
    parser.process(app);

    w = new MainWindow;
    w->setWindowTitle(QStringLiteral("RW47HN串口升级demo"));
    if (parser.isSet(portOption))
        w->presetPort(parser.value(portOption));
    w->show();
    return app.exec();
}
