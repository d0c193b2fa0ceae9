#include "filefailure.h"

#ifdef Q_OS_LINUX
#include <locale.h>
#include <string.h>
#endif

namespace {

#if defined(Q_OS_WIN)
// Qt writes files through the Windows API, which leaves errno alone: the enum says it.
QString systemReason(int)
{
    return {};
}
#elif defined(Q_OS_LINUX)
// The C library's words for `error` in its C locale: English whatever the user's language,
// which would otherwise translate them.
QString systemReason(int error)
{
    static const locale_t english = ::newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    if (error == 0 || english == locale_t(nullptr))
        return {};
    return QString::fromLocal8Bit(::strerror_l(error, english));
}
#else
QString systemReason(int error)
{
    return error == 0 ? QString() : qt_error_string(error);
}
#endif

} // namespace

QString fileFailureReason(int systemError, QFileDevice::FileError error)
{
    if (const QString reason = systemReason(systemError); !reason.isEmpty())
        return reason;
    switch (error) {
    case QFileDevice::OpenError:
        return QStringLiteral("cannot open the file");
    case QFileDevice::ResourceError:
        return QStringLiteral("out of resources, such as room on the disk");
    case QFileDevice::PermissionsError:
        return QStringLiteral("permission denied");
    case QFileDevice::RenameError:
        return QStringLiteral("cannot put the new file in the old one's place");
    default:
        return QStringLiteral("write error");
    }
}
