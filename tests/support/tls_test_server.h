#pragma once

#include <QHostAddress>
#include <QSslConfiguration>
#include <QSslServer>
#include <QString>

#include <functional>

class QSslSocket;
class TestCertificateAuthority;

// A TLS server on a loopback address presenting one certificate (TestCertificateAuthority's
// serverConfiguration). Each connection, once its handshake is done, goes to the handler, which owns it.
class TlsTestServer
{
public:
    using Handler = std::function<void(QSslSocket*)>;

    explicit TlsTestServer(Handler handler);

    bool listen(const QSslConfiguration& tls, QString* error,
                const QHostAddress& address = QHostAddress(QHostAddress::LocalHost));
    // Listens on 127.0.0.1 with a new certificate of `ca` issued for `name`.
    bool listen(TestCertificateAuthority& ca, const QString& name, QString* error);
    // "https://127.0.0.1:<port>"
    QString baseUrl() const;
    // Later connections present this configuration.
    void setSslConfiguration(const QSslConfiguration& tls) { m_server.setSslConfiguration(tls); }
    quint16 port() const { return m_server.serverPort(); }
    // Connections whose handshake failed (say, a client that did not trust the certificate).
    int failedHandshakes() const { return m_failedHandshakes; }

private:
    QSslServer m_server;
    Handler m_handler;
    int m_failedHandshakes = 0;
};
