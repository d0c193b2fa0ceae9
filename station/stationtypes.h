#pragma once

#include "owncopy.h"

#include <QString>
#include <QVector>

// What a position's serving side is doing right now.
enum class PositionActivity {
    Stopped,   // not started, stopped, or done with its one module
    Waiting,   // started: its port or its module has not come yet
    Upgrading, // a module is being upgraded
    Ended      // its module has ended; the port has not gone yet
};

// How a position's last module ended.
enum class ModuleOutcome { None, Passed, Failed, Error };

// One position as the serving thread sees it, sent to the window as plain data.
struct PositionSnapshot
{
    PositionActivity activity = PositionActivity::Stopped;
    qint64 servedBytes = 0;
    qint64 elapsedMs = 0;
    bool operator==(const PositionSnapshot &other) const
    {
        return activity == other.activity && servedBytes == other.servedBytes &&
               elapsedMs == other.elapsedMs;
    }
    bool operator!=(const PositionSnapshot &other) const { return !(*this == other); }
};

// One module that has ended, as the history shows it.
struct ModuleRecord
{
    qint64 endedMs = 0; // since the epoch
    int position = -1;
    QString label;
    QString port;
    ModuleOutcome outcome = ModuleOutcome::None;
    int result = -1; // the module's result byte, -1 when none came
    double seconds = 0;
    qint64 bytes = 0;
    QString reason;
    QString logPath;
    QString summary; // the headless summary line
};

inline ModuleRecord ownCopy(const ModuleRecord &record)
{
    ModuleRecord copy = record;
    for (QString *text : {&copy.label, &copy.port, &copy.reason, &copy.logPath, &copy.summary})
        *text = ownCopy(*text);
    return copy;
}

// The image as loaded by the serving thread.
struct ImageInfo
{
    QString path;
    qint64 size = 0;
    QString sha256;
    QString problem; // why it could not be loaded, or empty
};

inline ImageInfo ownCopy(const ImageInfo &info)
{
    return {ownCopy(info.path), info.size, ownCopy(info.sha256), ownCopy(info.problem)};
}
