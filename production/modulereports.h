#pragma once

#include "jsonlinesfile.h"
#include "modulerecord.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <vector>

// Where each module's record goes as it ends, the same for a headless run and a station: its
// summary line on stdout, and its line in the --json-lines file, appended off this thread.
class ModuleReports
{
public:
    // Without a path there is no file: only the summary lines.
    explicit ModuleReports(const QString &jsonLinesPath = {});

    // `written` hears whether the record's line made it: on the file's thread once it is on
    // disk (an empty text) or given up (why); at once, here, when there is no file.
    void report(const ModuleRecord &record, const JsonLinesFile::Written &written = {});
    // Waits until every line so far is on disk or given up; false when any was given up.
    bool waitForAll();
    QString jsonLinesPath() const { return m_path; }

private:
    QString m_path;
    std::unique_ptr<JsonLinesFile> m_jsonLines;
};

// The --json report: every record, as one JSON array.
QByteArray recordsJson(const std::vector<ModuleRecord> &records);
