// The record of one module's upgrade, and its renderings.

#include "modulerecord.h"

#include "owncopy.h"
#include "serialerror.h"

#include <QCoreApplication>
#include <QJsonDocument>

namespace {

QString shownText(const char *source)
{
    return QCoreApplication::translate("EndReason", source);
}

// A port that is lost reads as a failed read on a pty whose other side closed, and as a
// resource error on a pulled adapter: to the user both are a device that went away.
LinkError asLoss(LinkError error)
{
    return error == linkError(QSerialPort::ReadError) ? linkError(QSerialPort::ResourceError)
                                                      : error;
}

} // namespace

EndReason EndReason::of(Kind kind, LinkError error, qint64 number, const QString &detail)
{
    EndReason reason;
    reason.kind = kind;
    reason.serialError = kind == Kind::PortLost ? asLoss(error) : error;
    reason.number = number;
    reason.detail = detail;
    return reason;
}

QString EndReason::code() const
{
    switch (kind) {
    case Kind::None:
        break;
    case Kind::Interrupted:
        return QStringLiteral("interrupted");
    case Kind::NoAnswer:
        return QStringLiteral("no_answer");
    case Kind::PortLost:
        return QStringLiteral("port_lost");
    case Kind::RateSwitchFailed:
        return QStringLiteral("rate_switch_failed");
    case Kind::CannotOpen:
        return QStringLiteral("cannot_open");
    case Kind::PortNotFound:
        return QStringLiteral("port_not_found");
    }
    return {};
}

QString EndReason::text() const
{
    const QString error = serialErrorText(serialError);
    switch (kind) {
    case Kind::None:
        break;
    case Kind::Interrupted:
        return QStringLiteral("interrupted");
    case Kind::NoAnswer:
        return QStringLiteral("no answer for %1 s").arg(number);
    case Kind::PortLost:
        return QStringLiteral("port lost: ") + error;
    case Kind::RateSwitchFailed:
        return QStringLiteral("cannot switch to %1 baud: %2").arg(number).arg(error);
    case Kind::CannotOpen:
        return QStringLiteral("cannot open the port: ") + error;
    case Kind::PortNotFound:
        return detail;
    }
    return {};
}

QString EndReason::shown() const
{
    const QString error = serialErrorShown(serialError);
    switch (kind) {
    case Kind::None:
        break;
    case Kind::Interrupted:
        return shownText(QT_TRANSLATE_NOOP("EndReason", "已中断"));
    case Kind::NoAnswer:
        return shownText(QT_TRANSLATE_NOOP("EndReason", "%1 秒无应答")).arg(number);
    case Kind::PortLost:
        return shownText(QT_TRANSLATE_NOOP("EndReason", "串口已断开: %1")).arg(error);
    case Kind::RateSwitchFailed:
        return shownText(QT_TRANSLATE_NOOP("EndReason", "切换到 %1 波特率失败: %2"))
            .arg(number)
            .arg(error);
    case Kind::CannotOpen:
        return shownText(QT_TRANSLATE_NOOP("EndReason", "串口打开失败: %1")).arg(error);
    case Kind::PortNotFound:
        // The resolver's words name the request and the adapters found; they stay as made.
        return shownText(QT_TRANSLATE_NOOP("EndReason", "找不到端口: %1")).arg(detail);
    }
    return {};
}

double ModuleRecord::seconds() const
{
    return started.isValid() && ended.isValid() ? started.msecsTo(ended) / 1000.0 : 0.0;
}

int ModuleRecord::exitStatus() const
{
    switch (status) {
    case Status::Ok:
        return 0;
    case Status::Failed:
        return 1;
    case Status::Error:
        break;
    }
    return 2;
}

QString ModuleRecord::statusCode() const
{
    switch (status) {
    case Status::Ok:
        return QStringLiteral("ok");
    case Status::Failed:
        return QStringLiteral("failed");
    case Status::Error:
        break;
    }
    return QStringLiteral("error");
}

QString ModuleRecord::label() const
{
    return device.isEmpty() || device == port ? port : QStringLiteral("%1 (%2)").arg(port, device);
}

QString ModuleRecord::summaryLine() const
{
    switch (status) {
    case Status::Ok:
        return QStringLiteral("%1: ok, %2 bytes, %3 requests, %4 s")
            .arg(label())
            .arg(bytes)
            .arg(requests)
            .arg(seconds(), 0, 'f', 2);
    case Status::Failed:
        return QStringLiteral("%1: failed, result %2").arg(label()).arg(result);
    case Status::Error:
        break;
    }
    return QStringLiteral("%1: error, %2").arg(label(), reason.text());
}

QJsonObject ModuleRecord::toJson() const
{
    QJsonObject object{
        {QStringLiteral("id"), id},
        {QStringLiteral("port"), port},
        {QStringLiteral("status"), statusCode()},
        {QStringLiteral("result"), result >= 0 ? QJsonValue(result) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("bytes"), bytes},
        {QStringLiteral("requests"), requests},
        {QStringLiteral("seconds"), seconds()},
        {QStringLiteral("crc_errors"), crcErrors},
        {QStringLiteral("image"), image},
        {QStringLiteral("image_size"), imageSize},
        {QStringLiteral("image_sha256"), imageSha256},
        {QStringLiteral("started"), isoUtc(started)},
        {QStringLiteral("ended"), isoUtc(ended)},
        {QStringLiteral("tool_version"), toolVersion},
        {QStringLiteral("module_text"), moduleText}};
    if (!reason.isNone()) {
        object.insert(QStringLiteral("reason"), reason.text());
        object.insert(QStringLiteral("reason_code"), reason.code());
    }
    if (identityPort)
        object.insert(QStringLiteral("device"),
                      device.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(device));
    if (!position.isEmpty())
        object.insert(QStringLiteral("position"), position);
    if (!moduleSerial.isEmpty())
        object.insert(QStringLiteral("module_serial"), moduleSerial);
    return object;
}

QByteArray ModuleRecord::jsonLine() const
{
    return QJsonDocument(toJson()).toJson(QJsonDocument::Compact);
}

ModuleRecord ownCopy(const ModuleRecord &record)
{
    ModuleRecord copy = record;
    for (QString *text : {&copy.id, &copy.position, &copy.moduleSerial, &copy.port, &copy.device,
                          &copy.image, &copy.imageSha256, &copy.moduleText, &copy.toolVersion,
                          &copy.logPath, &copy.logProblem, &copy.reason.detail})
        *text = ownCopy(*text);
    // A QDateTime shares its data too; rebuilt from its figures it shares nothing.
    copy.started = QDateTime::fromMSecsSinceEpoch(record.started.toMSecsSinceEpoch());
    copy.ended = QDateTime::fromMSecsSinceEpoch(record.ended.toMSecsSinceEpoch());
    if (!record.started.isValid())
        copy.started = QDateTime();
    if (!record.ended.isValid())
        copy.ended = QDateTime();
    return copy;
}

QString isoUtc(const QDateTime &time)
{
    return time.isValid() ? time.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"))
                          : QString();
}
