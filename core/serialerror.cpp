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

Words networkErrorWords(LinkError error)
{
    switch (error) {
    case LinkError::ServerUnreachable:
        return {"the device server cannot be reached",
                QT_TRANSLATE_NOOP("SerialError", "无法连接到串口服务器")};
    case LinkError::ServerClosed:
        return {"the device server closed the connection",
                QT_TRANSLATE_NOOP("SerialError", "串口服务器关闭了连接")};
    case LinkError::OptionRefused:
        return {"the device server does not serve port settings (RFC 2217)",
                QT_TRANSLATE_NOOP("SerialError", "串口服务器不支持端口设置 (RFC 2217)")};
    case LinkError::RateNotConfirmed:
        return {"the device server did not confirm the rate",
                QT_TRANSLATE_NOOP("SerialError", "串口服务器未确认波特率")};
    default:
        break;
    }
    return {"unknown error", QT_TRANSLATE_NOOP("SerialError", "未知错误")};
}

Words serialErrorWords(LinkError linkError)
{
    if (int(linkError) >= int(LinkError::ServerUnreachable))
        return networkErrorWords(linkError);
    switch (QSerialPort::SerialPortError(int(linkError))) {
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

QString serialErrorText(LinkError error)
{
    return QLatin1String(serialErrorWords(error).english);
}

QString serialErrorShown(LinkError error)
{
    return QCoreApplication::translate("SerialError", serialErrorWords(error).shown);
}
