// The station's set-up as JSON: in a station file, and in the settings for the next run.

#include "stationsetup.h"

#include "reportfile.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSettings>

namespace {

const char *const SettingsKey = "setup";
const char *const LockedKey = "locked";

QString relativeTo(const QString &baseDir, const QString &path)
{
    if (baseDir.isEmpty() || path.isEmpty())
        return path;
    return QDir(baseDir).relativeFilePath(path);
}

QString resolvedAgainst(const QString &baseDir, const QString &path)
{
    if (baseDir.isEmpty() || path.isEmpty())
        return path;
    return QDir::cleanPath(QDir(baseDir).absoluteFilePath(path));
}

} // namespace

bool StationSetup::operator==(const StationSetup &other) const
{
    return image == other.image && baud == other.baud && timeoutSeconds == other.timeoutSeconds &&
           mode == other.mode && jsonLinesPath == other.jsonLinesPath && logDir == other.logDir &&
           results == other.results && stationName == other.stationName &&
           positions == other.positions;
}

QJsonObject StationSetup::toJson(const QString &baseDir) const
{
    QJsonArray list;
    for (const PositionSetup &position : positions)
        list.append(QJsonObject{{QStringLiteral("label"), position.label},
                                {QStringLiteral("port"), position.port}});
    return {{QStringLiteral("image"), relativeTo(baseDir, image)},
            {QStringLiteral("baud"), baud},
            {QStringLiteral("timeout"), timeoutSeconds},
            {QStringLiteral("start"), mode == StartMode::OnStart ? QStringLiteral("on-start")
                                                                 : QStringLiteral("port-appears")},
            {QStringLiteral("json_lines"), relativeTo(baseDir, jsonLinesPath)},
            {QStringLiteral("log_dir"), relativeTo(baseDir, logDir)},
            {QStringLiteral("results"), results},
            {QStringLiteral("station_name"), stationName},
            {QStringLiteral("positions"), list}};
}

StationSetup StationSetup::fromJson(const QJsonObject &object, const QString &baseDir)
{
    StationSetup setup;
    setup.image = resolvedAgainst(baseDir, object.value(QStringLiteral("image")).toString());
    setup.baud = object.value(QStringLiteral("baud")).toString(setup.baud);
    setup.timeoutSeconds =
        qBound(1, object.value(QStringLiteral("timeout")).toInt(setup.timeoutSeconds), 86400);
    if (object.value(QStringLiteral("start")).toString() == QLatin1String("on-start"))
        setup.mode = StartMode::OnStart;
    setup.jsonLinesPath =
        resolvedAgainst(baseDir, object.value(QStringLiteral("json_lines")).toString());
    setup.logDir = resolvedAgainst(baseDir, object.value(QStringLiteral("log_dir")).toString());
    setup.results = object.value(QStringLiteral("results")).toString();
    setup.stationName = object.value(QStringLiteral("station_name")).toString();
    for (const QJsonValue &value : object.value(QStringLiteral("positions")).toArray())
        setup.positions.append(
            {value[QStringLiteral("label")].toString(), value[QStringLiteral("port")].toString()});
    return setup;
}

QString StationSetup::save(const QString &path) const
{
    const QString baseDir = QFileInfo(path).absolutePath();
    const QByteArray json = QJsonDocument(toJson(baseDir)).toJson();
    return writeWholeFile(path, json);
}

QString StationSetup::load(const QString &path, StationSetup *setup)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return file.errorString();
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (!document.isObject())
        return error.error != QJsonParseError::NoError ? error.errorString()
                                                       : QStringLiteral("not a JSON object");
    *setup = fromJson(document.object(), QFileInfo(path).absolutePath());
    return {};
}

void StationSetup::remember() const
{
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope,
                       QStringLiteral("rw47hn-upgrader"), QStringLiteral("station"));
    settings.setValue(QLatin1String(SettingsKey),
                      QString::fromUtf8(QJsonDocument(toJson()).toJson(QJsonDocument::Compact)));
}

StationSetup StationSetup::remembered()
{
    const QSettings settings(QSettings::NativeFormat, QSettings::UserScope,
                             QStringLiteral("rw47hn-upgrader"), QStringLiteral("station"));
    const QString json = settings.value(QLatin1String(SettingsKey)).toString();
    return fromJson(QJsonDocument::fromJson(json.toUtf8()).object());
}

void StationSetup::rememberLocked(bool locked)
{
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope,
                       QStringLiteral("rw47hn-upgrader"), QStringLiteral("station"));
    settings.setValue(QLatin1String(LockedKey), locked);
}

bool StationSetup::rememberedLocked()
{
    const QSettings settings(QSettings::NativeFormat, QSettings::UserScope,
                             QStringLiteral("rw47hn-upgrader"), QStringLiteral("station"));
    return settings.value(QLatin1String(LockedKey), false).toBool();
}

StationSetup StationSetup::forPorts(const QStringList &ports)
{
    StationSetup setup;
    for (int i = 0; i < ports.size(); ++i)
        setup.positions.append({QStringLiteral("A%1").arg(i + 1), ports.at(i)});
    return setup;
}
