#include "interruptwatcher.h"

#include <QMetaObject>
#include <QSocketNotifier>

#include <atomic>

namespace {

constexpr int Interrupt = 2;  // SIGINT's number
constexpr int Terminate = 15; // SIGTERM's number
InterruptWatcher *watcher = nullptr;

} // namespace

#ifdef Q_OS_WIN
#include <windows.h>

namespace {

std::atomic<int> signalsSeen{0};
std::atomic<bool> released{false};

// Runs on a thread of the system's own. A closing console ends the process when this
// returns, so that case waits (up to the system's own limit) until the report is written.
BOOL WINAPI consoleHandler(DWORD event)
{
    if (signalsSeen++ > 0 || watcher == nullptr)
        return FALSE; // the second one: the default handler ends the process
    const int number = event == CTRL_C_EVENT ? Interrupt : Terminate;
    QMetaObject::invokeMethod(
        watcher, [number] { emit watcher->interrupted(number); }, Qt::QueuedConnection);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        while (!released)
            Sleep(50);
    }
    return TRUE;
}

} // namespace

void InterruptWatcher::install()
{
    SetConsoleCtrlHandler(consoleHandler, TRUE);
}

void InterruptWatcher::uninstall()
{
    SetConsoleCtrlHandler(consoleHandler, FALSE);
}

void InterruptWatcher::release()
{
    released = true;
}
#else
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int pipeEnds[2] = {-1, -1};

// Only what is safe in a signal handler: one write. The disposition has been reset by then
// (SA_RESETHAND), so a second signal ends the process.
void signalHandler(int number)
{
    const char byte = char(number);
    [[maybe_unused]] const ssize_t written = ::write(pipeEnds[0], &byte, 1);
}

} // namespace

void InterruptWatcher::install()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pipeEnds) != 0)
        return;
    m_notifier = new QSocketNotifier(pipeEnds[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        if (::read(pipeEnds[1], &byte, 1) == 1)
            emit interrupted(int(byte));
    });
    struct sigaction action = {};
    action.sa_handler = signalHandler;
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    static_assert(SIGINT == Interrupt && SIGTERM == Terminate, "POSIX signal numbers");
}

void InterruptWatcher::uninstall()
{
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    delete m_notifier;
    m_notifier = nullptr;
    for (int &end : pipeEnds) {
        if (end >= 0)
            ::close(end);
        end = -1;
    }
}

// Nothing waits on POSIX: the handler returned long ago.
void InterruptWatcher::release() {}
#endif

InterruptWatcher::InterruptWatcher(QObject *parent) : QObject(parent)
{
    watcher = this;
    install();
}

InterruptWatcher::~InterruptWatcher()
{
    uninstall();
    watcher = nullptr;
}
