#pragma once

#include "jsonlinesfile.h"
#include "modulerecord.h"

#include <QByteArray>
#include <QString>

#include <functional>

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

    // Why a record was not kept whole: the reason its line or its row was given up, empty
    // for what was kept.
    struct Lost
    {
        QString line; // the JSON lines file's reason
        QString row;  // the store's, which names the store
    };
    using Written = std::function<void(const Lost &lost)>;
    // `written` hears whether the record made it, once its line is on disk and its row kept or
    // either given up; on the thread of whichever finished last, or at once, here, when there
    // is neither.
    void report(const ModuleRecord &record, const Written &written = {});
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
