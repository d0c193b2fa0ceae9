#include "networkport.h"

#include <QUrl>

namespace {

const QString Scheme = QStringLiteral("rfc2217://");

} // namespace

bool NetworkPort::isNetworkName(const QString &name)
{
    return name.startsWith(Scheme, Qt::CaseInsensitive);
}

NetworkPort NetworkPort::parse(const QString &name)
{
    NetworkPort parsed;
    const QUrl url(name, QUrl::StrictMode);
    const bool bare =
        url.path().isEmpty() && !url.hasQuery() && !url.hasFragment() && url.userInfo().isEmpty();
    if (!url.isValid() || url.host().isEmpty() || url.port() < 1 || !bare) {
        parsed.problem = QStringLiteral("rfc2217:// needs HOST:PORT, the port from 1 to 65535 "
                                        "(rfc2217://192.168.1.20:2000): ") +
                         name;
        return parsed;
    }
    parsed.host = url.host();
    parsed.port = quint16(url.port());
    return parsed;
}

QString NetworkPort::key() const
{
    const QString shownHost = host.contains(QLatin1Char(':')) ? '[' + host + ']' : host;
    return Scheme + shownHost.toLower() + QLatin1Char(':') + QString::number(port);
}
