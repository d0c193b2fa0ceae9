#pragma once

#include "headlessoptions.h"
#include "language.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>

// The program's options, for the window and for headless runs, and their checks: everything
// that can be refused is refused here, before any port is opened.
struct CommandLine
{
    CommandLine();
    // What is wrong with the options; empty when they make sense. A --log-dir that does not
    // exist yet is made here.
    QString check() const;
    HeadlessOptions headlessOptions() const;
    // --results, or the SQLite file in the data folder; only once check() has passed.
    ResultsTarget resultsTarget() const;
    // --station-name, or the host name.
    QString stationName() const;
    // The language of the run: --lang; else, for the window, the one last chosen in its menu;
    // else Chinese. A headless run does not follow the window's choice.
    Language::Code language() const;
    // `arguments` without the options that QApplication and its platform take for themselves
    // (-platform NAME, -style NAME, -reverse, ...; with one dash or two), so that any other
    // unknown option can be refused before a QApplication exists, display or not.
    static QStringList withoutQtOptions(const QStringList &arguments);

    QCommandLineParser parser;
    QCommandLineOption port;
    QCommandLineOption image;
    QCommandLineOption baud;
    QCommandLineOption start;
    QCommandLineOption headless;
    QCommandLineOption timeout;
    QCommandLineOption verbose;
    QCommandLineOption debug;
    QCommandLineOption json;
    QCommandLineOption jsonLines;
    QCommandLineOption logDir;
    QCommandLineOption logLines;
    QCommandLineOption wait;
    QCommandLineOption loop;
    QCommandLineOption listPorts;
    QCommandLineOption lang;
    QCommandLineOption station;
    QCommandLineOption profile;
    QCommandLineOption results;
    QCommandLineOption stationNameOption;
    QCommandLineOption moduleSerial;
    QCommandLineOption report;
    QCommandLineOption csv;
    QCommandLineOption since;
    QCommandLineOption until;

private:
    QString makeLogFolder() const;
    QString checkFilesNamedOnce() const;
    QString checkHeadless() const;
    QString checkStation() const;
    QString checkTimeout() const;
    QString checkModuleSerial() const;
    QString checkPorts() const;
    QString checkReportFile(const QCommandLineOption &option) const;
    // In commandlineresults.cpp: the store and the report.
    QString checkResults() const;
    QString checkReport() const;
};
