// Firmware image: choosing the .ufw file and loading it whole into memory.

#include "mainwindow.h"

#include "ui_mainwindow.h"

#include <QDataStream>
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

// Reads the chosen file into ufwFileData. On failure the previous image is kept.
bool MainWindow::loadFirmwareImage()
{
    QFile file(ufwFilePath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        appendLogLine(QStringLiteral(">>>>>>>>>>>>>>>>>>>>>>>>>>>>无法打开文件!"));
        return false;
    }
    ufwFileData.clear();
    appendLogLine(QStringLiteral("文件打开成功。"));

    QDataStream stream(&file);
    char buffer[1024];
    while (!stream.atEnd()) {
        const int count = stream.readRawData(buffer, int(sizeof buffer));
        if (count <= 0) // a read error ends the image here
            break;
        ufwFileData.append(buffer, count);
    }
    return true;
}
