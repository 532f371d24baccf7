#pragma once

#include "support/test_certificate_authority.h"
#include "support/tls_test_server.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

class QSslSocket;

// The acceleration service on 127.0.0.1 over HTTPS with a certificate of the given private CA:
// GET "/jiasu.txt" answers the node list, POST "/auth/vantrel" exchanges the portal cookie and JWT it
// was given for a token. One request per connection.
//
//     TestAccelerationService service(ca);
//     QVERIFY2(service.start(&error), qPrintable(error));
//     service.setSession("cookie", "jwt");
//     service.setNodes({relay.nodeEntry("hk1", "香港 1")});
//     manager.setServiceEndpoint(QUrl(service.baseUrl()), ca.caCertificates());
//
// With holdReplies(true) requests are read and counted but answered only by releaseHeldReplies(), so
// a test can change the client's state while a reply is on its way.
class TestAccelerationService
{
public:
    explicit TestAccelerationService(TestCertificateAuthority& ca);
    ~TestAccelerationService();
    TestAccelerationService(const TestAccelerationService&) = delete;
    TestAccelerationService& operator=(const TestAccelerationService&) = delete;

    bool start(QString* error);
    QString baseUrl() const;

    // The node list document: {"version": version, "nodes": nodes}.
    void setNodes(const QJsonArray& nodes, int version = 1);
    // Any body and status for "/jiasu.txt".
    void setNodeListReply(const QByteArray& body, int status = 200);
    // The cookie and JWT an exchange must carry; anything else is answered 401.
    void setSession(const QByteArray& cookie, const QByteArray& jwt);
    // The token handed out; `status` other than 200 refuses every exchange with it.
    void setToken(const QByteArray& token, int status = 200);

    void holdReplies(bool hold) { m_hold = hold; }
    void releaseHeldReplies();

    int nodeListRequests() const { return m_nodeListRequests; }
    int tokenRequests() const { return m_tokenRequests; }
    // Token exchanges answered with a token.
    int tokensIssued() const { return m_tokensIssued; }
    // Header values of the last request, by name (say "User-Agent").
    QByteArray lastHeader(const QByteArray& name) const;

private:
    void serve(QSslSocket* socket);
    QByteArray answer(const QByteArray& method, const QByteArray& target, const QByteArray& body);

    TestCertificateAuthority& m_ca;
    TlsTestServer m_server;
    QObject m_context;
    QByteArray m_nodeListBody;
    int m_nodeListStatus = 200;
    QByteArray m_cookie;
    QByteArray m_jwt;
    QByteArray m_token = "test-acceleration-token";
    int m_tokenStatus = 200;
    bool m_hold = false;
    QList<QPair<QPointer<QSslSocket>, QByteArray>> m_held;
    QList<QPair<QByteArray, QByteArray>> m_lastHeaders;
    int m_nodeListRequests = 0;
    int m_tokenRequests = 0;
    int m_tokensIssued = 0;
};
