// One position of the station window.

#include "positiontile.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

namespace {

// Five colours that stay apart for the colour-blind too: the word and its mark say it again.
const char *const BlockStyle = "QFrame#block[look=\"idle\"] { background: #757575; }"
                               "QFrame#block[look=\"waiting\"] { background: #f9a825; }"
                               "QFrame#block[look=\"running\"] { background: #1565c0; }"
                               "QFrame#block[look=\"passed\"] { background: #2e7d32; }"
                               "QFrame#block[look=\"failed\"] { background: #c62828; }"
                               "QFrame#block QLabel { color: white; background: transparent; }"
                               "QFrame#block[look=\"waiting\"] QLabel { color: #212121; }";

// The largest pixel size up to `most` at which `label`'s longest line fits its width.
void fitLabel(QLabel *label, int most, int width)
{
    QFont font = label->font();
    font.setBold(true);
    const QStringList lines = label->text().split(QLatin1Char('\n'));
    int size = qMax(most, 8);
    for (; size > 8; size -= qMax(1, size / 10)) {
        font.setPixelSize(size);
        const QFontMetrics metrics(font);
        int widest = 0;
        for (const QString &line : lines)
            widest = qMax(widest, metrics.horizontalAdvance(line));
        if (widest <= width)
            break;
    }
    font.setPixelSize(size);
    label->setFont(font);
}

} // namespace

PositionTile::PositionTile(int index, QWidget *parent)
    : QFrame(parent), m_index(index), m_block(new QFrame(this)), m_name(new QLabel(m_block)),
      m_word(new QLabel(m_block)), m_reason(new QLabel(m_block)), m_port(new QLabel(this)),
      m_serial(new QLineEdit(this)), m_progress(new QProgressBar(this)),
      m_elapsed(new QLabel(this)), m_counts(new QLabel(this)),
      m_start(new QPushButton(tr("开始"), this)), m_stop(new QPushButton(tr("停止"), this))
{
    setFrameShape(QFrame::StyledPanel);
    setObjectName(QStringLiteral("position%1").arg(index + 1));
    m_block->setObjectName(QStringLiteral("block"));
    m_word->setObjectName(QStringLiteral("state"));
    m_reason->setObjectName(QStringLiteral("reason"));
    m_serial->setObjectName(QStringLiteral("serial"));
    m_serial->setPlaceholderText(tr("模块序列号"));
    m_serial->hide();
    m_start->setObjectName(QStringLiteral("start"));
    m_stop->setObjectName(QStringLiteral("stop"));
    m_block->setStyleSheet(QLatin1String(BlockStyle));
    m_block->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Expanding);
    for (QLabel *label : {m_name, m_word, m_reason}) {
        label->setAlignment(Qt::AlignCenter);
        label->setTextFormat(Qt::PlainText);
        label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    }
    m_reason->setWordWrap(true);
    m_progress->setTextVisible(true);
    // Sixteen tiles side by side on a 1366-pixel screen: long texts are cut, not the grid
    // widened; the tooltips hold them whole.
    for (QWidget *widget : {static_cast<QWidget *>(m_port), static_cast<QWidget *>(m_progress)})
        widget->setSizePolicy(QSizePolicy::Ignored, widget->sizePolicy().verticalPolicy());
    for (QPushButton *button : {m_start, m_stop}) {
        button->setFocusPolicy(Qt::NoFocus); // Space starts every idle position, not a button
        button->setMinimumWidth(40);
        button->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    }
    layOut();
    connect(m_start, &QPushButton::clicked, this, [this] { emit startPressed(m_index); });
    connect(m_stop, &QPushButton::clicked, this, [this] { emit stopPressed(m_index); });
    connect(m_serial, &QLineEdit::returnPressed, this, [this] {
        const QString serial = m_serial->text().trimmed();
        if (!serial.isEmpty() && !m_serial->isReadOnly())
            emit serialScanned(m_index, serial);
    });
}

void PositionTile::layOut()
{
    auto *inBlock = new QVBoxLayout(m_block);
    inBlock->setContentsMargins(4, 2, 4, 2);
    inBlock->setSpacing(0);
    inBlock->addWidget(m_name);
    inBlock->addWidget(m_word, 1);
    inBlock->addWidget(m_reason);
    auto *grid = new QGridLayout(this);
    grid->setContentsMargins(4, 4, 4, 4);
    grid->setSpacing(3);
    grid->addWidget(m_block, 0, 0, 1, 2);
    grid->addWidget(m_port, 1, 0, 1, 2);
    grid->addWidget(m_serial, 2, 0, 1, 2);
    grid->addWidget(m_progress, 3, 0, 1, 2);
    grid->addWidget(m_elapsed, 4, 0);
    grid->addWidget(m_counts, 4, 1, Qt::AlignRight);
    grid->addWidget(m_start, 5, 0);
    grid->addWidget(m_stop, 5, 1);
    grid->setRowStretch(0, 1);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);
}

QString PositionTile::colourClass(const StationModel::Position &position)
{
    using State = StationModel::State;
    switch (position.state()) {
    case State::Upgrading:
        return QStringLiteral("running");
    case State::Passed:
        return QStringLiteral("passed");
    case State::Failed:
    case State::Error:
    case State::Fault:
        return QStringLiteral("failed");
    case State::Waiting:
        // The last module's failure is kept in sight until the next one starts.
        return position.last == ModuleOutcome::Failed || position.last == ModuleOutcome::Error
                   ? QStringLiteral("failed")
                   : QStringLiteral("waiting");
    case State::Idle:
        break;
    }
    return QStringLiteral("idle");
}

QString PositionTile::stateWord(const StationModel::Position &position)
{
    using State = StationModel::State;
    switch (position.state()) {
    case State::Idle:
        return tr("空闲");
    case State::Upgrading:
        return tr("升级中");
    case State::Passed:
        return tr("✓ 通过");
    case State::Fault:
        return position.writeProblem.isEmpty() ? tr("✗ 端口故障") : tr("✗ 未记录");
    case State::Failed:
    case State::Error:
    case State::Waiting:
        break;
    }
    if (position.last == ModuleOutcome::Failed)
        return tr("✗ 失败");
    if (position.last == ModuleOutcome::Error)
        return tr("✗ 错误");
    return tr("等待模块");
}

QString PositionTile::reasonText(const StationModel::Position &position)
{
    using State = StationModel::State;
    QString reason;
    if (position.state() == State::Fault)
        reason =
            position.writeProblem.isEmpty() ? position.portFault.shown() : position.writeProblem;
    else if (position.now.activity == PositionActivity::Upgrading)
        return {};
    else if (position.last == ModuleOutcome::Failed)
        reason = tr("结果 %1").arg(position.lastResult);
    else if (position.last == ModuleOutcome::Error)
        reason = position.lastReason.shown();
    if (!reason.isEmpty() && position.now.activity == PositionActivity::Waiting)
        reason += QLatin1Char('\n') + tr("等待下一个模块");
    if (position.heldForSerial())
        reason += (reason.isEmpty() ? QString() : QStringLiteral("\n")) + tr("请扫描模块序列号");
    return reason;
}

void PositionTile::display(const StationModel::Position &position, qint64 imageSize, bool canStart)
{
    const QString look = colourClass(position);
    if (m_block->property("look").toString() != look) {
        m_block->setProperty("look", look);
        m_block->setStyleSheet(QLatin1String(BlockStyle)); // the labels inside follow
    }
    const int percent =
        imageSize > 0
            ? int(qBound(qint64(0), position.now.servedBytes * 100 / imageSize, qint64(100)))
            : 0;
    m_name->setText(position.setup.label);
    m_word->setText(position.now.activity == PositionActivity::Upgrading
                        ? tr("升级中 %1%").arg(percent)
                        : stateWord(position));
    m_reason->setText(reasonText(position));
    m_block->setToolTip(m_reason->text());
    m_port->setText(position.setup.port);
    m_port->setToolTip(position.setup.port);
    m_progress->setValue(percent);
    m_progress->setFormat(tr("%1%  %2 / %3 KiB")
                              .arg(percent)
                              .arg(position.now.servedBytes / 1024)
                              .arg(imageSize / 1024));
    m_progress->setToolTip(tr("%1 / %2 字节").arg(position.now.servedBytes).arg(imageSize));
    m_elapsed->setText(tr("%1 秒").arg(position.now.elapsedMs / 1000.0, 0, 'f', 1));
    m_counts->setText(tr("通过 %1 失败 %2").arg(position.passed).arg(position.failed));
    // A position that has ended its module takes the next one at once, its port gone or not.
    const bool ready = position.now.activity == PositionActivity::Stopped ||
                       position.now.activity == PositionActivity::Ended;
    m_start->setEnabled(ready && canStart && !position.heldForSerial());
    m_stop->setEnabled(position.now.activity != PositionActivity::Stopped);
    showSerial(position);
    fitTexts();
}

// The field shows the serial the serving side holds: the module's while it is upgraded, then
// the next one's, empty until it is scanned. What is being typed is left alone until Enter.
void PositionTile::showSerial(const StationModel::Position &position)
{
    m_serial->setVisible(position.serialScan != SerialScan::Off);
    const bool upgrading = position.now.activity == PositionActivity::Upgrading;
    m_serial->setReadOnly(upgrading);
    const QString held = upgrading ? position.now.moduleSerial : position.now.scannedSerial;
    if (upgrading || !m_serial->isModified() || m_serial->text().trimmed() == held)
        m_serial->setText(held);
}

void PositionTile::resizeEvent(QResizeEvent *event)
{
    QFrame::resizeEvent(event);
    fitTexts();
}

// The word takes what the block has room for; the name and the reason less.
void PositionTile::fitTexts()
{
    const int width = m_block->width() - 10;
    const int height = m_block->height();
    fitLabel(m_name, qMax(14, height / 5), width);
    fitLabel(m_word, height * 2 / 5, width);
    QFont reasonFont = m_reason->font();
    reasonFont.setPixelSize(qBound(11, height / 10, 22));
    m_reason->setFont(reasonFont);
}
