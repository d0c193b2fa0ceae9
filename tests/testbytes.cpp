#include "testbytes.h"

#include "protocol.h"

#include <QFile>
#include <QLoggingCategory>
#include <QRandomGenerator>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

// Qt's words for an object, a timer or a socket notifier used from a thread not its own.
const char *const ThreadMisuse[] = {
    "Timers cannot be started from another thread",       // QObject::startTimer, QBasicTimer::start
    "Timers cannot be stopped from another thread",       // QObject::killTimer, ~QObject
    "can only be used with threads started with QThread", // timers, socket notifiers
    "Socket notifiers cannot be enabled or disabled from another thread",
    "Cannot create children for a parent that is in a different thread",
    "new parent is in a different thread", // QObject::setParent
    "QObject::moveToThread: Current thread",
    "Possibly trying to stop from a different thread", // QBasicTimer::stop
    "Cannot send posted events for objects in another thread",
    "Cannot send events to objects owned by a different thread", // Qt's debug builds
    "event filter cannot be in a different thread",
    "Cannot filter events for objects in a different thread",
};

// The handlers the check passes messages on to: the one before main(), and QtTest's.
std::atomic<QtMessageHandler> beforeMain{nullptr};
std::atomic<QtMessageHandler> belowTestRun{nullptr};

void passOnAndCheck(QtMessageHandler next, QtMsgType type, const QMessageLogContext &context,
                    const QString &message)
{
    if (next)
        next(type, context, message);
    else
        fprintf(stderr, "%s\n", qPrintable(message));
    TestSupport::failOnThreadMisuse(message);
}

void checkBeforeMain(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    passOnAndCheck(beforeMain.load(), type, context, message);
}

void checkDuringRun(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    passOnAndCheck(belowTestRun.load(), type, context, message);
}

// Installed while the program starts, before main().
const bool checkInstalled = [] {
    beforeMain = qInstallMessageHandler(checkBeforeMain);
    return true;
}();

} // namespace

namespace TestSupport {

void quietDebug()
{
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    const QtMessageHandler current = qInstallMessageHandler(checkDuringRun);
    if (current != checkDuringRun)
        belowTestRun = current;
}

void failOnThreadMisuse(const QString &message)
{
    for (const char *words : ThreadMisuse) {
        if (message.contains(QLatin1String(words), Qt::CaseInsensitive)) {
            fprintf(stderr, "Used from the wrong thread, the test process ends: %s\n",
                    qPrintable(message));
            fflush(stderr);
            std::abort();
        }
    }
}

QByteArray hex(const char *pairs)
{
    return QByteArray::fromHex(QByteArray(pairs).replace(' ', ""));
}

QByteArray frame(uint8_t opcode, const QByteArray &payload)
{
    return buildFrame(opcode, payload);
}

QByteArray readRequest(quint32 address, quint32 count)
{
    return readRequestFrame(address, count);
}

QString writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char(generator.bounded(256));
    return bytes;
}

bool containsInOrder(const QString &text, const QStringList &items)
{
    int from = 0;
    for (const QString &item : items) {
        const int at = text.indexOf(item, from);
        if (at < 0) {
            qWarning("missing in order: %s", qPrintable(item));
            return false;
        }
        from = at + item.size();
    }
    return true;
}

} // namespace TestSupport
