// Works the station window for the README's picture: a position per --port, all started as
// Space does, and the window saved as PNG --after seconds, mid-run. Exits 0 once saved.

#include "stationwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QEventLoop>
#include <QStandardPaths>
#include <QTimer>

int main(int argc, char *argv[])
{
    // The window remembers its set-up: in a settings folder of its own, never over the
    // station set-up of whoever runs this.
    QStandardPaths::setTestModeEnabled(true);
    QApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption port("port", "A position's port, once per position.", "NAME");
    const QCommandLineOption image("image", "Firmware image to upgrade with.", "FILE");
    const QCommandLineOption results("json-lines", "The results file.", "FILE");
    const QCommandLineOption timeout("timeout", "A position's timeout.", "S", "5");
    const QCommandLineOption screenshot("screenshot", "Where to save the window.", "PNG");
    const QCommandLineOption after("after", "Seconds after the start.", "S", "15");
    parser.addOptions({port, image, results, timeout, screenshot, after});
    parser.process(app);

    StationSetup setup = StationSetup::forPorts(parser.values(port));
    setup.image = parser.value(image);
    setup.jsonLinesPath = parser.value(results);
    setup.timeoutSeconds = parser.value(timeout).toInt();
    setup.mode = StartMode::OnStart;
    StationWindow window;
    window.useSetup(setup);
    window.resize(1366, 768);
    window.show();
    QEventLoop loop;
    StationModel *model = window.controller()->model();
    QObject::connect(model, &StationModel::imageChanged, &loop, &QEventLoop::quit);
    loop.exec();
    window.controller()->startAllIdle();
    QTimer::singleShot(int(parser.value(after).toDouble() * 1000), &loop, &QEventLoop::quit);
    loop.exec();
    const bool saved = window.grab().save(parser.value(screenshot));
    window.controller()->finish();
    return saved ? 0 : 1;
}
