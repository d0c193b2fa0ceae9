#pragma once

#include <QString>

// A port on a device server that serves it by RFC 2217, named rfc2217://HOST:PORT (an IPv6
// address in brackets: rfc2217://[::1]:2000).
struct NetworkPort
{
    QString host;
    quint16 port = 0;
    QString problem; // what is wrong with the name; empty when it is well formed

    static bool isNetworkName(const QString &name);
    static NetworkPort parse(const QString &name);
    // The same server and port always give the same key, whatever the case of the host.
    QString key() const;
};
