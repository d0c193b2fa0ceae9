#include "reportfile.h"

#include "filefailure.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Renamed over the path once complete: an existing file is never left half-written.
QString replaceWhole(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    errno = 0;
    if (file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && writeAll(file, bytes)) {
        errno = 0;
        if (file.commit())
            return {};
    }
    return fileFailureReason(errno, file.error());
}

#ifdef Q_OS_UNIX
// Non-blocking, so that opening a FIFO without a reader fails at once (ENXIO) instead of
// waiting for one; blocking again afterwards, so that a slow reader is waited for.
int openWithoutWaiting(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0)
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool writeAllTo(int fd, const QByteArray &bytes)
{
    for (qint64 done = 0; done < bytes.size();) {
        const ssize_t count = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        done += count;
    }
    return true;
}
#endif

} // namespace

#ifdef Q_OS_UNIX
ReportTarget reportTarget(const QString &path)
{
    struct stat status
    {
    };
    // A path that cannot be looked at is left to the save, which says why it cannot write.
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return ReportTarget::Missing;
    if (S_ISREG(status.st_mode))
        return ReportTarget::Regular;
    if (S_ISCHR(status.st_mode))
        return ReportTarget::CharacterDevice;
    if (S_ISFIFO(status.st_mode))
        return ReportTarget::Fifo;
    return S_ISDIR(status.st_mode) ? ReportTarget::Folder : ReportTarget::Other;
}

QString writeThrough(const QString &path, const QByteArray &bytes)
{
    const int fd = openWithoutWaiting(path);
    if (fd < 0)
        return errno == ENXIO ? QStringLiteral("a FIFO that nobody reads")
                              : fileFailureReason(errno, QFileDevice::OpenError);
    const bool written = writeAllTo(fd, bytes);
    const QString reason = written ? QString() : fileFailureReason(errno, QFileDevice::WriteError);
    ::close(fd);
    return reason;
}
#else
// Windows has no FIFOs or device nodes among the files a path names.
ReportTarget reportTarget(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return ReportTarget::Missing;
    if (info.isDir())
        return ReportTarget::Folder;
    return info.isFile() ? ReportTarget::Regular : ReportTarget::Other;
}

QString writeThrough(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && writeAll(file, bytes))
        return {};
    return fileFailureReason(0, file.error());
}
#endif

QString refusedTarget(ReportTarget target)
{
    if (target == ReportTarget::Folder)
        return QStringLiteral("a folder, not a file");
    if (target == ReportTarget::Other)
        return QStringLiteral("neither a file, a character device nor a FIFO");
    return {};
}

QString writeWholeFile(const QString &path, const QByteArray &bytes)
{
    const ReportTarget target = reportTarget(path);
    if (target == ReportTarget::CharacterDevice || target == ReportTarget::Fifo)
        return writeThrough(path, bytes);
    if (const QString refused = refusedTarget(target); !refused.isEmpty())
        return refused;
    return replaceWhole(path, bytes);
}

bool writeAll(QFileDevice &file, const QByteArray &bytes)
{
    for (qint64 done = 0; done < bytes.size();) {
        errno = 0;
        const qint64 count = file.write(bytes.constData() + done, bytes.size() - done);
        if (count <= 0)
            return false;
        done += count;
    }
    return true;
}
