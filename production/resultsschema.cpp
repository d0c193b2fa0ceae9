// The results tables' columns by the schema version that added them.

#include "resultsschema.h"

#include "resultsdatabase.h"

namespace {

struct Column
{
    const char *name;
    const char *postgresql;
    const char *sqlite;
    int since; // the schema version that added it
};

// Named as the record's JSON fields; times as timestamps with time zone, in SQLite as the
// same ISO text the JSON holds, which sorts as the times do. A column added later goes last,
// with the version that adds it.
const Column Columns[] = {
    {"id", "uuid primary key", "text primary key", 1},
    {"station", "text not null", "text not null", 1},
    {"position", "text", "text", 1},
    {"port", "text not null", "text not null", 1},
    {"device", "text", "text", 1},
    {"image", "text", "text", 1},
    {"image_sha256", "text", "text", 1},
    {"image_size", "bigint", "integer", 1},
    {"started", "timestamptz", "text", 1},
    {"ended", "timestamptz", "text", 1},
    {"seconds", "double precision", "real", 1},
    {"bytes", "bigint", "integer", 1},
    {"requests", "integer", "integer", 1},
    {"crc_errors", "integer", "integer", 1},
    {"status", "text not null", "text not null", 1},
    {"result", "integer", "integer", 1},
    {"reason", "text", "text", 1},
    {"reason_code", "text", "text", 1},
    {"tool_version", "text", "text", 1},
    {"module_text", "text", "text", 1},
    {"module_serial", "text", "text", 2},
};

QString definition(const Column &column, bool server)
{
    return QStringLiteral("%1 %2").arg(QLatin1String(column.name),
                                       QLatin1String(server ? column.postgresql : column.sqlite));
}

} // namespace

const QStringList &ModuleRow::names()
{
    static const QStringList names = [] {
        QStringList list;
        for (const Column &column : Columns)
            list << QLatin1String(column.name);
        return list;
    }();
    return names;
}

QStringList ResultsSchema::statements(const QString &table, int version, bool server, bool outbox)
{
    if (version > 0) {
        QStringList added;
        for (const Column &column : Columns) {
            if (column.since > version)
                added << QStringLiteral("alter table %1 add column %2")
                             .arg(table, definition(column, server));
        }
        return added;
    }
    QStringList columns;
    for (const Column &column : Columns)
        columns << definition(column, server);
    if (outbox)
        columns << QStringLiteral("destination text not null");
    return {QStringLiteral("create table if not exists schema_version (version integer not null)"),
            QStringLiteral("create table if not exists %1 (%2)")
                .arg(table, columns.join(QStringLiteral(", "))),
            QStringLiteral("create index if not exists %1_started on %1 (started)").arg(table)};
}

QString ResultsSchema::selectList(int version)
{
    QStringList list;
    for (const Column &column : Columns) {
        const QLatin1String name(column.name);
        list << (column.since > version ? QStringLiteral("null as %1").arg(name) : QString(name));
    }
    return list.join(QStringLiteral(", "));
}
