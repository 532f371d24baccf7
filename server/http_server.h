#pragma once

#include "http_connection.h"

#include <QHostAddress>
#include <QObject>
#include <QSslConfiguration>

#include <memory>
#include <optional>

// Listens on one address, plain or with TLS. Connections live on an I/O thread of their own (Boost.Asio,
// with OpenSSL for TLS); the handler, the admission and the access log run on this object's thread.
// A connection past the overall limit or past the limit of its address is closed at once, and a
// listener out of file descriptors pauses instead of failing: the server keeps serving whatever
// clients did before.
class HttpServer : public QObject
{
    Q_OBJECT

public:
    explicit HttpServer(QObject* parent = nullptr);
    ~HttpServer() override;

    void setHandler(HttpConnection::Handler handler) { m_handler = std::move(handler); }
    void setAdmission(HttpConnection::Admission admission) { m_admission = std::move(admission); }
    void setAccessLog(HttpConnection::AccessLog accessLog) { m_accessLog = std::move(accessLog); }
    // Requests that arrive together are handled as one batch on this object's thread: `started` is
    // called before the first of them, `beforeAnswers` after the last, before their answers are handed
    // to the connections. `beforeAnswers` is also called before an answer made outside a batch (once a
    // password hash is done, say) goes out: where a buffered access log is flushed, so that its line
    // never comes after the answer it describes.
    void setBatchHooks(std::function<void()> started, std::function<void()> beforeAnswers)
    {
        m_batchStarted = std::move(started);
        m_beforeAnswers = std::move(beforeAnswers);
    }
    // Applies to connections accepted from then on.
    void setLimits(const HttpConnection::Limits& limits);
    // Connections past this number are closed at once (file descriptors are finite).
    void setMaxConnections(int count);
    // Connections from one address (IPv6: one /64) past this number are closed at once; 0: no limit.
    // Loopback clients are exempt when `exemptLoopback` (a reverse proxy on the same machine).
    void setMaxConnectionsPerAddress(int count, bool exemptLoopback);

    // TLS when `tls` is given. Port 0 picks a free port (see port()).
    bool listen(const QHostAddress& address, quint16 port, const std::optional<QSslConfiguration>& tls,
                QString* error);
    quint16 port() const;
    int connectionCount() const;

private:
    class Core;
    friend class Core;

    std::shared_ptr<Core> m_core;
    HttpConnection::Handler m_handler;
    HttpConnection::Admission m_admission;
    HttpConnection::AccessLog m_accessLog;
    std::function<void()> m_batchStarted;
    std::function<void()> m_beforeAnswers;
};
