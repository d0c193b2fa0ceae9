// A real PostgreSQL server for the results store's tests and the stations benchmark, started
// and stopped by them.

#include "postgresserver.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>

#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A port nobody listens on now: the system's choice for a socket bound to port 0.
int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), size) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

QString newestBinFolder()
{
    const QDir versions(QStringLiteral("/usr/lib/postgresql"));
    const QStringList found = versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (auto it = found.crbegin(); it != found.crend(); ++it) {
        const QString bin = versions.filePath(*it + QStringLiteral("/bin"));
        if (QFile::exists(bin + QStringLiteral("/initdb")))
            return bin;
    }
    return {};
}

} // namespace

PostgresServer::~PostgresServer()
{
    stop();
}

// Root runs the server's programs as `postgres`, who must own the cluster's folder.
QString PostgresServer::run(const QString &program, const QStringList &arguments) const
{
    QProcess process;
    if (::geteuid() == 0)
        process.start(QStringLiteral("runuser"),
                      QStringList{"-u", "postgres", "--", m_bin + '/' + program} + arguments);
    else
        process.start(m_bin + '/' + program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        return program + ": " + QString::fromLocal8Bit(process.readAllStandardError()) +
               QString::fromLocal8Bit(process.readAllStandardOutput());
    return {};
}

QString PostgresServer::start()
{
    m_bin = newestBinFolder();
    if (m_bin.isEmpty())
        return QStringLiteral("no PostgreSQL server under /usr/lib/postgresql");
    const passwd *postgres = ::getpwnam("postgres");
    if (::geteuid() == 0 && postgres == nullptr)
        return QStringLiteral("no user postgres to run the server as");
    ::chmod(QFile::encodeName(m_dir.path()).constData(), 0755);
    m_data = m_dir.filePath(QStringLiteral("data"));
    QDir().mkpath(m_data);
    const QString passwordFile = m_dir.filePath(QStringLiteral("password"));
    QFile file(passwordFile);
    if (!file.open(QIODevice::WriteOnly) || file.write(Password) < 0)
        return file.errorString();
    file.close();
    if (::geteuid() == 0) {
        for (const QString &path : {m_data, passwordFile}) {
            if (::chown(QFile::encodeName(path).constData(), postgres->pw_uid, postgres->pw_gid) !=
                0)
                return QStringLiteral("cannot hand %1 to postgres").arg(path);
        }
    }
    const QString made = run("initdb", {"-D", m_data, "-U", User, "--pwfile=" + passwordFile, "-A",
                                        "scram-sha-256", "--no-sync", "--no-instructions"});
    if (!made.isEmpty())
        return made;
    m_port = freePort();
    return startAgain() ? QString() : QStringLiteral("pg_ctl start failed on port %1").arg(m_port);
}

bool PostgresServer::startAgain()
{
    if (m_running)
        return true;
    const QString options = QStringLiteral("-p %1 -k %2 -c listen_addresses=127.0.0.1 -c fsync=off")
                                .arg(m_port)
                                .arg(m_data);
    m_running =
        run("pg_ctl", {"-D", m_data, "-l", m_data + "/server.log", "-w", "-o", options, "start"})
            .isEmpty();
    return m_running;
}

bool PostgresServer::stop()
{
    if (!m_running)
        return true;
    m_running = !run("pg_ctl", {"-D", m_data, "-w", "-m", "fast", "stop"}).isEmpty();
    return !m_running;
}

QString PostgresServer::url(const QString &database, const QString &password) const
{
    const QString login =
        password.isEmpty() ? QLatin1String(User) : QLatin1String(User) + ':' + password;
    return QStringLiteral("postgresql://%1@127.0.0.1:%2/%3").arg(login).arg(m_port).arg(database);
}

QString PostgresServer::exec(const QString &database, const QStringList &statements) const
{
    const QString name = QUuid::createUuid().toString();
    QString problem;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        db.setHostName(QStringLiteral("127.0.0.1"));
        db.setPort(m_port);
        db.setUserName(QLatin1String(User));
        db.setPassword(QLatin1String(Password));
        db.setDatabaseName(database);
        if (!db.open())
            problem = db.lastError().text();
        for (const QString &statement : statements) {
            QSqlQuery query(db);
            if (problem.isEmpty() && !query.exec(statement))
                problem = statement + ": " + query.lastError().text();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return problem;
}
