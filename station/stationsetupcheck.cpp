// The station set-up's checks, and what a problem says in English and in the window.

#include "stationsetup.h"

#include "resultstarget.h"
#include "seriallink.h"
#include "setupchecks.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSet>

namespace {

QString shownText(const char *source)
{
    return QCoreApplication::translate("SetupProblem", source);
}

SetupProblem problemOf(SetupProblem::Kind kind, const QString &key, const QString &value,
                       int position = -1)
{
    SetupProblem problem;
    problem.kind = kind;
    problem.key = key;
    problem.value = value;
    problem.position = position;
    return problem;
}

QString positionKey(int index, const char *field)
{
    return QStringLiteral("positions[%1].%2").arg(index).arg(QLatin1String(field));
}

SetupProblem labelsProblem(const QVector<PositionSetup> &positions)
{
    QSet<QString> seen;
    for (int i = 0; i < positions.size(); ++i) {
        const QString &label = positions.at(i).label;
        if (label.trimmed().isEmpty())
            return problemOf(SetupProblem::Kind::EmptyLabel, positionKey(i, "label"), label, i);
        if (seen.contains(label))
            return problemOf(SetupProblem::Kind::LabelTwice, positionKey(i, "label"), label, i);
        seen.insert(label);
    }
    return {};
}

SetupProblem portsProblem(const QVector<PositionSetup> &positions)
{
    QStringList ports;
    for (int i = 0; i < positions.size(); ++i) {
        if (positions.at(i).port.trimmed().isEmpty())
            return problemOf(SetupProblem::Kind::EmptyPort, positionKey(i, "port"), {}, i);
        ports << positions.at(i).port;
    }
    const SetupChecks::Found found = SetupChecks::portsProblem(ports);
    if (found.problem.isEmpty())
        return {};
    // A port given twice is the later one; a malformed one is the first.
    const bool twice = found.repeated;
    const int index = twice ? int(ports.lastIndexOf(found.value)) : int(ports.indexOf(found.value));
    SetupProblem problem =
        problemOf(twice ? SetupProblem::Kind::PortTwice : SetupProblem::Kind::BadPort,
                  positionKey(index, "port"), found.value, index);
    problem.detail = found.problem;
    return problem;
}

// The store's text as --results takes it; empty is the default file.
SetupProblem resultsProblem(const QString &results)
{
    QString found;
    if (!results.isEmpty())
        ResultsTarget::parse(results, &found);
    if (found.isEmpty())
        return {};
    SetupProblem problem =
        problemOf(SetupProblem::Kind::BadResults, QStringLiteral("results"), results);
    problem.detail = found;
    return problem;
}

// The SQLite file the store's text names, the default one for an empty text; empty for a
// server or none.
QString sqlitePath(const QString &results)
{
    if (results.isEmpty())
        return ResultsTarget::defaultPath();
    QString problem;
    const ResultsTarget target = ResultsTarget::parse(results, &problem);
    return target.kind == ResultsTarget::Kind::Sqlite ? target.path : QString();
}

} // namespace

SetupProblem StationSetup::problem() const
{
    if (!OfferedBaudRates.contains(baud))
        return problemOf(SetupProblem::Kind::NotOffered, QStringLiteral("baud"), baud);
    if (timeoutSeconds < 1 || timeoutSeconds > StationSetup::MaxTimeoutSeconds)
        return problemOf(SetupProblem::Kind::Timeout, QStringLiteral("timeout"),
                         QString::number(timeoutSeconds));
    if (positions.isEmpty() || positions.size() > MaxPositions)
        return problemOf(SetupProblem::Kind::PositionCount, QStringLiteral("positions"),
                         QString::number(positions.size()));
    if (const SetupProblem problem = labelsProblem(positions); !problem.isNone())
        return problem;
    if (const SetupProblem problem = portsProblem(positions); !problem.isNone())
        return problem;
    if (const SetupProblem problem = resultsProblem(results); !problem.isNone())
        return problem;
    // A results file over the image, or in the log folder's place, would destroy one of them.
    const SetupChecks::Found sameFile =
        SetupChecks::sameFileNamedTwice({{QStringLiteral("image"), image},
                                         {QStringLiteral("json_lines"), jsonLinesPath},
                                         {QStringLiteral("log_dir"), logDir}});
    if (!sameFile.problem.isEmpty()) {
        SetupProblem problem =
            problemOf(SetupProblem::Kind::SameFile, sameFile.names.last(), sameFile.value);
        problem.detail = sameFile.names.join(QLatin1String(" and "));
        return problem;
    }
    return {};
}

SetupProblem StationSetup::stationFileProblem(const QString &path) const
{
    const QList<QPair<QString, QString>> named = {{QStringLiteral("image"), image},
                                                  {QStringLiteral("json_lines"), jsonLinesPath},
                                                  {QStringLiteral("log_dir"), logDir},
                                                  {QStringLiteral("results"), sqlitePath(results)}};
    for (const auto &entry : named) {
        const SetupChecks::Found found =
            SetupChecks::sameFileNamedTwice({{QStringLiteral("the station file"), path}, entry});
        if (!found.problem.isEmpty())
            return problemOf(SetupProblem::Kind::NamesStationFile, entry.first, found.value);
    }
    return {};
}

StationSetup StationSetup::withWholePaths() const
{
    StationSetup whole = *this;
    for (QString *path : {&whole.image, &whole.jsonLinesPath, &whole.logDir}) {
        if (!path->isEmpty())
            *path = QDir::cleanPath(QFileInfo(*path).absoluteFilePath());
    }
    return whole;
}

QString SetupProblem::text() const
{
    switch (kind) {
    case Kind::None:
        break;
    case Kind::NoSuchFile:
        return QStringLiteral("no such file: %1").arg(value);
    case Kind::NotRegularFile:
        return QStringLiteral("not a regular file: %1").arg(value);
    case Kind::TooLarge:
        return QStringLiteral("larger than 1 MiB: %1").arg(value);
    case Kind::CannotRead:
        return QStringLiteral("cannot read: %1").arg(value);
    case Kind::NotJson:
        return QStringLiteral("not a JSON object (%1): %2").arg(detail, value);
    case Kind::WrongType:
        return QStringLiteral("%1: not of the expected kind: %2").arg(key, value);
    case Kind::NotOffered:
        return QStringLiteral("%1: not an offered rate: %2").arg(key, value);
    case Kind::Timeout:
        return QStringLiteral("%1: not a whole number of seconds from 1 to 86400: %2")
            .arg(key, value);
    case Kind::StartMode:
        return QStringLiteral("%1: not on-start or port-appears: %2").arg(key, value);
    case Kind::SerialScan:
        return QStringLiteral("%1: not off, optional or required: %2").arg(key, value);
    case Kind::PositionCount:
        return QStringLiteral("%1: 1 to 16 positions, not %2").arg(key, value);
    case Kind::EmptyLabel:
        return QStringLiteral("%1: empty").arg(key);
    case Kind::LabelTwice:
        return QStringLiteral("%1: given twice: %2").arg(key, value);
    case Kind::EmptyPort:
        return QStringLiteral("%1: empty").arg(key);
    case Kind::BadPort:
    case Kind::PortTwice:
        return QStringLiteral("%1: %2").arg(key, detail);
    case Kind::SameFile:
        return QStringLiteral("%1 name the same file: %2").arg(detail, value);
    case Kind::BadResults:
        return QStringLiteral("%1: %2").arg(key, detail);
    case Kind::NamesStationFile:
        return QStringLiteral("%1: names the station file itself: %2").arg(key, value);
    }
    return {};
}

QString SetupProblem::shown() const
{
    const QString where =
        shownText(QT_TRANSLATE_NOOP("SetupProblem", "工位 %1: ")).arg(position + 1);
    switch (kind) {
    case Kind::None:
        break;
    case Kind::NoSuchFile:
        return shownText(QT_TRANSLATE_NOOP("SetupProblem", "文件不存在: %1")).arg(value);
    case Kind::NotRegularFile:
        return shownText(QT_TRANSLATE_NOOP("SetupProblem", "不是普通文件: %1")).arg(value);
    case Kind::TooLarge:
        return shownText(QT_TRANSLATE_NOOP("SetupProblem", "文件超过 1 MiB: %1")).arg(value);
    case Kind::CannotRead:
        return shownText(QT_TRANSLATE_NOOP("SetupProblem", "无法读取 %1: %2")).arg(value, detail);
    case Kind::NotJson:
        return shownText(QT_TRANSLATE_NOOP("SetupProblem", "不是 JSON 对象: %1")).arg(value);
    case Kind::WrongType:
        return shownText(QT_TRANSLATE_NOOP("SetupProblem", "%1 的值类型不对: %2")).arg(key, value);
    case Kind::NotOffered:
        return shownText(QT_TRANSLATE_NOOP("SetupProblem", "不支持的波特率: %1")).arg(value);
    case Kind::Timeout:
        return shownText(QT_TRANSLATE_NOOP("SetupProblem", "超时须为 1 到 86400 的整数秒: %1"))
            .arg(value);
    case Kind::StartMode:
        return shownText(QT_TRANSLATE_NOOP("SetupProblem", "未知的开始方式: %1")).arg(value);
    case Kind::SerialScan:
        return shownText(QT_TRANSLATE_NOOP("SetupProblem", "未知的序列号方式: %1")).arg(value);
    case Kind::PositionCount:
        return shownText(QT_TRANSLATE_NOOP("SetupProblem", "工位数须为 1 到 16，现为 %1"))
            .arg(value);
    case Kind::EmptyLabel:
        return where + shownText(QT_TRANSLATE_NOOP("SetupProblem", "名称为空"));
    case Kind::LabelTwice:
        return where + shownText(QT_TRANSLATE_NOOP("SetupProblem", "名称重复: %1")).arg(value);
    case Kind::EmptyPort:
        return where + shownText(QT_TRANSLATE_NOOP("SetupProblem", "端口为空"));
    case Kind::BadPort:
        return where + shownText(QT_TRANSLATE_NOOP("SetupProblem", "端口格式不对: %1")).arg(detail);
    case Kind::PortTwice:
        return where + shownText(QT_TRANSLATE_NOOP("SetupProblem", "端口重复: %1")).arg(value);
    case Kind::SameFile:
        return shownText(
                   QT_TRANSLATE_NOOP("SetupProblem", "固件、结果文件和日志目录须各不相同: %1"))
            .arg(value);
    case Kind::BadResults:
        return shownText(QT_TRANSLATE_NOOP("SetupProblem", "结果库不对: %1")).arg(detail);
    case Kind::NamesStationFile:
        return shownText(QT_TRANSLATE_NOOP("SetupProblem", "%1 指向工位文件本身: %2"))
            .arg(key, value);
    }
    return {};
}
