#include "testsupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QRadioButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QtTest>

#include "logview.h"
#include "protocol.h"

#include <QDeadlineTimer>

#include <cerrno>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

namespace TestSupport {

QByteArray readWithoutEventLoop(int fd, int size)
{
    QByteArray bytes;
    const QDeadlineTimer deadline(5000);
    while (bytes.size() < size && !deadline.hasExpired()) {
        pollfd line{fd, POLLIN, 0};
        if (poll(&line, 1, int(deadline.remainingTime())) <= 0)
            continue;
        char buffer[4096];
        // No more than asked for: what follows stays for whoever reads the wire next.
        const ssize_t count = ::read(fd, buffer, qMin(sizeof buffer, size_t(size - bytes.size())));
        if (count > 0)
            bytes.append(buffer, int(count));
    }
    return bytes;
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

speed_t lineSpeed(int fd)
{
    termios settings{};
    if (tcgetattr(fd, &settings) != 0)
        return 0;
    return cfgetospeed(&settings);
}

} // namespace TestSupport

WireTap::WireTap(int masterFd, QObject *parent)
    : QObject(parent), m_fd(masterFd),
      m_notifier(new QSocketNotifier(masterFd, QSocketNotifier::Read, this))
{
    clock.start();
    connect(m_notifier, &QSocketNotifier::activated, this, &WireTap::readAvailable);
}

void WireTap::write(const QByteArray &bytes)
{
    int done = 0;
    while (done < bytes.size()) {
        const ssize_t count = ::write(m_fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (count < 0 && errno != EINTR && errno != EAGAIN)
            qFatal("write to the pty master failed");
        done += int(qMax<ssize_t>(count, 0));
    }
}

void WireTap::readAvailable()
{
    char buffer[4096];
    ssize_t count;
    while ((count = ::read(m_fd, buffer, sizeof buffer)) > 0) {
        received.append(buffer, int(count));
        arrivalMs.insert(arrivalMs.size(), int(count), clock.elapsed());
    }
    if (count == 0 || (count < 0 && errno != EAGAIN && errno != EINTR))
        m_notifier->setEnabled(false);
}

WindowDriver::WindowDriver()
{
    window.setLogFolder(logFolder.path());
}

void WindowDriver::selectPort(const QString &path)
{
    auto *box = widget<QComboBox>("comboBox");
    box->addItem(path);
    box->setCurrentIndex(box->count() - 1);
}

void WindowDriver::selectBaudRate(const QString &rate)
{
    widget<QComboBox>("comboBox_2")->setCurrentText(rate);
}

// An open is answered by the sequence's thread; the button takes presses again once the
// window has the answer.
void WindowDriver::clickOpen()
{
    auto *button = widget<QAbstractButton>("pushButton");
    button->click();
    if (!QTest::qWaitFor([button] { return button->isEnabled(); }, 10000))
        qFatal("no answer to the open press");
}

void WindowDriver::clickStart()
{
    widget<QAbstractButton>("pushButton_3")->click();
}

void WindowDriver::clickClear()
{
    widget<QAbstractButton>("pushButton_2")->click();
}

bool WindowDriver::chooseFile(const QString &path)
{
    // The dialog is modal: answer it from a timer that runs inside its event loop, again and
    // again until it has closed. Its file model fills in on a worker thread and refuses an
    // accept that comes before it knows the file; a refused accept may raise a message box.
    constexpr int GiveUpMs = 10000;
    QElapsedTimer clock;
    clock.start();
    QTimer answer;
    answer.setInterval(20);
    QObject::connect(&answer, &QTimer::timeout, [&clock, path] {
        for (QWidget *top : QApplication::topLevelWidgets()) {
            if (auto *box = qobject_cast<QMessageBox *>(top); box && box->isVisible())
                box->done(QMessageBox::Ok);
        }
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        if (clock.elapsed() > GiveUpMs)
            qFatal("the file dialog did not take %s within %d ms", qPrintable(path), GiveUpMs);
        // Queued, so that a message box the answer raises runs its loop outside this timer,
        // which cannot fire again before its handler has returned.
        if (path.isEmpty()) {
            QMetaObject::invokeMethod(dialog, &QDialog::reject, Qt::QueuedConnection);
            return;
        }
        // Typed into the name field as a user would: selectFile() leaves a focused field alone.
        const QFileInfo file(path);
        if (dialog->directory() != file.absoluteDir())
            dialog->setDirectory(file.absoluteDir());
        if (auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
            name->setText(file.fileName());
        else
            dialog->selectFile(file.absoluteFilePath());
        QMetaObject::invokeMethod(dialog, &QDialog::accept, Qt::QueuedConnection);
    });
    answer.start();
    widget<QAbstractButton>("toolButton")->click(); // returns once the dialog has closed
    const QString request = QCoreApplication::translate("MainWindow", "请选择ufw文件");
    return widget<QLineEdit>("lineEdit")->text() == (path.isEmpty() ? request : path);
}

bool WindowDriver::useImage(const QString &path)
{
    window.presetImage(path);
    return true;
}

bool WindowDriver::isOpen() const
{
    return widget<QAbstractButton>("pushButton")->text() ==
               QCoreApplication::translate("MainWindow", "关闭串口") &&
           widget<QRadioButton>("radioButton")->isChecked();
}

QString WindowDriver::log() const
{
    return widget<LogView>("textBrowser")->toPlainText();
}

QStringList WindowDriver::logLines() const
{
    const QString text = log();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

bool PtyWindowTest::startWindow(MasterSide master)
{
    if (!pty.open())
        return false;
    if (master == Tapped)
        tap = new WireTap(pty.masterFd());
    driver = new WindowDriver;
    driver->selectPort(pty.slavePath());
    return true;
}

bool PtyWindowTest::startOpenWindow(MasterSide master)
{
    if (!dir.isValid() || !startWindow(master))
        return false;
    driver->clickOpen();
    return driver->isOpen();
}

void PtyWindowTest::stopWindow()
{
    delete driver;
    driver = nullptr;
    delete tap; // before the master it watches is closed
    tap = nullptr;
    pty.closeMaster();
    pty.closeSlave();
}

bool PtyWindowTest::pressStart(const QByteArray &image, const QString &rate)
{
    driver->selectBaudRate(rate);
    driver->clickOpen();
    if (!driver->isOpen() || !dir.isValid())
        return false;
    const QString path = TestSupport::writeFile(dir.filePath(QStringLiteral("fw.ufw")), image);
    driver->useImage(path);
    driver->clickStart();
    return QTest::qWaitFor([this] { return driver->logLines().contains("切波特率到: 9600"); });
}

bool PtyWindowTest::answerHandshake()
{
    tap->write(OkReply);
    if (!QTest::qWaitFor([this] { return driver->logLines().contains("OK"); }))
        return false;
    tap->received.clear();
    return true;
}

QByteArray PtyWindowTest::sentBeforeBarrier()
{
    const QByteArray request = TestSupport::readRequest(0xFFFFFFF0u, 1);
    const QByteArray reply = TestSupport::frame(ReadDataCmd, request.mid(5, 8));
    tap->write(request);
    // Generous: before its reply come the log lines of all that went before, and a 64 KiB
    // slice makes a long one, slow to lay out under the sanitizers.
    if (!QTest::qWaitFor([&] { return tap->received.contains(reply); }, 20000))
        return "no reply to the barrier";
    return tap->received.left(tap->received.indexOf(reply)).replace(StartFrame, "");
}

QByteArray PtyWindowTest::readWithoutEventLoop(int size)
{
    return TestSupport::readWithoutEventLoop(pty.masterFd(), size);
}
