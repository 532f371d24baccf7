#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// nginx (the Debian package's /usr/sbin/nginx) as the reference for a small answer over TLS: one
// location answering a constant JSON body with `return 200`, access log on as in a default install,
// keep-alive without a request limit. It runs in the foreground as a child of this process with its
// configuration, pid file, temporary and log paths in a directory of its own.
class NginxPeer
{
public:
    NginxPeer() = default;
    NginxPeer(const NginxPeer&) = delete;
    NginxPeer& operator=(const NginxPeer&) = delete;
    ~NginxPeer();

    static QString programPath() { return QStringLiteral("/usr/sbin/nginx"); }

    // `workers` is nginx's worker_processes ("1", "auto"); `path` answers `body`.
    bool start(const QString& workers, const QString& certificate, const QString& key, const QString& path,
               const QByteArray& body, QString* error);
    quint16 port() const { return m_port; }
    // The master and its workers, for their CPU time.
    QList<qint64> processIds() const;
    // The configuration it runs with, for the record.
    QString configuration() const { return m_configuration; }

private:
    QTemporaryDir m_directory;
    QProcess m_process;
    QString m_configuration;
    quint16 m_port = 0;
};
