#pragma once

#include <QByteArray>
#include <QFileDevice>
#include <QString>

// How a report (--json, the port list, a station file) reaches what its path names. A regular
// file, or none yet, is replaced whole or not at all: written beside it and renamed over it.
// A character device (/dev/null) or a FIFO is written through in place, never replaced by a
// regular file; a FIFO that nobody reads is refused rather than waited on. Anything else (a
// folder, a block device, a socket) is refused.
enum class ReportTarget { Missing, Regular, CharacterDevice, Fifo, Folder, Other };

ReportTarget reportTarget(const QString &path);
// Why a report cannot go to a target of this kind (a folder, ...); empty when it can.
QString refusedTarget(ReportTarget target);
// Writes `bytes` as the whole of `path`; what went wrong, or empty.
QString writeWholeFile(const QString &path, const QByteArray &bytes);
// Writes `bytes` to the character device or FIFO `path` as it is; what went wrong, or empty.
QString writeThrough(const QString &path, const QByteArray &bytes);
// Writes all of `bytes` to an open, unbuffered `file`, a short write (the disk filled up, a
// file-size limit) tried again for the rest: the error it then runs into is the system's
// (errno), where a buffered write that stopped short would leave none to say.
bool writeAll(QFileDevice &file, const QByteArray &bytes);
