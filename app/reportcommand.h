#pragma once

struct CommandLine;

// --report: the yield from the results store, on stdout or to the files given; the exit status.
int runReport(const CommandLine &line);
