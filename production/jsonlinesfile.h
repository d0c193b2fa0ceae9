#pragma once

#include "workerthread.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <mutex>

// The --json-lines file. Each module's line is appended on a thread of its own, in the order
// given, and synced to disk there, so that a slow disk never holds up a reply to a module.
// An append adds one whole line or leaves the file exactly as it was; a file that does not
// end in a line break (a fragment from an older tool or a crash) gets one before the line.
class JsonLinesFile
{
public:
    explicit JsonLinesFile(const QString &path);
    ~JsonLinesFile(); // waits for the lines still on their way
    JsonLinesFile(const JsonLinesFile &) = delete;
    JsonLinesFile &operator=(const JsonLinesFile &) = delete;

    // `line` without its line break. A failure is said on stderr as it happens:
    // "rw47hn-upgrader: cannot write <file>: <reason>". `written`, when given, runs on the
    // file's thread once the line is on disk (with an empty text) or given up (with why).
    using Written = std::function<void(const QString &problem)>;
    void append(const QByteArray &line, Written written = {});
    // Waits until every line given so far is on disk or given up; false when any was given up.
    bool waitForAll();

    // One append on the calling thread; what went wrong, or empty.
    static QString appendWhole(const QString &path, const QByteArray &line);

private:
    QString m_path;
    std::atomic<bool> m_failed{false};
    // Its worker is a bare object: an append is a plain call, run there in order.
    WorkerThread<QObject> m_thread{QStringLiteral("json-lines")};
};
