#include "jsonlinesfile.h"

#include "consoleoutput.h"
#include "owncopy.h"
#include "reportfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <condition_variable>
#include <mutex>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// A test hook, never set in use: RW47HN_SYNC_DELAY_MS holds every sync that many
// milliseconds, as a slow disk would. rw47hn-bench-stations sets it to show that the modules
// being served do not wait for the disk.
int syncDelayMs()
{
    static const int delay = qEnvironmentVariableIntValue("RW47HN_SYNC_DELAY_MS");
    return delay;
}

#ifdef Q_OS_WIN
bool syncToDisk(QFile &file)
{
    return _commit(file.handle()) == 0;
}

// NTFS journals the new name itself; a folder cannot be flushed like a file here.
bool syncFolder(const QString &)
{
    return true;
}
#else
bool syncToDisk(QFile &file)
{
    return ::fsync(file.handle()) == 0;
}

// A new file's name is in its folder: without this a power cut can lose the whole file.
bool syncFolder(const QString &folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}
#endif

// Held by an append from before it reads the file's size until after any rollback, so that
// the rollback of one process never cuts a line that another has appended meanwhile. Only
// advisory: every append of this program takes it.
class AppendLock
{
public:
    explicit AppendLock(QFile &file) : m_file(file) { m_held = lock(); }
    ~AppendLock()
    {
        if (m_held && m_file.isOpen()) // closing it ended the lock
            unlock();
    }
    AppendLock(const AppendLock &) = delete;
    AppendLock &operator=(const AppendLock &) = delete;
    bool held() const { return m_held; }

private:
#ifdef Q_OS_WIN
    HANDLE handle() const
    {
        return HANDLE(_get_osfhandle(m_file.handle()));
    }
    bool lock()
    {
        OVERLAPPED whole{};
        return LockFileEx(handle(), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole);
    }
    void unlock()
    {
        OVERLAPPED whole{};
        UnlockFileEx(handle(), 0, MAXDWORD, MAXDWORD, &whole);
    }
#else
    bool lock()
    {
        int result = 0;
        do
            result = ::flock(m_file.handle(), LOCK_EX);
        while (result != 0 && errno == EINTR);
        return result == 0;
    }
    void unlock()
    {
        ::flock(m_file.handle(), LOCK_UN);
    }
#endif

    QFile &m_file;
    bool m_held = false;
};

#ifdef Q_OS_WIN
// A file open here cannot be removed by another process's rollback.
bool stillAtPath(const QFile &, const QString &)
{
    return true;
}
#else
// False when another process's rollback removed the file while this one waited for the lock:
// a line appended to it now would be lost with it.
bool stillAtPath(const QFile &file, const QString &path)
{
    struct stat opened
    {
    };
    struct stat named
    {
    };
    return ::fstat(file.handle(), &opened) == 0 &&
           ::stat(QFile::encodeName(path).constData(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}
#endif

#ifdef Q_OS_WIN
// Windows removes no file that is open, and closing it ends the lock: an append that took the
// lock meanwhile still holds the file open (the remove fails) or has made it longer.
void removeMadeFile(QFile &file)
{
    const QString path = file.fileName();
    file.close();
    if (QFileInfo(path).size() == 0)
        QFile::remove(path);
}
#else
// Removed by name while still open and locked: an append waiting for the lock then finds it
// gone (stillAtPath) and makes its own, rather than append to a file that goes after it.
void removeMadeFile(QFile &file)
{
    QFile::remove(file.fileName());
}
#endif

// In the lock: the size is read here, so that a rollback takes back this append's bytes only.
QString appendLocked(QFile &file, const QByteArray &line, bool created)
{
    const QString path = file.fileName();
    const qint64 oldSize = file.size();
    QByteArray bytes = line + '\n';
    char last = '\n';
    if (oldSize > 0 && !(file.seek(oldSize - 1) && file.getChar(&last)))
        return file.errorString();
    if (last != '\n')
        bytes.prepend('\n');
    const bool written = writeAll(file, bytes);
    if (written && syncDelayMs() > 0)
        QThread::msleep(ulong(syncDelayMs()));
    if (written && syncToDisk(file) && (!created || syncFolder(QFileInfo(path).absolutePath())))
        return {};
    // What did not make it whole does not stay: back to the size it had, or no file at all.
    const QString reason = written ? qt_error_string(errno) : file.errorString();
    file.resize(oldSize);
    if (created && oldSize == 0)
        removeMadeFile(file);
    return reason;
}

} // namespace

JsonLinesFile::JsonLinesFile(const QString &path) : m_path(path)
{
    m_thread.start();
}

// Every line given is written before its thread is ended: each append's call holds this
// object, and a `written` of the caller's.
JsonLinesFile::~JsonLinesFile()
{
    waitForAll();
}

void JsonLinesFile::append(const QByteArray &line, Written written)
{
    m_thread.post([this, line = ownCopy(line), written = std::move(written)](QObject &) {
        const QString problem = appendWhole(m_path, line);
        if (!problem.isEmpty()) {
            m_failed = true;
            printLine(stderr,
                      QStringLiteral("rw47hn-upgrader: cannot write %1: %2").arg(m_path, problem));
        }
        if (written)
            written(problem);
    });
}

bool JsonLinesFile::waitForAll()
{
    // Posted after every line given so far: when it has run, they have.
    std::mutex mutex;
    std::condition_variable done;
    bool ran = false;
    m_thread.post([&](QObject &) {
        std::lock_guard<std::mutex> lock(mutex);
        ran = true;
        done.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    done.wait(lock, [&] { return ran; });
    return !m_failed;
}

QString JsonLinesFile::appendWhole(const QString &path, const QByteArray &line)
{
    // /dev/null or a FIFO: nothing there to sync or to take back.
    const ReportTarget target = reportTarget(path);
    if (target == ReportTarget::CharacterDevice || target == ReportTarget::Fifo)
        return writeThrough(path, line + '\n');
    if (const QString refused = refusedTarget(target); !refused.isEmpty())
        return refused;
    for (int attempt = 0;; ++attempt) {
        const bool created = !QFileInfo::exists(path);
        QFile file(path);
        if (!file.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Unbuffered))
            return file.errorString();
        AppendLock lock(file);
        if (!lock.held())
            return qt_error_string(errno);
        if (attempt < 3 && !stillAtPath(file, path))
            continue; // made again by the next open
        return appendLocked(file, line, created);
    }
}
