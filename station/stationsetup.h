#pragma once

#include <QJsonObject>
#include <QString>
#include <QVector>

// One position of the station: what the operator calls it and the port its adapter is on
// (a path, a system name, or any port text the engine resolves).
struct PositionSetup
{
    QString label;
    QString port;
    bool operator==(const PositionSetup &other) const
    {
        return label == other.label && port == other.port;
    }
};

// How a position takes its next module.
enum class StartMode {
    PortAppears, // the module's adapter is plugged in with it: upgrade as its port appears
    OnStart      // the adapter stays in the fixture: the operator presses Start per module
};

// Everything the station is set up with; saved between runs and as a station file.
struct StationSetup
{
    QString image;
    QString baud = QStringLiteral("115200");
    int timeoutSeconds = 30;
    StartMode mode = StartMode::PortAppears;
    QString jsonLinesPath;
    QString logDir;
    QString results;     // --results: empty for the SQLite file in the data folder
    QString stationName; // the store's `station`: empty for the host name
    QVector<PositionSetup> positions;

    bool operator==(const StationSetup &other) const;
    bool operator!=(const StationSetup &other) const { return !(*this == other); }

    // Paths are written relative to `baseDir` and read back against it; empty: as they are.
    QJsonObject toJson(const QString &baseDir = {}) const;
    static StationSetup fromJson(const QJsonObject &object, const QString &baseDir = {});

    // A station file: what is wrong, or empty.
    QString save(const QString &path) const;
    static QString load(const QString &path, StationSetup *setup);

    // The set-up of the last run, kept in the application's settings.
    void remember() const;
    static StationSetup remembered();
    // Whether the engineer left the remembered set-up locked: it opens locked again.
    static void rememberLocked(bool locked);
    static bool rememberedLocked();

    // Labels A1, A2, ... for `ports`, the rest as the defaults.
    static StationSetup forPorts(const QStringList &ports);
};
