#include "firmwareimage.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace {

FirmwareImage refused(FirmwareImage::Problem problem, qint64 size = 0, const QString &detail = {})
{
    FirmwareImage image;
    image.problem = problem;
    image.size = size;
    image.detail = detail;
    return image;
}

} // namespace

FirmwareImage loadFirmwareImage(const QString &path)
{
    // Checked before opening: opening a FIFO would wait for a writer.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        return refused(FirmwareImage::NotRegularFile);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return refused(FirmwareImage::CannotOpen);
    const qint64 size = file.size();
    if (size > MaxImageSize)
        return refused(FirmwareImage::TooLarge, size);

    FirmwareImage image;
    image.size = size;
    image.data.resize(int(size));
    qint64 done = 0;
    qint64 count = 0;
    while (done < size && (count = file.read(image.data.data() + done, size - done)) > 0)
        done += count;
    // A read error, or a file that delivers less than it claims: the image would be cut short.
    if (done < size)
        return refused(FirmwareImage::ReadFailed, size, file.errorString());
    return image;
}

QStringList FirmwareImage::logLines() const
{
    const QString opened = openedLine();
    switch (problem) {
    case None:
        return {opened};
    case ReadFailed:
        return {opened, refusalLine()};
    case CannotOpen:
    case NotRegularFile:
    case TooLarge:
        break;
    }
    return {refusalLine()};
}

QString FirmwareImage::openedLine()
{
    return tr("文件打开成功。");
}

QString FirmwareImage::refusalLine() const
{
    switch (problem) {
    case None:
        break;
    case CannotOpen:
        return tr(">>>>>>>>>>>>>>>>>>>>>>>>>>>>无法打开文件!");
    case NotRegularFile:
        return tr("文件无效: 不是普通文件");
    case TooLarge:
        return tr("文件过大: %1 字节，最大 %2 字节").arg(size).arg(MaxImageSize);
    case ReadFailed:
        return tr("文件读取失败: %1").arg(detail);
    }
    return {};
}
