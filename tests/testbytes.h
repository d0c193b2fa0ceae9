#pragma once

// Byte and file helpers for the tests, portable: no pty, no window.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace TestSupport {

// Turns the program's debug output off: it has lines for every byte. Tests assert on wire
// bytes, typed events and the log area; tst_debuglog alone checks the debug lines.
void quietDebug();

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
