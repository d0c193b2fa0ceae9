#include "consoleoutput.h"

#ifdef Q_OS_WIN
#include <windows.h>
#endif

void printLine(FILE *stream, const QString &line)
{
    std::fprintf(stream, "%s\n", line.toUtf8().constData());
    std::fflush(stream);
}

#ifdef Q_OS_WIN
void useUtf8Console()
{
    SetConsoleOutputCP(CP_UTF8);
}
#else
// Elsewhere the terminal takes the locale's encoding, which is UTF-8 on every current system.
void useUtf8Console() {}
#endif
