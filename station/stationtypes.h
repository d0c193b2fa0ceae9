#pragma once

#include "modulerecord.h"
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

inline ModuleOutcome outcomeOf(ModuleRecord::Status status)
{
    switch (status) {
    case ModuleRecord::Status::Ok:
        return ModuleOutcome::Passed;
    case ModuleRecord::Status::Failed:
        return ModuleOutcome::Failed;
    case ModuleRecord::Status::Error:
        break;
    }
    return ModuleOutcome::Error;
}

// One position as the serving thread sees it, sent to the window as plain data.
struct PositionSnapshot
{
    PositionActivity activity = PositionActivity::Stopped;
    qint64 servedBytes = 0;
    qint64 elapsedMs = 0;
    QString scannedSerial; // for the next module: scanned, not yet taken by one
    QString moduleSerial;  // of the module being upgraded
    bool operator==(const PositionSnapshot &other) const
    {
        return activity == other.activity && servedBytes == other.servedBytes &&
               elapsedMs == other.elapsedMs && scannedSerial == other.scannedSerial &&
               moduleSerial == other.moduleSerial;
    }
    bool operator!=(const PositionSnapshot &other) const { return !(*this == other); }
};

inline PositionSnapshot ownCopy(const PositionSnapshot &snapshot)
{
    PositionSnapshot copy = snapshot;
    copy.scannedSerial = ownCopy(snapshot.scannedSerial);
    copy.moduleSerial = ownCopy(snapshot.moduleSerial);
    return copy;
}

// One module that has ended, as the history shows it: its record, and whether the record
// reached the results file and its log.
struct StationRecord
{
    int position = -1;
    ModuleRecord module;
    QString writeProblem; // why the record or its log could not be written, or empty
};

inline StationRecord ownCopy(const StationRecord &record)
{
    return {record.position, ownCopy(record.module), ownCopy(record.writeProblem)};
}

// The image as loaded by the serving thread.
struct ImageInfo
{
    QString path;
    qint64 size = 0;
    QString sha256;
    QString problem; // why it could not be loaded, or empty
    // Why the results file or the log folder cannot be written, or empty: Start waits for it.
    QString outputProblem;
};

inline ImageInfo ownCopy(const ImageInfo &info)
{
    return {ownCopy(info.path), info.size, ownCopy(info.sha256), ownCopy(info.problem),
            ownCopy(info.outputProblem)};
}
