#include "consoleoutput.h"

#include <QCoreApplication>

#include <atomic>
#include <cerrno>
#include <csignal>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

std::atomic<bool> stdoutGivenUp{false};
std::atomic<bool> stderrGivenUp{false};

} // namespace

void printLine(FILE *stream, const QString &line)
{
    std::atomic<bool> &givenUp = stream == stderr ? stderrGivenUp : stdoutGivenUp;
    if (givenUp)
        return;
    const QByteArray bytes = line.toUtf8() + '\n';
    errno = 0;
    if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) == size_t(bytes.size()) &&
        std::fflush(stream) == 0)
        return;
    const int error = errno;
    if (givenUp.exchange(true) || stream != stdout || stderrGivenUp)
        return;
    // stdout carries lines in a fixed format for scripts: a note about it goes to stderr only.
    const QByteArray note = (QCoreApplication::applicationName() +
                             QStringLiteral(": stdout: %1; its lines are dropped, the run goes on")
                                 .arg(qt_error_string(error)))
                                .toUtf8() +
                            '\n';
    std::fwrite(note.constData(), 1, size_t(note.size()), stderr);
    std::fflush(stderr);
}

#ifdef Q_OS_WIN
void useUtf8Console()
{
    SetConsoleOutputCP(CP_UTF8);
}

// A closed pipe is a failed write on Windows already.
void surviveClosedConsole() {}

// Windows hands a process without a console no handles at all instead.
void keepStandardStreamsOpen() {}
#else
// Elsewhere the terminal takes the locale's encoding, which is UTF-8 on every current system.
void useUtf8Console() {}

void surviveClosedConsole()
{
    std::signal(SIGPIPE, SIG_IGN);
}

void keepStandardStreamsOpen()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
}
#endif
