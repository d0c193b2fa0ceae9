#pragma once

#include "jsonlinesfile.h"
#include "modulerecord.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <vector>

class ResultStore;

// Where each module's record goes as it ends, the same for a headless run and a station: its
// summary line on stdout, its line in the --json-lines file and its row in the results store,
// both written off this thread.
class ModuleReports
{
public:
    // Without a path there is no file, without a store no row: only the summary lines. The
    // store is the caller's and outlives this.
    explicit ModuleReports(const QString &jsonLinesPath = {}, ResultStore *store = nullptr);

    // `written` hears whether the record made it: once its line is on disk and its row kept
    // (an empty text) or either given up (why); on the thread of whichever finished last, or
    // at once, here, when there is neither.
    void report(const ModuleRecord &record, const JsonLinesFile::Written &written = {});
    // Waits until every line and row so far is kept or given up; false when any was given up.
    bool waitForAll();
    QString jsonLinesPath() const { return m_path; }

private:
    QString m_path;
    std::unique_ptr<JsonLinesFile> m_jsonLines;
    ResultStore *m_store;
};

// The --json report: every record, as one JSON array.
QByteArray recordsJson(const std::vector<ModuleRecord> &records);
