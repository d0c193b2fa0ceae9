// Choosing the .ufw file, and the start button that hands it to the session.

#include "mainwindow.h"

#include "ui_mainwindow.h"

#include <QDebug>
#include <QFileDialog>

void MainWindow::on_toolButton_clicked()
{
    const QString ufwFilePath =
        QFileDialog::getOpenFileName(this, QStringLiteral("选择ufw文件"), QStringLiteral("./"),
                                     QStringLiteral("ufw files(*.ufw)"));
    session.setFirmwarePath(ufwFilePath);
    qDebug() << ufwFilePath << Qt::endl;
    if (ufwFilePath != QLatin1String("")) {
        ui->lineEdit->setText(ufwFilePath);
    } else {
        ui->lineEdit->setText(QStringLiteral("请选择ufw文件"));
        ui->lineEdit->setStyleSheet(QStringLiteral("color: grey;"));
    }
}

void MainWindow::on_pushButton_3_clicked()
{
    ui->textBrowser->clearHistory();
    ui->textBrowser->clear();
    session.startUpgrade();
}
