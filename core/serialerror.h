#pragma once

#include <QSerialPort>
#include <QString>

// What an error of a serial port means: in English for files and stdout, and in the language
// installed for the windows. Decided from the enum, never from Qt's own text, which Qt's
// translation may have made Chinese.
QString serialErrorText(QSerialPort::SerialPortError error);
QString serialErrorShown(QSerialPort::SerialPortError error);
