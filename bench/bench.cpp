// rw47hn-bench: runs whole upgrades of the headless window against rw47hn-sim over a pty and
// prints how long the window takes to answer, how fast it can serve, how close it keeps to
// the line's own time, how much memory it needs, and how late the window's own timers run.
//
// Each upgrade runs in a child process of its own (so its peak memory is its own):
//   rw47hn-bench                   every table
//   rw47hn-bench --quick           small images; the large-image table with 64 MiB only
//   rw47hn-bench --large           the large-image table only
//   rw47hn-bench --precise         the window beside an instant responder at 115200 only
//   rw47hn-bench --turnaround      the window's turnaround at 1,000,000 baud beside the
//                                  responder's, with and without debug output, only
//   --precise and --turnaround also run the window through ser2net (rfc2217://, loopback)
//   in front of the same simulator, without debug output
//   --busy-cores                   keeps every core busy at the lowest priority (SCHED_IDLE)
//                                  while the tables run, so that no core sleeps
//   --rounds N                     --precise runs N rounds, each the responder and the window
//                                  one after the other; the cost is the median of the rounds'
//                                  own differences
//   rw47hn-bench --run MODE SIZE CHUNK WHO   one upgrade; MODE is turnaround, headroom, line
//                                  or precise; WHO is window, ser2net or responder
//   --debug-output null|pipe|off   where the window's Qt debug output goes: to /dev/null (the
//                                  default), into a pipe this process reads as a terminal
//                                  would, or nowhere, as it is not made at all; --precise then
//                                  runs the window once with it off and once into the pipe

#include "commandhandler.h"
#include "framereader.h"
#include "protocol.h"
#include "testsupport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr double Ceiling115200 = 11520.0; // payload bytes per second at 115200 baud, 8N1

// The figures of one JSON object, all of them whole numbers.
QMap<QString, qint64> parseStats(const QByteArray &json)
{
    QMap<QString, qint64> stats;
    const QJsonObject object = QJsonDocument::fromJson(json).object();
    for (auto it = object.begin(); it != object.end(); ++it)
        stats.insert(it.key(), it.value().toVariant().toLongLong());
    return stats;
}

// Written a mebibyte at a time: a whole 256 MiB image in memory would count in the peak RSS.
QString writeRandomFile(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    QRandomGenerator generator(99);
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (qint64 left = size; left > 0; left -= block.size()) {
        const int count = int(qMin<qint64>(left, block.size()));
        generator.fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
        file.write(block.constData(), count);
    }
    return path;
}

// How late a 10 ms timer in the GUI thread runs: whatever holds the GUI thread shows here.
class LatenessProbe : public QObject
{
public:
    LatenessProbe()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 now = m_clock.elapsed();
            worstMs = qMax(worstMs, now - m_last - IntervalMs);
            m_last = now;
        });
        m_clock.start();
        m_timer.start(IntervalMs);
    }
    static constexpr int IntervalMs = 10;
    qint64 worstMs = 0;

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
};

// The window serves the upgrade as a user would start it; returns the probe's worst lateness.
qint64 serveWithWindow(const QString &port, const QString &imagePath, const QString &logFolder,
                       QProcess &sim)
{
    WindowDriver driver;
    driver.window.setLogFolder(logFolder); // the whole log is written, as in daily use
    driver.window.show();                  // painted as on a desk, only offscreen
    driver.selectPort(port);
    driver.clickOpen();
    if (!driver.isOpen())
        return -1;
    driver.chooseFile(imagePath);
    LatenessProbe probe; // from the press on: the image is read while the probe runs
    driver.clickStart();
    // A plain event loop, as the application runs it (QTest's waits poll with sleeps).
    QEventLoop loop;
    QObject::connect(&sim, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
                     &QEventLoop::quit);
    if (sim.state() == QProcess::Running)
        loop.exec();
    return probe.worstMs;
}

void writeAll(int fd, const QByteArray &bytes)
{
    for (int done = 0; done < bytes.size();) {
        const ssize_t count = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (count < 0 && errno != EINTR && errno != EAGAIN)
            return;
        done += int(qMax<ssize_t>(count, 0));
    }
}

// The least a host can do: read, answer with the shared command handler, write. No window,
// no log, no event loop, no rate switches (the simulator paces at a fixed rate here).
void serveWithResponder(const QString &port, const QString &imagePath)
{
    QFile file(imagePath);
    file.open(QIODevice::ReadOnly);
    const QByteArray image = file.readAll();
    const int fd = ::open(QFile::encodeName(port).constData(), O_RDWR | O_NOCTTY);
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    tcsetattr(fd, TCSANOW, &settings);
    writeAll(fd, AtUpgradeCommand + StartFrame);
    FrameReader reader;
    char buffer[1 << 16];
    for (bool done = false; !done;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count <= 0 && errno != EINTR)
            break;
        for (ssize_t i = 0; i < count; ++i) {
            if (!reader.take(uint8_t(buffer[i])) || !reader.completed().crcMatches)
                continue;
            const FrameReader::Received &frame = reader.completed();
            const CommandAnswer answer = answerCommand(frame.opcode(), frame.payload(), image);
            writeAll(fd, answer.reply);
            done = done || answer.next == CommandAnswer::Next::ReportResult;
        }
    }
    ::close(fd);
}

QStringList simArguments(const QString &mode, const QString &imagePath, int chunk)
{
    QStringList arguments = {"--image", imagePath, "--chunk", QString::number(chunk), "--stats"};
    if (mode == "turnaround")
        arguments << "--pace-baud"
                  << "1000000";
    else if (mode == "precise")
        arguments << "--pace-baud"
                  << "115200";
    else if (mode == "line")
        arguments << "--pace";
    return arguments;
}

// ser2net in front of the simulator's pty on a free loopback port, for a window that reaches
// the module through rfc2217://; the URL, or an empty string when it would not start.
QString startDeviceServer(QProcess &server, const QString &device, const QString &folder)
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost))
        return {};
    const quint16 port = probe.serverPort();
    probe.close();
    const QString config = folder + "/ser2net.yaml";
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    // Without chardelay ser2net forwards what the module sends at once instead of waiting
    // for more (at least 1 ms after each byte), as the README's set-up has it.
    file.write(QString("connection: &module\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%1\n"
                       "  connector: serialdev,%2,115200n81,local\n"
                       "  options:\n    chardelay: false\n")
                   .arg(port)
                   .arg(device)
                   .toUtf8());
    file.close();
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start("ser2net", {"-n", "-u", "-c", config, "-P", folder + "/ser2net.pid"});
    if (!server.waitForStarted())
        return {};
    for (int tries = 0; tries < 100; ++tries) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (socket.waitForConnected(100))
            return QString("rfc2217://127.0.0.1:%1").arg(port);
        QThread::msleep(50);
    }
    return {};
}

// One upgrade in this process; prints one "result" line: the simulator's figures as JSON.
int runOne(const QString &mode, qint64 size, int chunk, const QString &who)
{
    QTemporaryDir dir;
    const QString imagePath = writeRandomFile(dir.filePath("bench.ufw"), size);
    QProcess sim;
    sim.setProcessChannelMode(QProcess::SeparateChannels);
    sim.start(QStringLiteral(RW47HN_SIM_PATH), simArguments(mode, imagePath, chunk));
    if (!sim.waitForReadyRead(10000))
        return 2;
    const QByteArray banner = sim.readLine();
    const QString port = QString::fromLocal8Bit(banner.split(' ').value(3)).remove(',');
    QElapsedTimer clock;
    clock.start();
    qint64 lateMs = 0;
    QProcess server;
    if (who == "responder") {
        serveWithResponder(port, imagePath);
        sim.waitForFinished(-1);
    } else if (who == "ser2net") {
        const QString url = startDeviceServer(server, port, dir.path());
        if (url.isEmpty())
            return 2;
        lateMs = serveWithWindow(url, imagePath, dir.path(), sim);
        server.kill();
        server.waitForFinished();
    } else {
        lateMs = serveWithWindow(port, imagePath, dir.path(), sim);
    }
    QJsonObject result;
    for (const QByteArray &line : sim.readAllStandardOutput().split('\n')) {
        if (line.startsWith('{'))
            result = QJsonDocument::fromJson(line).object();
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    result.insert("ok", sim.exitCode() == 0 && result.value("mismatches").toInt() == 0 ? 1 : 0);
    result.insert("peak_rss_kb", qint64(usage.ru_maxrss));
    result.insert("gui_late_ms", lateMs);
    result.insert("wall_ms", clock.elapsed());
    std::printf("result %s\n", QJsonDocument(result).toJson(QJsonDocument::Compact).constData());
    return sim.exitCode();
}

// Threads that keep every core busy at the lowest priority there is, so that no core sleeps:
// a virtual machine's sleeping core takes up to milliseconds to wake, for a request or for
// the simulator's pacing alike, and that, not any host's own work, is most of what moves the
// figures from run to run. Any other thread takes a core from them at once.
class BusyCores
{
public:
    BusyCores()
    {
        for (unsigned i = 0; i < std::thread::hardware_concurrency(); ++i) {
            m_threads.emplace_back([this] {
                const sched_param lowest{};
                pthread_setschedparam(pthread_self(), SCHED_IDLE, &lowest);
                while (!m_stop.load(std::memory_order_relaxed)) {
                }
            });
        }
    }
    ~BusyCores()
    {
        m_stop = true;
        for (std::thread &thread : m_threads)
            thread.join();
    }

private:
    std::atomic<bool> m_stop{false};
    std::vector<std::thread> m_threads;
};

// Where a child's Qt debug output goes.
enum class DebugOutput { Null, Pipe, Off };
DebugOutput windowDebug = DebugOutput::Null;

const char *debugName(DebugOutput output)
{
    return output == DebugOutput::Pipe ? "pipe" : output == DebugOutput::Off ? "off" : "null";
}

// The window's debug lines cost what they cost its user only when someone reads them: from a
// pipe, read here while the child runs, as a terminal would. The responder makes none, as the
// least a host can do.
void routeDebugOutput(QProcess &child, DebugOutput output)
{
    if (output == DebugOutput::Pipe)
        return; // waitForFinished() reads the pipe as the lines come
    child.setStandardErrorFile(QProcess::nullDevice());
    if (output == DebugOutput::Off) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_LOGGING_RULES", "default.debug=false");
        child.setProcessEnvironment(environment);
    }
}

QMap<QString, qint64> runChild(const QString &mode, qint64 size, int chunk,
                               const QString &who = "window", DebugOutput debug = windowDebug)
{
    QProcess child;
    routeDebugOutput(child, who == "responder" ? DebugOutput::Off : debug);
    child.start(QCoreApplication::applicationFilePath(),
                {"--run", mode, QString::number(size), QString::number(chunk), who});
    child.waitForFinished(-1);
    for (const QByteArray &line : child.readAllStandardOutput().split('\n')) {
        if (line.startsWith("result "))
            return parseStats(line.mid(7));
    }
    return {};
}

QString sizeName(qint64 size)
{
    return size >= 1 << 20 ? QString("%1 MiB").arg(size >> 20) : QString("%1 KiB").arg(size >> 10);
}

double ms(qint64 us)
{
    return us / 1000.0;
}

const char *failedMark(bool ok)
{
    return ok ? "" : "  (an upgrade FAILED)";
}

void smallImagesRow(int size, int chunk)
{
    const auto t = runChild("turnaround", size, chunk);
    const auto h = runChild("headroom", size, chunk);
    QMap<QString, qint64> l;
    if (size <= (1 << 20))
        l = runChild("line", size, chunk);
    const double headroom =
        h.value("elapsed_ms") > 0 ? h.value("bytes") * 1000.0 / h.value("elapsed_ms") : 0.0;
    QString line = "-";
    if (!l.isEmpty() && l.value("baud") > 0) {
        const double lineSeconds = l.value("line_bytes") * 10.0 / l.value("baud");
        const double took = l.value("elapsed_ms") / 1000.0;
        line = QString::asprintf("%6.2f/%6.2f %+6.2f%%", took, lineSeconds,
                                 (took / lineSeconds - 1) * 100);
    }
    const qint64 rss =
        std::max({t.value("peak_rss_kb"), h.value("peak_rss_kb"), l.value("peak_rss_kb")});
    std::printf("%-7s %5d | %5.2f  %5.2f  | %5.2f  %5.2f  | %9.0f  %6.1f  | %-24s | %.0f%s\n",
                qPrintable(sizeName(size)), chunk, ms(t.value("first_p50_us")),
                ms(t.value("first_p99_us")), ms(t.value("last_p50_us")), ms(t.value("last_p99_us")),
                headroom, headroom / Ceiling115200, qPrintable(line), rss / 1024.0,
                failedMark(t.value("ok") && h.value("ok") && (l.isEmpty() || l.value("ok"))));
    std::fflush(stdout);
}

void smallImagesTable(bool quick)
{
    QVector<int> sizes = {64 << 10, 1 << 20};
    if (!quick)
        sizes << (8 << 20);
    std::printf("%-7s %5s | %-33s | %-20s | %-24s | %s\n", "image", "slice",
                "turnaround ms @1Mbaud first/last", "headroom", "line efficiency @115200",
                "peak RSS");
    std::printf("%-7s %5s | %-33s | %-20s | %-24s | %s\n", "", "", "p50    p99    | p50    p99",
                "bytes/s    x ceiling", "took/line s   overhead", "MiB");
    for (const int size : sizes) {
        for (const int chunk : {256, 1024, 4096})
            smallImagesRow(size, chunk);
    }
}

// Large images, unpaced, in 4 KiB slices: the window must serve them whole and stay usable.
void largeImagesTable(bool quick)
{
    std::printf("\n%-8s %5s | %8s | %9s | %-12s | %s\n", "image", "slice", "time s", "bytes/s",
                "peak RSS MiB", "GUI timer worst lateness ms");
    QVector<qint64> sizes = {qint64(64) << 20};
    if (!quick)
        sizes << (qint64(256) << 20) << (qint64(512) << 20);
    for (const qint64 size : sizes) {
        const auto r = runChild("headroom", size, 4096);
        const double seconds = r.value("elapsed_ms") / 1000.0;
        std::printf("%-8s %5d | %8.1f | %9.0f | %12.0f | %lld%s\n", qPrintable(sizeName(size)),
                    4096, seconds, seconds > 0 ? r.value("bytes") / seconds : 0.0,
                    r.value("peak_rss_kb") / 1024.0, r.value("gui_late_ms"),
                    failedMark(r.value("ok") && r.value("bytes") == size));
        std::fflush(stdout);
    }
}

// Time over line time, in percent, at the simulator's fixed pace.
double overLine(const QMap<QString, qint64> &r)
{
    const double lineMs = r.value("line_bytes") * 10.0 * 1000.0 / qMax<qint64>(1, r.value("baud"));
    return (r.value("elapsed_ms") / lineMs - 1) * 100;
}

qint64 p99(const QMap<QString, qint64> &r)
{
    return qMax(r.value("first_p99_us"), r.value("last_p99_us"));
}

void preciseRow(int chunk, const char *name, const QMap<QString, qint64> &r)
{
    std::printf("%5d | %-18s | %+12.2f | %13.2f | %13.2f%s\n", chunk, name, overLine(r),
                ms(qMax(r.value("first_p50_us"), r.value("last_p50_us"))), ms(p99(r)),
                failedMark(r.value("ok")));
}

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    const int n = values.size();
    return n == 0 ? 0.0 : n % 2 ? values.at(n / 2) : (values.at(n / 2 - 1) + values.at(n / 2)) / 2;
}

// A host's runs, one per round, each beside the responder's run of the same round.
struct PreciseRuns
{
    QVector<QMap<QString, qint64>> runs;
    QVector<double> costs; // over line time, less the responder's of the same round, in %
};

// One row per host: the median over the rounds. A cost row's figure is the median of each
// round's own difference, which cancels what the machine does over minutes, and its last
// column the spread of those differences.
void preciseHostRow(int chunk, const char *name, const PreciseRuns &host)
{
    QVector<double> over, p50, p99s;
    bool ok = true;
    for (const auto &r : host.runs) {
        over << overLine(r);
        p50 << ms(qMax(r.value("first_p50_us"), r.value("last_p50_us")));
        p99s << ms(p99(r));
        ok = ok && r.value("ok");
    }
    std::printf("%5d | %-18s | %+12.2f | %13.2f | %13.2f%s\n", chunk, name, median(over),
                median(p50), median(p99s), failedMark(ok));
}

void preciseCostRow(int chunk, const char *name, const PreciseRuns &host)
{
    const auto [low, high] = std::minmax_element(host.costs.begin(), host.costs.end());
    std::printf("%5d | %-18s | %+12.2f | %13s | %+6.2f..%+.2f\n", chunk, name, median(host.costs),
                "", *low, *high);
}

// The window beside an instant responder on the same precisely paced 115200 line: the
// difference is the window's own cost. Each round runs the responder and the window one
// after the other; with --debug-output given, the window twice, without debug output and
// with it. The first round also runs the window through ser2net.
void preciseTable(bool quick, bool bothDebugOutputs, int rounds)
{
    const int size = quick ? 32 << 10 : 128 << 10;
    std::printf("\n%s image at 115200, precise pacing, median of %d round(s)\n",
                qPrintable(sizeName(size)), rounds);
    std::printf("%5s | %-18s | %12s | %13s | %13s\n", "slice", "host", "over line %",
                "p50 turn. ms", "p99 turn. ms");
    const QByteArray loudName = QByteArray("window, debug ") + debugName(windowDebug);
    const QByteArray loudCost = QByteArray("cost, debug ") + debugName(windowDebug);
    for (const int chunk : {256, 1024}) {
        PreciseRuns responder, quiet, loud, network;
        const auto beside = [&](PreciseRuns &host, const QString &who, DebugOutput debug) {
            host.runs << runChild("precise", size, chunk, who, debug);
            host.costs << overLine(host.runs.last()) - overLine(responder.runs.last());
        };
        for (int round = 0; round < rounds; ++round) {
            responder.runs << runChild("precise", size, chunk, "responder");
            beside(quiet, "window", bothDebugOutputs ? DebugOutput::Off : windowDebug);
            if (bothDebugOutputs)
                beside(loud, "window", windowDebug);
            if (round == 0)
                beside(network, "ser2net", DebugOutput::Off);
        }
        preciseHostRow(chunk, "responder", responder);
        preciseHostRow(chunk, bothDebugOutputs ? "window, debug off" : "window", quiet);
        if (bothDebugOutputs)
            preciseHostRow(chunk, loudName.constData(), loud);
        preciseCostRow(chunk, bothDebugOutputs ? "cost, debug off" : "window's cost", quiet);
        if (bothDebugOutputs)
            preciseCostRow(chunk, loudCost.constData(), loud);
        preciseRow(chunk, "via ser2net, off", network.runs.first());
        preciseCostRow(chunk, "cost via ser2net", network);
        std::fflush(stdout);
    }
}

void turnaroundRow(qint64 size, int chunk, const char *host, const QMap<QString, qint64> &r)
{
    std::printf("%-7s %5d | %-18s | %5.2f  %5.2f  | %5.2f  %5.2f%s\n", qPrintable(sizeName(size)),
                chunk, host, ms(r.value("first_p50_us")), ms(r.value("first_p99_us")),
                ms(r.value("last_p50_us")), ms(r.value("last_p99_us")), failedMark(r.value("ok")));
}

// The turnaround at 1,000,000 baud of the responder and of the window, one after the other for
// each image and slice, so that a busy machine weighs on all of them alike.
void turnaroundTable(bool quick)
{
    QVector<int> sizes = {64 << 10};
    if (!quick)
        sizes << (1 << 20);
    const QByteArray loud = QByteArray("window, debug ") + debugName(windowDebug);
    std::printf("\n%-7s %5s | %-18s | %-13s | %s\n", "image", "slice", "host", "first 100 ms",
                "last 100 ms");
    std::printf("%-7s %5s | %-18s | %-13s | %s\n", "", "", "", "p50    p99", "p50    p99");
    for (const int size : sizes) {
        for (const int chunk : {256, 1024}) {
            turnaroundRow(size, chunk, "responder",
                          runChild("turnaround", size, chunk, "responder"));
            turnaroundRow(size, chunk, "window, debug off",
                          runChild("turnaround", size, chunk, "window", DebugOutput::Off));
            if (windowDebug != DebugOutput::Off)
                turnaroundRow(size, chunk, loud.constData(),
                              runChild("turnaround", size, chunk, "window", windowDebug));
            turnaroundRow(size, chunk, "via ser2net, off",
                          runChild("turnaround", size, chunk, "ser2net", DebugOutput::Off));
            std::fflush(stdout);
        }
    }
}

// --debug-output null|pipe|off; null when not given.
DebugOutput debugOutputOption(const QStringList &arguments)
{
    const QString value = arguments.value(arguments.indexOf("--debug-output") + 1);
    return value == "pipe"  ? DebugOutput::Pipe
           : value == "off" ? DebugOutput::Off
                            : DebugOutput::Null;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 6 && qstrcmp(argv[1], "--run") == 0) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QApplication app(argc, argv);
        return runOne(argv[2], QByteArray(argv[3]).toLongLong(), QByteArray(argv[4]).toInt(),
                      argv[5]);
    }
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const bool quick = arguments.contains("--quick");
    const bool large = arguments.contains("--large");
    const bool precise = arguments.contains("--precise");
    const bool turnaround = arguments.contains("--turnaround");
    const bool all = !large && !precise && !turnaround;
    const bool debugGiven = arguments.contains("--debug-output");
    windowDebug = debugOutputOption(arguments);
    const int roundsAt = arguments.indexOf("--rounds");
    const int rounds = roundsAt > 0 ? qMax(1, arguments.value(roundsAt + 1).toInt()) : 1;
    std::printf("the window's debug output: %s\n", debugName(windowDebug));
    std::unique_ptr<BusyCores> busy;
    if (arguments.contains("--busy-cores"))
        busy = std::make_unique<BusyCores>();
    std::printf("cores kept busy at the lowest priority: %s\n", busy ? "yes" : "no");
    if (all)
        smallImagesTable(quick);
    if (all || large)
        largeImagesTable(quick);
    if (all || precise)
        preciseTable(quick, debugGiven && windowDebug != DebugOutput::Off, rounds);
    if (all || turnaround)
        turnaroundTable(quick);
    return 0;
}
