#pragma once

#include <QJsonObject>
#include <QString>
#include <QVector>

#include <memory>

class QSettings;

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

// Whether each module's serial is scanned into its position before it is upgraded.
enum class SerialScan {
    Off,
    Optional, // scanned when the operator has one; a module without one is upgraded too
    Required  // the position holds its next module until its serial is scanned
};

// What is wrong with a set-up or a station file, by the key it is about: in English for the
// command line, in the window's language for the window.
struct SetupProblem
{
    enum class Kind {
        None,
        NoSuchFile,
        NotRegularFile,
        TooLarge,
        CannotRead,
        NotJson,
        WrongType,     // a key that holds a value of another kind
        NotOffered,    // a rate not in the offered list
        Timeout,       // not a whole number of seconds in range
        StartMode,     // neither on-start nor port-appears
        SerialScan,    // neither off, optional nor required
        PositionCount, // not 1 to 16
        EmptyLabel,
        LabelTwice,
        EmptyPort,
        BadPort, // `detail` says what is wrong with it
        PortTwice,
        SameFile,        // `value` is the file, `detail` the two keys that name it
        BadResults,      // `detail` says what is wrong with the store's text
        NamesStationFile // `key` names the station file itself, `value`
    };

    Kind kind = Kind::None;
    QString key;       // the key it is about: "baud", "positions[2].port", ...
    QString value;     // what was found there
    QString detail;    // English
    int position = -1; // the position it is about, from 0

    bool isNone() const { return kind == Kind::None; }
    QString text() const;  // "baud: not an offered rate: 57600"
    QString shown() const; // in the language installed for the windows
};

// Everything the station is set up with; saved between runs and as a station file. A field
// is one member here and one key in toJson(), read() and operator==.
struct StationSetup
{
    static constexpr int MaxPositions = 16;
    static constexpr qint64 MaxFileSize = 1024 * 1024;
    static constexpr int MaxTimeoutSeconds = 86400;

    QString image;
    QString baud = QStringLiteral("115200");
    int timeoutSeconds = 30;
    StartMode mode = StartMode::PortAppears;
    SerialScan serialScan = SerialScan::Off;
    QString jsonLinesPath;
    QString logDir;
    QString unlockCode;  // asked for before the set-up is unlocked; empty: a question is enough
    QString results;     // --results: empty for the SQLite file in the data folder
    QString stationName; // the store's `station`: empty for the host name
    QVector<PositionSetup> positions;

    bool operator==(const StationSetup &other) const;
    bool operator!=(const StationSetup &other) const { return !(*this == other); }

    // Whatever would make the station serve something else than was meant: a rate not offered,
    // a timeout out of range, positions not 1 to 16, empty or repeated labels, malformed or
    // repeated ports, one file named twice. The command line refuses the same.
    SetupProblem problem() const;
    // The station file at `path` named by the set-up as its image, results file, log folder
    // or SQLite store: loaded, it would be read as an image or written into; saved, it would
    // replace one of them.
    SetupProblem stationFileProblem(const QString &path) const;
    // The image, the results file and the log folder as whole paths, against the current folder.
    StationSetup withWholePaths() const;

    // Paths are written relative to `baseDir` and read back against it; empty: as they are.
    QJsonObject toJson(const QString &baseDir = {}) const;
    // What is wrong with `object`'s keys, or problem() of what they say.
    static SetupProblem read(const QJsonObject &object, const QString &baseDir,
                             StationSetup *setup);

    // A station file: what is wrong, or empty. A file that is not a regular file or is larger
    // than MaxFileSize is refused without being read, so that a FIFO or a device cannot hold
    // the program up; one that names itself (stationFileProblem) is refused by both.
    QString save(const QString &path) const;
    static SetupProblem load(const QString &path, StationSetup *setup);

    // The set-up of the last run, kept in the application's settings; none kept: the defaults.
    void remember() const;
    static SetupProblem remembered(StationSetup *setup);
    // Whether the engineer left the remembered set-up locked: it opens locked again.
    static void rememberLocked(bool locked);
    static bool rememberedLocked();

    // Labels A1, A2, ... for `ports`, the rest as the defaults.
    static StationSetup forPorts(const QStringList &ports);
};

// Where the station keeps what it remembers between runs.
std::unique_ptr<QSettings> stationSettings();
