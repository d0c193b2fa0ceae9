#include "debughold.h"

#include <QByteArray>
#include <QDebug>
#include <QString>
#include <QtGlobal>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct HeldMessage
{
    QtMsgType type;
    QByteArray file, function, category; // the context's strings, kept past the message
    int line;
    QString text;
    std::function<QString()> makeText; // when set, the text is made as the line is written
};

thread_local int holds = 0;
thread_local std::vector<HeldMessage> held;
// The handler before this one; the default one when none was installed.
std::atomic<QtMessageHandler> nextHandler{nullptr};

void pass(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    // Another thread may log between this handler's installation and the store of the one
    // it replaced, which follows at once: its line waits for it rather than being lost.
    QtMessageHandler next = nextHandler.load();
    while (next == nullptr) {
        std::this_thread::yield();
        next = nextHandler.load();
    }
    next(type, context, text);
}

void holdOrPass(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (holds == 0 || type == QtFatalMsg) {
        pass(type, context, text);
        return;
    }
    held.push_back({type,
                    QByteArray(context.file),
                    QByteArray(context.function),
                    QByteArray(context.category),
                    context.line,
                    text,
                    {}});
}

// Installed once, the first time a hold is made, in front of whatever handler is in place
// then. A handler installed later without passing messages on simply ends the holding: the
// lines are then written at once, as before.
void installOnce()
{
    static std::once_flag installed;
    std::call_once(installed, [] { nextHandler = qInstallMessageHandler(holdOrPass); });
}

void passHeld()
{
    std::vector<HeldMessage> messages;
    messages.swap(held); // a handler may log again: those lines go out at once
    for (const HeldMessage &m : messages) {
        const auto text = [](const QByteArray &bytes) {
            return bytes.isNull() ? nullptr : bytes.constData();
        };
        const QMessageLogContext context(text(m.file), m.line, text(m.function), text(m.category));
        pass(m.type, context, m.makeText ? m.makeText() : m.text);
    }
}

} // namespace

DebugHold::DebugHold()
{
    installOnce();
    ++holds;
}

void DebugHold::debugLater(std::function<QString()> makeText)
{
    if (holds == 0) {
        qDebug().noquote() << makeText();
        return;
    }
    held.push_back({QtDebugMsg, {}, {}, QByteArrayLiteral("default"), 0, {}, std::move(makeText)});
}

DebugHold::~DebugHold()
{
    if (--holds == 0 && !held.empty())
        passHeld();
}
