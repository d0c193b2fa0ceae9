#pragma once

// Byte and file helpers for the tests, portable: no pty, no window.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace TestSupport {

// Turns the program's debug output off: it has lines for every byte. Tests assert on wire
// bytes, typed events and the log area; tst_debuglog alone checks the debug lines.
// Every test calls it from initTestCase(), so it also puts the thread check below back on
// top of QtTest's message handler.
void quietDebug();

// Qt only warns when an object, a timer or a socket notifier is used from a thread other than
// its own, and goes on with the timer not started or not stopped. In the tests such a warning
// ends the process. A message handler installed before main() checks every message and passes
// it on to the handler it replaced; QtTest installs one of its own for the run, which passes
// nothing on, so quietDebug() installs the check again above it. A test with a message handler
// of its own calls failOnThreadMisuse() from it.
void failOnThreadMisuse(const QString &message);

// Bytes of a string of hex pairs such as "AA 55 01 00".
QByteArray hex(const char *pairs);
// A protocol frame, built by the frame builder (which has its own known-answer tests).
QByteArray frame(uint8_t opcode, const QByteArray &payload);
// The module's request for `count` image bytes from `address`.
QByteArray readRequest(quint32 address, quint32 count);
// Writes a file and returns its path.
QString writeFile(const QString &path, const QByteArray &content);
QByteArray randomBytes(int size, quint32 seed);
// True when every item appears in text, each after the previous one.
bool containsInOrder(const QString &text, const QStringList &items);

} // namespace TestSupport
