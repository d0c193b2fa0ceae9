// The words for a serial port's errors.

#include "serialerror.h"

#include <QCoreApplication>

namespace {

// The same words twice: English for files and stdout, and the source text the windows
// translate (Chinese, with English in the translation file).
struct Words
{
    const char *english;
    const char *shown;
};

Words serialErrorWords(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::NoError:
        return {"no error", QT_TRANSLATE_NOOP("SerialError", "无错误")};
    case QSerialPort::DeviceNotFoundError:
        return {"no such device", QT_TRANSLATE_NOOP("SerialError", "设备不存在")};
    case QSerialPort::PermissionError:
        return {"permission denied, or in use by another program",
                QT_TRANSLATE_NOOP("SerialError", "没有权限，或已被其他程序占用")};
    case QSerialPort::OpenError:
        return {"already open", QT_TRANSLATE_NOOP("SerialError", "已经打开")};
    case QSerialPort::WriteError:
        return {"write failed", QT_TRANSLATE_NOOP("SerialError", "写入失败")};
    case QSerialPort::ReadError:
        return {"read failed", QT_TRANSLATE_NOOP("SerialError", "读取失败")};
    case QSerialPort::ResourceError:
        return {"the device went away", QT_TRANSLATE_NOOP("SerialError", "设备已移除")};
    case QSerialPort::UnsupportedOperationError:
        return {"not a serial port, or a setting it does not support",
                QT_TRANSLATE_NOOP("SerialError", "不是串口，或不支持该设置")};
    case QSerialPort::TimeoutError:
        return {"timed out", QT_TRANSLATE_NOOP("SerialError", "超时")};
    case QSerialPort::NotOpenError:
        return {"not open", QT_TRANSLATE_NOOP("SerialError", "未打开")};
    default:
        break;
    }
    return {"unknown error", QT_TRANSLATE_NOOP("SerialError", "未知错误")};
}

} // namespace

QString serialErrorText(QSerialPort::SerialPortError error)
{
    return QLatin1String(serialErrorWords(error).english);
}

QString serialErrorShown(QSerialPort::SerialPortError error)
{
    return QCoreApplication::translate("SerialError", serialErrorWords(error).shown);
}
