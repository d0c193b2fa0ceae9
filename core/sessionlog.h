#pragma once

#include "logentry.h"

#include <QDateTime>
#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>

// The whole log of one port session (port opened to closed, or one module headless) on disk:
// the tool's version and language first, then one line per log entry, UTF-8, each after the
// local time "hh:mm:ss.zzz " at which it happened (traffic: when it crossed the wire). Lines
// are flushed at least once a second, so a crash loses at most the last second.
class SessionLog : public QObject
{
    Q_OBJECT

public:
    // The default folder, pruned to the newest KeptInDefaultFolder files.
    static QString defaultFolder();
    static constexpr int KeptInDefaultFolder = 50;

    explicit SessionLog(QObject *parent = nullptr);
    ~SessionLog() override;

    // Starts a new file for `portName` in `folder`; the default folder when it is empty.
    // False when it cannot be created: failed() has said why.
    bool open(const QString &folder, const QString &portName,
              const QDateTime &start = QDateTime::currentDateTime());
    void write(const LogEntry &entry);
    void flush();
    void close();
    bool isOpen() const { return m_file.isOpen(); }
    QString filePath() const { return m_file.fileName(); }
    QString folderPath() const { return m_folder; }

    // The file name for a session on `portName` that began at `start`.
    static QString fileName(const QString &portName, const QDateTime &start);

signals:
    // The file could not be opened or written; said once per session, the log goes on without it.
    void failed(const QString &line);

private:
    void fail(const QString &reason);
    static void prune(const QString &folder, int keep);

    QFile m_file;
    QString m_folder;
    QTimer m_flushTimer;
    bool m_failed = false;
};
