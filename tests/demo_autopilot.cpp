// Works the window as a user would in the demo, for the headless smoke run and the
// README's screenshots: opens the port given with --port, chooses --image, starts the
// upgrade and waits for the success line. Exits 0 on success, 1 otherwise. With --question,
// presses 升级 once more while the module is being served and takes the picture while the
// question is open; it is answered No and the upgrade goes on.

#include "language.h"
#include "logview.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCommandLineParser>
#include <QEventLoop>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QTimer>

namespace {

// The window and the question over it, as the screen shows them.
void saveWithQuestion(QWidget &window, const QString &path)
{
    QTimer *poll = new QTimer(&window);
    QObject::connect(poll, &QTimer::timeout, &window, [poll, &window, path] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        poll->stop();
        QTimer::singleShot(300, box, [box, &window, path] { // painted and placed
            QPixmap picture = window.grab();
            QPainter painter(&picture);
            painter.drawPixmap(box->geometry().topLeft() - window.geometry().topLeft(),
                               box->grab());
            painter.end();
            picture.save(path);
            box->button(QMessageBox::No)->click();
        });
    });
    poll->start(50);
}

} // namespace

int main(int argc, char *argv[])
{
    MainWindow::prepareApplication();
    QApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption port("port", "Port to open.", "NAME");
    const QCommandLineOption image("image", "Firmware image to upgrade with.", "FILE");
    const QCommandLineOption screenshot("screenshot", "Save the window as PNG at the end.", "PNG");
    const QCommandLineOption timeout("timeout", "Give up after S seconds.", "S", "120");
    const QCommandLineOption lang("lang", "Language of the window: zh or en.", "LANG", "zh");
    const QCommandLineOption question("question",
                                      "Take the picture with the question of a second press open.");
    parser.addOptions({port, image, screenshot, timeout, lang, question});
    parser.process(app);
    Language::install(Language::fromOption(parser.value(lang)).value_or(Language::Code::Chinese));

    WindowDriver driver;
    driver.window.presetPort(parser.value(port));
    driver.window.show();
    driver.clickOpen();
    if (!driver.isOpen())
        return 1;
    driver.chooseFile(parser.value(image));
    driver.clickStart();
    if (parser.isSet(question)) {
        // Half way through, so that the status bar shows a running transfer behind it.
        driver.window.exchangeThread().relay(
            &UpgradeSequence::sliceServed, &driver.window, [&](qint64 served, qint64) {
                static bool asked = false;
                if (asked || served < 128 * 1024)
                    return;
                asked = true;
                saveWithQuestion(driver.window, parser.value(screenshot));
                QTimer::singleShot(0, &driver.window, [&] { driver.clickStart(); });
            });
    }

    QEventLoop loop;
    int result = 1;
    auto *log = driver.widget<LogView>("textBrowser");
    const QString succeeded = QCoreApplication::translate("UpgradeSequence", "升级成功...");
    QObject::connect(log, &LogView::textChanged, &loop, [&] {
        if (result != 0 && log->lastLine() == succeeded)
            QTimer::singleShot(300, &loop, [&] { // let the return to the user's rate show
                result = 0;
                loop.quit();
            });
    });
    QTimer::singleShot(parser.value(timeout).toInt() * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    if (parser.isSet(screenshot) && !parser.isSet(question))
        driver.window.grab().save(parser.value(screenshot));
    return result;
}
