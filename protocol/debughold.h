#pragma once

#include <QDebug>
#include <QString>

#include <functional>

// While a DebugHold lives, the Qt messages its thread makes wait, in their order, and go to
// the message handler when the outermost hold of that thread ends. A module waits for every
// reply: the debug lines of the frame it answers (each a write to a console that may be slow
// to read) follow the reply instead of preceding it, byte for byte and in the same order.
// Messages of other threads, and fatal ones, pass at once.
class DebugHold
{
public:
    DebugHold();
    ~DebugHold();
    DebugHold(const DebugHold &) = delete;
    DebugHold &operator=(const DebugHold &) = delete;

    // A debug line whose text is made only when it is written: while a hold lasts, after the
    // replies, in its place among the held lines; at once otherwise. The caller checks that
    // debug output is wanted.
    static void debugLater(std::function<QString()> makeText);

    // A line as `qDebug() << parts...` makes it, byte for byte, made only when it is written.
    template <typename... Parts> static void debugStreamLater(const Parts &...parts)
    {
        debugLater([parts...] {
            QString text;
            {
                QDebug stream(&text);
                ((stream << parts), ...);
            }
            // A message drops the space its stream puts after the last part; a string keeps it.
            if (text.endsWith(QLatin1Char(' ')))
                text.chop(1);
            return text;
        });
    }
};
