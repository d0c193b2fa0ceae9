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
// are written out at least once a second, so a crash loses at most the last second.
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
    // Why the file could not be opened or written, in English for stderr: "cannot write
    // FILE: REASON"; empty while nothing failed.
    QString problem() const { return m_problem; }

    // The file name for a session on `portName` that began at `start`.
    static QString fileName(const QString &portName, const QDateTime &start);

signals:
    // The file could not be opened or written; said once per session, the log goes on without
    // it. `line` is in the language installed for the windows.
    void failed(const QString &line);

private:
    bool writePending();
    void fail(int systemError);
    static void prune(const QString &folder, int keep);

    QFile m_file; // unbuffered: the lines wait in m_pending
    QByteArray m_pending;
    QString m_folder;
    QTimer m_flushTimer;
    QString m_problem;
};
