// The yield report, from the rows of a results store.

#include "resultsreport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <map>
#include <tuple>

namespace {

QString text(const ModuleRow &row, const char *name)
{
    return row.value(QLatin1String(name)).toString();
}

QString localDay(const QString &isoUtc)
{
    return QDateTime::fromString(isoUtc, Qt::ISODateWithMs)
        .toLocalTime()
        .date()
        .toString(Qt::ISODate);
}

QString percent(double value)
{
    return QString::number(value, 'f', 1);
}

QString median(const YieldGroup &group)
{
    return group.medianSeconds() < 0 ? QString() : QString::number(group.medianSeconds(), 'f', 2);
}

// A CSV field: quoted when it holds a comma, a quote or a line break.
QString csvField(QString value)
{
    if (!value.contains(QLatin1Char(',')) && !value.contains(QLatin1Char('"')) &&
        !value.contains(QLatin1Char('\n')) && !value.contains(QLatin1Char('\r')))
        return value;
    value.replace(QLatin1String("\""), QLatin1String("\"\""));
    return QLatin1Char('"') + value + QLatin1Char('"');
}

// Left-aligned text, right-aligned figures, two spaces between.
QString aligned(const std::vector<QStringList> &rows, int textColumns)
{
    std::vector<int> widths(rows.front().size(), 0);
    for (const QStringList &row : rows) {
        for (int i = 0; i < row.size(); ++i)
            widths[size_t(i)] = qMax(widths[size_t(i)], row.at(i).size());
    }
    QString out;
    for (const QStringList &row : rows) {
        QStringList cells;
        for (int i = 0; i < row.size(); ++i)
            cells << (i < textColumns ? row.at(i).leftJustified(widths[size_t(i)])
                                      : row.at(i).rightJustified(widths[size_t(i)]));
        out += cells.join(QStringLiteral("  ")).trimmed() + QLatin1Char('\n');
    }
    return out;
}

} // namespace

double YieldGroup::medianSeconds() const
{
    if (passedSeconds.empty())
        return -1;
    std::vector<double> sorted = passedSeconds;
    std::sort(sorted.begin(), sorted.end());
    const size_t middle = sorted.size() / 2;
    return sorted.size() % 2 == 1 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

YieldReport YieldReport::of(const std::vector<ModuleRow> &rows)
{
    using Key = std::tuple<QString, QString, QString, QString, QString>;
    std::map<Key, YieldGroup> groups;
    for (const ModuleRow &row : rows) {
        const Key key{localDay(text(row, "started")), text(row, "station"), text(row, "position"),
                      text(row, "image"), text(row, "image_sha256")};
        YieldGroup &group = groups[key];
        std::tie(group.day, group.station, group.position, group.image, group.imageSha256) = key;
        ++group.modules;
        if (text(row, "status") == QLatin1String("ok")) {
            ++group.passed;
            group.passedSeconds.push_back(row.value(QStringLiteral("seconds")).toDouble());
        }
    }
    YieldReport report;
    for (const auto &entry : groups)
        report.groups.push_back(entry.second);
    return report;
}

QString YieldReport::table() const
{
    if (groups.empty())
        return QStringLiteral("no modules recorded in this period\n");
    std::vector<QStringList> rows{{QStringLiteral("DAY"), QStringLiteral("STATION"),
                                   QStringLiteral("POSITION"), QStringLiteral("IMAGE"),
                                   QStringLiteral("SHA256"), QStringLiteral("MODULES"),
                                   QStringLiteral("PASSED"), QStringLiteral("FAILED"),
                                   QStringLiteral("YIELD %"), QStringLiteral("MEDIAN S")}};
    for (const YieldGroup &group : groups) {
        const QString dash = QStringLiteral("-");
        rows.push_back({group.day, group.station, group.position.isEmpty() ? dash : group.position,
                        group.image.isEmpty() ? dash : group.image,
                        group.imageSha256.isEmpty() ? dash : group.imageSha256.left(12),
                        QString::number(group.modules), QString::number(group.passed),
                        QString::number(group.failed()), percent(group.yieldPercent()),
                        group.medianSeconds() < 0 ? dash : median(group)});
    }
    return aligned(rows, 5);
}

QByteArray YieldReport::json() const
{
    QJsonArray array;
    for (const YieldGroup &group : groups) {
        const double middle = group.medianSeconds();
        array.append(QJsonObject{
            {QStringLiteral("day"), group.day},
            {QStringLiteral("station"), group.station},
            {QStringLiteral("position"),
             group.position.isEmpty() ? QJsonValue() : QJsonValue(group.position)},
            {QStringLiteral("image"), group.image},
            {QStringLiteral("image_sha256"), group.imageSha256},
            {QStringLiteral("modules"), group.modules},
            {QStringLiteral("passed"), group.passed},
            {QStringLiteral("failed"), group.failed()},
            {QStringLiteral("yield_percent"), percent(group.yieldPercent()).toDouble()},
            {QStringLiteral("median_seconds"), middle < 0 ? QJsonValue() : QJsonValue(middle)}});
    }
    return QJsonDocument(array).toJson();
}

QByteArray YieldReport::csv() const
{
    QString out = QStringLiteral("day,station,position,image,image_sha256,modules,passed,failed,"
                                 "yield_percent,median_seconds\r\n");
    for (const YieldGroup &group : groups) {
        const QStringList fields{group.day,
                                 group.station,
                                 group.position,
                                 group.image,
                                 group.imageSha256,
                                 QString::number(group.modules),
                                 QString::number(group.passed),
                                 QString::number(group.failed()),
                                 percent(group.yieldPercent()),
                                 median(group)};
        QStringList quoted;
        for (const QString &field : fields)
            quoted << csvField(field);
        out += quoted.join(QLatin1Char(',')) + QStringLiteral("\r\n");
    }
    return out.toUtf8();
}

bool parseReportTime(const QString &text, bool end, QDateTime *time)
{
    const QDate day = QDate::fromString(text, Qt::ISODate);
    if (day.isValid() && text.size() == 10) {
        *time = QDateTime(end ? day.addDays(1) : day, QTime(0, 0));
        return true;
    }
    *time = QDateTime::fromString(text, Qt::ISODateWithMs);
    return time->isValid() && text.contains(QLatin1Char('T'));
}
