// libFuzzer target: arbitrary byte streams, cut into arbitrary chunks, go through an upgrade
// sequence's receive path and command handler exactly as its serial link would deliver them.
// What the sequence sends and reports is checked against a model written from the protocol's
// rules, not from the program's reader.
//
// Input format: a sequence of chunks, each a length byte L followed by L + 1 bytes (the last
// chunk may be shorter). So "\x05\r\nOK\r\n" is the module's OK reply as one chunk.

#include "ptypair.h"
#include "upgradesequence.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QMetaEnum>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {

const QByteArray OkReply = QByteArrayLiteral("\r\nOK\r\n");
const QByteArray Header = QByteArrayLiteral("\xAA\x55");
constexpr int HeaderAndLength = 4;
constexpr int CrcSize = 2;
constexpr int RequestSize = 8; // address u32, count u32
// The length field (u16) counts the opcode, the echoed request and the slice.
constexpr qint64 LargestSlice = 0xFFFF - 1 - RequestSize;

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
    QByteArray frame = Header;
    frame.append(char(length & 0xFF)).append(char(length >> 8)).append(char(opcode));
    frame.append(payload);
    const uint16_t crc = referenceCrc(frame);
    return frame.append(char(crc & 0xFF)).append(char(crc >> 8));
}

quint32 u32At(const QByteArray &bytes, int offset)
{
    quint32 value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | uint8_t(bytes[offset + i]);
    return value;
}

// The protocol's receive rules as rules of where a frame may be found in the bytes received:
// - until the module's OK has come, each chunk is text; the OK as one chunk is no frame byte,
//   every other chunk is frame bytes as well;
// - a frame is AA 55, a length L (u16 LE) of at least 1, L bytes of opcode and payload, and
//   the CRC (u16 LE) of all before it; a CRC that does not match drops the frame;
// - the search for AA 55 starts at the first byte after the previous frame, or after the
//   length of a header whose length was 0.
// So a stray AA before AA 55 is skipped, and an AA followed by anything else is no header.
struct Model
{
    struct Frame
    {
        QByteArray bytes;
        bool crcMatches;
        int end; // in the stream, just after its CRC
    };

    bool textPhase = true;
    QByteArray stream; // every frame byte so far
    int searchFrom = 0;

    QVector<Frame> take(const QByteArray &chunk)
    {
        if (textPhase && chunk == OkReply) {
            textPhase = false;
            return {};
        }
        stream += chunk;
        QVector<Frame> found;
        for (;;) {
            const int at = stream.indexOf(Header, searchFrom);
            if (at < 0) {
                searchFrom = qMax(searchFrom, stream.size() - 1); // an AA may end the stream
                break;
            }
            if (at + HeaderAndLength > stream.size())
                break;
            const int length = uint8_t(stream[at + 2]) | uint8_t(stream[at + 3]) << 8;
            if (length == 0) {
                searchFrom = at + HeaderAndLength;
                continue;
            }
            const int end = at + HeaderAndLength + length + CrcSize;
            if (end > stream.size())
                break;
            const QByteArray bytes = stream.mid(at, end - at);
            const uint16_t sent =
                uint16_t(uint8_t(bytes[bytes.size() - 2]) | uint8_t(bytes[bytes.size() - 1]) << 8);
            found.append({bytes, referenceCrc(bytes.left(bytes.size() - CrcSize)) == sent, end});
            searchFrom = end;
        }
        return found;
    }
};

// What the sequence is expected to do, or did, for one input.
struct Outcome
{
    QVector<QByteArray> sent;
    int received = 0;
    int dropped = 0;
    QVector<int> results;
    QVector<qint64> slices; // ends of the slices that moved the progress
    QStringList phases;     // as they changed
    int requests = 0;
    qint64 servedBytes = 0;

    bool operator==(const Outcome &o) const
    {
        return sent == o.sent && received == o.received && dropped == o.dropped &&
               results == o.results && slices == o.slices && phases == o.phases;
    }
};

// The answer the rules give to one valid frame from the module, and the phase it leads to.
void expectAnswer(const QByteArray &frame, const QByteArray &image, QString &phase,
                  Outcome &expected)
{
    ++expected.received;
    const uint8_t opcode = uint8_t(frame[4]);
    const QByteArray payload = frame.mid(5, frame.size() - 5 - CrcSize);
    if (opcode == 0x01) {
        expected.sent.append(referenceFrame(0x01, QByteArray::fromHex("00C20100")));
    } else if (opcode == 0x02 && payload.size() >= RequestSize) {
        const qint64 address = u32At(payload, 0), count = u32At(payload, 4);
        const qint64 size =
            address < image.size() ? std::min({count, image.size() - address, LargestSlice}) : 0;
        expected.sent.append(
            referenceFrame(0x02, payload.left(RequestSize) + image.mid(int(address), int(size))));
        ++expected.requests;
        if (phase == QLatin1String("StartFrameSent")) // the first request: serving from now on
            expected.phases << (phase = QStringLiteral("Serving"));
        if (size > 0 && address + size > expected.servedBytes) {
            expected.servedBytes = address + size;
            expected.slices.append(address + size);
        }
    } else if (opcode == 0x03 && !payload.isEmpty()) {
        expected.results.append(uint8_t(payload[0]));
        if (phase != QLatin1String("ReturningToChosenRate"))
            expected.phases << (phase = QStringLiteral("ReturningToChosenRate"));
    }
}

[[noreturn]] void fail(const char *what)
{
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
}

void show(const char *label, const Outcome &o)
{
    fprintf(stderr, "%s: %d received, %d dropped, %d results, %d slices, phases %s\n", label,
            o.received, o.dropped, int(o.results.size()), int(o.slices.size()),
            qPrintable(o.phases.join(' ')));
    for (const QByteArray &frame : o.sent)
        fprintf(stderr, "  sent %s\n", frame.toHex(' ').constData());
}

PtyPair *line;
UpgradeSequence *sequence;
QByteArray image;
Outcome observed;
int writeErrors = 0;
QString linkTrouble;  // the log line that said why the link failed
int resultsSoFar = 0; // over all inputs: each may return to the chosen rate once
int returnsSoFar = 0;

void watch(UpgradeSequence &s)
{
    QObject::connect(&s, &UpgradeSequence::logged, [](const LogEntry &entry) {
        const QString &text = entry.text;
        if (entry.kind == LogEntry::Kind::Sent)
            observed.sent.append(entry.bytes);
        else if (text.startsWith(QStringLiteral("串口写入失败")))
            ++writeErrors;
        if (text.startsWith(QStringLiteral("串口")) ||
            text.startsWith(QStringLiteral("切波特率失败")))
            linkTrouble = text;
    });
    QObject::connect(&s, &UpgradeSequence::frameReceived, [] { ++observed.received; });
    QObject::connect(&s, &UpgradeSequence::frameDropped, [] { ++observed.dropped; });
    QObject::connect(&s, &UpgradeSequence::resultReported,
                     [](uint8_t result) { observed.results.append(result); });
    QObject::connect(&s, &UpgradeSequence::sliceServed,
                     [](qint64 end) { observed.slices.append(end); });
    QObject::connect(&s, &UpgradeSequence::phaseChanged, [](UpgradeSequence::Phase phase) {
        observed.phases << QMetaEnum::fromType<UpgradeSequence::Phase>().valueToKey(int(phase));
    });
    QObject::connect(&s, &UpgradeSequence::returnedToChosenRate, [] { ++returnsSoFar; });
}

} // namespace

class ReceiveFuzzHarness
{
public:
    // As after the start frame: the text phase, no partial frame, nothing served yet.
    static void beginInput(UpgradeSequence &s)
    {
        s.packetMode = 0;
        s.reader.reset();
        s.m_phase = UpgradeSequence::Phase::StartFrameSent;
        s.m_figures = {};
        s.m_figures.imageSize = s.ufwFileData.size();
    }
    static void feed(UpgradeSequence &s, const QByteArray &chunk) { s.SerialPortReadData(chunk); }
};

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    new QCoreApplication(*argc, *argv);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    line = new PtyPair;
    if (!line->open())
        fail("no pty");
    // The far end reads all the time, as a module reads its line.
    std::thread([fd = line->masterFd()] {
        char sink[65536];
        for (pollfd readable{fd, POLLIN, 0};;) {
            if (::poll(&readable, 1, -1) > 0 && ::read(fd, sink, sizeof sink) < 0 &&
                errno != EAGAIN)
                return;
        }
    }).detach();
    sequence = new UpgradeSequence;
    watch(*sequence);
    if (!sequence->OpenComPorts(line->slavePath(), QStringLiteral("115200")))
        fail("port did not open");
    image.resize(70000); // larger than the largest slice a reply can carry
    for (int i = 0; i < image.size(); ++i)
        image[i] = char((i * 131 + (i >> 8)) & 0xFF);
    sequence->setImage(image);
    return 0;
}

namespace {

// Where each frame byte of the stream came from: chunk and offset.
using StreamMap = QVector<QPair<int, int>>;

// Feeds the chunks to the sequence as its link would and to the model, and checks that they
// agree. Returns the frames the model dropped for their CRC; `map` tells where they lie.
QVector<Model::Frame> feedAndCheck(const QVector<QByteArray> &chunks, StreamMap &map)
{
    ReceiveFuzzHarness::beginInput(*sequence);
    observed = {};
    Model model;
    Outcome expected;
    QString phase = QStringLiteral("StartFrameSent");
    QVector<Model::Frame> dropped;
    for (int c = 0; c < chunks.size(); ++c) {
        ReceiveFuzzHarness::feed(*sequence, chunks.at(c));
        const int before = model.stream.size();
        const QVector<Model::Frame> frames = model.take(chunks.at(c));
        for (int offset = 0; offset < model.stream.size() - before; ++offset)
            map.append({c, offset});
        for (const Model::Frame &frame : frames) {
            if (frame.crcMatches) {
                expectAnswer(frame.bytes, image, phase, expected);
            } else {
                ++expected.dropped;
                dropped.append(frame);
            }
        }
    }

    if (!(observed == expected)) {
        show("observed", observed);
        show("expected", expected);
        fail("the sequence differs from the model");
    }
    const UpgradeFigures figures = sequence->figures();
    if (figures.requests != expected.requests || figures.crcErrors != expected.dropped ||
        figures.servedBytes != expected.servedBytes)
        fail("figures differ from the model");
    if (writeErrors != 0 || !sequence->isOpen()) {
        fprintf(stderr, "%d write errors, link %s: %s\n", writeErrors,
                sequence->isOpen() ? "open" : "closed", qPrintable(linkTrouble));
        fail("the link failed");
    }

    // Let the port write out and the timers run.
    resultsSoFar += expected.results.size();
    QCoreApplication::processEvents();
    if (returnsSoFar > resultsSoFar)
        fail("return to the chosen rate without a valid result frame");
    return dropped;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QVector<QByteArray> chunks;
    for (size_t at = 0; at < size;) {
        const size_t length = std::min<size_t>(size_t(data[at]) + 1, size - at - 1);
        chunks.append(QByteArray(reinterpret_cast<const char *>(data + at + 1), int(length)));
        at += length + 1;
    }
    StreamMap map;
    const QVector<Model::Frame> dropped = feedAndCheck(chunks, map);
    if (dropped.isEmpty())
        return 0;
    // Once more with every dropped frame's CRC made right, so that frames of every shape get
    // answered without the fuzzer having to find their CRCs. The frames stay where they were.
    for (const Model::Frame &frame : dropped) {
        const uint16_t crc = referenceCrc(frame.bytes.left(frame.bytes.size() - CrcSize));
        for (int k = 0; k < CrcSize; ++k) {
            const auto [chunk, offset] = map.at(frame.end - CrcSize + k);
            chunks[chunk][offset] = char(crc >> (8 * k));
        }
    }
    map.clear();
    feedAndCheck(chunks, map);
    return 0;
}
