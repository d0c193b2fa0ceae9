#pragma once

#include "modulerecord.h"
#include "resultstarget.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <vector>

// One module's row as the database holds it: the record's JSON fields plus the station.
struct ModuleRow
{
    QStringList columns; // ModuleRow::names(), in that order
    QVariantList values; // null where the record has none
    static const QStringList &names();
    static ModuleRow of(const ModuleRecord &record, const QString &station);
    QVariant value(const QString &name) const { return values.value(columns.indexOf(name)); }
};

// A database connection of this thread's to one store: the `modules` table and the schema
// version, made when missing; an older version of this tool's tables is brought up to date in
// place, and a schema newer than this tool's is refused and left as it is.
// Also used for the outbox, whose rows also name the store they wait for. Used in the thread
// that opened it only, as Qt SQL requires.
class ResultsDatabase
{
public:
    static constexpr int SchemaVersion = 2;
    enum class Use { Write, Read, Outbox };
    enum class Outcome { Done, Unreachable, Refused };

    ResultsDatabase(const ResultsTarget &target, Use use);
    ~ResultsDatabase();
    ResultsDatabase(const ResultsDatabase &) = delete;
    ResultsDatabase &operator=(const ResultsDatabase &) = delete;

    // Connects when not connected; Refused: a schema this tool does not know, or no such file
    // to read. `problem` says why whenever it is not Done.
    Outcome open(QString *problem);
    bool isOpen() const;
    void close();

    // One transaction; a row whose id is there already is left as it is.
    Outcome insert(const ModuleRow &row, const QString &destination, QString *problem);
    // Outbox: the rows waiting for `destination`, oldest first; one of them gone.
    std::vector<ModuleRow> waiting(const QString &destination, QString *problem);
    bool remove(const QString &id, QString *problem);
    int waitingCount(const QString &destination);
    // Rows started from `since` until before `until` (either invalid: unbounded).
    std::vector<ModuleRow> rows(const QDateTime &since, const QDateTime &until, QString *problem,
                                const QString &station = {}, int limit = -1);

private:
    Outcome prepareSchema(QString *problem);
    Outcome checkVersion(QString *problem, int *version);
    QString table() const;

    ResultsTarget m_target;
    Use m_use;
    QString m_connection;
    int m_version = 0; // the schema version of the tables, once open
};
