#pragma once

#include <QString>

#include <cstdio>

// Writes one line to a console stream as UTF-8 and flushes it, so that scripts reading the
// stream see each line as soon as it is written.
void printLine(FILE *stream, const QString &line);
// Makes the console show UTF-8 (Windows consoles use a code page of their own otherwise).
void useUtf8Console();
