// The production station's window.

#include "stationwindow.h"

#include "languagemenu.h"
#include "portidentity.h"
#include "positiontile.h"
#include "seriallink.h"
#include "ui_stationwindow.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGridLayout>
#include <QMessageBox>
#include <QShortcut>
#include <QStatusBar>
#include <QUrl>

#include <cmath>

namespace {

constexpr int LogPathRole = Qt::UserRole;

// Records the server has not taken yet: kept in the outbox, and said so.
QString waitingText(int waiting)
{
    return waiting > 0 ? StationWindow::tr("    待发送 %1 条").arg(waiting) : QString();
}

// Columns for `count` tiles: wide rather than tall, as a 1366x768 screen is.
int gridColumns(int count)
{
    if (count <= 3)
        return qMax(count, 1);
    if (count == 4)
        return 2;
    if (count <= 6 || count == 9)
        return 3;
    return 4;
}

QString outcomeText(ModuleOutcome outcome)
{
    switch (outcome) {
    case ModuleOutcome::Passed:
        return StationWindow::tr("通过");
    case ModuleOutcome::Failed:
        return StationWindow::tr("失败");
    case ModuleOutcome::Error:
    case ModuleOutcome::None:
        break;
    }
    return StationWindow::tr("错误");
}

} // namespace

StationWindow::StationWindow(QWidget *parent)
    : QMainWindow(parent), ui(std::make_unique<Ui::StationWindow>()), m_grid(nullptr)
{
    ui->setupUi(this);
    m_grid = new QGridLayout(ui->tilesArea);
    m_grid->setContentsMargins(0, 0, 0, 0);
    prepareSetupPanel();
    prepareShortcuts();
    offerLanguages(this, ui->actionChinese, ui->actionEnglish);
    StationModel *model = m_controller.model();
    connect(model, &StationModel::positionsReset, this, &StationWindow::rebuildTiles);
    connect(model, &StationModel::positionChanged, this, &StationWindow::showPosition);
    connect(model, &StationModel::totalsChanged, this, &StationWindow::showTotals);
    connect(model, &StationModel::recordAdded, this, &StationWindow::addHistoryRow);
    connect(model, &StationModel::historyRestored, this, [this] {
        ui->historyTable->setRowCount(0);
        const QList<StationRecord> &history = m_controller.model()->history();
        for (auto it = history.crbegin(); it != history.crend(); ++it)
            addHistoryRow(*it);
    });
    connect(model, &StationModel::imageChanged, this, &StationWindow::showImage);
    connect(model, &StationModel::writeFailed, this, &StationWindow::showWriteFailure);
    connect(ui->historyTable, &QTableWidget::cellActivated, this, &StationWindow::openHistoryLog);
    connect(ui->resetButton, &QPushButton::clicked, this, &StationWindow::resetTotals);
    connect(ui->stopAllButton, &QPushButton::clicked, this, &StationWindow::stopAllPressed);
    m_totalsClock.setInterval(10000);
    connect(&m_totalsClock, &QTimer::timeout, this, &StationWindow::showTotals);
    m_totalsClock.start();
    showTotals();
}

StationWindow::~StationWindow()
{
    m_controller.finish();
}

// Keys 1 to 9 start their position, Space every idle one, Escape stops them all; typing in
// the set-up is not taken.
void StationWindow::prepareShortcuts()
{
    for (int i = 0; i < 9; ++i) {
        auto *key = new QShortcut(QKeySequence(Qt::Key_1 + i), this);
        connect(key, &QShortcut::activated, this, [this, i] { startPosition(i); });
    }
    auto *space = new QShortcut(QKeySequence(Qt::Key_Space), this);
    connect(space, &QShortcut::activated, this, &StationWindow::startAll);
    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &StationWindow::stopAllPressed);
}

bool StationWindow::canStart() const
{
    return m_setupProblem.isNone() && m_controller.model()->canStart();
}

void StationWindow::startPosition(int index)
{
    if (canStart())
        m_controller.start(index);
}

// The scanner's Enter is the position's Start: its module goes with the serial. A position
// waiting for its port takes the serial for the module it holds.
void StationWindow::takeSerial(int index, const QString &serial)
{
    m_controller.setSerial(index, serial);
    if (m_controller.model()->isReadyForNext(index))
        startPosition(index);
}

void StationWindow::startAll()
{
    if (canStart())
        m_controller.startAllIdle();
}

void StationWindow::rebuildTiles()
{
    qDeleteAll(m_tiles);
    m_tiles.clear();
    const int count = m_controller.model()->positionCount();
    const int columns = gridColumns(count);
    for (int i = 0; i < count; ++i) {
        auto *tile = new PositionTile(i, ui->tilesArea);
        connect(tile, &PositionTile::startPressed, this, &StationWindow::startPosition);
        connect(tile, &PositionTile::stopPressed, this, &StationWindow::stopPressed);
        connect(tile, &PositionTile::serialScanned, this, &StationWindow::takeSerial);
        m_grid->addWidget(tile, i / columns, i % columns);
        m_tiles.append(tile);
        showPosition(i);
    }
}

void StationWindow::showPosition(int index)
{
    if (index < m_tiles.size())
        m_tiles[index]->display(m_controller.model()->position(index),
                                m_controller.model()->imageSize(), canStart());
    updateSetupEnabled();
    closeQuestionIfTransferEnded();
}

void StationWindow::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::LanguageChange)
        retranslate();
    QMainWindow::changeEvent(event);
}

// Everything shown anew in the language installed now; the history keeps the words its rows
// were written in, as a log does.
void StationWindow::retranslate()
{
    ui->retranslateUi(this);
    ui->lockButton->setText(isLocked() ? tr("解锁") : tr("锁定"));
    ui->setupProblem->setText(m_setupProblem.shown());
    showImage();
    showTotals();
    rebuildTiles();
}

void StationWindow::showTotals()
{
    const StationModel::Totals totals = m_controller.model()->totals();
    const QString perHour =
        totals.perHourKnown ? QString::number(totals.modulesPerHour, 'f', 0) : QStringLiteral("–");
    ui->totalsLabel->setText(tr("通过 %1    失败 %2    良率 %3%    每小时 %4 个")
                                 .arg(totals.passed)
                                 .arg(totals.failed)
                                 .arg(totals.yieldPercent, 0, 'f', 1)
                                 .arg(perHour) +
                             waitingText(m_controller.waitingRecords()));
}

void StationWindow::showImage()
{
    const ImageInfo &image = m_controller.model()->image();
    // What holds Start back comes first: a station that cannot keep its records does not run.
    if (!image.outputProblem.isEmpty())
        ui->imageInfo->setText(image.outputProblem);
    else if (!image.problem.isEmpty())
        ui->imageInfo->setText(image.problem);
    else if (image.size > 0)
        ui->imageInfo->setText(
            tr("%1 字节, SHA-256 %2").arg(image.size).arg(image.sha256.left(12)));
    else
        ui->imageInfo->setText(tr("未选择固件"));
    // The whole hash, to compare with a release's; empty while nothing would be served.
    const bool served = image.outputProblem.isEmpty() && image.problem.isEmpty() && image.size > 0;
    ui->imageInfo->setToolTip(served ? QStringLiteral("SHA-256 ") + image.sha256 : QString());
    for (int i = 0; i < m_tiles.size(); ++i)
        showPosition(i);
}

void StationWindow::addHistoryRow(const StationRecord &record)
{
    const ModuleRecord &module = record.module;
    QTableWidget *table = ui->historyTable;
    table->insertRow(0);
    const QStringList cells = {module.ended.toString(QStringLiteral("HH:mm:ss")),
                               module.position,
                               module.port,
                               outcomeText(outcomeOf(module.status)),
                               QString::number(module.seconds(), 'f', 2),
                               QString::number(module.bytes),
                               record.writeProblem.isEmpty() ? module.reason.shown()
                                                             : record.writeProblem};
    for (int column = 0; column < cells.size(); ++column) {
        auto *item = new QTableWidgetItem(cells.at(column));
        item->setData(LogPathRole, module.logPath);
        item->setToolTip(module.logPath.isEmpty() ? module.summaryLine() : module.logPath);
        table->setItem(0, column, item);
    }
    table->setRowCount(qMin(table->rowCount(), StationModel::HistoryLength));
}

// Stays in the status bar until the next failure or a reset: records are being lost.
void StationWindow::showWriteFailure(const QString &problem)
{
    statusBar()->setStyleSheet(QStringLiteral("QStatusBar { background: #d32f2f; color: white; }"));
    statusBar()->showMessage(problem);
}

// The log by its whole path; a log that is gone, or that nothing can open, is said so.
void StationWindow::openHistoryLog(int row)
{
    const QTableWidgetItem *item = ui->historyTable->item(row, 0);
    const QString path = item ? item->data(LogPathRole).toString() : QString();
    if (path.isEmpty()) {
        QMessageBox::information(this, windowTitle(), tr("这个模块没有日志文件。"));
        return;
    }
    const QFileInfo file(path);
    if (!file.isFile() || !QDesktopServices::openUrl(QUrl::fromLocalFile(file.absoluteFilePath())))
        QMessageBox::warning(this, windowTitle(),
                             tr("无法打开日志文件 %1").arg(file.absoluteFilePath()));
}

int StationWindow::upgradingCount() const
{
    int count = 0;
    for (int i = 0; i < m_controller.model()->positionCount(); ++i)
        count += m_controller.model()->isUpgrading(i) ? 1 : 0;
    return count;
}

// An interrupted transfer can leave a module that does not boot: Stop asks first while one
// runs. A transfer that ends while the question is open closes it; nothing is done.
void StationWindow::stopPressed(int index)
{
    if (m_controller.model()->isUpgrading(index)) {
        const bool yes = ask(tr("%1 正在升级，停止会中断本次升级。是否停止？")
                                 .arg(m_controller.model()->position(index).setup.label),
                             index);
        if (!yes || !m_controller.model()->isUpgrading(index))
            return;
    }
    m_controller.stop(index);
}

void StationWindow::closeQuestionIfTransferEnded()
{
    if (!m_question || m_questionPosition == NoTransfer)
        return;
    const bool ended = m_questionPosition >= 0
                           ? !m_controller.model()->isUpgrading(m_questionPosition)
                           : upgradingCount() == 0;
    if (ended)
        m_question->done(QMessageBox::No);
}

bool StationWindow::ask(const QString &text, int position)
{
    m_questionPosition = position;
    QMessageBox box(QMessageBox::Question, windowTitle(), text, QMessageBox::Yes | QMessageBox::No,
                    this);
    box.setDefaultButton(QMessageBox::No);
    m_question = &box;
    const bool yes = box.exec() == QMessageBox::Yes;
    m_question = nullptr;
    m_questionPosition = NoTransfer;
    return yes;
}

// Every position stops; a transfer under way is interrupted only when the operator says so.
void StationWindow::stopAllPressed()
{
    // A question closed because the transfers ended meanwhile is a No: press again.
    if (upgradingCount() > 0 &&
        !ask(tr("有工位正在升级，全部停止会中断这些升级。是否全部停止？"), AnyTransfer))
        return;
    m_controller.stopAll();
}

void StationWindow::resetTotals()
{
    if (!ask(tr("重新开始计数并清除历史显示？记录仍保存在结果库中。")))
        return;
    countFromNow();
    m_controller.model()->resetTotals();
    ui->historyTable->setRowCount(0);
    statusBar()->setStyleSheet(QString());
    statusBar()->clearMessage();
}

void StationWindow::closeEvent(QCloseEvent *event)
{
    if (upgradingCount() > 0) {
        if (!ask(tr("有工位正在升级，关闭窗口会中断这些升级。是否关闭？"), AnyTransfer) ||
            upgradingCount() == 0) {
            event->ignore();
            return;
        }
    }
    // Every module still being upgraded ends as interrupted, and is reported as such.
    m_controller.finish();
    QMainWindow::closeEvent(event);
}
