#include "consoleoutput.h"

#include <QCoreApplication>

#include <atomic>
#include <cerrno>
#include <csignal>

#ifdef Q_OS_WIN
#include <windows.h>
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
#else
// Elsewhere the terminal takes the locale's encoding, which is UTF-8 on every current system.
void useUtf8Console() {}

void surviveClosedConsole()
{
    std::signal(SIGPIPE, SIG_IGN);
}
#endif
