// A real PostgreSQL server for the results store's tests and the stations benchmark, started
// and stopped by them.

#include "postgresserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>

#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/file.h>
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
    if (::geteuid() == 0 && ::getpwnam("postgres") == nullptr)
        return QStringLiteral("no user postgres to run the server as");
    ::chmod(QFile::encodeName(m_dir.path()).constData(), 0755);
    m_data = m_dir.filePath(QStringLiteral("data"));
    if (const QString problem = copyCluster(false); !problem.isEmpty())
        return problem;
    m_port = freePort();
    if (startAgain() && exec(QStringLiteral("postgres"), {QStringLiteral("select 1")}).isEmpty())
        return {};
    // The kept cluster lives in the temporary folder, whose clean-up may have taken some of
    // its files: it is made afresh once.
    stop();
    QDir(m_data).removeRecursively();
    if (const QString problem = copyCluster(true); !problem.isEmpty())
        return problem;
    return startAgain() ? QString() : QStringLiteral("pg_ctl start failed on port %1").arg(m_port);
}

// Root hands `path` to postgres, who must own what the server reads and writes.
QString PostgresServer::handToServer(const QString &path) const
{
    const passwd *postgres = ::getpwnam("postgres");
    if (::geteuid() == 0 &&
        ::chown(QFile::encodeName(path).constData(), postgres->pw_uid, postgres->pw_gid) != 0)
        return QStringLiteral("cannot hand %1 to postgres").arg(path);
    return {};
}

// initdb takes about a second of processor time, and the results tests start their servers
// together at the busiest moment of a parallel suite: the cluster is made once per user and
// server version, under a lock, and every server starts on a copy of it.
QString PostgresServer::copyCluster(bool afresh)
{
    const QString shared = QDir::temp().filePath(
        QStringLiteral("rw47hn-postgres-%1-%2")
            .arg(::geteuid())
            .arg(QDir(m_bin).dirName() + '-' + QFileInfo(m_bin).dir().dirName()));
    QDir().mkpath(shared);
    ::chmod(QFile::encodeName(shared).constData(), 0755);
    const int lock =
        ::open(QFile::encodeName(shared + "/lock").constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0 || ::flock(lock, LOCK_EX) != 0) {
        if (lock >= 0)
            ::close(lock);
        return QStringLiteral("cannot lock %1").arg(shared);
    }
    QString problem;
    const QString cluster = shared + QStringLiteral("/data");
    if (afresh)
        QFile::remove(shared + QStringLiteral("/made"));
    if (!QFile::exists(shared + QStringLiteral("/made")))
        problem = makeCluster(cluster, shared + QStringLiteral("/made"));
    if (problem.isEmpty() && QProcess::execute(QStringLiteral("cp"), {"-a", cluster, m_data}) != 0)
        problem = QStringLiteral("cannot copy %1 to %2").arg(cluster, m_data);
    ::close(lock); // and with it the lock
    return problem;
}

QString PostgresServer::makeCluster(const QString &cluster, const QString &madeMark) const
{
    QDir(cluster).removeRecursively(); // what an interrupted initdb left
    QDir().mkpath(cluster);
    const QString passwordFile = m_dir.filePath(QStringLiteral("password"));
    QFile file(passwordFile);
    if (!file.open(QIODevice::WriteOnly) || file.write(Password) < 0)
        return file.errorString();
    file.close();
    for (const QString &path : {cluster, passwordFile}) {
        if (const QString problem = handToServer(path); !problem.isEmpty())
            return problem;
    }
    const QString made = run("initdb", {"-D", cluster, "-U", User, "--pwfile=" + passwordFile, "-A",
                                        "scram-sha-256", "--no-sync", "--no-instructions"});
    if (!made.isEmpty())
        return made;
    QFile mark(madeMark);
    return mark.open(QIODevice::WriteOnly) ? QString() : mark.errorString();
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
