#include "mainwindow.h"

#include "ui_mainwindow.h"

#include <QMetaType>

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    SerialAppInit();
    setupTrafficLog();
    setupUpgradeStatus();

    // The signals spell their parameter types uint8_t and uint64_t; make those names known
    // to the meta-type system so queued connections and invokeMethod can resolve them.
    QMetaType::registerNormalizedTypedef(QMetaObject::normalizedType("uint8_t"), QMetaType::UChar);
    QMetaType::registerNormalizedTypedef(QMetaObject::normalizedType("uint64_t"),
                                         QMetaType::ULongLong);

    connect(&serialPort, &QIODevice::readyRead, this, &MainWindow::SerialPortReadData);
    connect(&serialPort, &QIODevice::bytesWritten, this, &MainWindow::handleBytesWritten);
    connect(&serialPort, &QSerialPort::errorOccurred, this, &MainWindow::handlePortError);
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::presetPort(const QString &portName)
{
    ui->comboBox->setCurrentText(portName);
}
