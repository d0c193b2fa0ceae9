// Choosing the firmware file and loading it when the upgrade starts.

#include "protocol.h"
#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using TestSupport::hex;
using TestSupport::readRequest;

namespace {

const QString OpenFailure = QStringLiteral(">>>>>>>>>>>>>>>>>>>>>>>>>>>>无法打开文件!");

} // namespace

class tst_Firmware : public PtyWindowTest
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::quietDebug(); }
    void init() { QVERIFY(startWindow(Tapped)); }
    void cleanup() { stopWindow(); }

    void imageLoadsExactly_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("empty") << 0;
        QTest::newRow("2500 bytes") << 2500;
        QTest::newRow("exact chunks") << 4096;
    }
    void imageLoadsExactly()
    {
        QFETCH(int, size);
        const QByteArray image = TestSupport::randomBytes(size, 11);
        driver->clickOpen();
        driver->useImage(TestSupport::writeFile(dir.filePath("a.ufw"), image));
        driver->clickStart();
        QTRY_COMPARE(driver->logLines().value(0), QStringLiteral("文件打开成功。"));
        QCOMPARE(imageServed(size + 100), image);
    }

    void failedLoadKeepsPreviousImage()
    {
        const QByteArray first = TestSupport::randomBytes(300, 12);
        driver->clickOpen();
        driver->useImage(TestSupport::writeFile(dir.filePath("first.ufw"), first));
        driver->clickStart();
        QCOMPARE(imageServed(1000), first);

        const QString gone = TestSupport::writeFile(dir.filePath("gone.ufw"), "other");
        driver->useImage(gone);
        QVERIFY(QFile::remove(gone));
        tap->received.clear();
        driver->clickStart();
        QTRY_COMPARE(driver->logLines(), QStringList{OpenFailure});
        // Still in the frame phase of the earlier upgrade, still serving the earlier image;
        // no AT command went out before that reply.
        tap->write(readRequest(0, 1000));
        const QByteArray sent = sentBeforeBarrier();
        QVERIFY(!sent.contains(AtUpgradeCommand));
        QVERIFY(sent.contains(readRequest(0, 1000).mid(5, 8) + first));
    }

    void cancelledDialog()
    {
        auto *path = driver->widget<QLineEdit>("lineEdit");
        driver->chooseFile(TestSupport::writeFile(dir.filePath("a.ufw"), "x"));
        QCOMPARE(path->text(), dir.filePath("a.ufw"));
        QVERIFY(path->styleSheet().isEmpty());

        driver->chooseFile(QString());
        QCOMPARE(path->text(), QStringLiteral("请选择ufw文件"));
        QCOMPARE(path->styleSheet(), QStringLiteral("color: grey;"));
        driver->clickOpen();
        driver->clickStart();
        QTRY_COMPARE(driver->logLines(), QStringList{"请选择ufw类型的升级文件"});

        // A later choice is shown; the grey stays.
        driver->chooseFile(dir.filePath("a.ufw"));
        QCOMPARE(path->text(), dir.filePath("a.ufw"));
        QCOMPARE(path->styleSheet(), QStringLiteral("color: grey;"));
    }

    void typedPathIsIgnored()
    {
        const QByteArray chosen = TestSupport::randomBytes(64, 13);
        driver->clickOpen();
        driver->chooseFile(TestSupport::writeFile(dir.filePath("chosen.ufw"), chosen));
        driver->widget<QLineEdit>("lineEdit")
            ->setText(TestSupport::writeFile(dir.filePath("typed.ufw"), "typed"));
        driver->clickStart();
        QCOMPARE(imageServed(100), chosen);
    }

    void startNeedsFileThenOpenPort_data()
    {
        QTest::addColumn<bool>("chooseFile");
        QTest::addColumn<QString>("line");
        QTest::newRow("no file") << false << "请选择ufw类型的升级文件";
        QTest::newRow("closed port") << true << "请先打开串口";
    }
    void startNeedsFileThenOpenPort()
    {
        QFETCH(bool, chooseFile);
        QFETCH(QString, line);
        if (chooseFile)
            driver->useImage(TestSupport::writeFile(dir.filePath("a.ufw"), "abc"));
        SequenceSpy started(driver->window, &UpgradeSequence::upgradeStarted);
        QVERIFY(started.heard);
        driver->clickStart();
        QTRY_COMPARE(driver->logLines(), QStringList{line});
        // The switch and the start frame are timed from the step that leaves Idle: no timer
        // was set, nothing will follow.
        QCOMPARE(started.count(), 0);
        QVERIFY(tap->received.isEmpty());
    }

    // A path that cannot be read as a file: the failure line, nothing sent.
    void unreadableFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("line");
        QTest::newRow("directory") << "directory" << QStringLiteral("文件无效: 不是普通文件");
        QTest::newRow("no read permission") << "no permission" << OpenFailure;
    }
    void unreadableFile()
    {
        QFETCH(QString, kind);
        QFETCH(QString, line);
        if (kind == "no permission" && geteuid() == 0)
            QSKIP("root reads files without read permission");
        const QString path = TestSupport::writeFile(dir.filePath("bad.ufw"), "abc");
        driver->useImage(path);
        if (kind == "directory") {
            QVERIFY(QFile::remove(path));
            QVERIFY(QDir().mkdir(path));
        } else {
            QVERIFY(QFile::setPermissions(path, QFileDevice::WriteOwner));
        }
        driver->clickOpen();
        driver->clickStart();
        QTRY_COMPARE(driver->logLines(), QStringList{line});
        QCOMPARE(sentBeforeBarrier(), QByteArray());
    }

    // Files that open but cannot be an image: refused with a reason, nothing sent, and the
    // window still answers.
    void refusedImages_data()
    {
        QTest::addColumn<qint64>("size"); // of a sparse file, or -1: a file that reads short
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("3 GiB") << 3221225472LL
                               << QStringList{"文件过大: 3221225472 字节，最大 1073741824 字节"};
        QTest::newRow("1 GiB and a byte")
            << 1073741825LL << QStringList{"文件过大: 1073741825 字节，最大 1073741824 字节"};
        QTest::newRow("reads short") << -1LL << QStringList{"文件打开成功。", "文件读取失败: "};
    }
    void refusedImages()
    {
        QFETCH(qint64, size);
        QFETCH(QStringList, lines);
        const QString path = dir.filePath(QTest::currentDataTag() + QStringLiteral(".ufw"));
        if (size >= 0) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(size));
        } else {
            // A sysfs attribute claims a page and delivers a few bytes.
            const QString shortFile = "/sys/devices/system/cpu/online";
            if (!QFileInfo(shortFile).isReadable() || QFileInfo(shortFile).size() <= 8)
                QSKIP("no sysfs file that reads shorter than its size");
            QVERIFY(QFile::link(shortFile, path));
        }
        driver->clickOpen();
        QVERIFY(driver->useImage(path));
        driver->clickStart();
        QTRY_COMPARE(driver->logLines().size(), lines.size());
        const QStringList shown = driver->logLines();
        for (int i = 0; i < lines.size(); ++i)
            QVERIFY2(shown.at(i).startsWith(lines.at(i)), qPrintable(shown.at(i)));
        QCOMPARE(sentBeforeBarrier(), QByteArray());
    }

    void largeImage()
    {
        const int size = 16 * 1024 * 1024;
        const QByteArray image = TestSupport::randomBytes(size, 14);
        driver->clickOpen();
        driver->useImage(TestSupport::writeFile(dir.filePath("large.ufw"), image));
        QElapsedTimer clock;
        clock.start();
        driver->clickStart();
        QTRY_COMPARE(driver->logLines().value(0), QStringLiteral("文件打开成功。"));
        qInfo("16 MiB image loaded in %lld ms", clock.elapsed());
        // Slices from the start, the middle and the very end, each exactly as in the file.
        QCOMPARE(imageServed(65526), image.left(65526));
        for (const quint32 address : {quint32(size / 2 + 3), quint32(size - 1000)}) {
            tap->received.clear();
            tap->write(readRequest(address, 4096));
            const QByteArray expected = image.mid(int(address), 4096);
            QTRY_VERIFY(tap->received.contains(readRequest(address, 4096).mid(5, 8) + expected));
        }
    }

private:
    // Answers the handshake and asks for `count` bytes from 0; returns the image bytes served.
    QByteArray imageServed(quint32 count)
    {
        if (!QTest::qWaitFor([&] { return driver->log().contains("切波特率到: 9600"); }))
            return "no baud switch";
        if (!answerHandshake())
            return "no handshake";
        const QByteArray request = readRequest(0, count);
        tap->write(request);
        const QByteArray reply = sentBeforeBarrier();
        if (!reply.startsWith(request.left(2)) || reply.mid(5, 8) != request.mid(5, 8))
            return "no reply";
        return reply.mid(13, reply.size() - 15);
    }
};

QTEST_MAIN(tst_Firmware)
#include "tst_firmware.moc"
