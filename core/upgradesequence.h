#pragma once

#include "commandhandler.h"
#include "firmwareimage.h"
#include "framereader.h"
#include "logentry.h"
#include "seriallink.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QMetaType>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <functional>

// What one upgrade has done so far.
struct UpgradeFigures
{
    qint64 imageSize = 0;
    qint64 servedBytes = 0; // highest end of a slice served
    int requests = 0;       // data requests answered
    int crcErrors = 0;      // frames dropped for a wrong CRC
    qint64 elapsedMs = 0;   // from the start to the result, or until now
};
Q_DECLARE_METATYPE(UpgradeFigures)

// One upgrade on one serial link, without widgets: the start sequence, the module's frames
// and their answers, the return to the chosen rate, and the silence watch. Front ends read
// its typed events and show its log entries.
//
// Each successful or failed open begins a port session; the delayed steps of a session end
// with it, and a new start ends the return to the chosen rate that a result has scheduled.
// phase() and entriesProduced() may be read from any thread; everything else belongs to the
// thread the sequence lives in.
class UpgradeSequence : public QObject
{
    Q_OBJECT
    // The fuzzer feeds chunks to the receive path directly, as the link would.
    friend class ReceiveFuzzHarness;

public:
    enum class Phase {
        Idle,                 // no upgrade, or it has ended
        AtSent,               // the AT command is out; the start frame follows
        StartFrameSent,       // the module leads: its OK, its baud-rate request
        Serving,              // its first data request has come, its result has not
        ReturningToChosenRate // the result is in; the line goes back to the user's rate
    };
    Q_ENUM(Phase)

    // The delays of the sequence, each counted from the step named.
    static constexpr int SwitchToUpgradeRateAfterAtMs = 50;
    static constexpr int StartFrameAfterAtMs = 1000;
    static constexpr int SwitchToFastRateAfterReplyMs = 50;
    static constexpr int ChosenRateAfterResultMs = 100;

    explicit UpgradeSequence(QObject *parent = nullptr);

    // Closes the port and ends the port session, if one is open.
    void closePort();
    bool isOpen() const { return portOpen; }
    // Counts the port sessions, from 1; 0 before the first open.
    quint64 session() const { return m_session; }
    QString portName() const { return link->portName(); }
    QString errorString() const { return link->errorString(); }
    // Why the port would not open or reopen, or why it was lost.
    LinkError linkError() const { return link->error(); }

    // The image file and the rate the user has chosen; the rate is used at the start and
    // after the result. An image given as bytes is served as it is, shared, never reloaded.
    void setFirmwarePath(const QString &path) { ufwFilePath = path; }
    void setImage(const QByteArray &image);
    void setChosenRate(quint64 rate) { chosenRate = rate; }
    // Hex lines cost time per frame; a front end that shows no log can do without them.
    void setHexLines(bool enabled) { hexLines = enabled; }
    // How long the module may stay silent before the log says so: after the start frame, and
    // while it leads.
    void setSilenceLimits(int afterStartMs, int inFramesMs);

    // Press of the start button: checks, loads the image and starts the sequence. False when
    // it did not start; the log and the events say why.
    bool startUpgrade();

    Phase phase() const { return m_phase.load(); }
    // Entries emitted so far: an entry's serial is below this count once it has been made, or,
    // for bytes sent, once they have been handed to the port (their entry follows).
    quint64 entriesProduced() const { return m_entries.load(); }
    UpgradeFigures figures() const;

    // ---- Established names: the steps of an upgrade as readers of this code know them ----
    // Opens `portName` at the rate given as text; 1 on success, 0 with the reason logged.
    int OpenComPorts(QString portName, QString baudRateText);
    void changeBaudRate(quint64 baudrate);
    void delaySendStartUpgradeCmd();

private:
    void SerialPortSendData(const QByteArray &data);
    void handleBytesWritten(qint64 bytes);
    void SerialPortReadData(const QByteArray &chunk);
    void processCmdHandler(uint8_t opcode, const QByteArray &payload);
    void UpgradeStartCmdAndChangeBaudRate();
    void ArrayToHexStringAppendTextBrowser(uint8_t flag, const QByteArray &data);

    QString ufwFilePath;
    QByteArray ufwFileData;
    qint32 packetMode = 0; // 0: the text phase, before the module's OK; 1: frames
    qint64 pendingTxBytes = 0;
    bool portOpen = false;
    // ---- end of the established names ----

signals:
    // One entry of the log: traffic or a line of text.
    void logged(const LogEntry &entry);
    // The answer to OpenComPorts(): the port session has begun, or the port did not open.
    void openFinished(bool opened);
    // The port session is over: closed, lost, or failed at a rate switch. Its last event.
    void sessionEnded();
    // A received frame is being answered, and has been: the lines in between belong to it.
    void answeringFrame(bool answering);
    void upgradeStarted(qint64 imageSize);
    void imageRefused(FirmwareImage::Problem problem, const QString &line);
    void startFrameSent();
    // The module sent text before its frames (its answer to the AT command).
    void textReceived(const QByteArray &text);
    // A frame with a valid CRC came in; one with a wrong CRC was dropped.
    void frameReceived();
    void frameDropped();
    void sliceServed(qint64 sliceEnd, qint64 elapsedMs);
    void resultReported(uint8_t result, const UpgradeFigures &figures);
    void returnedToChosenRate();
    // The module has been silent longer than the limit.
    void noAnswer();
    // The link closed by itself: the port went away, or would not reopen at a new rate.
    // `reason` in the installed language; linkError() says it as an error of the port.
    void linkLost(const QString &reason);
    // The port would not reopen at `rate`: linkError() says why.
    void linkClosed(quint64 rate);
    void phaseChanged(UpgradeSequence::Phase phase);

private:
    void log(const QString &line);
    void emitEntry(LogEntry entry);
    void emitEntryAt(LogEntry entry, quint64 serial);
    void placeSentLine();
    void emitFrameLine();
    static bool debugWanted();
    qint64 writeHoldingLoss(const QByteArray &data);
    void reportLossHeldDuringWrite();
    void reportLinkLost(const QString &reason);
    void afterInSession(int ms, const std::function<void()> &step);
    void handleLinkLost(const QString &reason);
    void markClosed(quint64 rate);
    void endSession();
    bool takeText(const QByteArray &chunk);
    void takeFrameByte(uint8_t byte);
    void answerFrame(const FrameReader::Received &frame);
    void recordServed(const CommandAnswer &answer);
    void handleResult(uint8_t result);
    void returnToChosenRate();
    bool loadImage();
    bool switchToChosenRateFirst();
    void setPhase(Phase phase);
    bool awaitingResult() const;
    void restartSilenceWait();
    void showSilenceHint();

    void useLinkFor(const QString &portName);

    Link *link; // a child: a serial port, or a port on a device server, as the name says
    FrameReader reader;
    std::atomic<Phase> m_phase{Phase::Idle};
    std::atomic<quint64> m_entries{0};
    quint64 m_session = 0;
    // Context of the session's delayed steps: deleting it cancels them. The result's own
    // steps are a child, cancelled also by a new start.
    QPointer<QObject> m_sessionSteps;
    QPointer<QObject> m_resultSteps;
    qint64 m_chunkTimeMs = 0; // when the chunk being read arrived
    // The line of the buffer being sent: its place in the log and when it was handed to the
    // port, both taken before the write; the line is made after it.
    struct SentLine
    {
        quint64 serial = 0;
        qint64 timeMs = 0;
    } m_sentLine;
    // The line of the frame being answered: its place and time, taken as it came in; made
    // once the reply is out. Null bytes once made.
    struct FrameLine
    {
        quint64 serial = 0;
        qint64 timeMs = 0;
        QByteArray bytes;
    } m_frameLine;
    bool m_writing = false;          // a buffer is being handed to the port
    bool m_lostWhileWriting = false; // and the port was lost meanwhile, for m_lossReason
    QString m_lossReason;
    bool imageGiven = false; // setImage() was used: no file to load
    quint64 chosenRate = 115200;
    bool hexLines = true;
    UpgradeFigures m_figures;
    QElapsedTimer upgradeClock;
    QTimer silenceTimer;
    int silentAfterStartMs = 3000;
    int silentInFramesMs = 5000;
    int m_silenceLimitMs = 0;  // the limit the running wait counts to
    QElapsedTimer m_lastHeard; // since the start frame or the module's last chunk
    bool silenceHintShown = false;
};
