#pragma once

#include "logentry.h"

#include <QByteArray>
#include <QString>

// Copies for values that cross to another thread: they share no buffer with what stays. Qt
// releases its shared buffers inside its own code, where ThreadSanitizer cannot see the count
// go down, so a shared buffer freed on one side would look like a race with the other.
template <typename T> T ownCopy(const T &value)
{
    return value;
}

inline QByteArray ownCopy(const QByteArray &bytes)
{
    return QByteArray(bytes.constData(), bytes.size());
}

inline QString ownCopy(const QString &text)
{
    return QString(text.constData(), text.size());
}

inline LogEntry ownCopy(const LogEntry &entry)
{
    LogEntry copy = entry;
    copy.text = ownCopy(entry.text);
    copy.bytes = ownCopy(entry.bytes);
    return copy;
}
