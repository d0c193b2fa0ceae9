// Each module's summary line and JSON line, written in one place for every front end.

#include "modulereports.h"

#include "consoleoutput.h"
#include "resultstore.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <mutex>

namespace {

// Hears the line's thread and the store's, and tells `written` once both have finished.
class WrittenBoth
{
public:
    WrittenBoth(ModuleReports::Written written, int writers)
        : m_written(std::move(written)), m_remaining(writers)
    {
    }
    void finished(QString ModuleReports::Lost::*reason, const QString &problem)
    {
        ModuleReports::Lost lost;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lost.*reason = problem;
            if (--m_remaining > 0)
                return;
            lost = m_lost;
        }
        if (m_written)
            m_written(lost);
    }

private:
    ModuleReports::Written m_written;
    std::mutex m_mutex;
    int m_remaining;
    ModuleReports::Lost m_lost;
};

} // namespace

ModuleReports::ModuleReports(const QString &jsonLinesPath, ResultStore *store)
    : m_path(jsonLinesPath), m_store(store)
{
    if (!jsonLinesPath.isEmpty())
        m_jsonLines = std::make_unique<JsonLinesFile>(jsonLinesPath);
}

void ModuleReports::report(const ModuleRecord &record, const Written &written)
{
    printLine(stdout, record.summaryLine());
    const int writers = (m_jsonLines ? 1 : 0) + (m_store != nullptr ? 1 : 0);
    if (writers == 0) {
        if (written)
            written({});
        return;
    }
    auto both = std::make_shared<WrittenBoth>(written, writers);
    if (m_jsonLines)
        m_jsonLines->append(record.jsonLine(), [both](const QString &problem) {
            both->finished(&Lost::line, problem);
        });
    if (m_store != nullptr)
        m_store->add(record,
                     [both](const QString &problem) { both->finished(&Lost::row, problem); });
}

bool ModuleReports::waitForAll()
{
    const bool lines = !m_jsonLines || m_jsonLines->waitForAll();
    return (m_store == nullptr || m_store->waitForAll()) && lines;
}

QByteArray recordsJson(const std::vector<ModuleRecord> &records)
{
    QJsonArray array;
    for (const ModuleRecord &record : records)
        array.append(record.toJson());
    return QJsonDocument(array).toJson();
}
