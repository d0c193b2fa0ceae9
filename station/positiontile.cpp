// One position of the station window.

#include "positiontile.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>

namespace {

const char *const BlockStyle = "QLabel[outcome=\"idle\"] { background: #9e9e9e; }"
                               "QLabel[outcome=\"running\"] { background: #1e63c8; }"
                               "QLabel[outcome=\"passed\"] { background: #1b9e3e; }"
                               "QLabel[outcome=\"failed\"] { background: #d32f2f; }"
                               "QLabel { color: white; font-size: 18pt; font-weight: bold; }";

} // namespace

PositionTile::PositionTile(int index, QWidget *parent)
    : QFrame(parent), m_index(index), m_block(new QLabel(this)), m_port(new QLabel(this)),
      m_state(new QLabel(this)), m_progress(new QProgressBar(this)), m_elapsed(new QLabel(this)),
      m_counts(new QLabel(this)), m_start(new QPushButton(tr("开始"), this)),
      m_stop(new QPushButton(tr("停止"), this))
{
    setFrameShape(QFrame::StyledPanel);
    setObjectName(QStringLiteral("position%1").arg(index + 1));
    m_block->setObjectName(QStringLiteral("block"));
    m_state->setObjectName(QStringLiteral("state"));
    m_start->setObjectName(QStringLiteral("start"));
    m_stop->setObjectName(QStringLiteral("stop"));
    m_block->setAlignment(Qt::AlignCenter);
    m_block->setMinimumHeight(48);
    m_block->setStyleSheet(QLatin1String(BlockStyle));
    m_block->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    m_block->setFixedWidth(64);
    m_state->setWordWrap(true);
    m_progress->setTextVisible(true);
    // Sixteen tiles side by side on a 1366-pixel screen: long texts are cut, not the grid
    // widened; the tooltips hold them whole.
    for (QWidget *widget : {static_cast<QWidget *>(m_port), static_cast<QWidget *>(m_state),
                            static_cast<QWidget *>(m_progress)})
        widget->setSizePolicy(QSizePolicy::Ignored, widget->sizePolicy().verticalPolicy());
    for (QPushButton *button : {m_start, m_stop}) {
        button->setFocusPolicy(Qt::NoFocus); // Space starts every idle position, not a button
        button->setMinimumWidth(40);
        button->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    }
    layOut();
    connect(m_start, &QPushButton::clicked, this, [this] { emit startPressed(m_index); });
    connect(m_stop, &QPushButton::clicked, this, [this] { emit stopPressed(m_index); });
}

void PositionTile::layOut()
{
    auto *grid = new QGridLayout(this);
    grid->setContentsMargins(4, 4, 4, 4);
    grid->setSpacing(3);
    grid->addWidget(m_block, 0, 0, 4, 1);
    grid->addWidget(m_port, 0, 1, 1, 2);
    grid->addWidget(m_state, 1, 1, 1, 2);
    grid->addWidget(m_progress, 2, 1, 1, 2);
    auto *figures = new QHBoxLayout;
    figures->addWidget(m_elapsed);
    figures->addWidget(m_counts, 1, Qt::AlignRight);
    grid->addLayout(figures, 3, 1, 1, 2);
    grid->addWidget(m_start, 4, 1);
    grid->addWidget(m_stop, 4, 2);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(2, 1);
}

QString PositionTile::stateText(const StationModel::Position &position)
{
    using State = StationModel::State;
    switch (position.state()) {
    case State::Idle:
        return tr("空闲");
    case State::Waiting:
        return tr("等待模块");
    case State::Upgrading:
        return tr("升级中");
    case State::Passed:
        return tr("通过");
    case State::Failed:
        return tr("失败: 结果 %1").arg(position.lastResult);
    case State::Error:
        return tr("错误: %1").arg(position.lastReason.shown());
    case State::Fault:
        if (!position.writeProblem.isEmpty())
            return position.writeProblem;
        return tr("端口故障: %1").arg(position.portFault.shown());
    }
    return {};
}

QString PositionTile::colourClass(const StationModel::Position &position)
{
    if (position.now.activity == PositionActivity::Upgrading)
        return QStringLiteral("running");
    if (position.state() == StationModel::State::Fault)
        return QStringLiteral("failed");
    switch (position.last) {
    case ModuleOutcome::Passed:
        return QStringLiteral("passed");
    case ModuleOutcome::Failed:
    case ModuleOutcome::Error:
        return QStringLiteral("failed");
    case ModuleOutcome::None:
        break;
    }
    return QStringLiteral("idle");
}

void PositionTile::display(const StationModel::Position &position, qint64 imageSize, bool canStart)
{
    m_block->setText(position.setup.label);
    const QString colour = colourClass(position);
    if (m_block->property("outcome").toString() != colour) {
        m_block->setProperty("outcome", colour);
        m_block->style()->unpolish(m_block);
        m_block->style()->polish(m_block);
    }
    m_port->setText(position.setup.port);
    m_port->setToolTip(position.setup.port);
    m_state->setText(stateText(position));
    m_state->setToolTip(m_state->text());
    const int percent =
        imageSize > 0
            ? int(qBound(qint64(0), position.now.servedBytes * 100 / imageSize, qint64(100)))
            : 0;
    m_progress->setValue(percent);
    m_progress->setFormat(tr("%1%  %2 / %3 KiB")
                              .arg(percent)
                              .arg(position.now.servedBytes / 1024)
                              .arg(imageSize / 1024));
    m_progress->setToolTip(tr("%1 / %2 字节").arg(position.now.servedBytes).arg(imageSize));
    m_elapsed->setText(tr("%1 秒").arg(position.now.elapsedMs / 1000.0, 0, 'f', 1));
    m_counts->setText(tr("通过 %1 失败 %2").arg(position.passed).arg(position.failed));
    const bool stopped = position.now.activity == PositionActivity::Stopped;
    m_start->setEnabled(stopped && canStart);
    m_stop->setEnabled(!stopped);
}
