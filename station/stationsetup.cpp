// The station's set-up as JSON: in a station file, and in the settings for the next run.

#include "stationsetup.h"

#include "reportfile.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSettings>

#include <cmath>
#include <memory>
#include <utility>

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

// A value as the file has it, for a message: "abc" in quotes, 30.5 without.
QString asWritten(const QJsonValue &value)
{
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

SetupProblem problemAt(SetupProblem::Kind kind, const QString &key, const QJsonValue &value)
{
    SetupProblem problem;
    problem.kind = kind;
    problem.key = key;
    problem.value = asWritten(value);
    return problem;
}

// A key that holds text, or none: `out` stays as it is.
SetupProblem readText(const QJsonObject &object, const QString &key, QString *out)
{
    const QJsonValue value = object.value(key);
    if (value.isString())
        *out = value.toString();
    else if (!value.isUndefined() && !value.isNull())
        return problemAt(SetupProblem::Kind::WrongType, key, value);
    return {};
}

// The rate as text or as a whole number; whether it is offered is problem()'s to say.
SetupProblem readBaud(const QJsonObject &object, QString *baud)
{
    const QJsonValue value = object.value(QStringLiteral("baud"));
    if (value.isDouble() && value.toDouble() == std::floor(value.toDouble()) &&
        std::abs(value.toDouble()) < 1e15) {
        *baud = QString::number(qint64(value.toDouble()));
        return {};
    }
    return readText(object, QStringLiteral("baud"), baud);
}

SetupProblem readTimeout(const QJsonObject &object, int *seconds)
{
    const QJsonValue value = object.value(QStringLiteral("timeout"));
    if (value.isUndefined())
        return {};
    const double number = value.toDouble(-1);
    if (!value.isDouble() || number != std::floor(number) || number < 1 ||
        number > StationSetup::MaxTimeoutSeconds)
        return problemAt(SetupProblem::Kind::Timeout, QStringLiteral("timeout"), value);
    *seconds = int(number);
    return {};
}

SetupProblem readMode(const QJsonObject &object, StartMode *mode)
{
    const QJsonValue value = object.value(QStringLiteral("start"));
    if (value.isUndefined() || value == QLatin1String("port-appears"))
        *mode = StartMode::PortAppears;
    else if (value == QLatin1String("on-start"))
        *mode = StartMode::OnStart;
    else
        return problemAt(SetupProblem::Kind::StartMode, QStringLiteral("start"), value);
    return {};
}

const char *const SerialScanNames[] = {"off", "optional", "required"};

SetupProblem readSerialScan(const QJsonObject &object, SerialScan *scan)
{
    const QJsonValue value = object.value(QStringLiteral("module_serial"));
    if (value.isUndefined())
        return {};
    for (const SerialScan known : {SerialScan::Off, SerialScan::Optional, SerialScan::Required}) {
        if (value == QLatin1String(SerialScanNames[int(known)])) {
            *scan = known;
            return {};
        }
    }
    return problemAt(SetupProblem::Kind::SerialScan, QStringLiteral("module_serial"), value);
}

SetupProblem readPositions(const QJsonObject &object, QVector<PositionSetup> *positions)
{
    const QJsonValue list = object.value(QStringLiteral("positions"));
    if (!list.isArray() && !list.isUndefined())
        return problemAt(SetupProblem::Kind::WrongType, QStringLiteral("positions"), list);
    const QJsonArray array = list.toArray();
    for (int i = 0; i < array.size(); ++i) {
        const QString key = QStringLiteral("positions[%1]").arg(i);
        if (!array.at(i).isObject())
            return problemAt(SetupProblem::Kind::WrongType, key, array.at(i));
        PositionSetup position;
        const QJsonObject entry = array.at(i).toObject();
        for (const auto &field :
             {std::make_pair("label", &position.label), std::make_pair("port", &position.port)}) {
            SetupProblem problem = readText(entry, QLatin1String(field.first), field.second);
            if (!problem.isNone()) {
                problem.key = key + '.' + problem.key;
                problem.position = i;
                return problem;
            }
        }
        positions->append(position);
    }
    return {};
}

// The keys' values as the set-up takes them, each of the right kind; not yet checked together.
SetupProblem parse(const QJsonObject &object, const QString &baseDir, StationSetup *setup)
{
    StationSetup read;
    const QList<SetupProblem> problems = {
        readText(object, QStringLiteral("image"), &read.image),
        readBaud(object, &read.baud),
        readTimeout(object, &read.timeoutSeconds),
        readMode(object, &read.mode),
        readSerialScan(object, &read.serialScan),
        readText(object, QStringLiteral("json_lines"), &read.jsonLinesPath),
        readText(object, QStringLiteral("log_dir"), &read.logDir),
        readText(object, QStringLiteral("unlock_code"), &read.unlockCode),
        readText(object, QStringLiteral("results"), &read.results),
        readText(object, QStringLiteral("station_name"), &read.stationName),
        readPositions(object, &read.positions)};
    for (const SetupProblem &problem : problems) {
        if (!problem.isNone())
            return problem;
    }
    read.image = resolvedAgainst(baseDir, read.image);
    read.jsonLinesPath = resolvedAgainst(baseDir, read.jsonLinesPath);
    read.logDir = resolvedAgainst(baseDir, read.logDir);
    *setup = read;
    return {};
}

} // namespace

bool StationSetup::operator==(const StationSetup &other) const
{
    return image == other.image && baud == other.baud && timeoutSeconds == other.timeoutSeconds &&
           mode == other.mode && serialScan == other.serialScan &&
           jsonLinesPath == other.jsonLinesPath && logDir == other.logDir &&
           unlockCode == other.unlockCode && results == other.results &&
           stationName == other.stationName && positions == other.positions;
}

QJsonObject StationSetup::toJson(const QString &baseDir) const
{
    QJsonArray list;
    for (const PositionSetup &position : positions)
        list.append(QJsonObject{{QStringLiteral("label"), position.label},
                                {QStringLiteral("port"), position.port}});
    QJsonObject object{
        {QStringLiteral("image"), relativeTo(baseDir, image)},
        {QStringLiteral("baud"), baud},
        {QStringLiteral("timeout"), timeoutSeconds},
        {QStringLiteral("start"),
         mode == StartMode::OnStart ? QStringLiteral("on-start") : QStringLiteral("port-appears")},
        {QStringLiteral("module_serial"), QLatin1String(SerialScanNames[int(serialScan)])},
        {QStringLiteral("json_lines"), relativeTo(baseDir, jsonLinesPath)},
        {QStringLiteral("log_dir"), relativeTo(baseDir, logDir)},
        {QStringLiteral("results"), results},
        {QStringLiteral("station_name"), stationName},
        {QStringLiteral("positions"), list}};
    if (!unlockCode.isEmpty())
        object.insert(QStringLiteral("unlock_code"), unlockCode);
    return object;
}

SetupProblem StationSetup::read(const QJsonObject &object, const QString &baseDir,
                                StationSetup *setup)
{
    StationSetup read;
    SetupProblem problem = parse(object, baseDir, &read);
    if (problem.isNone())
        problem = read.problem();
    if (problem.isNone())
        *setup = read;
    return problem;
}

QString StationSetup::save(const QString &path) const
{
    if (const SetupProblem problem = stationFileProblem(path); !problem.isNone())
        return problem.text();
    const QString baseDir = QFileInfo(path).absolutePath();
    const QByteArray json = QJsonDocument(toJson(baseDir)).toJson();
    return writeWholeFile(path, json);
}

SetupProblem StationSetup::load(const QString &path, StationSetup *setup)
{
    SetupProblem problem;
    problem.value = path;
    const QFileInfo info(path);
    QFile file(path);
    if (!info.exists())
        problem.kind = SetupProblem::Kind::NoSuchFile;
    else if (!info.isFile()) // a FIFO would block the open, /dev/zero the read
        problem.kind = SetupProblem::Kind::NotRegularFile;
    else if (info.size() > MaxFileSize)
        problem.kind = SetupProblem::Kind::TooLarge;
    else if (!file.open(QIODevice::ReadOnly)) {
        problem.kind = SetupProblem::Kind::CannotRead;
        problem.detail = file.errorString();
    }
    if (!problem.isNone())
        return problem;
    const QByteArray bytes = file.read(MaxFileSize + 1); // it may have grown since
    if (bytes.size() > MaxFileSize) {
        problem.kind = SetupProblem::Kind::TooLarge;
        return problem;
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (!document.isObject()) {
        problem.kind = SetupProblem::Kind::NotJson;
        problem.detail = error.error != QJsonParseError::NoError
                             ? QStringLiteral("at offset %1").arg(error.offset)
                             : QStringLiteral("not an object");
        return problem;
    }
    StationSetup loaded;
    problem = read(document.object(), info.absolutePath(), &loaded);
    if (problem.isNone())
        problem = loaded.stationFileProblem(path);
    if (problem.isNone())
        *setup = loaded;
    return problem;
}

void StationSetup::remember() const
{
    stationSettings()->setValue(
        QLatin1String(SettingsKey),
        QString::fromUtf8(QJsonDocument(toJson()).toJson(QJsonDocument::Compact)));
}

SetupProblem StationSetup::remembered(StationSetup *setup)
{
    const QString json = stationSettings()->value(QLatin1String(SettingsKey)).toString();
    StationSetup kept;
    SetupProblem problem = parse(QJsonDocument::fromJson(json.toUtf8()).object(), {}, &kept);
    // No position yet is a set-up still being made, as on the first run.
    if (problem.isNone() && !kept.positions.isEmpty())
        problem = kept.problem();
    if (problem.isNone())
        *setup = kept;
    return problem;
}

void StationSetup::rememberLocked(bool locked)
{
    stationSettings()->setValue(QLatin1String(LockedKey), locked);
}

bool StationSetup::rememberedLocked()
{
    return stationSettings()->value(QLatin1String(LockedKey), false).toBool();
}

StationSetup StationSetup::forPorts(const QStringList &ports)
{
    StationSetup setup;
    for (int i = 0; i < ports.size(); ++i)
        setup.positions.append({QStringLiteral("A%1").arg(i + 1), ports.at(i)});
    return setup;
}

std::unique_ptr<QSettings> stationSettings()
{
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QStringLiteral("rw47hn-upgrader"),
                                       QStringLiteral("station"));
}
