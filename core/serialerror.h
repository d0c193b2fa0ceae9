#pragma once

#include <QSerialPort>
#include <QString>

// What went wrong with a link to a module: a serial port's own errors, under their own
// numbers, and those of a port reached over the network.
enum class LinkError : int {
    NoError = QSerialPort::NoError,
    ServerUnreachable = 100, // no connection: refused, no such host, or no answer in time
    ServerClosed,            // the device server ended the connection
    OptionRefused,           // the server does not serve the port's settings
    RateNotConfirmed         // the server did not confirm a rate in time
};

inline LinkError linkError(QSerialPort::SerialPortError error)
{
    return LinkError(int(error));
}

// What an error of a link means: in English for files and stdout, and in the language
// installed for the windows. Decided from the enum, never from Qt's own text, which Qt's
// translation may have made Chinese.
QString serialErrorText(LinkError error);
QString serialErrorShown(LinkError error);
