#include "mainwindow.h"

#include "languagemenu.h"

#include "elidedlabel.h"
#include "owncopy.h"
#include "portbox.h"
#include "trafficlogview.h"
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
    exchanges = std::make_unique<WorkerThread<UpgradeSequence>>(QStringLiteral("exchanges"));
    trafficLog = new TrafficLogView(ui->textBrowser, this);
    upgradeStatus = new UpgradeStatus(statusBar(), this);
    logFileLabel = new ElidedLabel(Qt::ElideMiddle, statusBar());
    statusBar()->addPermanentWidget(logFileLabel);
    setLogFolder(QString());
    SerialAppInit();
    registerTypeNames();
    connectSequence();
    exchanges->finishWithApplication();
    // Answers are due within a millisecond or two; the window can wait.
    exchanges->start(QThread::TimeCriticalPriority);
    connect(&sessionLog, &SessionLog::failed, this, &MainWindow::addWindowLine);
    connect(ui->comboBox_2, &QComboBox::currentTextChanged, this,
            [this](const QString &rate) { setChosenRate(rate.toUInt()); });
    setChosenRate(ui->comboBox_2->currentText().toUInt());
    offerLanguages(this, ui->actionChinese, ui->actionEnglish);
    retranslate();
}

// Everything the sequence said reaches the log file before the window goes.
MainWindow::~MainWindow()
{
    exchanges->finish();
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

// The window hears the sequence's own signals, each run here in the order said.
void MainWindow::connectSequence()
{
    using S = UpgradeSequence;
    // The lines of a received frame go once its reply is out: the window's thread is not
    // woken while the module waits for the reply.
    exchanges->holdDeliveriesWhile(&S::answeringFrame);
    exchanges->relay(&S::logged, this, &MainWindow::takeEntry);
    exchanges->relay(&S::openFinished, this, &MainWindow::takeOpenAnswer);
    exchanges->relay(&S::sessionEnded, this, &MainWindow::endFileSession);
    exchanges->relay(&S::phaseChanged, this, [this](S::Phase) { closeQuestionIfTransferEnded(); });
    // The whole session is on disk once the line is back at the user's rate.
    exchanges->relay(&S::returnedToChosenRate, &sessionLog, &SessionLog::flush);
    exchanges->relay(&S::upgradeStarted, upgradeStatus, &UpgradeStatus::start);
    exchanges->relay(&S::sliceServed, upgradeStatus, &UpgradeStatus::showServed);
    exchanges->relay(&S::resultReported, upgradeStatus, &UpgradeStatus::showResult);
    exchanges->relay(&S::linkLost, upgradeStatus, &UpgradeStatus::showLost);
    // A start refused before a byte went out leaves no progress of the upgrade before.
    exchanges->relay(
        &S::imageRefused, upgradeStatus,
        [this](FirmwareImage::Problem, const QString &line) { upgradeStatus->showStopped(line); });
}

void MainWindow::SerialAppInit()
{
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
    exchanges->post(
        [path = ownCopy(path)](UpgradeSequence &sequence) { sequence.setFirmwarePath(path); });
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
    if (linkSession != 0) {
        on_pushButton_3_clicked();
        return;
    }
    startWhenOpen = true;
    on_pushButton_clicked();
}

void MainWindow::setSilenceLimits(int afterStartMs, int inFramesMs)
{
    exchanges->post(
        [=](UpgradeSequence &sequence) { sequence.setSilenceLimits(afterStartMs, inFramesMs); });
}

void MainWindow::setChosenRate(quint64 rate)
{
    exchanges->post([rate](UpgradeSequence &sequence) { sequence.setChosenRate(rate); });
}

// ---- Buttons ----

void MainWindow::on_pushButton_clicked()
{
    if (linkSession == 0) {
        openLink();
        return;
    }
    if (mayInterrupt(tr("升级正在进行，关闭串口会中断本次升级。是否关闭？")))
        closeLink();
}

void MainWindow::on_toolButton_clicked()
{
    const QString ufwFilePath = QFileDialog::getOpenFileName(
        this, tr("选择ufw文件"), QStringLiteral("./"), tr("ufw files(*.ufw)"));
    exchanges->post([path = ownCopy(ufwFilePath)](UpgradeSequence &sequence) {
        sequence.setFirmwarePath(path);
    });
    qDebug() << ufwFilePath << Qt::endl;
    if (ufwFilePath != QLatin1String("")) {
        ui->lineEdit->setText(ufwFilePath);
    } else {
        showImageRequest();
        ui->lineEdit->setStyleSheet(QStringLiteral("color: grey;"));
    }
}

void MainWindow::on_pushButton_2_clicked()
{
    clearArea();
}

void MainWindow::on_pushButton_3_clicked()
{
    if (!mayInterrupt(tr("升级正在进行，重新开始会中断本次升级。是否重新开始？")))
        return;
    clearArea();
    exchanges->post([](UpgradeSequence &sequence) { sequence.startUpgrade(); });
}

void MainWindow::changeBaudRate(quint64 baudrate)
{
    exchanges->post([baudrate](UpgradeSequence &sequence) { sequence.changeBaudRate(baudrate); });
}

void MainWindow::delaySendStartUpgradeCmd()
{
    exchanges->post([](UpgradeSequence &sequence) { sequence.delaySendStartUpgradeCmd(); });
}

// ---- The link ----

// The answer comes as an event; until then the button takes no second press.
void MainWindow::openLink()
{
    openingPort = ui->comboBox->currentText();
    openingRate = ui->comboBox_2->currentText();
    qDebug() << openingPort << Qt::endl;
    qDebug() << openingRate << Qt::endl;
    ui->pushButton->setEnabled(false);
    exchanges->post([port = ownCopy(openingPort), rate = ownCopy(openingRate)](
                        UpgradeSequence &sequence) { sequence.OpenComPorts(port, rate); });
}

void MainWindow::takeOpenAnswer(bool opened)
{
    ui->pushButton->setEnabled(true);
    const bool start = std::exchange(startWhenOpen, false);
    // Every open, whether it worked or not, begins a session of the sequence and is answered
    // once, in order. The lines of a failed open come before its answer and count with the
    // session before; that one has ended by then, its file with it.
    ++heardSession;
    if (!opened)
        return;
    linkSession = heardSession;
    showLinkOpen();
    if (start)
        on_pushButton_3_clicked();
}

void MainWindow::showLinkOpen()
{
    ui->radioButton->setChecked(true);
    showPortButton();
    openLogFile(openingPort);
    addWindowLine(tr("%1串口打开成功").arg(openingPort));
    addWindowLine(tr("波特率: %1").arg(openingRate));
}

// The window shows the link closed at once; the session's file closes with its last entry.
void MainWindow::closeLink()
{
    exchanges->post([](UpgradeSequence &sequence) { sequence.closePort(); });
    showLinkClosed();
}

void MainWindow::showLinkClosed()
{
    linkSession = 0;
    ui->radioButton->setChecked(false);
    showPortButton();
}

void MainWindow::showPortButton()
{
    ui->pushButton->setText(ui->radioButton->isChecked() ? tr("关闭串口") : tr("打开串口"));
}

void MainWindow::showImageRequest()
{
    imageRequest = tr("请选择ufw文件");
    ui->lineEdit->setText(imageRequest);
}

// ---- Language ----

void MainWindow::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::LanguageChange) {
        ui->retranslateUi(this);
        retranslate();
    }
    QMainWindow::changeEvent(event);
}

// The texts set in code, in the language installed now.
void MainWindow::retranslate()
{
    setWindowTitle(tr("RW47HN串口升级demo"));
    showPortButton();
    // The request is said again, but not over a path typed in its place.
    if (!imageRequest.isEmpty() && ui->lineEdit->text() == imageRequest)
        showImageRequest();
    showLogFile();
    upgradeStatus->retranslate();
}
