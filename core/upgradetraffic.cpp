// The upgrade's traffic: every byte out, every chunk in, each frame answered, and the hex lines.

#include "upgradesequence.h"

#include "debughold.h"
#include "protocol.h"

#include <QDebug>
#include <QLoggingCategory>

void UpgradeSequence::SerialPortSendData(const QByteArray &data)
{
    if (!portOpen)
        return;
    // The module waits for these bytes, not for their line: the bytes go to the port first,
    // their line right after, in the place and with the time it had as they were handed over.
    // The place is counted before the write, so that a press that clears the area once the
    // bytes are on the wire clears their line too.
    placeSentLine();
    const qint64 written = writeHoldingLoss(data);
    emitFrameLine(); // the line of the frame this answers comes first
    ArrayToHexStringAppendTextBrowser(1, data);
    reportLossHeldDuringWrite();
    if (written != qint64(data.size())) {
        qDebug() << "Serial Written Error.";
        log(tr("串口写入失败: %1").arg(link->errorString()));
        return;
    }
    pendingTxBytes += data.size();
}

void UpgradeSequence::placeSentLine()
{
    if (hexLines)
        m_sentLine = {m_entries.fetch_add(1), LogEntry::now()};
}

// A port that fails while it takes the bytes is said after their line, in the order the
// module's bytes and the port's fate happened.
qint64 UpgradeSequence::writeHoldingLoss(const QByteArray &data)
{
    m_writing = true;
    const qint64 written = link->write(data);
    m_writing = false;
    return written;
}

void UpgradeSequence::reportLossHeldDuringWrite()
{
    if (!m_lostWhileWriting)
        return;
    m_lostWhileWriting = false;
    reportLinkLost(m_lossReason);
}

void UpgradeSequence::handleBytesWritten(qint64 bytes)
{
    pendingTxBytes -= bytes;
    // A stream line is made in full before Qt looks whether it is wanted: ask first.
    if (debugWanted())
        qDebug() << ">>>bytes: " << pendingTxBytes;
}

// One chunk as the link delivered it: text phase first, then the frame reader.
void UpgradeSequence::SerialPortReadData(const QByteArray &chunk)
{
    if (!portOpen)
        return;
    // The chunk's debug lines wait for the replies it asks for, and then go out as they were.
    const DebugHold debugLinesAfterReplies;
    m_chunkTimeMs = LogEntry::now();
    const bool handshakeEnded = packetMode == 0 && takeText(chunk);
    if (!handshakeEnded) {
        if (debugWanted())
            DebugHold::debugStreamLater("<<<bytes: ", chunk);
        for (const char byte : chunk)
            takeFrameByte(uint8_t(byte));
    }
    restartSilenceWait();
}

// Before the module's OK every chunk is shown as text; the OK alone ends the text phase, and
// is then no frame bytes.
bool UpgradeSequence::takeText(const QByteArray &chunk)
{
    // Shown as text up to the first NUL, as a QString conversion of the bytes would.
    const int textLength = int(qstrnlen(chunk.constData(), uint(chunk.size())));
    log(tr("接收到数据：%1").arg(QString::fromUtf8(chunk.constData(), textLength)));
    emit textReceived(chunk);
    if (chunk == OkReply) {
        log(QString::fromLatin1(OkReply));
        packetMode = 1;
        return true;
    }
    return false;
}

void UpgradeSequence::takeFrameByte(uint8_t byte)
{
    if (!reader.take(byte))
        return;
    emit answeringFrame(true);
    answerFrame(reader.completed());
    emit answeringFrame(false);
}

void UpgradeSequence::answerFrame(const FrameReader::Received &frame)
{
    ArrayToHexStringAppendTextBrowser(0, frame.bytes);
    if (!frame.crcMatches) {
        ++m_figures.crcErrors;
        log(tr("CRC校验错误，丢弃该帧"));
        emit frameDropped();
        return;
    }
    emit frameReceived();
    processCmdHandler(frame.opcode(), frame.payload());
}

void UpgradeSequence::processCmdHandler(uint8_t opcode, const QByteArray &payload)
{
    const CommandAnswer answer = answerCommand(opcode, payload, ufwFileData);
    // The transfer runs from the first data request on: before its reply goes out, so that a
    // press that follows the reply finds it running.
    if (answer.served && m_phase.load() == Phase::StartFrameSent)
        setPhase(Phase::Serving);
    if (!answer.reply.isEmpty())
        SerialPortSendData(answer.reply);
    emitFrameLine();
    if (answer.served)
        recordServed(answer);
    switch (answer.next) {
    case CommandAnswer::Next::SwitchToFastRate:
        afterInSession(SwitchToFastRateAfterReplyMs, [this] { changeBaudRate(FastBaudRate); });
        break;
    case CommandAnswer::Next::ReportResult:
        handleResult(answer.result);
        break;
    case CommandAnswer::Next::Nothing:
        break;
    }
}

void UpgradeSequence::recordServed(const CommandAnswer &answer)
{
    ++m_figures.requests;
    // Repeated requests for the same slice do not count twice: progress is the highest end.
    const qint64 sliceEnd = answer.sliceStart + answer.sliceSize;
    if (answer.sliceSize > 0 && sliceEnd > m_figures.servedBytes) {
        m_figures.servedBytes = sliceEnd;
        emit sliceServed(sliceEnd, upgradeClock.isValid() ? upgradeClock.elapsed() : 0);
    }
}

// Traffic is logged as bytes, at the time it crossed the wire: a buffer when it was handed to
// the port (its line is made once it has been), a frame when its last chunk arrived.
void UpgradeSequence::ArrayToHexStringAppendTextBrowser(uint8_t flag, const QByteArray &data)
{
    if (!hexLines)
        return;
    const auto direction = flag != 0 ? LogEntry::Kind::Sent : LogEntry::Kind::Received;
    if (debugWanted()) // made as the line is written: after the replies of the chunk
        DebugHold::debugLater([direction, data] {
            return QStringLiteral("Hex string: \"%1\"").arg(hexLine(direction, data));
        });
    if (direction == LogEntry::Kind::Received) // its entry once the reply is out
        m_frameLine = {m_entries.fetch_add(1), m_chunkTimeMs, data};
    else // after the write, in the place taken before it
        emitEntryAt(LogEntry::ofTraffic(direction, data, m_sentLine.timeMs), m_sentLine.serial);
}

// The entry of the frame being answered, if it has not been made yet.
void UpgradeSequence::emitFrameLine()
{
    if (m_frameLine.bytes.isNull())
        return;
    const QByteArray bytes = std::exchange(m_frameLine.bytes, QByteArray());
    emitEntryAt(LogEntry::ofTraffic(LogEntry::Kind::Received, bytes, m_frameLine.timeMs),
                m_frameLine.serial);
}

bool UpgradeSequence::debugWanted()
{
    return QLoggingCategory::defaultCategory()->isDebugEnabled();
}
