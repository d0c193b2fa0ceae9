#include "mainwindow.h"

#include "eventrelay.h"
#include "exchangethread.h"
#include "portbox.h"
#include "trafficlog.h"
#include "ui_mainwindow.h"
#include "upgradestatus.h"

#include <QApplication>
#include <QDebug>
#include <QFileDialog>
#include <QLabel>
#include <QMetaType>
#include <QStatusBar>

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    trafficLog = new TrafficLogView(ui->textBrowser, this);
    upgradeStatus = new UpgradeStatus(statusBar(), this);
    logFileLabel = new QLabel(statusBar());
    statusBar()->addPermanentWidget(logFileLabel);
    trafficLog->setFile(&sessionLog);
    exchanges = new ExchangeThread(&sequence, this);
    setLogFolder(QString());
    SerialAppInit();
    registerTypeNames();
    connectSequence();
    connect(&sessionLog, &SessionLog::failed, trafficLog, &TrafficLogView::appendLine);
    connect(ui->comboBox_2, &QComboBox::currentTextChanged, this,
            [this](const QString &rate) { setChosenRate(rate.toUInt()); });
    setChosenRate(ui->comboBox_2->currentText().toUInt());
}

MainWindow::~MainWindow()
{
    exchanges->stop();
    // The members go before the child objects: nothing may reach the log file once it is gone.
    sequence.disconnect();
    trafficLog->setFile(nullptr);
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

// A signal of the sequence runs `slot` in the window's thread: directly while the sequence
// shares it, through the relay once the sequence has a thread of its own.
template <typename Signal, typename Slot> void MainWindow::follow(Signal signal, Slot slot)
{
    if (!relay) {
        connect(&sequence, signal, this, slot);
        return;
    }
    EventRelay *to = relay;
    connect(
        &sequence, signal, to, [to, slot](auto... args) { to->post([=] { slot(args...); }); },
        Qt::DirectConnection);
}

void MainWindow::connectSequence()
{
    if (relay)
        connect(&sequence, &UpgradeSequence::answeringFrame, relay, &EventRelay::hold,
                Qt::DirectConnection);
    else
        connect(&sequence, &UpgradeSequence::answeringFrame, trafficLog,
                &TrafficLogView::holdLines);
    follow(&UpgradeSequence::logLine,
           [this](const QString &line) { trafficLog->appendLine(line); });
    follow(&UpgradeSequence::linkLost, [this](const QString &) { showLinkClosed(); });
    follow(&UpgradeSequence::linkClosed, [this](const QString &) { showLinkClosed(); });
    follow(&UpgradeSequence::phaseChanged, [this](UpgradeSequence::Phase phase) {
        serving = phase == UpgradeSequence::Phase::Serving;
    });
    // The whole session is on disk once the line is back at the user's rate.
    follow(&UpgradeSequence::returnedToChosenRate, [this] { sessionLog.flush(); });
    follow(&UpgradeSequence::upgradeStarted, [this](qint64 size) { upgradeStatus->start(size); });
    follow(&UpgradeSequence::sliceServed,
           [this](qint64 end, qint64 ms) { upgradeStatus->showServed(end, ms); });
    follow(&UpgradeSequence::resultReported, [this](uint8_t result, const UpgradeFigures &f) {
        upgradeStatus->showResult(result, f);
    });
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
    exchanges->run([&] { sequence.setFirmwarePath(path); });
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
    if (!linkOpen)
        on_pushButton_clicked();
    if (linkOpen)
        on_pushButton_3_clicked();
}

void MainWindow::setSilenceLimits(int afterStartMs, int inFramesMs)
{
    exchanges->run([&] { sequence.setSilenceLimits(afterStartMs, inFramesMs); });
}

// ---- Buttons ----

void MainWindow::on_pushButton_clicked()
{
    if (linkOpen) {
        if (!mayInterrupt(QStringLiteral("升级正在进行，关闭串口会中断本次升级。是否关闭？")))
            return;
        exchanges->run([this] { sequence.closePort(); });
        showLinkClosed();
        return;
    }
    const QString portName = ui->comboBox->currentText();
    const QString baudRateText = ui->comboBox_2->currentText();
    qDebug() << portName << Qt::endl;
    qDebug() << baudRateText << Qt::endl;
    int opened = 0;
    exchanges->run([&] { opened = sequence.OpenComPorts(portName, baudRateText); });
    if (opened)
        showLinkOpen(portName, baudRateText);
}

void MainWindow::showLinkOpen(const QString &portName, const QString &rateText)
{
    ui->pushButton->setText(QStringLiteral("关闭串口"));
    ui->radioButton->setChecked(true);
    linkOpen = true;
    openLogFile(portName);
    trafficLog->appendLine(portName + QStringLiteral("串口打开成功"));
    trafficLog->appendLine(QStringLiteral("波特率: ") + rateText);
}

void MainWindow::showLinkClosed()
{
    serving = false;
    linkOpen = false;
    ui->pushButton->setText(QStringLiteral("打开串口"));
    ui->radioButton->setChecked(false);
    sessionLog.close();
}

void MainWindow::on_toolButton_clicked()
{
    const QString ufwFilePath =
        QFileDialog::getOpenFileName(this, QStringLiteral("选择ufw文件"), QStringLiteral("./"),
                                     QStringLiteral("ufw files(*.ufw)"));
    exchanges->run([&] { sequence.setFirmwarePath(ufwFilePath); });
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
    if (!mayInterrupt(QStringLiteral("升级正在进行，重新开始会中断本次升级。是否重新开始？")))
        return;
    trafficLog->clear();
    exchanges->run([this] { sequence.startUpgrade(); });
}

void MainWindow::changeBaudRate(quint64 baudrate)
{
    exchanges->run([&] { sequence.changeBaudRate(baudrate); });
}

void MainWindow::delaySendStartUpgradeCmd()
{
    exchanges->run([this] { sequence.delaySendStartUpgradeCmd(); });
}
