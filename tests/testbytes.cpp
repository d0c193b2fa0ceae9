#include "testbytes.h"

#include "protocol.h"

#include <QFile>
#include <QLoggingCategory>
#include <QRandomGenerator>

namespace TestSupport {

void quietDebug()
{
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
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
