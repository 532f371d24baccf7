#pragma once

#include "http_connection.h"

#include <QHostAddress>
#include <QObject>
#include <QSslConfiguration>

#include <optional>

class QTcpServer;

// Listens on one address, plain or with TLS, and runs an HttpConnection for every client.
class HttpServer : public QObject
{
    Q_OBJECT

public:
    explicit HttpServer(QObject* parent = nullptr);

    void setHandler(HttpConnection::Handler handler) { m_handler = std::move(handler); }
    void setAdmission(HttpConnection::Admission admission) { m_admission = std::move(admission); }
    void setAccessLog(HttpConnection::AccessLog accessLog) { m_accessLog = std::move(accessLog); }
    void setLimits(const HttpConnection::Limits& limits) { m_limits = limits; }
    // Connections past this number are closed at once (file descriptors are finite).
    void setMaxConnections(int count) { m_maxConnections = count; }

    // TLS when `tls` is given. Port 0 picks a free port (see port()).
    bool listen(const QHostAddress& address, quint16 port, const std::optional<QSslConfiguration>& tls,
                QString* error);
    quint16 port() const;
    int connectionCount() const { return m_connections; }

private:
    void acceptPending();

    QTcpServer* m_listener = nullptr;
    HttpConnection::Handler m_handler;
    HttpConnection::Admission m_admission;
    HttpConnection::AccessLog m_accessLog;
    HttpConnection::Limits m_limits;
    int m_maxConnections = 2048;
    int m_connections = 0;
};
