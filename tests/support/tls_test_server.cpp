#include "support/tls_test_server.h"

#include "support/test_certificate_authority.h"

#include <QSslSocket>

TlsTestServer::TlsTestServer(Handler handler) : m_handler(std::move(handler))
{
    QObject::connect(&m_server, &QTcpServer::pendingConnectionAvailable, &m_server, [this] {
        while (QTcpSocket* socket = m_server.nextPendingConnection())
            m_handler(static_cast<QSslSocket*>(socket));
    });
    QObject::connect(&m_server, &QSslServer::errorOccurred, &m_server,
                     [this](QSslSocket*, QAbstractSocket::SocketError) { ++m_failedHandshakes; });
}

bool TlsTestServer::listen(const QSslConfiguration& tls, QString* error, const QHostAddress& address)
{
    m_server.setSslConfiguration(tls);
    if (m_server.listen(address, 0))
        return true;
    if (error)
        *error = m_server.errorString();
    return false;
}

bool TlsTestServer::listen(TestCertificateAuthority& ca, const QString& name, QString* error)
{
    TestCertificateAuthority::Leaf leaf;
    return ca.issue(name, &leaf, error) && listen(TestCertificateAuthority::serverConfiguration(leaf), error);
}

QString TlsTestServer::baseUrl() const
{
    return QStringLiteral("https://127.0.0.1:%1").arg(port());
}
