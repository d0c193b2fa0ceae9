#pragma once

#include <QString>

// A pseudo-terminal pair standing in for a serial cable. The master side is the far end
// (the module); the slave is the port the upgrader opens by path. The slave is held open
// here too, so the master never sees a hang-up while the upgrader closes and reopens it.
class PtyPair
{
public:
    PtyPair() = default;
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool open(QString *error = nullptr);
    int masterFd() const { return m_master; }
    QString slavePath() const { return m_slavePath; }
    // Hangs up the line as an unplugged adapter would: the port then sees read errors.
    void closeMaster();
    void closeSlave();

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
};
