#pragma once

#include "serialerror.h"

#include <QDateTime>
#include <QJsonObject>
#include <QString>

// Why an upgrade ended without the module's result: a stable code and English words for
// files and stdout, and the same words in the window's language for the windows. Built from
// error enums and the sequence's own outcomes, never from a text the system translated.
struct EndReason
{
    enum class Kind {
        None,
        Interrupted,      // a signal, Stop, or the station closing
        NoAnswer,         // no valid frame for `number` seconds
        PortLost,         // the port went away during the upgrade
        RateSwitchFailed, // the port would not reopen at `number` baud
        CannotOpen,       // the port would not open: nothing was sent
        PortNotFound      // a serial= or usb= port led to no one device: `detail` says why
    };

    Kind kind = Kind::None;
    LinkError serialError = LinkError::NoError;
    qint64 number = 0;
    QString detail; // English

    static EndReason of(Kind kind, LinkError error = LinkError::NoError, qint64 number = 0,
                        const QString &detail = {});

    bool isNone() const { return kind == Kind::None; }
    // The port failed before a byte was sent: a fault of the station's, not of a module.
    bool beforeModule() const { return kind == Kind::CannotOpen || kind == Kind::PortNotFound; }
    QString code() const;  // "port_lost", "no_answer", ...; empty for None
    QString text() const;  // English, for files and stdout
    QString shown() const; // in the language installed for the windows
};

// One module's upgrade as it ended: the one value every report is rendered from (the summary
// line, the JSON object of --json and --json-lines, the station's tiles and history).
struct ModuleRecord
{
    enum class Status { Ok, Failed, Error };

    QString id;           // a UUID, made as the upgrade is set up
    QString position;     // the station's label for the port; empty headless
    QString moduleSerial; // as scanned at the station; empty when none was
    QString port;         // as given
    QString device;       // what a serial= or usb= port led to; empty when none was found
    bool identityPort = false;
    QString image; // as given
    qint64 imageSize = 0;
    QString imageSha256;
    QDateTime started;
    QDateTime ended;
    Status status = Status::Error;
    int result = -1; // the module's result byte, -1 when none came
    EndReason reason;
    qint64 bytes = 0;
    int requests = 0;
    int crcErrors = 0;
    QString moduleText;
    QString toolVersion;
    QString logPath;    // the module's log file; empty without one
    QString logProblem; // why that file could not be written whole, for the windows; or empty

    // Wall time from the start to the end, whatever the outcome.
    double seconds() const;
    // 0 for success, 1 for a reported failure, 2 for a port that could not be used or finish.
    int exitStatus() const;
    QString statusCode() const; // "ok", "failed", "error"
    // The port as given, and the device it led to when that is another name.
    QString label() const;
    QString summaryLine() const;
    QJsonObject toJson() const;
    QByteArray jsonLine() const; // compact, without the line break
};

// For a record that crosses to another thread: no buffer shared with the one that stays.
ModuleRecord ownCopy(const ModuleRecord &record);

// A time as the records hold it: ISO 8601 in UTC to the millisecond; empty when not set.
QString isoUtc(const QDateTime &time);
