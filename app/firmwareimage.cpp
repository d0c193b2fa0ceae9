// Firmware image: choosing the .ufw file and loading it whole into memory.

#include "mainwindow.h"

#include "ui_mainwindow.h"

#include <QDebug>
#include <QFile>
#include <QFileDialog>

void MainWindow::on_toolButton_clicked()
{
    ufwFilePath =
        QFileDialog::getOpenFileName(this, QStringLiteral("选择ufw文件"), QStringLiteral("./"),
                                     QStringLiteral("ufw files(*.ufw)"));
    qDebug() << ufwFilePath << Qt::endl;
    if (ufwFilePath != QLatin1String("")) {
        ui->lineEdit->setText(ufwFilePath);
    } else {
        ui->lineEdit->setText(QStringLiteral("请选择ufw文件"));
        ui->lineEdit->setStyleSheet(QStringLiteral("color: grey;"));
    }
}

namespace {

// Larger files are refused before any of it is read: no module takes an image that size, and
// holding it would exhaust the memory of the machine that runs the window.
constexpr qint64 MaxImageSize = 1073741824; // 1 GiB

} // namespace

// Reads the chosen file into ufwFileData. On any failure the previous image is kept and the
// log area says why.
bool MainWindow::loadFirmwareImage()
{
    QFile file(ufwFilePath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        appendLogLine(QStringLiteral(">>>>>>>>>>>>>>>>>>>>>>>>>>>>无法打开文件!"));
        return false;
    }
    const qint64 size = file.size();
    if (size > MaxImageSize) {
        appendLogLine(
            QStringLiteral("文件过大: %1 字节，最大 %2 字节").arg(size).arg(MaxImageSize));
        return false;
    }
    appendLogLine(QStringLiteral("文件打开成功。"));

    QByteArray image;
    image.reserve(int(size));
    char buffer[1024];
    qint64 count;
    while ((count = file.read(buffer, qint64(sizeof buffer))) > 0)
        image.append(buffer, int(count));
    // A read error, or a file that delivers less than it claims: the image would be cut short.
    if (count < 0 || image.size() < size) {
        appendLogLine(QStringLiteral("文件读取失败: ") + file.errorString());
        return false;
    }
    ufwFileData = image;
    return true;
}
