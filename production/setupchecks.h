#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// The checks that the command line and a station's set-up share, so that a set-up is refused
// for the same things whichever way it comes.
namespace SetupChecks {

// A file as the system finds it, links and dots resolved; one not there yet by its folder's
// resolved path and its own name.
QString resolvedFile(const QString &path);

// What two port texts that lead to one device have in common: the request's key for serial=
// and usb=, else the resolved device path.
QString portIdentity(const QString &port);

struct Found
{
    QString problem;       // what is wrong, in English; empty when nothing is
    QString value;         // the port or the file it is about
    QStringList names;     // for a file named twice: the two names it was given under
    bool repeated = false; // named twice, not malformed
};

// A malformed port text, or two that lead to one device: "given twice: PORT (IDENTITY)".
Found portsProblem(const QStringList &ports);

// Each name with its path, empty paths skipped: the first two that name one file.
Found sameFileNamedTwice(const QList<QPair<QString, QString>> &named);

} // namespace SetupChecks
