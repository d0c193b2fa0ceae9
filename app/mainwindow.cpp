#include "mainwindow.h"

#include "ui_mainwindow.h"

#include <QApplication>
#include <QMetaType>

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    SerialAppInit();
    setupTrafficLog();
    setupUpgradeStatus();

    // The signals spell their parameter types uint8_t and uint64_t; make those names known
    // to the meta-type system so queued connections and invokeMethod can resolve them.
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QMetaType::registerNormalizedTypedef(QMetaObject::normalizedType("uint8_t"), QMetaType::UChar);
    QMetaType::registerNormalizedTypedef(QMetaObject::normalizedType("uint64_t"),
                                         QMetaType::ULongLong);
#else
    QMetaType::registerNormalizedTypedef("uint8_t", QMetaType(QMetaType::UChar));
    QMetaType::registerNormalizedTypedef("uint64_t", QMetaType(QMetaType::ULongLong));
#endif

    connect(&session, &UpgradeSession::logLine, this, &MainWindow::appendLogLine);
    connect(&session, &UpgradeSession::answeringFrame, this, &MainWindow::holdLogLines);
    connect(&session, &UpgradeSession::linkClosed, this, &MainWindow::showLinkClosed);
    connect(&session, &UpgradeSession::upgradeStarted, this, &MainWindow::startUpgradeStatus);
    connect(&session, &UpgradeSession::served, this, &MainWindow::recordServed);
    connect(&session, &UpgradeSession::resultReported, this, &MainWindow::showUpgradeResult);
    connect(ui->comboBox_2, &QComboBox::currentTextChanged, this,
            [this](const QString &rate) { session.setChosenRate(rate.toUInt()); });
    session.setChosenRate(ui->comboBox_2->currentText().toUInt());
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::prepareApplication()
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Qt 6 always scales to the screen; Qt 5 only when asked before the application exists.
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
#endif
}

void MainWindow::presetPort(const QString &portName)
{
    ui->comboBox->setCurrentText(portName);
}

void MainWindow::presetImage(const QString &path)
{
    session.setFirmwarePath(path);
    ui->lineEdit->setText(path);
}

bool MainWindow::presetBaudRate(const QString &rate)
{
    const int index = ui->comboBox_2->findText(rate);
    if (index < 0)
        return false;
    ui->comboBox_2->setCurrentIndex(index);
    return true;
}

void MainWindow::openAndStart()
{
    if (!session.isOpen())
        on_pushButton_clicked();
    if (session.isOpen())
        on_pushButton_3_clicked();
}

void MainWindow::setSilenceLimits(int afterStartMs, int inFramesMs)
{
    session.setSilenceLimits(afterStartMs, inFramesMs);
}

void MainWindow::changeBaudRate(quint64 baudrate)
{
    session.changeBaudRate(baudrate);
}

void MainWindow::delaySendStartUpgradeCmd()
{
    session.delaySendStartUpgradeCmd();
}
