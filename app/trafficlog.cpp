// Traffic log: one hex line per buffer sent or frame received, and the clear button.

#include "mainwindow.h"

#include "ui_mainwindow.h"

#include <QDebug>

void MainWindow::ArrayToHexStringAppendTextBrowser(uint8_t flag, QByteArray data,
                                                   const uint8_t * /*byteArray*/,
                                                   uint64_t /*size*/)
{
    // Two upper-case digits per byte, one space between bytes, built in one pass.
    const QString line = QLatin1String(flag != 0 ? "MCU->RW47HN: [" : "RW47HN->MCU: [") +
                         QLatin1String(data.toHex(' ').toUpper()) + QLatin1Char(']');
    qDebug() << "Hex string:" << line;
    ui->textBrowser->append(line);
}

void MainWindow::on_pushButton_2_clicked()
{
    ui->textBrowser->clearHistory();
    ui->textBrowser->clear();
}
