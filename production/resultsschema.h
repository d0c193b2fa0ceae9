#pragma once

#include <QString>
#include <QStringList>

// The results tables' columns, and what makes them or brings an older tool's up to date.
namespace ResultsSchema {

// The statements that take `table` from schema `version` (0: nothing made yet) to the
// current one; the outbox's table also names the store each row waits for.
QStringList statements(const QString &table, int version, bool server, bool outbox);
// Every column of ModuleRow::names() for a select, in that order: a column that schema
// `version` does not have yet is read as null.
QString selectList(int version);

} // namespace ResultsSchema
