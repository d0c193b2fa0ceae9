// Each module's summary line and JSON line, written in one place for every front end.

#include "modulereports.h"

#include "consoleoutput.h"

#include <QJsonArray>
#include <QJsonDocument>

ModuleReports::ModuleReports(const QString &jsonLinesPath) : m_path(jsonLinesPath)
{
    if (!jsonLinesPath.isEmpty())
        m_jsonLines = std::make_unique<JsonLinesFile>(jsonLinesPath);
}

void ModuleReports::report(const ModuleRecord &record, const JsonLinesFile::Written &written)
{
    printLine(stdout, record.summaryLine());
    if (m_jsonLines)
        m_jsonLines->append(record.jsonLine(), written);
    else if (written)
        written({});
}

bool ModuleReports::waitForAll()
{
    return !m_jsonLines || m_jsonLines->waitForAll();
}

QByteArray recordsJson(const std::vector<ModuleRecord> &records)
{
    QJsonArray array;
    for (const ModuleRecord &record : records)
        array.append(record.toJson());
    return QJsonDocument(array).toJson();
}
