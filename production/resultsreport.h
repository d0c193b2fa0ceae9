#pragma once

#include "resultsdatabase.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <vector>

// The modules of one day (local time, by their start), station, position and image.
struct YieldGroup
{
    QString day; // yyyy-MM-dd
    QString station;
    QString position; // empty for a headless run
    QString image;
    QString imageSha256;
    int modules = 0;
    int passed = 0;
    std::vector<double> passedSeconds;

    int failed() const { return modules - passed; }
    double yieldPercent() const { return modules > 0 ? 100.0 * passed / modules : 0.0; }
    // The median time of the passed modules; negative when none passed.
    double medianSeconds() const;
};

// --report: the yield of the modules in a store, by day, station, position and image, as a
// text table, JSON or CSV.
struct YieldReport
{
    std::vector<YieldGroup> groups; // by day, station, position, image

    static YieldReport of(const std::vector<ModuleRow> &rows);
    QString table() const;
    QByteArray json() const;
    QByteArray csv() const;
};

// --since and --until: a day (yyyy-MM-dd, local time) or a time (ISO 8601, local unless it
// says otherwise). A day given as the end counts whole. False when it is neither.
bool parseReportTime(const QString &text, bool end, QDateTime *time);
