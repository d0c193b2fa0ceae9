// libFuzzer target: arbitrary byte streams, cut into arbitrary chunks, go through the window's
// receive path and command handler exactly as the port's readyRead would deliver them. Every
// reply the window sends is checked against an independent model of the protocol.
//
// Input format: a sequence of chunks, each a length byte L followed by L + 1 bytes (the last
// chunk may be shorter). So "\x05\r\nOK\r\n" is the module's OK reply as one chunk.

#include "mainwindow.h"
#include "ptypair.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QTextBrowser>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

const QByteArray OkReply = QByteArrayLiteral("\r\nOK\r\n");
const QByteArray BaudReply = QByteArray::fromHex("AA550500"
                                                 "0100C20100"
                                                 "5CDC");
constexpr qint64 MaxSlice = 65526;

// CRC-16/XMODEM again, table-driven, so the model does not share the code it checks.
uint16_t referenceCrc(const QByteArray &bytes)
{
    static const auto table = [] {
        std::array<uint16_t, 256> t{};
        for (int i = 0; i < 256; ++i) {
            uint16_t crc = uint16_t(i << 8);
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
            t[size_t(i)] = crc;
        }
        return t;
    }();
    uint16_t crc = 0;
    for (const char byte : bytes)
        crc = uint16_t((crc << 8) ^ table[((crc >> 8) ^ uint8_t(byte)) & 0xFF]);
    return crc;
}

QByteArray referenceFrame(uint8_t opcode, const QByteArray &payload)
{
    const int length = payload.size() + 1;
    QByteArray frame;
    frame.append(char(0xAA)).append(char(0x55)).append(char(length & 0xFF));
    frame.append(char(length >> 8)).append(char(opcode)).append(payload);
    const uint16_t crc = referenceCrc(frame);
    return frame.append(char(crc & 0xFF)).append(char(crc >> 8));
}

bool wellFormed(const QByteArray &frame)
{
    if (frame.size() < 7 || uint8_t(frame[0]) != 0xAA || uint8_t(frame[1]) != 0x55)
        return false;
    const int length = uint8_t(frame[2]) | uint8_t(frame[3]) << 8;
    if (length + 6 != frame.size())
        return false;
    const uint16_t crc =
        uint16_t(uint8_t(frame[frame.size() - 2]) | uint8_t(frame[frame.size() - 1]) << 8);
    return referenceCrc(frame.left(frame.size() - 2)) == crc;
}

// The receive rules, restated: the OK handshake as one chunk in the text phase; then
// AA 55, a length of at least 1, opcode and payload, two CRC bytes. A second AA where the 55
// is awaited starts the header anew; any other wrong second header byte restarts the search.
struct ReferenceReceiver
{
    bool framePhase = false;
    int state = 0;
    int length = 0;
    int count = 0;
    QByteArray frame;

    QVector<QByteArray> feed(const QByteArray &chunk)
    {
        QVector<QByteArray> frames;
        if (!framePhase && chunk == OkReply) {
            framePhase = true;
            return frames;
        }
        for (const char c : chunk) {
            const uint8_t b = uint8_t(c);
            switch (state) {
            case 0:
                frame.clear();
                if (b == 0xAA) {
                    frame.append(c);
                    state = 1;
                }
                break;
            case 1:
                if (b == 0xAA) {
                    frame = QByteArray(1, c);
                    break;
                }
                state = b == 0x55 ? 2 : 0;
                frame.append(c);
                break;
            case 2:
                frame.append(c);
                state = 3;
                break;
            case 3:
                frame.append(c);
                length = uint8_t(frame[2]) | b << 8;
                count = 0;
                state = length == 0 ? 0 : 4;
                break;
            case 4:
            case 5:
                frame.append(c);
                ++count;
                state = count == length ? 6 : 5;
                break;
            case 6:
                frame.append(c);
                state = 7;
                break;
            case 7:
                frame.append(c);
                frames.append(frame);
                state = 0;
                break;
            }
        }
        return frames;
    }
};

struct Capture
{
    QVector<QByteArray> sent; // buffers the window wrote, from their hex lines
    int successes = 0;        // "升级成功！" debug lines
    int baudResets = 0;       // the delayed return to the user's rate after a result
    int writeErrors = 0;
} capture;

void captureMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    static const QString sentPrefix = QStringLiteral("Hex string: \"MCU->RW47HN: [");
    if (message.startsWith(sentPrefix)) {
        const QString hex = message.mid(sentPrefix.size()).chopped(2); // drop ]"
        capture.sent.append(QByteArray::fromHex(hex.toLatin1()));
    } else if (message == QStringLiteral("升级成功！")) {
        ++capture.successes;
    } else if (message.startsWith(QStringLiteral("<<<reset buadrate: "))) {
        ++capture.baudResets;
    } else if (message == QStringLiteral("Serial Written Error.")) {
        ++capture.writeErrors;
    }
}

[[noreturn]] void fail(const char *what, const QByteArray &detail = {})
{
    fprintf(stderr, "invariant broken: %s %s\n", what, detail.toHex(' ').constData());
    abort();
}

QApplication *application;
PtyPair *line;
MainWindow *window;
QByteArray image;
qint64 resultFramesSoFar = 0;

} // namespace

class ReceiveFuzzHarness
{
public:
    static void startUpgrade(MainWindow &w)
    {
        UpgradeSession &s = w.upgradeSession();
        s.packetMode = 0;
        s.rxState = 0;
        s.rxCount = 0;
        s.rxFrame.clear();
        s.ufwFileData = image;
    }
    static void feed(MainWindow &w, const QByteArray &chunk)
    {
        w.upgradeSession().handleReceivedChunk(chunk);
    }
    static bool linkOpen(MainWindow &w) { return w.upgradeSession().isOpen(); }
};

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    application = new QApplication(*argc, *argv);
    qInstallMessageHandler(captureMessage);
    line = new PtyPair;
    if (!line->open())
        fail("no pty");
    window = new MainWindow;
    auto *ports = window->findChild<QComboBox *>(QStringLiteral("comboBox"));
    ports->addItem(line->slavePath());
    ports->setCurrentIndex(ports->count() - 1);
    window->findChild<QAbstractButton *>(QStringLiteral("pushButton"))->click();
    if (!ReceiveFuzzHarness::linkOpen(*window))
        fail("port did not open");
    image.resize(70000); // larger than the largest slice a reply can carry
    for (int i = 0; i < image.size(); ++i)
        image[i] = char((i * 131 + (i >> 8)) & 0xFF);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    window->findChild<QTextBrowser *>(QStringLiteral("textBrowser"))->clear();
    ReceiveFuzzHarness::startUpgrade(*window);
    capture.sent.clear();
    capture.successes = 0;
    ReferenceReceiver reference;
    QVector<QByteArray> expected;
    int expectedSuccesses = 0;
    int expectedResults = 0;
    int expectedCrcErrors = 0;

    for (size_t at = 0; at < size;) {
        const size_t length = std::min<size_t>(size_t(data[at]) + 1, size - at - 1);
        const QByteArray chunk(reinterpret_cast<const char *>(data + at + 1), int(length));
        at += length + 1;
        ReceiveFuzzHarness::feed(*window, chunk);
        for (const QByteArray &frame : reference.feed(chunk)) {
            if (!wellFormed(frame)) {
                ++expectedCrcErrors;
                continue;
            }
            const uint8_t opcode = uint8_t(frame[4]);
            const QByteArray payload = frame.mid(5, frame.size() - 7);
            if (opcode == 0x01) {
                expected.append(BaudReply);
            } else if (opcode == 0x02 && payload.size() >= 8) {
                const auto u32 = [&](int offset) {
                    quint32 value = 0;
                    for (int i = 3; i >= 0; --i)
                        value = value << 8 | uint8_t(payload[offset + i]);
                    return qint64(value);
                };
                const qint64 address = u32(0), count = u32(4);
                const qint64 served = address < image.size()
                                          ? std::min({count, image.size() - address, MaxSlice})
                                          : 0;
                expected.append(
                    referenceFrame(0x02, payload.left(8) + image.mid(int(address), int(served))));
            } else if (opcode == 0x03 && !payload.isEmpty()) {
                ++expectedResults;
                expectedSuccesses += payload[0] == 0 ? 1 : 0;
            }
        }
    }

    if (capture.sent != expected) {
        for (const QByteArray &sent : capture.sent)
            fprintf(stderr, "sent     %s\n", sent.toHex(' ').constData());
        for (const QByteArray &frame : expected)
            fprintf(stderr, "expected %s\n", frame.toHex(' ').constData());
        fail("replies differ from the model");
    }
    for (const QByteArray &sent : capture.sent) {
        if (!wellFormed(sent))
            fail("malformed reply", sent);
    }
    if (capture.successes != expectedSuccesses)
        fail("success reported without a valid result frame");
    const QString log =
        window->findChild<QTextBrowser *>(QStringLiteral("textBrowser"))->toPlainText();
    if (log.count(QStringLiteral("CRC校验错误，丢弃该帧")) != expectedCrcErrors)
        fail("CRC errors not reported one for one");
    if (capture.writeErrors != 0 || !ReceiveFuzzHarness::linkOpen(*window))
        fail("the link failed");

    // Let the port write out, and empty the far end so the line never fills up.
    resultFramesSoFar += expectedResults;
    QCoreApplication::processEvents();
    char sink[65536];
    while (read(line->masterFd(), sink, sizeof sink) > 0) {
    }
    if (capture.baudResets > resultFramesSoFar)
        fail("return to the user's rate without a valid result frame");
    return 0;
}
