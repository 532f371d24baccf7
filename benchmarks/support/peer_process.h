#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

// A helper process holding a benchmark's peers, so their work does not count as the measured
// program's. It announces itself with one line "ready <field> <field> …" on standard output and ends
// when its standard input closes (when this object goes).
class PeerProcess
{
public:
    PeerProcess() = default;
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;
    ~PeerProcess();

    // Starts `program` with `arguments` and waits for its ready line; `fields` gets the words after
    // "ready".
    bool start(const QString& program, const QStringList& arguments, QList<QByteArray>* fields,
               QString* error);
    qint64 pid() const { return m_process.processId(); }

private:
    QProcess m_process;
};
