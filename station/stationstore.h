#pragma once

#include "resultstarget.h"
#include "stationsetup.h"
#include "stationtypes.h"

#include <QDateTime>
#include <QList>

// The station's counts and history as the results store holds them, so that they outlive a
// restart: the modules of this station since the last Reset.
struct StoredTotals
{
    QList<StationRecord> history; // newest first, at most the model's history length
    int passed = 0;
    int failed = 0;
    QDateTime since;
};

StoredTotals ownCopy(const StoredTotals &totals);

// Where a set-up's records go, and the name they are kept under.
ResultsTarget resultsTargetOf(const StationSetup &setup, QString *problem);
QString stationNameOf(const StationSetup &setup);
// Since when the station counts: kept in the settings; Reset counts from now on, the records
// stay in the store.
QDateTime countedSince();
void countFromNow();
// This station's records since `since`; nothing when the store cannot be read.
StoredTotals readTotals(const ResultsTarget &target, const QString &station, const QDateTime &since,
                        int historyLength);
