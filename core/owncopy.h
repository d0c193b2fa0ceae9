#pragma once

#include "logentry.h"

#include <QByteArray>
#include <QString>

#include <type_traits>

// Copies for values that cross to another thread: they share no buffer with what stays. Qt
// releases its shared buffers inside its own code, where ThreadSanitizer cannot see the count
// go down, so a shared buffer freed on one side would look like a race with the other.
//
// A value with no pointer inside (a number, an enum, a struct of those) is its own copy; any
// other type needs an overload of its own, or it does not compile: a type that holds one of
// Qt's shared buffers must never cross as a plain copy.
template <typename T, std::enable_if_t<std::is_trivially_copyable_v<T>, int> = 0> T ownCopy(T value)
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
