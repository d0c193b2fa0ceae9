// Works the window as a user would in the demo, for the headless smoke run and the
// README's screenshot: opens the port given with --port, chooses --image, starts the
// upgrade and waits for the success line. Exits 0 on success, 1 otherwise.

#include "logview.h"
#include "testsupport.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QEventLoop>
#include <QTimer>

int main(int argc, char *argv[])
{
    MainWindow::prepareApplication();
    QApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption port("port", "Port to open.", "NAME");
    const QCommandLineOption image("image", "Firmware image to upgrade with.", "FILE");
    const QCommandLineOption screenshot("screenshot", "Save the window as PNG at the end.", "PNG");
    const QCommandLineOption timeout("timeout", "Give up after S seconds.", "S", "120");
    parser.addOptions({port, image, screenshot, timeout});
    parser.process(app);

    WindowDriver driver;
    driver.window.presetPort(parser.value(port));
    driver.window.show();
    driver.clickOpen();
    if (!driver.isOpen())
        return 1;
    driver.chooseFile(parser.value(image));
    driver.clickStart();

    QEventLoop loop;
    int result = 1;
    auto *log = driver.widget<LogView>("textBrowser");
    QObject::connect(log, &LogView::textChanged, &loop, [&] {
        if (result != 0 && log->lastLine() == QStringLiteral("升级成功..."))
            QTimer::singleShot(300, &loop, [&] { // let the return to the user's rate show
                result = 0;
                loop.quit();
            });
    });
    QTimer::singleShot(parser.value(timeout).toInt() * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    if (parser.isSet(screenshot))
        driver.window.grab().save(parser.value(screenshot));
    return result;
}
