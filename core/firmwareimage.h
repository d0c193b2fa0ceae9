#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

// Larger files are refused before any of it is read: no module takes an image that size, and
// holding it would exhaust the memory of the machine that runs the upgrader.
constexpr qint64 MaxImageSize = 1073741824; // 1 GiB

// A firmware image read whole from its file, or why it could not be.
struct FirmwareImage
{
    Q_DECLARE_TR_FUNCTIONS(FirmwareImage)

public:
    enum Problem { None, CannotOpen, NotRegularFile, TooLarge, ReadFailed };

    Problem problem = None;
    QByteArray data; // the whole file when problem is None
    qint64 size = 0; // the file's size, when it could be told
    QString detail;  // the system's words for a read failure

    bool loaded() const { return problem == None; }
    // The log lines a load gives, in order: the opened line first where the file was opened.
    QStringList logLines() const;
    // The line that says why the image was refused; empty when it was not.
    QString refusalLine() const;
    // The line that says the file was opened.
    static QString openedLine();
};

// Reads `path` whole. Devices and FIFOs are refused unread, as is a file over MaxImageSize;
// reading stops at the size first seen, so a growing file cannot pass the limit.
FirmwareImage loadFirmwareImage(const QString &path);
