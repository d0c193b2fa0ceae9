#include "jsonlinesfile.h"

#include "callqueue.h"
#include "consoleoutput.h"
#include "owncopy.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <condition_variable>
#include <mutex>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <fcntl.h>
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

// Writes all of `bytes`; a short write is tried again, so that the error it ran into is the
// one said.
bool writeAll(QFile &file, const QByteArray &bytes)
{
    for (qint64 done = 0; done < bytes.size();) {
        const qint64 count = file.write(bytes.constData() + done, bytes.size() - done);
        if (count <= 0)
            return false;
        done += count;
    }
    return true;
}

} // namespace

JsonLinesFile::JsonLinesFile(const QString &path) : m_path(path), m_calls(new CallQueue)
{
    m_thread.setObjectName(QStringLiteral("json-lines"));
    m_calls->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, m_calls, &QObject::deleteLater);
    m_thread.start();
}

JsonLinesFile::~JsonLinesFile()
{
    m_calls->post([] { QThread::currentThread()->quit(); });
    m_thread.wait();
}

void JsonLinesFile::append(const QByteArray &line, Written written)
{
    m_calls->post([this, line = ownCopy(line), written = std::move(written)] {
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
    m_calls->post([&] {
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
    const bool created = !QFileInfo::exists(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Unbuffered))
        return file.errorString();
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
    if (created)
        file.remove();
    else
        file.resize(oldSize);
    return reason;
}
