// The window's side of the serial link: the port and rate boxes and the open button.

#include "mainwindow.h"

#include "ui_mainwindow.h"

#include <QDebug>
#include <QKeyEvent>
#include <QLineEdit>
#include <QSerialPortInfo>

void MainWindow::SerialAppInit()
{
    const QStringList baudRates = {QStringLiteral("9600"), QStringLiteral("115200"),
                                   QStringLiteral("460800"), QStringLiteral("921600"),
                                   QStringLiteral("1000000")};
    ui->pushButton->setText(QStringLiteral("打开串口"));
    ui->comboBox_2->insertItems(ui->comboBox_2->count(), baudRates);
    ui->radioButton->setStyleSheet(QStringLiteral(
        "QRadioButton { color: red; }QRadioButton::indicator:checked { color: green; }"));
    // The indicator reports the link state; a click must not make it claim otherwise.
    ui->radioButton->setAttribute(Qt::WA_TransparentForMouseEvents);
    ui->radioButton->setFocusPolicy(Qt::NoFocus);
    ui->comboBox_2->setCurrentIndex(1);
    SearchAvailablePorts();
    // Adapters come and go while the window is open: the list is made anew whenever the
    // drop-down opens, by the arrow or by the keyboard.
    ui->comboBox->installEventFilter(this);
    if (ui->comboBox->lineEdit())
        ui->comboBox->lineEdit()->installEventFilter(this);
}

void MainWindow::setPortProvider(std::function<QVector<PortDescription>()> provider)
{
    portProvider = std::move(provider);
}

void MainWindow::refreshPortList()
{
    showPorts(ui->comboBox, portProvider());
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    const bool onPortBox = watched == ui->comboBox || watched == ui->comboBox->lineEdit();
    if (onPortBox && event->type() == QEvent::MouseButtonPress && watched == ui->comboBox)
        refreshPortList();
    if (onPortBox && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        const bool altArrow = (key->modifiers() & Qt::AltModifier) &&
                              (key->key() == Qt::Key_Down || key->key() == Qt::Key_Up);
        if (key->key() == Qt::Key_F4 || altArrow)
            refreshPortList();
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::SearchAvailablePorts()
{
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    qDebug() << "Available serial ports:";
    for (const QSerialPortInfo &port : ports) {
        ui->comboBox->insertItem(ui->comboBox->count(), port.portName());
        ui->comboBox->setItemData(ui->comboBox->count() - 1, portTooltip(describePort(port)),
                                  Qt::ToolTipRole);
        qDebug() << "Port:" << port.portName();
        qDebug() << "Description:" << port.description();
        qDebug() << "Manufacturer:" << port.manufacturer();
        qDebug() << "System Location:" << port.systemLocation();
        qDebug() << "Vendor Identifier:" << port.vendorIdentifier();
        qDebug() << "Product Identifier:" << port.productIdentifier();
        qDebug() << "---------------------------------------";
    }
}

void MainWindow::on_pushButton_clicked()
{
    if (session.isOpen()) {
        session.closePort();
        showLinkClosed();
        return;
    }
    const QString portName = ui->comboBox->currentText();
    const QString baudRateText = ui->comboBox_2->currentText();
    qDebug() << portName << Qt::endl;
    qDebug() << baudRateText << Qt::endl;
    if (!session.OpenComPorts(portName, baudRateText))
        return;
    ui->pushButton->setText(QStringLiteral("关闭串口"));
    ui->radioButton->setChecked(true);
    appendLogLine(portName + QStringLiteral("串口打开成功"));
    appendLogLine(QStringLiteral("波特率: ") + baudRateText);
}

void MainWindow::showLinkClosed()
{
    ui->pushButton->setText(QStringLiteral("打开串口"));
    ui->radioButton->setChecked(false);
}
