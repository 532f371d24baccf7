#include "nginx_peer.h"

#include "process_figures.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTcpServer>

#include <unistd.h>

NginxPeer::~NginxPeer()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(10000)) {
            m_process.kill();
            m_process.waitForFinished(10000);
        }
    }
}

bool NginxPeer::start(const QString& workers, const QString& certificate, const QString& key,
                      const QString& path, const QByteArray& body, QString* error)
{
    QTcpServer probe; // a free port, given back at once
    probe.listen(QHostAddress::LocalHost);
    m_port = probe.serverPort();
    probe.close();
    const QString dir = m_directory.path();
    m_configuration =
        QStringLiteral("%1worker_processes %2;\npid %3/nginx.pid;\nerror_log stderr notice;\n"
                       "events { worker_connections 1024; }\n"
                       "http {\n    access_log %3/access.log;\n"
                       "    client_body_temp_path %3/body;\n    proxy_temp_path %3/proxy;\n"
                       "    fastcgi_temp_path %3/fastcgi;\n    uwsgi_temp_path %3/uwsgi;\n"
                       "    scgi_temp_path %3/scgi;\n"
                       "    keepalive_requests 100000000;\n    keepalive_timeout 60s;\n"
                       "    server {\n        listen 127.0.0.1:%4 ssl;\n"
                       "        ssl_protocols TLSv1.3;\n"
                       "        ssl_certificate %5;\n        ssl_certificate_key %6;\n"
                       "        location = %7 {\n"
                       "            default_type application/json;\n            return 200 '%8';\n"
                       "        }\n    }\n}\n")
            .arg(::geteuid() == 0 ? QStringLiteral("user root;\n") : QString(), workers, dir)
            .arg(m_port)
            .arg(certificate, key, path, QString::fromUtf8(body));
    QFile file(dir + QStringLiteral("/nginx.conf"));
    if (!m_directory.isValid() || !file.open(QIODevice::WriteOnly) ||
        file.write(m_configuration.toUtf8()) < 0 || !file.flush()) {
        *error = QStringLiteral("cannot write the nginx configuration");
        return false;
    }
    file.close();
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(programPath(),
                    {QStringLiteral("-p"), dir, QStringLiteral("-c"), file.fileName(), QStringLiteral("-e"),
                     QStringLiteral("stderr"), QStringLiteral("-g"), QStringLiteral("daemon off;")});
    QByteArray output;
    const QDeadlineTimer deadline(20000);
    while (!output.contains("start worker process") && m_process.state() != QProcess::NotRunning &&
           !deadline.hasExpired()) {
        m_process.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
        output += m_process.readAll();
    }
    *error = QStringLiteral("nginx did not start: ") + QString::fromUtf8(output);
    return output.contains("start worker process") && m_process.state() == QProcess::Running;
}

QList<qint64> NginxPeer::processIds() const
{
    const qint64 master = m_process.processId();
    if (master <= 0) {
        return {};
    }
    return QList<qint64>{master} + ProcessFigures::descendants(master);
}
