#include "mainwindow.h"

#include "portbox.h"
#include "trafficlog.h"
#include "ui_mainwindow.h"
#include "upgradestatus.h"

#include <QApplication>
#include <QDebug>
#include <QFileDialog>
#include <QMetaType>

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    trafficLog = new TrafficLogView(ui->textBrowser, this);
    upgradeStatus = new UpgradeStatus(statusBar(), this);
    SerialAppInit();
    registerTypeNames();
    connectSequence();
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

// The signals spell their parameter types uint8_t and uint64_t; make those names known to the
// meta-type system so queued connections and invokeMethod can resolve them.
void MainWindow::registerTypeNames()
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QMetaType::registerNormalizedTypedef(QMetaObject::normalizedType("uint8_t"), QMetaType::UChar);
    QMetaType::registerNormalizedTypedef(QMetaObject::normalizedType("uint64_t"),
                                         QMetaType::ULongLong);
#else
    QMetaType::registerNormalizedTypedef("uint8_t", QMetaType(QMetaType::UChar));
    QMetaType::registerNormalizedTypedef("uint64_t", QMetaType(QMetaType::ULongLong));
#endif
}

void MainWindow::connectSequence()
{
    connect(&sequence, &UpgradeSequence::logLine, trafficLog, &TrafficLogView::appendLine);
    connect(&sequence, &UpgradeSequence::answeringFrame, trafficLog, &TrafficLogView::holdLines);
    connect(&sequence, &UpgradeSequence::linkLost, this, &MainWindow::showLinkClosed);
    connect(&sequence, &UpgradeSequence::linkClosed, this, &MainWindow::showLinkClosed);
    connect(&sequence, &UpgradeSequence::upgradeStarted, upgradeStatus, &UpgradeStatus::start);
    connect(&sequence, &UpgradeSequence::sliceServed, upgradeStatus, &UpgradeStatus::showServed);
    connect(&sequence, &UpgradeSequence::resultReported, upgradeStatus,
            &UpgradeStatus::showResult);
    connect(ui->comboBox_2, &QComboBox::currentTextChanged, this,
            [this](const QString &rate) { sequence.setChosenRate(rate.toUInt()); });
    sequence.setChosenRate(ui->comboBox_2->currentText().toUInt());
}

void MainWindow::SerialAppInit()
{
    ui->pushButton->setText(QStringLiteral("打开串口"));
    ui->comboBox_2->insertItems(ui->comboBox_2->count(), OfferedBaudRates);
    ui->radioButton->setStyleSheet(QStringLiteral(
        "QRadioButton { color: red; }QRadioButton::indicator:checked { color: green; }"));
    // The indicator reports the link state; a click must not make it claim otherwise.
    ui->radioButton->setAttribute(Qt::WA_TransparentForMouseEvents);
    ui->radioButton->setFocusPolicy(Qt::NoFocus);
    ui->comboBox_2->setCurrentIndex(1);
    portBox = new PortBox(ui->comboBox, this);
    SearchAvailablePorts();
}

void MainWindow::SearchAvailablePorts()
{
    logPorts(portBox->listPorts());
}

void MainWindow::setPortProvider(std::function<QVector<PortDescription>()> provider)
{
    portBox->setProvider(std::move(provider));
}

void MainWindow::presetPort(const QString &portName)
{
    ui->comboBox->setCurrentText(portName);
}

void MainWindow::presetImage(const QString &path)
{
    sequence.setFirmwarePath(path);
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
    if (!sequence.isOpen())
        on_pushButton_clicked();
    if (sequence.isOpen())
        on_pushButton_3_clicked();
}

void MainWindow::setSilenceLimits(int afterStartMs, int inFramesMs)
{
    sequence.setSilenceLimits(afterStartMs, inFramesMs);
}

// ---- Buttons ----

void MainWindow::on_pushButton_clicked()
{
    if (sequence.isOpen()) {
        sequence.closePort();
        showLinkClosed();
        return;
    }
    const QString portName = ui->comboBox->currentText();
    const QString baudRateText = ui->comboBox_2->currentText();
    qDebug() << portName << Qt::endl;
    qDebug() << baudRateText << Qt::endl;
    if (sequence.OpenComPorts(portName, baudRateText))
        showLinkOpen(portName, baudRateText);
}

void MainWindow::showLinkOpen(const QString &portName, const QString &rateText)
{
    ui->pushButton->setText(QStringLiteral("关闭串口"));
    ui->radioButton->setChecked(true);
    trafficLog->appendLine(portName + QStringLiteral("串口打开成功"));
    trafficLog->appendLine(QStringLiteral("波特率: ") + rateText);
}

void MainWindow::showLinkClosed()
{
    ui->pushButton->setText(QStringLiteral("打开串口"));
    ui->radioButton->setChecked(false);
}

void MainWindow::on_toolButton_clicked()
{
    const QString ufwFilePath =
        QFileDialog::getOpenFileName(this, QStringLiteral("选择ufw文件"), QStringLiteral("./"),
                                     QStringLiteral("ufw files(*.ufw)"));
    sequence.setFirmwarePath(ufwFilePath);
    qDebug() << ufwFilePath << Qt::endl;
    if (ufwFilePath != QLatin1String("")) {
        ui->lineEdit->setText(ufwFilePath);
    } else {
        ui->lineEdit->setText(QStringLiteral("请选择ufw文件"));
        ui->lineEdit->setStyleSheet(QStringLiteral("color: grey;"));
    }
}

void MainWindow::on_pushButton_2_clicked()
{
    trafficLog->clear();
}

void MainWindow::on_pushButton_3_clicked()
{
    trafficLog->clear();
    sequence.startUpgrade();
}

void MainWindow::changeBaudRate(quint64 baudrate)
{
    sequence.changeBaudRate(baudrate);
}

void MainWindow::delaySendStartUpgradeCmd()
{
    sequence.delaySendStartUpgradeCmd();
}
