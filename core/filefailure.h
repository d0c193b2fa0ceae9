#pragma once

#include <QFileDevice>
#include <QString>

// Why a file could not be opened or written, in English for stderr whatever the language: from
// the system's error number (0: none known), else from Qt's error enum, never from a text that
// Qt's translation may have made Chinese.
QString fileFailureReason(int systemError, QFileDevice::FileError error);
