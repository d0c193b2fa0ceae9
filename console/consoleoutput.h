#pragma once

#include <QString>

#include <cstdio>

// Writes one line to a console stream as UTF-8 and flushes it, so that scripts reading the
// stream see each line as soon as it is written. A stream that fails a write (a closed pipe,
// a hung-up terminal, a full disk) is given up: its later lines are dropped, and a failed
// stdout says so once on stderr. Safe to call from any thread.
void printLine(FILE *stream, const QString &line);
// Makes the console show UTF-8 (Windows consoles use a code page of their own otherwise).
void useUtf8Console();
// A closed stdout or stderr (the reader of a pipe has gone) becomes a failed write instead of
// SIGPIPE ending the process: nothing else may end a run before it has reported.
void surviveClosedConsole();
// A standard stream that was closed when the process started (`2>&-`) is opened on the null
// device, so that no file, socket or port opened later takes its number and receives console
// lines. First thing in main(), before anything opens a file.
void keepStandardStreamsOpen();
