// The checks that the command line and the station's set-up share.

#include "setupchecks.h"

#include "networkport.h"
#include "portidentity.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <utility>

namespace {

bool sameFile(const QString &one, const QString &other)
{
#ifdef Q_OS_WIN
    return one.compare(other, Qt::CaseInsensitive) == 0;
#else
    return one == other;
#endif
}

} // namespace

QString SetupChecks::resolvedFile(const QString &path)
{
    const QFileInfo info(path);
    if (info.exists())
        return info.canonicalFilePath();
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    return QDir(folder.isEmpty() ? info.absolutePath() : folder).filePath(info.fileName());
}

QString SetupChecks::portIdentity(const QString &port)
{
    // One port of one device server, however the name is spelled.
    if (NetworkPort::isNetworkName(port))
        return NetworkPort::parse(port).key();
    const PortRequest request = PortRequest::parse(port);
    if (request.isIdentity())
        return request.key();
    const QFileInfo info(port);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? info.absoluteFilePath() : canonical;
}

SetupChecks::Found SetupChecks::portsProblem(const QStringList &ports)
{
    QSet<QString> seen;
    for (const QString &port : ports) {
        const PortRequest request = PortRequest::parse(port);
        if (!request.problem.isEmpty())
            return {request.problem, port, {}};
        const QString identity = portIdentity(port);
        if (seen.contains(identity))
            return {QStringLiteral("given twice: %1 (%2)").arg(port, identity), port, {}, true};
        seen.insert(identity);
    }
    return {};
}

SetupChecks::Found SetupChecks::sameFileNamedTwice(const QList<QPair<QString, QString>> &named)
{
    QList<QPair<QString, QString>> seen; // a name and its file
    for (const auto &entry : named) {
        if (entry.second.isEmpty())
            continue;
        const QString file = resolvedFile(entry.second);
        for (const auto &earlier : std::as_const(seen)) {
            if (sameFile(earlier.second, file))
                return {QStringLiteral("%1 and %2 name the same file: %3")
                            .arg(earlier.first, entry.first, file),
                        file,
                        {earlier.first, entry.first},
                        true};
        }
        seen.append({entry.first, file});
    }
    return {};
}
