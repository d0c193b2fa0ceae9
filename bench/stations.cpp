// rw47hn-bench-stations: many modules at once through the headless upgrader, and the
// simulator's own pacing error against an upgrader that answers instantly.
//
//   rw47hn-bench-stations            1, 4 and 16 modules, and one behind a slow adapter
//   rw47hn-bench-stations --quick    the same with a 64 KiB image
//   rw47hn-bench-stations --null     only the pacing check
//   rw47hn-bench-stations --memory   only the memory row: 16 modules, one 16 MiB image
//   rw47hn-bench-stations --sync     only the slow-disk rows: 16 modules that end one after
//                                    another, each appending to --json-lines
//   rw47hn-bench-stations --window   only the station window's rows: 1 and 16 positions in
//                                    the window (offscreen), in this process
//   rw47hn-bench-stations --loop     only the looping row: 1,000 modules through --loop on 16
//                                    ports, the upgrader's memory after the first ten and after
//                                    the last
//   rw47hn-bench-stations --results [--rounds N]
//                                    only the results rows: 16 modules recording into a
//                                    PostgreSQL server of the benchmark's own against recording
//                                    into nothing, alternating, N rounds (3), headless and in
//                                    the station window; each round's figures and the medians
//
// The slow disk is the upgrader's RW47HN_SYNC_DELAY_MS: a test hook, read from the
// environment only, that holds each sync of the JSON lines file that long.
// The modules are simulated in this process, each on its own pty, paced at 115200 baud; the
// upgrader runs as a child, so its CPU time and peak memory are its own. For the station
// window's rows it is the other way round: the window runs here, so that its thread's timer
// can be watched, and each module is a rw47hn-sim of its own.
// Only the results rows record modules anywhere, into a server of their own: every other run
// records into nothing (--results none), never into the default results file of whoever runs
// this. The headless upgrader's data folder is a temporary one all the same.

#include "commandhandler.h"
#include "framereader.h"
#include "modulesimulator.h"
#include "postgresserver.h"
#include "protocol.h"
#include "ptypair.h"
#include "resultsdatabase.h"
#include "stationwindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QUuid>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int LineBaud = 115200;
constexpr int Slice = 1024;

QByteArray randomImage(int size)
{
    QRandomGenerator random(77);
    QByteArray image(size, Qt::Uninitialized);
    for (char &byte : image)
        byte = char(random.bounded(256));
    return image;
}

// Waits in a plain event loop until `done` holds.
template <typename Done> void runUntil(Done done)
{
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

double lineSeconds(const SimStats &stats, int baud)
{
    return stats.lineBytes * 10.0 / baud;
}

// The host side at its fastest: sends the AT command and the start frame, then answers
// every frame at once from memory and never changes the rate.
class NullUpgrader : public QObject
{
public:
    NullUpgrader(const QString &port, const QByteArray &image) : m_image(image)
    {
        m_fd = ::open(QFile::encodeName(port).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios raw{};
        tcgetattr(m_fd, &raw);
        cfmakeraw(&raw);
        tcsetattr(m_fd, TCSANOW, &raw);
        m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &NullUpgrader::answer);
        write(AtUpgradeCommand + StartFrame);
    }
    ~NullUpgrader() override { ::close(m_fd); }

private:
    void answer()
    {
        char buffer[4096];
        const ssize_t count = ::read(m_fd, buffer, sizeof buffer);
        if (count <= 0)
            return;
        for (const FrameReader::Received &frame : m_reader.feed(QByteArray(buffer, int(count)))) {
            if (frame.crcMatches)
                write(answerCommand(frame.opcode(), frame.payload(), m_image).reply);
        }
    }
    void write(const QByteArray &bytes)
    {
        for (int done = 0; done < bytes.size();) {
            const ssize_t count = ::write(m_fd, bytes.constData() + done, bytes.size() - done);
            done += int(qMax<ssize_t>(count, 0));
        }
    }

    int m_fd = -1;
    QByteArray m_image;
    FrameReader m_reader;
    QSocketNotifier *m_notifier = nullptr;
};

void nullUpgraderCheck(const QByteArray &image)
{
    PtyPair pty;
    if (!pty.open())
        qFatal("no pty");
    SimulatorOptions options;
    options.pace = true;
    options.paceBaud = LineBaud;
    ModuleSimulator module(pty, image, options);
    bool finished = false;
    QObject::connect(&module, &ModuleSimulator::finished, [&] { finished = true; });
    NullUpgrader upgrader(pty.slavePath(), image);
    runUntil([&] { return finished; });
    const double line = lineSeconds(module.stats(), LineBaud);
    const double took = module.stats().elapsedMs / 1000.0;
    std::printf("null upgrader: %lld bytes in %.3f s, line time %.3f s, simulator error %+.3f %%\n",
                module.stats().bytesVerified, took, line, (took / line - 1) * 100);
}

// The p-th percentile of `values` (nearest rank).
qint64 percentile(QVector<qint64> values, double p)
{
    if (values.isEmpty())
        return -1;
    std::sort(values.begin(), values.end());
    return values.at(qBound(0, int(std::ceil(p / 100.0 * values.size())) - 1, values.size() - 1));
}

struct HeadlessSetup
{
    int modules = 1;
    int adapterLatencyMs = 0;
    bool pace = true;
    int slice = Slice;
    // Module i expects the first (i + 1) / modules of the image, so that they end one after
    // another while the others are still served.
    bool staggered = false;
    int syncDelayMs = -1; // 0 or more: with --json-lines, each sync held this long
    QString results = QStringLiteral("none"); // --results: nowhere unless the store is measured
};

struct StationRun
{
    double wallSeconds = 0;
    double lineSeconds = 0; // of one module's exchange
    double cpuSeconds = 0;
    long peakRssKb = 0;
    bool allOk = false;
    double lastSeconds = 0; // the module that ends last: its whole exchange
    double lastLineSeconds = 0;
    QVector<qint64> turnaroundUs; // of every module's requests
    int timeouts = 0;
    QVector<double> moduleSeconds; // each module's exchange, as the module saw it
};

double median(QVector<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const int middle = values.size() / 2;
    return values.size() % 2 ? values.at(middle) : (values.at(middle - 1) + values.at(middle)) / 2;
}

StationRun runStations(const QByteArray &image, const HeadlessSetup &setup)
{
    const int modules = setup.modules;
    QTemporaryDir dir;
    const QString imagePath = dir.filePath("bench.ufw");
    QFile file(imagePath);
    file.open(QIODevice::WriteOnly);
    file.write(image);
    file.close();

    std::vector<std::unique_ptr<PtyPair>> lines;
    std::vector<std::unique_ptr<ModuleSimulator>> sims;
    QStringList arguments = {"--headless", "--image", imagePath};
    SimulatorOptions options;
    options.chunk = setup.slice;
    options.pace = setup.pace;
    options.adapterLatencyMs = setup.adapterLatencyMs;
    int finished = 0;
    for (int i = 0; i < modules; ++i) {
        lines.push_back(std::make_unique<PtyPair>());
        if (!lines.back()->open())
            qFatal("no pty");
        const QByteArray expected =
            setup.staggered ? image.left(int(qint64(image.size()) * (i + 1) / modules)) : image;
        sims.push_back(std::make_unique<ModuleSimulator>(*lines.back(), expected, options));
        QObject::connect(sims.back().get(), &ModuleSimulator::finished, [&] { ++finished; });
        arguments << "--port" << lines.back()->slavePath();
    }
    rusage before{};
    getrusage(RUSAGE_CHILDREN, &before);
    QProcess upgrader;
    upgrader.setStandardErrorFile(QProcess::nullDevice()); // its progress lines
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_DATA_HOME", dir.filePath("data"));
    if (setup.syncDelayMs >= 0) {
        arguments << "--json-lines" << dir.filePath("results.jsonl");
        environment.insert("RW47HN_SYNC_DELAY_MS", QString::number(setup.syncDelayMs));
    }
    arguments << "--results" << setup.results;
    upgrader.setProcessEnvironment(environment);
    QElapsedTimer clock;
    clock.start();
    upgrader.start(QStringLiteral(RW47HN_UPGRADER_PATH), arguments);
    runUntil([&] { return upgrader.state() == QProcess::NotRunning; });
    StationRun run;
    run.wallSeconds = clock.nsecsElapsed() / 1e9;
    rusage after{};
    getrusage(RUSAGE_CHILDREN, &after);
    const auto seconds = [](const timeval &t) { return t.tv_sec + t.tv_usec / 1e6; };
    run.cpuSeconds = seconds(after.ru_utime) - seconds(before.ru_utime) + seconds(after.ru_stime) -
                     seconds(before.ru_stime);
    run.peakRssKb = after.ru_maxrss;
    run.lineSeconds = lineSeconds(sims.front()->stats(), LineBaud);
    run.allOk = upgrader.exitCode() == 0 && finished == modules;
    for (int i = 0; i < modules; ++i) {
        const SimStats &stats = sims[size_t(i)]->stats();
        const qint64 expected =
            setup.staggered ? qint64(image.size()) * (i + 1) / modules : qint64(image.size());
        run.allOk = run.allOk && stats.bytesVerified == expected;
        if (stats.elapsedMs / 1000.0 > run.lastSeconds) {
            run.lastSeconds = stats.elapsedMs / 1000.0;
            run.lastLineSeconds = lineSeconds(stats, LineBaud);
        }
        run.turnaroundUs += stats.turnaroundUs;
        run.timeouts += stats.timeouts;
        run.moduleSeconds << stats.elapsedMs / 1000.0;
    }
    return run;
}

// Every port serves the one image the upgrader loaded: its memory grows with the ports by
// their buffers, not by copies of the image. Unpaced, so that all 16 run at once quickly.
int memoryRow()
{
    const QByteArray image = randomImage(16 << 20);
    HeadlessSetup setup;
    setup.modules = 16;
    setup.pace = false;
    setup.slice = 4096;
    const StationRun run = runStations(image, setup);
    std::printf("\n16 modules, 16 MiB image, 4 KiB slices, unpaced: %.2f s, peak RSS %.0f MiB "
                "(image %d MiB + %.0f MiB)%s\n",
                run.wallSeconds, run.peakRssKb / 1024.0, int(image.size() >> 20),
                run.peakRssKb / 1024.0 - (image.size() >> 20),
                run.allOk ? "" : "  (an upgrade FAILED)");
    return run.allOk ? 0 : 1;
}

// A disk that is slow to sync must not slow down the modules still being served: 16 modules
// end one after another, each appending its line to --json-lines, once with syncs as fast as
// the disk goes and once with each held half a second.
int syncRows(const QByteArray &image)
{
    std::printf("\n16 modules ending one after another (module i expects (i + 1) / 16 of the "
                "image), --json-lines\n");
    std::printf("%-18s | %9s %9s %9s | %14s %9s %9s | %s\n", "sync", "last s", "line s", "vs line",
                "turnaround p50", "p99", "max ms", "timeouts");
    bool allOk = true;
    for (const int delayMs : {0, 500}) {
        HeadlessSetup setup;
        setup.modules = 16;
        setup.staggered = true;
        setup.syncDelayMs = delayMs;
        const StationRun run = runStations(image, setup);
        const QString sync =
            delayMs ? QString("held %1 ms each").arg(delayMs) : QStringLiteral("as the disk goes");
        std::printf(
            "%-18s | %9.2f %9.2f %+8.2f%% | %14.2f %9.2f %9.2f | %d%s\n", qPrintable(sync),
            run.lastSeconds, run.lastLineSeconds, (run.lastSeconds / run.lastLineSeconds - 1) * 100,
            percentile(run.turnaroundUs, 50) / 1000.0, percentile(run.turnaroundUs, 99) / 1000.0,
            percentile(run.turnaroundUs, 100) / 1000.0, run.timeouts,
            run.allOk ? "" : "  (an upgrade FAILED)");
        std::fflush(stdout);
        allOk = allOk && run.allOk;
    }
    return allOk ? 0 : 1;
}

struct WindowRun
{
    double wallSeconds = 0;
    double cpuSeconds = 0;         // of this process: the window, its threads, this loop
    QVector<double> moduleSeconds; // each module's time as its record says
    double maxLateMs = 0;          // of the window thread's 10 ms timer
    long peakRssKb = 0;            // of this process, which holds the window
    bool allOk = false;
};

// `positions` modules in the station window at once, each a rw47hn-sim paced at 115200 baud,
// all started together as the operator's Space does; timed until the last one has ended.
WindowRun runStationWindow(const QString &imagePath, int positions,
                           const QString &results = QStringLiteral("none"))
{
    QTemporaryDir dir;
    std::vector<std::unique_ptr<QProcess>> sims;
    QStringList ports;
    for (int i = 0; i < positions; ++i) {
        const QString link = dir.filePath(QStringLiteral("tty%1").arg(i));
        sims.push_back(std::make_unique<QProcess>());
        sims.back()->setStandardOutputFile(QProcess::nullDevice());
        sims.back()->start(QStringLiteral(RW47HN_SIM_PATH),
                           {"--image", imagePath, "--link", link, "--pace", "--pace-baud",
                            QString::number(LineBaud), "--chunk", QString::number(Slice)});
        // The link appears without an event: looked for every 20 ms.
        while (!QFile::exists(link) && sims.back()->state() != QProcess::NotRunning) {
            QEventLoop pause;
            QTimer::singleShot(20, &pause, &QEventLoop::quit);
            pause.exec();
        }
        ports << link;
    }
    StationSetup setup = StationSetup::forPorts(ports);
    setup.image = imagePath;
    setup.mode = StartMode::OnStart;
    setup.jsonLinesPath = dir.filePath("results.jsonl");
    setup.results = results;
    // A name of this run's own: the window restores the history and totals the store holds for
    // its station, and those of earlier runs would count as this run's modules.
    setup.stationName = QStringLiteral("bench-%1").arg(QUuid::createUuid().toString(QUuid::Id128));
    StationWindow window;
    window.resize(1366, 768);
    window.useSetup(setup);
    window.show();
    StationModel *model = window.controller()->model();
    runUntil([&] { return model->imageSize() > 0 || !model->image().problem.isEmpty(); });

    WindowRun run;
    QElapsedTimer tick;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(10);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        run.maxLateMs = qMax(run.maxLateMs, tick.nsecsElapsed() / 1e6 - 10);
        tick.start();
    });
    const auto cpuNow = [] {
        rusage self{};
        getrusage(RUSAGE_SELF, &self);
        return self.ru_utime.tv_sec + self.ru_utime.tv_usec / 1e6 + self.ru_stime.tv_sec +
               self.ru_stime.tv_usec / 1e6;
    };
    const double cpuBefore = cpuNow();
    QElapsedTimer clock;
    clock.start();
    tick.start();
    probe.start();
    window.controller()->startAllIdle();
    runUntil([&] { return model->history().size() == positions; });
    run.wallSeconds = clock.nsecsElapsed() / 1e9;
    run.cpuSeconds = cpuNow() - cpuBefore;
    probe.stop();
    run.allOk = model->totals().passed == positions;
    for (const StationRecord &record : model->history())
        run.moduleSeconds << record.module.seconds();
    window.close();
    for (const auto &sim : sims)
        runUntil([&] { return sim->state() == QProcess::NotRunning; });
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    run.peakRssKb = self.ru_maxrss;
    return run;
}

int windowRows(const QByteArray &image)
{
    QTemporaryDir dir;
    const QString imagePath = dir.filePath("window.ufw");
    QFile file(imagePath);
    file.open(QIODevice::WriteOnly);
    file.write(image);
    file.close();
    std::printf("\nthe station window (offscreen, in this process), each module a rw47hn-sim\n");
    std::printf("%-10s | %9s %9s | %16s | %s\n", "positions", "wall s", "vs one",
                "timer late max ms", "peak RSS MiB");
    double alone = 0;
    bool allOk = true;
    for (const int positions : {1, 16}) {
        const WindowRun run = runStationWindow(imagePath, positions);
        if (positions == 1)
            alone = run.wallSeconds;
        std::printf("%-10d | %9.2f %+8.2f%% | %16.1f | %.0f%s\n", positions, run.wallSeconds,
                    (run.wallSeconds / alone - 1) * 100, run.maxLateMs, run.peakRssKb / 1024.0,
                    run.allOk ? "" : "  (an upgrade FAILED)");
        std::fflush(stdout);
        allOk = allOk && run.allOk;
    }
    return allOk ? 0 : 1;
}

// One host's figures with one store, a value per round.
struct StoreFigures
{
    QVector<double> wall, module, cpu;
};

// 16 modules at once, headless (the upgrader a child of this process) or in the station
// window (in this process), recording into `results`.
StoreFigures &measure(StoreFigures &figures, bool window, const QByteArray &image,
                      const QString &imagePath, const QString &results, bool *allOk)
{
    constexpr int Modules = 16;
    const auto keep = [&](const auto &run) {
        figures.wall << run.wallSeconds;
        figures.module << median(run.moduleSeconds);
        figures.cpu << run.cpuSeconds;
        *allOk = *allOk && run.allOk;
    };
    if (window) {
        keep(runStationWindow(imagePath, Modules, results));
    } else {
        HeadlessSetup setup;
        setup.modules = Modules;
        setup.results = results;
        keep(runStations(image, setup));
    }
    return figures;
}

void printFigures(const char *host, const char *store, const QString &round, double wall,
                  double module, double cpu)
{
    std::printf("%-9s %-11s | %5s | %9.2f %9.2f | %9.2f %8.1f%%\n", host, store, qPrintable(round),
                wall, module, cpu, cpu / wall * 100);
    std::fflush(stdout);
}

// The records the server holds: every module's, once.
int recordsIn(const QString &store)
{
    QString problem;
    ResultsDatabase database(ResultsTarget::parse(store, &problem), ResultsDatabase::Use::Read);
    if (database.open(&problem) != ResultsDatabase::Outcome::Done)
        return -1;
    return int(database.rows({}, {}, &problem).size());
}

// What recording into a PostgreSQL server costs 16 modules against recording nowhere: the two
// alternate round after round, so that the load of this shared machine weighs on both alike.
int resultsRows(const QByteArray &image, int rounds)
{
    PostgresServer server;
    QString problem = server.start();
    if (problem.isEmpty())
        problem = server.exec("postgres", {"create database bench"});
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "no PostgreSQL server: %s\n", qPrintable(problem));
        return 1;
    }
    QTemporaryDir dir;
    const QString imagePath = dir.filePath("results.ufw");
    QFile file(imagePath);
    file.open(QIODevice::WriteOnly);
    file.write(image);
    file.close();
    const QString stores[] = {QStringLiteral("none"), server.url("bench")};
    const char *storeNames[] = {"none", "postgresql"};
    const char *hostNames[] = {"headless", "window"};
    std::printf("\n16 modules at once recording into nothing and into PostgreSQL (a server of "
                "this benchmark's on 127.0.0.1), %zu KiB image, %d-byte slices, %d baud\n",
                size_t(image.size() >> 10), Slice, LineBaud);
    std::printf("%-9s %-11s | %5s | %9s %9s | %9s %9s\n", "host", "store", "round", "wall s",
                "module s", "CPU s", "CPU/wall");
    StoreFigures figures[2][2]; // [host][store]
    bool allOk = true;
    for (int round = 1; round <= rounds; ++round) {
        for (int host = 0; host < 2; ++host) {
            for (int store = 0; store < 2; ++store) {
                const StoreFigures &made = measure(figures[host][store], host == 1, image,
                                                   imagePath, stores[store], &allOk);
                printFigures(hostNames[host], storeNames[store], QString::number(round),
                             made.wall.last(), made.module.last(), made.cpu.last());
            }
        }
    }
    std::printf("medians of %d rounds\n", rounds);
    for (int host = 0; host < 2; ++host) {
        const StoreFigures(&by)[2] = figures[host];
        for (int store = 0; store < 2; ++store)
            printFigures(hostNames[host], storeNames[store], "all", median(by[store].wall),
                         median(by[store].module), median(by[store].cpu));
        const auto change = [&](const QVector<double> StoreFigures::*of) {
            return (median(by[1].*of) / median(by[0].*of) - 1) * 100;
        };
        std::printf("%-9s %-11s | %5s | %+8.2f%% %+8.2f%% | %+8.1f%%\n", hostNames[host],
                    "difference", "", change(&StoreFigures::wall), change(&StoreFigures::module),
                    change(&StoreFigures::cpu));
    }
    const int expected = rounds * 2 * 16;
    const int recorded = recordsIn(server.url("bench"));
    std::printf("records in the server: %d of %d%s\n", recorded, expected,
                allOk ? "" : "  (an upgrade FAILED)");
    return allOk && recorded == expected ? 0 : 1;
}

// The resident memory of process `pid` now, in KiB; 0 when it cannot be read.
long residentKb(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return 0;
}

// A station that loops for weeks: module after module on 16 ports, each port unplugged and
// plugged in again (its link removed and made anew) after its module, until 1,000 have ended.
// The upgrader keeps running totals, not modules: its memory after the last should be that
// after the first ten.
int loopRow()
{
    constexpr int Ports = 16;
    constexpr int Modules = 1000;
    QTemporaryDir dir;
    const QByteArray image = randomImage(4096);
    const QString imagePath = dir.filePath("loop.ufw");
    QFile file(imagePath);
    file.open(QIODevice::WriteOnly);
    file.write(image);
    file.close();
    struct Port
    {
        std::unique_ptr<PtyPair> pty;
        std::unique_ptr<ModuleSimulator> sim;
        QString link;
    };
    std::vector<Port> ports(Ports);
    QStringList arguments = {"--headless",   "--loop",
                             "--image",      imagePath,
                             "--json-lines", dir.filePath("loop.jsonl"),
                             "--log-dir",    dir.filePath("logs"),
                             "--results",    "none"};
    int plugged = 0;
    int ended = 0;
    int failed = 0;
    long afterTenKb = 0;
    QString curve; // MiB after every 250 modules
    QProcess upgrader;
    upgrader.setStandardOutputFile(QProcess::nullDevice());
    upgrader.setStandardErrorFile(QProcess::nullDevice());
    const auto plugIn = [&](Port &port) {
        if (plugged < Modules && QFile::link(port.pty->slavePath(), port.link))
            ++plugged;
    };
    for (int i = 0; i < Ports; ++i) {
        Port &port = ports[size_t(i)];
        port.pty = std::make_unique<PtyPair>();
        if (!port.pty->open())
            qFatal("no pty");
        port.sim = std::make_unique<ModuleSimulator>(*port.pty, image);
        port.link = dir.filePath(QStringLiteral("loop%1").arg(i));
        arguments << "--port" << port.link;
        // The upgrader ends the module once the line is back at its rate, and looks for a
        // port that went away four times a second: unplugged after the one, back after the other.
        QObject::connect(port.sim.get(), &ModuleSimulator::finished, [&, i](bool succeeded) {
            failed += succeeded ? 0 : 1;
            if (++ended == 10)
                afterTenKb = residentKb(upgrader.processId());
            if (ended % 250 == 0)
                curve += QStringLiteral(" %1: %2").arg(ended).arg(
                    residentKb(upgrader.processId()) / 1024.0, 0, 'f', 1);
            QTimer::singleShot(300, [&, i] {
                QFile::remove(ports[size_t(i)].link);
                QTimer::singleShot(600, [&, i] { plugIn(ports[size_t(i)]); });
            });
        });
    }
    upgrader.start(QStringLiteral(RW47HN_UPGRADER_PATH), arguments);
    upgrader.waitForStarted();
    for (Port &port : ports)
        plugIn(port);
    QElapsedTimer clock;
    clock.start();
    runUntil([&] { return ended >= Modules || upgrader.state() == QProcess::NotRunning; });
    // The last records are written within the 300 ms before the unplug.
    QEventLoop settle;
    QTimer::singleShot(1000, &settle, &QEventLoop::quit);
    settle.exec();
    const long afterAllKb = residentKb(upgrader.processId());
    if (upgrader.state() == QProcess::Running)
        ::kill(pid_t(upgrader.processId()), SIGTERM);
    runUntil([&] { return upgrader.state() == QProcess::NotRunning; });
    const bool ok = ended >= Modules && failed == 0 && upgrader.exitCode() == 0;
    std::printf(
        "\n--loop on %d ports, 4 KiB image, unpaced, --json-lines and --log-dir: %d "
        "modules in %.0f s; resident after 10: %.1f MiB, after %d: %.1f MiB (%+.2f MiB)%s\n",
        Ports, ended, clock.elapsed() / 1000.0, afterTenKb / 1024.0, ended, afterAllKb / 1024.0,
        (afterAllKb - afterTenKb) / 1024.0, ok ? "" : "  (an upgrade FAILED)");
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    // The station window's rows need widgets, never a display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The window remembers its set-up: in a settings folder of its own, never over the
    // station set-up of whoever runs this.
    QStandardPaths::setTestModeEnabled(true);
    QApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    const bool quick = app.arguments().contains("--quick");
    const QByteArray image = randomImage(quick ? 64 << 10 : 256 << 10);

    if (app.arguments().contains("--memory"))
        return memoryRow();
    if (app.arguments().contains("--sync"))
        return syncRows(image);
    if (app.arguments().contains("--window"))
        return windowRows(image);
    if (app.arguments().contains("--loop"))
        return loopRow();
    if (app.arguments().contains("--results")) {
        const int rounds = app.arguments().value(app.arguments().indexOf("--rounds") + 1).toInt();
        return resultsRows(image, app.arguments().contains("--rounds") ? qMax(rounds, 1) : 3);
    }
    nullUpgraderCheck(image);
    if (app.arguments().contains("--null"))
        return 0;

    std::printf("\n%zu KiB image, %d-byte slices, each line paced at %d baud\n",
                size_t(image.size() >> 10), Slice, LineBaud);
    std::printf("%-8s %-16s | %9s %9s %9s | %9s %9s | %s\n", "modules", "adapter", "wall s",
                "line s", "vs one", "CPU s", "CPU/wall", "peak RSS MiB");
    double alone = 0;
    const struct
    {
        int modules, latencyMs;
    } rows[] = {{1, 0}, {4, 0}, {16, 0}, {1, 16}};
    for (const auto &row : rows) {
        HeadlessSetup setup;
        setup.modules = row.modules;
        setup.adapterLatencyMs = row.latencyMs;
        const StationRun run = runStations(image, setup);
        if (row.modules == 1 && row.latencyMs == 0)
            alone = run.wallSeconds;
        const QString adapter = row.latencyMs ? QString("holds %1 ms").arg(row.latencyMs)
                                              : QStringLiteral("low latency");
        std::printf("%-8d %-16s | %9.2f %9.2f %+8.2f%% | %9.2f %8.1f%% | %.0f%s\n", row.modules,
                    qPrintable(adapter), run.wallSeconds, run.lineSeconds,
                    (run.wallSeconds / alone - 1) * 100, run.cpuSeconds,
                    run.cpuSeconds / run.wallSeconds * 100, run.peakRssKb / 1024.0,
                    run.allOk ? "" : "  (an upgrade FAILED)");
        std::fflush(stdout);
    }
    const int windowed = windowRows(image);
    if (quick)
        return windowed;
    const int synced = syncRows(image);
    return memoryRow() | synced | windowed | loopRow();
}
