// rw47hn-bench: runs whole upgrades of the headless window against rw47hn-sim over a pty and
// prints how long the window takes to answer, how fast it can serve, how close it keeps to
// the line's own time, and how much memory it needs.
//
// Each upgrade runs in a child process of its own (so its peak memory is its own):
//   rw47hn-bench                   the whole table
//   rw47hn-bench --quick           64 KiB and 1 MiB images only
//   rw47hn-bench --run MODE SIZE CHUNK   one upgrade; MODE is turnaround, headroom or line

#include "testsupport.h"

#include <QApplication>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <sys/resource.h>

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

// One upgrade in this process; prints one "result" line: the simulator's figures as JSON.
int runOne(const QString &mode, int size, int chunk)
{
    QTemporaryDir dir;
    const QString imagePath =
        TestSupport::writeFile(dir.filePath("bench.ufw"), TestSupport::randomBytes(size, 99));
    QStringList arguments = {"--image", imagePath, "--chunk", QString::number(chunk), "--stats"};
    if (mode == "turnaround")
        arguments << "--pace-baud"
                  << "1000000";
    else if (mode == "line")
        arguments << "--pace";
    QProcess sim;
    sim.setProcessChannelMode(QProcess::SeparateChannels);
    sim.start(QStringLiteral(RW47HN_SIM_PATH), arguments);
    if (!sim.waitForReadyRead(10000))
        return 2;
    const QByteArray banner = sim.readLine();
    const QString port = QString::fromLocal8Bit(banner.split(' ').value(3)).remove(',');

    WindowDriver driver;
    driver.window.show(); // painted as on a desk, only offscreen
    driver.selectPort(port);
    driver.clickOpen();
    if (!driver.isOpen())
        return 3;
    driver.chooseFile(imagePath);
    driver.clickStart();
    // A plain event loop, as the application runs it (QTest's waits poll with sleeps).
    QEventLoop loop;
    QObject::connect(&sim, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
                     &QEventLoop::quit);
    if (sim.state() == QProcess::Running)
        loop.exec();
    QJsonObject result;
    for (const QByteArray &line : sim.readAllStandardOutput().split('\n')) {
        if (line.startsWith('{'))
            result = QJsonDocument::fromJson(line).object();
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    result.insert("ok", sim.exitCode() == 0 ? 1 : 0);
    result.insert("peak_rss_kb", qint64(usage.ru_maxrss));
    std::printf("result %s\n", QJsonDocument(result).toJson(QJsonDocument::Compact).constData());
    return sim.exitCode();
}

QMap<QString, qint64> runChild(const QString &mode, int size, int chunk)
{
    QProcess child;
    child.setStandardErrorFile(QProcess::nullDevice()); // the window's debug log
    child.start(QCoreApplication::applicationFilePath(),
                {"--run", mode, QString::number(size), QString::number(chunk)});
    child.waitForFinished(-1);
    for (const QByteArray &line : child.readAllStandardOutput().split('\n')) {
        if (line.startsWith("result "))
            return parseStats(line.mid(7));
    }
    return {};
}

QString sizeName(int size)
{
    return size >= 1 << 20 ? QString("%1 MiB").arg(size >> 20) : QString("%1 KiB").arg(size >> 10);
}

double ms(qint64 us)
{
    return us / 1000.0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 5 && qstrcmp(argv[1], "--run") == 0) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QApplication app(argc, argv);
        return runOne(argv[2], QByteArray(argv[3]).toInt(), QByteArray(argv[4]).toInt());
    }
    QCoreApplication app(argc, argv);
    const bool quick = app.arguments().contains("--quick");
    QVector<int> sizes = {64 << 10, 1 << 20};
    if (!quick)
        sizes << (8 << 20);
    const QVector<int> chunks = {256, 1024, 4096};

    std::printf("%-7s %5s | %-33s | %-20s | %-24s | %s\n", "image", "slice",
                "turnaround ms @1Mbaud first/last", "headroom", "line efficiency @115200",
                "peak RSS");
    std::printf("%-7s %5s | %-33s | %-20s | %-24s | %s\n", "", "", "p50    p99    | p50    p99",
                "bytes/s    x ceiling", "took/line s   overhead", "MiB");
    for (const int size : sizes) {
        for (const int chunk : chunks) {
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
            std::printf(
                "%-7s %5d | %5.2f  %5.2f  | %5.2f  %5.2f  | %9.0f  %6.1f  | %-24s | %.0f%s\n",
                qPrintable(sizeName(size)), chunk, ms(t.value("first_p50_us")),
                ms(t.value("first_p99_us")), ms(t.value("last_p50_us")), ms(t.value("last_p99_us")),
                headroom, headroom / Ceiling115200, qPrintable(line), rss / 1024.0,
                t.value("ok") && h.value("ok") && (l.isEmpty() || l.value("ok"))
                    ? ""
                    : "  (an upgrade FAILED)");
            std::fflush(stdout);
        }
    }
    return 0;
}
