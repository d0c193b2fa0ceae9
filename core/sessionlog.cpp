#include "sessionlog.h"

#include "filefailure.h"
#include "language.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>

namespace {

constexpr int FlushIntervalMs = 1000;
// Lines held longer than this are written out at once: a burst of traffic waits for no timer.
constexpr int FlushBytes = 16 * 1024;

// A log-area line may hold line breaks of its own (the AT command, the module's OK); in the
// file each stays one line.
QString oneLine(QString line)
{
    return line.replace(QLatin1Char('\r'), QLatin1String("\\r"))
        .replace(QLatin1Char('\n'), QLatin1String("\\n"));
}

// Two sessions on one port within a second (a station's next module) get files of their own.
QString uniquePath(const QString &path)
{
    QString candidate = path;
    for (int n = 2; QFileInfo::exists(candidate); ++n)
        candidate = QString(path).insert(path.size() - 4, QStringLiteral("-%1").arg(n));
    return candidate;
}

} // namespace

QString SessionLog::defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) +
           QStringLiteral("/logs");
}

SessionLog::SessionLog(QObject *parent) : QObject(parent)
{
    m_flushTimer.setSingleShot(true);
    connect(&m_flushTimer, &QTimer::timeout, this, &SessionLog::flush);
}

SessionLog::~SessionLog()
{
    close();
}

QString SessionLog::fileName(const QString &portName, const QDateTime &start)
{
    // Only the device's own name, with nothing a file system could take for a separator.
    QString port = QFileInfo(portName).fileName();
    for (QChar &c : port) {
        if (!c.isLetterOrNumber() && c != QLatin1Char('-') && c != QLatin1Char('.'))
            c = QLatin1Char('_');
    }
    return start.toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss_")) + port + QStringLiteral(".log");
}

bool SessionLog::open(const QString &folder, const QString &portName, const QDateTime &start)
{
    close();
    m_problem.clear();
    const bool isDefault = folder.isEmpty();
    m_folder = isDefault ? defaultFolder() : folder;
    if (isDefault)
        QDir().mkpath(m_folder);
    m_file.setFileName(uniquePath(QDir(m_folder).filePath(fileName(portName, start))));
    errno = 0;
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        fail(errno);
        return false;
    }
    if (isDefault)
        prune(m_folder, KeptInDefaultFolder);
    // Which tool wrote the file and in which language its lines are, for whoever reads it.
    write(LogEntry::ofText(
        QStringLiteral("rw47hn-upgrader %1, language %2")
            .arg(QLatin1String(RW47HN_VERSION), Language::localeName(Language::current()))));
    return true;
}

void SessionLog::write(const LogEntry &entry)
{
    if (!m_file.isOpen())
        return;
    const QString time = QDateTime::fromMSecsSinceEpoch(entry.timeMs)
                             .time()
                             .toString(QStringLiteral("hh:mm:ss.zzz "));
    m_pending += (time + oneLine(entry.line())).toUtf8() + '\n';
    if (m_pending.size() >= FlushBytes)
        flush();
    else if (!m_flushTimer.isActive())
        m_flushTimer.start(FlushIntervalMs);
}

void SessionLog::flush()
{
    m_flushTimer.stop();
    if (m_file.isOpen() && !m_pending.isEmpty() && !writePending())
        return;
    m_pending.clear();
}

// A short write (the disk filled up, a file-size limit) is tried again for the rest, so that
// the error it ran into is the one said.
bool SessionLog::writePending()
{
    for (qint64 done = 0; done < m_pending.size();) {
        errno = 0;
        const qint64 count = m_file.write(m_pending.constData() + done, m_pending.size() - done);
        if (count <= 0) {
            fail(errno);
            return false;
        }
        done += count;
    }
    return true;
}

void SessionLog::close()
{
    flush();
    m_file.close();
}

// One failure costs one line; the file is given up, the upgrade goes on.
void SessionLog::fail(int systemError)
{
    const QString reason = fileFailureReason(systemError, m_file.error());
    const QString shown = m_file.errorString();
    m_file.close();
    m_pending.clear();
    m_flushTimer.stop();
    if (!m_problem.isEmpty())
        return;
    m_problem = QStringLiteral("cannot write %1: %2").arg(m_file.fileName(), reason);
    emit failed(tr("日志文件写入失败: %1").arg(shown));
}

// Keeps the newest `keep` log files of the folder; a folder the user named is never pruned.
void SessionLog::prune(const QString &folder, int keep)
{
    const QFileInfoList files =
        QDir(folder).entryInfoList({QStringLiteral("*.log")}, QDir::Files, QDir::Time);
    for (int i = keep; i < files.size(); ++i)
        QFile::remove(files.at(i).absoluteFilePath());
}
