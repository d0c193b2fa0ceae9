// The command line's results store and report options.

#include "commandline.h"

#include "resultsreport.h"

#include <QSysInfo>

QString CommandLine::checkResults() const
{
    QString problem;
    if (parser.isSet(results))
        ResultsTarget::parse(parser.value(results), &problem);
    if (problem.isEmpty() && parser.isSet(stationNameOption) &&
        parser.value(stationNameOption).trimmed().isEmpty())
        problem = QStringLiteral("--station-name: an empty name");
    if (problem.isEmpty() && !parser.isSet(report)) {
        for (const QCommandLineOption *option : {&csv, &since, &until}) {
            if (parser.isSet(*option))
                return QStringLiteral("--%1 needs --report").arg(option->names().first());
        }
    }
    return problem;
}

QString CommandLine::checkReport() const
{
    for (const QCommandLineOption *option : {&headless, &station, &listPorts, &port}) {
        if (parser.isSet(*option))
            return QStringLiteral("--report and --%1 exclude each other")
                .arg(option->names().first());
    }
    if (parser.isSet(results) && parser.value(results) == QLatin1String("none"))
        return QStringLiteral("--report needs a store: --results none keeps none");
    for (const QCommandLineOption *option : {&since, &until}) {
        QDateTime time;
        if (parser.isSet(*option) && !parseReportTime(parser.value(*option), false, &time))
            return QStringLiteral("--%1: not a day (2026-12-07) or a time (2026-12-07T08:00): %2")
                .arg(option->names().first(), parser.value(*option));
    }
    if (!parser.positionalArguments().isEmpty())
        return "unexpected argument: " + parser.positionalArguments().first();
    for (const QCommandLineOption *option : {&json, &csv}) {
        if (parser.value(*option) == QLatin1String("-"))
            continue;
        if (const QString problem = checkReportFile(*option); !problem.isEmpty())
            return problem;
    }
    return {};
}

ResultsTarget CommandLine::resultsTarget() const
{
    if (!parser.isSet(results))
        return ResultsTarget::byDefault();
    QString problem;
    return ResultsTarget::parse(parser.value(results), &problem);
}

QString CommandLine::stationName() const
{
    if (parser.isSet(stationNameOption))
        return parser.value(stationNameOption).trimmed();
    return QSysInfo::machineHostName();
}
