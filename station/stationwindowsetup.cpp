// The station window's set-up panel: the image, the rate, the start mode, the serial scan,
// the results file,
// the log folder and the positions; station files, and the lock.

#include "stationwindow.h"

#include "portidentity.h"
#include "seriallink.h"
#include "ui_stationwindow.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QMessageBox>

namespace {

// A port by its name, and by what it is where the system knows: a position given `serial=`
// or `usb=` follows its adapter whatever name the system gives it next time.
QStringList waysToName(const PortIdentity &port)
{
    QStringList ways{portDevice(port.name, port.systemLocation)};
    PortRequest request;
    if (!port.serialNumber.isEmpty()) {
        request.kind = PortRequest::Kind::Serial;
        request.serialNumber = port.serialNumber;
        ways << request.key();
    }
    if (port.hasUsbIds) {
        request.kind = PortRequest::Kind::Usb;
        request.vendorId = port.vendorId;
        request.productId = port.productId;
        ways << request.key();
    }
    return ways;
}

} // namespace

void StationWindow::prepareSetupPanel()
{
    ui->baudBox->addItems(OfferedBaudRates);
    for (const PortIdentity &port : systemPorts())
        ui->portPicker->addItems(waysToName(port));
    ui->portPicker->setCurrentText(QString());
    ui->positionsTable->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    connect(ui->chooseImage, &QPushButton::clicked, this, &StationWindow::chooseImage);
    connect(ui->chooseJsonLines, &QPushButton::clicked, this, &StationWindow::chooseJsonLines);
    connect(ui->chooseLogDir, &QPushButton::clicked, this, &StationWindow::chooseLogDir);
    connect(ui->addPosition, &QPushButton::clicked, this, &StationWindow::addPosition);
    connect(ui->removePosition, &QPushButton::clicked, this, &StationWindow::removePosition);
    connect(ui->openProfile, &QPushButton::clicked, this, &StationWindow::openProfile);
    connect(ui->saveProfile, &QPushButton::clicked, this, &StationWindow::saveProfile);
    connect(ui->lockButton, &QPushButton::toggled, this, &StationWindow::toggleLock);
    for (QComboBox *box : {ui->baudBox, ui->modeBox, ui->moduleSerialBox})
        connect(box, qOverload<int>(&QComboBox::currentIndexChanged), this,
                &StationWindow::applySetup);
    for (QLineEdit *edit : {ui->jsonLinesPath, ui->logDirPath, ui->unlockCode, ui->resultsStore})
        connect(edit, &QLineEdit::editingFinished, this, &StationWindow::applySetup);
    connect(ui->positionsTable, &QTableWidget::itemChanged, this, &StationWindow::applySetup);
}

void StationWindow::useSetup(const StationSetup &setup)
{
    m_given = setup;
    showSetup(setup);
    applySetup();
}

void StationWindow::showSetup(const StationSetup &setup)
{
    m_showing = true;
    ui->imagePath->setText(setup.image);
    ui->baudBox->setCurrentText(setup.baud);
    ui->modeBox->setCurrentIndex(setup.mode == StartMode::OnStart ? 1 : 0);
    ui->moduleSerialBox->setCurrentIndex(int(setup.serialScan)); // in the enum's order
    ui->jsonLinesPath->setText(setup.jsonLinesPath);
    ui->logDirPath->setText(setup.logDir);
    ui->unlockCode->setText(setup.unlockCode);
    ui->resultsStore->setText(setup.results);
    ui->positionsTable->setRowCount(0);
    for (const PositionSetup &position : setup.positions) {
        const int row = ui->positionsTable->rowCount();
        ui->positionsTable->insertRow(row);
        ui->positionsTable->setItem(row, 0, new QTableWidgetItem(position.label));
        ui->positionsTable->setItem(row, 1, new QTableWidgetItem(position.port));
    }
    m_showing = false;
}

StationSetup StationWindow::setupShown() const
{
    StationSetup setup = m_given; // for what the panel does not show
    setup.image = ui->imagePath->text();
    setup.baud = ui->baudBox->currentText();
    setup.mode = ui->modeBox->currentIndex() == 1 ? StartMode::OnStart : StartMode::PortAppears;
    setup.serialScan = SerialScan(qBound(0, ui->moduleSerialBox->currentIndex(), 2));
    setup.jsonLinesPath = ui->jsonLinesPath->text().trimmed();
    setup.logDir = ui->logDirPath->text().trimmed();
    setup.results = ui->resultsStore->text().trimmed();
    setup.positions.clear();
    for (int row = 0; row < ui->positionsTable->rowCount(); ++row) {
        const auto text = [&](int column) {
            const QTableWidgetItem *item = ui->positionsTable->item(row, column);
            return item ? item->text().trimmed() : QString();
        };
        setup.positions.append({text(0), text(1)});
    }
    setup.unlockCode = ui->unlockCode->text();
    return setup.withWholePaths();
}

bool StationWindow::isLocked() const
{
    return ui->lockButton->isChecked();
}

// A set-up that the command line would refuse is said under the panel and not applied: the
// positions keep the last one that was, and Start waits.
void StationWindow::applySetup()
{
    if (m_showing)
        return;
    const StationSetup setup = setupShown();
    m_setupProblem = setup.problem();
    ui->setupProblem->setText(m_setupProblem.shown());
    ui->setupProblem->setVisible(!m_setupProblem.isNone());
    for (int i = 0; i < m_tiles.size(); ++i)
        showPosition(i);
    if (!m_setupProblem.isNone())
        return;
    if (setup == m_controller.setup() && m_controller.model()->positionCount() > 0)
        return;
    if (m_controller.configure(setup))
        setup.remember();
}

// The set-up changes only unlocked and while no position is started. Locked, the station
// says so in a banner and a frame of its colour, not only by greyed fields as when running;
// the operator's keys keep working, as the focus leaves the panel.
void StationWindow::updateSetupEnabled()
{
    const bool locked = isLocked();
    const bool editable = !locked && !m_controller.model()->anyActive();
    for (QWidget *child :
         ui->setupBox->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
        if (child != ui->lockButton)
            child->setEnabled(editable);
    }
    ui->resetButton->setEnabled(!locked);
    ui->lockBanner->setVisible(locked);
    ui->setupBox->setStyleSheet(locked ? QStringLiteral("QGroupBox#setupBox { border: 3px solid "
                                                        "#5e35b1; margin-top: 1.2em; }")
                                       : QString());
    QWidget *focus = QApplication::focusWidget();
    if (!editable && focus != nullptr && ui->setupBox->isAncestorOf(focus))
        ui->tilesArea->setFocus();
}

void StationWindow::toggleLock(bool locked)
{
    const bool refused = locked ? !m_setupProblem.isNone() : !unlockAllowed();
    if (refused) {
        const QSignalBlocker blocker(ui->lockButton);
        ui->lockButton->setChecked(!locked);
        return;
    }
    ui->lockButton->setText(locked ? tr("解锁") : tr("锁定"));
    if (locked)
        applySetup();
    updateSetupEnabled();
    StationSetup::rememberLocked(locked);
}

// With an unlock code in the set-up, the code; else a question whose default is No.
bool StationWindow::unlockAllowed()
{
    const QString code = m_controller.setup().unlockCode;
    if (code.isEmpty())
        return ask(tr("解锁后可以修改设置。是否解锁？"));
    bool entered = false;
    const QString given = QInputDialog::getText(this, windowTitle(), tr("输入解锁密码:"),
                                                QLineEdit::Password, QString(), &entered);
    if (entered && given == code)
        return true;
    if (entered)
        QMessageBox::warning(this, windowTitle(), tr("解锁密码不对，设置保持锁定。"));
    return false;
}

void StationWindow::lock()
{
    ui->lockButton->setChecked(true);
}

// The same image chosen again is read again: it may have been replaced under the same name.
void StationWindow::chooseImage()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("选择固件"), ui->imagePath->text(),
                                                      tr("固件 (*.ufw);;所有文件 (*)"));
    if (path.isEmpty())
        return;
    const bool same = QFileInfo(path).absoluteFilePath() == m_controller.setup().image;
    ui->imagePath->setText(path);
    applySetup();
    if (same)
        m_controller.reloadImage();
}

void StationWindow::chooseJsonLines()
{
    const QString path = QFileDialog::getSaveFileName(
        this, tr("结果文件"), ui->jsonLinesPath->text(), tr("JSON Lines (*.jsonl);;所有文件 (*)"),
        nullptr, QFileDialog::DontConfirmOverwrite); // appended to, never overwritten
    if (path.isEmpty())
        return;
    ui->jsonLinesPath->setText(path);
    applySetup();
}

void StationWindow::chooseLogDir()
{
    const QString path =
        QFileDialog::getExistingDirectory(this, tr("日志目录"), ui->logDirPath->text());
    if (path.isEmpty())
        return;
    ui->logDirPath->setText(path);
    applySetup();
}

void StationWindow::addPosition()
{
    QTableWidget *table = ui->positionsTable;
    if (table->rowCount() >= StationSetup::MaxPositions)
        return;
    const int row = table->rowCount();
    m_showing = true;
    table->insertRow(row);
    table->setItem(row, 0, new QTableWidgetItem(QStringLiteral("A%1").arg(row + 1)));
    table->setItem(row, 1, new QTableWidgetItem(ui->portPicker->currentText().trimmed()));
    m_showing = false;
    applySetup();
}

void StationWindow::removePosition()
{
    const int row = ui->positionsTable->currentRow();
    if (row < 0)
        return;
    ui->positionsTable->removeRow(row);
    applySetup();
}

void StationWindow::openProfile()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("打开工位文件"), QString(),
                                                      tr("工位文件 (*.json);;所有文件 (*)"));
    if (path.isEmpty())
        return;
    StationSetup setup;
    if (const SetupProblem problem = StationSetup::load(path, &setup); !problem.isNone()) {
        QMessageBox::warning(this, windowTitle(), tr("无法打开 %1: %2").arg(path, problem.shown()));
        return;
    }
    useSetup(setup);
}

// A name typed without a suffix gets .json, so that 打开… lists the file.
void StationWindow::saveProfile()
{
    QFileDialog dialog(this, tr("保存工位文件"), QString(), tr("工位文件 (*.json);;所有文件 (*)"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("json"));
    if (!m_setupProblem.isNone()) {
        QMessageBox::warning(this, windowTitle(), m_setupProblem.shown());
        return;
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QString path = dialog.selectedFiles().first();
    const StationSetup setup = setupShown();
    // Saved over the image or a results file, the set-up would destroy what it names.
    if (const SetupProblem problem = setup.stationFileProblem(path); !problem.isNone()) {
        QMessageBox::warning(this, windowTitle(), tr("无法保存 %1: %2").arg(path, problem.shown()));
        return;
    }
    if (const QString problem = setup.save(path); !problem.isEmpty())
        QMessageBox::warning(this, windowTitle(), tr("无法保存 %1: %2").arg(path, problem));
}
