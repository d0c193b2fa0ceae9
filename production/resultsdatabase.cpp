// The results tables in SQLite and PostgreSQL, through Qt SQL.

#include "resultsdatabase.h"

#include "resultsschema.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUuid>

namespace {

const char *const BusyTimeoutMs = "10000";

QVariant textOrNull(const QString &text)
{
    return text.isEmpty() ? QVariant() : QVariant(text);
}

// Times read back as the ISO text they were written as, whichever driver read them.
QVariant asStored(const QVariant &value)
{
    if (value.isNull())
        return {};
    if (value.userType() == QMetaType::QDateTime)
        return isoUtc(value.toDateTime());
    return value;
}

// The database's own words (English from both servers) rather than Qt's, which a headless
// run's Chinese translation would change. On one line: libpq's run over several, and the
// PostgreSQL driver appends the error's SQLSTATE in brackets, empty when the connection broke.
QString said(const QSqlError &error)
{
    QString text = error.databaseText().simplified();
    if (text.endsWith(QLatin1String("()")))
        text = text.chopped(2).trimmed();
    return text.isEmpty() ? error.text().simplified() : text;
}

// Each row of `query`, read as it was written.
std::vector<ModuleRow> rowsOf(QSqlQuery &query)
{
    std::vector<ModuleRow> rows;
    while (query.next()) {
        ModuleRow row;
        row.columns = ModuleRow::names();
        for (int i = 0; i < row.columns.size(); ++i)
            row.values << asStored(query.value(i));
        rows.push_back(row);
    }
    return rows;
}

// Every statement or none; what went wrong, in `problem`.
bool runInTransaction(QSqlDatabase &db, const QStringList &statements, QString *problem)
{
    if (!db.transaction()) {
        *problem = said(db.lastError());
        return false;
    }
    QSqlQuery query(db);
    for (const QString &statement : statements) {
        if (!query.exec(statement)) {
            *problem = said(query.lastError());
            query.finish();
            db.rollback();
            return false;
        }
    }
    if (db.commit())
        return true;
    *problem = said(db.lastError());
    db.rollback();
    return false;
}

} // namespace

ModuleRow ModuleRow::of(const ModuleRecord &record, const QString &station)
{
    const QJsonObject json = record.toJson();
    ModuleRow row;
    row.columns = names();
    for (const QString &name : row.columns) {
        const QJsonValue value = json.value(name);
        if (value.isString())
            row.values << textOrNull(value.toString());
        else if (value.isDouble() && name != QLatin1String("seconds"))
            row.values << QVariant(qint64(value.toDouble())); // JSON keeps every number a double
        else
            row.values << (value.isDouble() ? QVariant(value.toDouble()) : QVariant());
    }
    row.values[row.columns.indexOf(QStringLiteral("station"))] = station;
    return row;
}

ResultsDatabase::ResultsDatabase(const ResultsTarget &target, Use use)
    : m_target(target), m_use(use),
      m_connection(QStringLiteral("rw47hn-results-") + QUuid::createUuid().toString())
{
}

ResultsDatabase::~ResultsDatabase()
{
    if (QSqlDatabase::contains(m_connection)) {
        QSqlDatabase::database(m_connection, false).close();
        QSqlDatabase::removeDatabase(m_connection);
    }
}

bool ResultsDatabase::isOpen() const
{
    return QSqlDatabase::contains(m_connection) &&
           QSqlDatabase::database(m_connection, false).isOpen();
}

void ResultsDatabase::close()
{
    if (QSqlDatabase::contains(m_connection))
        QSqlDatabase::database(m_connection, false).close();
}

QString ResultsDatabase::table() const
{
    return m_use == Use::Outbox ? QStringLiteral("outbox") : QStringLiteral("modules");
}

ResultsDatabase::Outcome ResultsDatabase::open(QString *problem)
{
    if (isOpen())
        return Outcome::Done;
    const bool server = m_target.isServer();
    const QString driver = server ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE");
    if (!QSqlDatabase::isDriverAvailable(driver)) {
        *problem = QStringLiteral("the Qt SQL driver %1 is not installed").arg(driver);
        return Outcome::Refused;
    }
    if (!server && m_use == Use::Read && !QFileInfo(m_target.path).isFile()) {
        *problem = QStringLiteral("no such database file");
        return Outcome::Refused;
    }
    if (!server && !QDir().mkpath(QFileInfo(m_target.path).absolutePath())) {
        *problem = QStringLiteral("cannot make the folder %1")
                       .arg(QFileInfo(m_target.path).absolutePath());
        return Outcome::Refused;
    }
    QSqlDatabase db = QSqlDatabase::contains(m_connection)
                          ? QSqlDatabase::database(m_connection, false)
                          : QSqlDatabase::addDatabase(driver, m_connection);
    if (server) {
        db.setHostName(m_target.host);
        db.setPort(m_target.port);
        db.setUserName(m_target.user);
        db.setPassword(m_target.password); // empty: libpq looks in PGPASSWORD and ~/.pgpass
        db.setDatabaseName(m_target.database);
        db.setConnectOptions(QStringLiteral("connect_timeout=5"));
    } else {
        db.setDatabaseName(m_target.path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=") + BusyTimeoutMs);
    }
    if (!db.open()) {
        *problem = said(db.lastError());
        return server ? Outcome::Unreachable : Outcome::Refused;
    }
    const Outcome outcome =
        m_use == Use::Read ? checkVersion(problem, &m_version) : prepareSchema(problem);
    if (outcome != Outcome::Done)
        db.close();
    return outcome;
}

// Before anything is made or changed: a newer tool's schema is left exactly as it is.
ResultsDatabase::Outcome ResultsDatabase::checkVersion(QString *problem, int *version)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    int found = 0;
    if (db.tables().contains(QStringLiteral("schema_version"))) {
        QSqlQuery query(db);
        if (!query.exec(QStringLiteral("select max(version) from schema_version"))) {
            *problem = said(query.lastError());
            return m_target.isServer() ? Outcome::Unreachable : Outcome::Refused;
        }
        found = query.next() ? query.value(0).toInt() : 0;
    }
    if (found > SchemaVersion) {
        *problem = QStringLiteral("the database has schema version %1, newer than this tool's "
                                  "%2; it is left as it is (use a newer rw47hn-upgrader)")
                       .arg(found)
                       .arg(SchemaVersion);
        return Outcome::Refused;
    }
    if (version != nullptr)
        *version = found;
    return Outcome::Done;
}

// Made or upgraded in one transaction, tried twice: two PostgreSQL clients making the same table at
// once can fail the one that comes second, which then finds the table made.
ResultsDatabase::Outcome ResultsDatabase::prepareSchema(QString *problem)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    const bool server = m_target.isServer();
    if (!server) {
        // Several processes share one file: readers never wait for the writer, and a commit
        // is on disk when it returns.
        QSqlQuery(QStringLiteral("pragma journal_mode=wal"), db);
        QSqlQuery(QStringLiteral("pragma synchronous=full"), db);
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        int version = 0;
        if (const Outcome outcome = checkVersion(problem, &version); outcome != Outcome::Done)
            return outcome;
        m_version = version;
        if (version == SchemaVersion)
            return Outcome::Done;
        // An older tool's tables are brought up to this one's, in place, rows and all.
        QStringList all = ResultsSchema::statements(table(), version, server, m_use == Use::Outbox);
        all << QStringLiteral("insert into schema_version (version) values (%1)")
                   .arg(SchemaVersion);
        if (runInTransaction(db, all, problem)) {
            m_version = SchemaVersion;
            return Outcome::Done;
        }
    }
    return server ? Outcome::Unreachable : Outcome::Refused;
}

ResultsDatabase::Outcome ResultsDatabase::insert(const ModuleRow &row, const QString &destination,
                                                 QString *problem)
{
    if (const Outcome outcome = open(problem); outcome != Outcome::Done)
        return outcome;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QStringList columns = row.columns;
    QVariantList values = row.values;
    if (m_use == Use::Outbox) {
        columns << QStringLiteral("destination");
        values << destination;
    }
    QStringList marks;
    for (int i = 0; i < columns.size(); ++i)
        marks << QStringLiteral("?");
    bool done = db.transaction();
    QSqlQuery query(db);
    done = done && query.prepare(QStringLiteral("insert into %1 (%2) values (%3) "
                                                "on conflict (id) do nothing")
                                     .arg(table(), columns.join(QStringLiteral(", ")),
                                          marks.join(QStringLiteral(", "))));
    for (int i = 0; done && i < values.size(); ++i)
        query.addBindValue(values.at(i));
    done = done && query.exec();
    query.finish();
    done = done && db.commit();
    if (done)
        return Outcome::Done;
    *problem = query.lastError().isValid() ? said(query.lastError()) : said(db.lastError());
    if (db.isOpen()) // a server that went away has closed it already
        db.rollback();
    // A server that failed a statement may have gone: the next use connects anew.
    if (m_target.isServer())
        close();
    return m_target.isServer() ? Outcome::Unreachable : Outcome::Refused;
}

std::vector<ModuleRow> ResultsDatabase::waiting(const QString &destination, QString *problem)
{
    std::vector<ModuleRow> rows;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(QStringLiteral("select %1 from outbox where destination = ? order by started")
                      .arg(ResultsSchema::selectList(m_version)));
    query.addBindValue(destination);
    if (!query.exec()) {
        *problem = said(query.lastError());
        return rows;
    }
    return rowsOf(query);
}

bool ResultsDatabase::remove(const QString &id, QString *problem)
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(QStringLiteral("delete from outbox where id = ?"));
    query.addBindValue(id);
    if (query.exec())
        return true;
    *problem = said(query.lastError());
    return false;
}

int ResultsDatabase::waitingCount(const QString &destination)
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(QStringLiteral("select count(*) from outbox where destination = ?"));
    query.addBindValue(destination);
    return query.exec() && query.next() ? query.value(0).toInt() : 0;
}

std::vector<ModuleRow> ResultsDatabase::rows(const QDateTime &since, const QDateTime &until,
                                             QString *problem, const QString &station, int limit)
{
    std::vector<ModuleRow> rows;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.tables().contains(QStringLiteral("modules")))
        return rows; // nothing recorded yet
    QStringList conditions{QStringLiteral("1 = 1")};
    QVariantList values;
    if (since.isValid()) {
        conditions << QStringLiteral("started >= ?");
        values << isoUtc(since);
    }
    if (until.isValid()) {
        conditions << QStringLiteral("started < ?");
        values << isoUtc(until);
    }
    if (!station.isEmpty()) {
        conditions << QStringLiteral("station = ?");
        values << station;
    }
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("select %1 from modules where %2 order by started desc%3")
                      .arg(ResultsSchema::selectList(m_version),
                           conditions.join(QStringLiteral(" and ")),
                           limit > 0 ? QStringLiteral(" limit %1").arg(limit) : QString()));
    for (const QVariant &value : qAsConst(values))
        query.addBindValue(value);
    if (!query.exec()) {
        *problem = said(query.lastError());
        return rows;
    }
    return rowsOf(query);
}
