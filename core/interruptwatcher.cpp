#include "interruptwatcher.h"

#include <QMetaObject>
#include <QSocketNotifier>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int Interrupt = 2;  // SIGINT's number
constexpr int Terminate = 15; // SIGTERM's number

// Whether a signal goes to the event loop yet; before that it ends the process.
std::atomic<bool> watching{false};
// Kept where a signal handler can write it without allocating.
char earlyNote[512];
size_t earlyNoteSize = 0;

void keepEarlyNote(const QByteArray &note)
{
    const QByteArray line = note + '\n';
    earlyNoteSize = std::min(sizeof earlyNote, size_t(line.size()));
    std::memcpy(earlyNote, line.constData(), earlyNoteSize);
}

} // namespace

#ifdef Q_OS_WIN
#include <windows.h>

#include <cstdio>

namespace {

std::atomic<int> signalsSeen{0};
std::atomic<bool> released{false};
// The handler runs on a thread of the system's own: it reads the watcher under this lock,
// and the destructor clears it under the same lock, so the object it posts to is alive.
SRWLOCK watcherLock = SRWLOCK_INIT;
InterruptWatcher *watcher = nullptr;

// A closing console ends the process when this returns, so that case waits (up to the
// system's own limit) until the report is written.
BOOL WINAPI consoleHandler(DWORD event)
{
    const int number = event == CTRL_C_EVENT ? Interrupt : Terminate;
    if (!watching) {
        std::fwrite(earlyNote, 1, earlyNoteSize, stderr);
        std::fflush(stderr);
        std::_Exit(128 + number);
    }
    if (signalsSeen++ > 0)
        return FALSE; // the second one: the default handler ends the process
    AcquireSRWLockExclusive(&watcherLock);
    InterruptWatcher *const target = watcher;
    if (target != nullptr) {
        QMetaObject::invokeMethod(
            target, [target, number] { emit target->interrupted(number); }, Qt::QueuedConnection);
    }
    ReleaseSRWLockExclusive(&watcherLock);
    if (target == nullptr)
        return FALSE;
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        while (!released)
            Sleep(50);
    }
    return TRUE;
}

} // namespace

void InterruptWatcher::install()
{
    AcquireSRWLockExclusive(&watcherLock);
    watcher = this;
    ReleaseSRWLockExclusive(&watcherLock);
    SetConsoleCtrlHandler(consoleHandler, TRUE);
}

void InterruptWatcher::uninstall()
{
    SetConsoleCtrlHandler(consoleHandler, FALSE);
    AcquireSRWLockExclusive(&watcherLock);
    watcher = nullptr;
    ReleaseSRWLockExclusive(&watcherLock);
    released = true; // a handler still waiting lets the process go
}

void InterruptWatcher::release()
{
    released = true;
}
#else
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int Hangup = 1; // SIGHUP's number
constexpr int Caught[] = {SIGHUP, SIGINT, SIGTERM};
int pipeEnds[2] = {-1, -1};

void signalHandler(int number);

// While the handler runs the other two are blocked, so that two signals that come together
// are taken one after the other.
void setDisposition(int number, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int caught : Caught)
        sigaddset(&action.sa_mask, caught);
    ::sigaction(number, &action, nullptr);
}

// Only what is safe in a signal handler, and errno as it was for the code it interrupted.
void signalHandler(int number)
{
    const int savedErrno = errno;
    if (!watching) {
        [[maybe_unused]] const ssize_t noted = ::write(STDERR_FILENO, earlyNote, earlyNoteSize);
        ::_exit(128 + number);
    }
    // The next one of any kind ends the process; a hangup told again is the same hangup.
    for (const int caught : Caught)
        setDisposition(caught, caught == SIGHUP && number == SIGHUP ? SIG_IGN : SIG_DFL);
    const char byte = char(number);
    [[maybe_unused]] const ssize_t written = ::write(pipeEnds[0], &byte, 1);
    errno = savedErrno;
}

} // namespace

void InterruptWatcher::install()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pipeEnds) != 0)
        return;
    for (const int end : pipeEnds)
        ::fcntl(end, F_SETFD, FD_CLOEXEC);
    ::fcntl(pipeEnds[0], F_SETFL, ::fcntl(pipeEnds[0], F_GETFL) | O_NONBLOCK);
    m_notifier = new QSocketNotifier(pipeEnds[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        if (::read(pipeEnds[1], &byte, 1) == 1)
            emit interrupted(int(byte));
    });
    for (const int caught : Caught)
        setDisposition(caught, signalHandler);
    static_assert(SIGHUP == Hangup && SIGINT == Interrupt && SIGTERM == Terminate,
                  "POSIX signal numbers");
}

// A signal that has already come left the dispositions as the next one needs them.
void InterruptWatcher::uninstall()
{
    for (const int caught : Caught) {
        struct sigaction current = {};
        if (::sigaction(caught, nullptr, &current) == 0 && current.sa_handler == signalHandler)
            ::signal(caught, SIG_DFL);
    }
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

InterruptWatcher::InterruptWatcher(const QByteArray &earlyNote, QObject *parent) : QObject(parent)
{
    keepEarlyNote(earlyNote);
    watching = false;
    install();
}

InterruptWatcher::~InterruptWatcher()
{
    uninstall();
}

void InterruptWatcher::watch()
{
    watching = true;
}
