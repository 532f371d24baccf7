#pragma once

#include "support/test_certificate_authority.h"
#include "support/tls_test_server.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

class QSslSocket;

// A relay node of the acceleration service on 127.0.0.1: TLS with a certificate of the private CA
// (or, untrusted, of another authority), answering GET "/probe" with 204 for the right bearer token,
// and "CONNECT host:port HTTP/1.1" with "HTTP/1.1 200 Connection established" after connecting to the
// target, then relaying bytes both ways with bounded buffers (each side at most 256 KiB queued).
//
//     TestRelayNode relay(ca);
//     QVERIFY2(relay.start(&error), qPrintable(error));
//     relay.setToken("t");
//     service.setNodes({relay.nodeEntry("hk1", "香港 1")});
//     ... relay.connectLines() == {"CONNECT 127.0.0.1:4000 HTTP/1.1"}
class TestRelayNode
{
public:
    enum class Behaviour {
        Relay,           // connect to the target and relay
        Refuse,          // answer CONNECT with 403
        Silent,          // read CONNECT and never answer
        OversizedHeader, // a 200 answer whose head is longer than 8192 bytes
    };

    // `trusted` false: the certificate comes from an authority no client trusts.
    explicit TestRelayNode(TestCertificateAuthority& ca, bool trusted = true);
    ~TestRelayNode();
    TestRelayNode(const TestRelayNode&) = delete;
    TestRelayNode& operator=(const TestRelayNode&) = delete;

    bool start(QString* error);
    // Later connections get a certificate of an authority nobody trusts (the node's TLS fails).
    bool presentUntrustedCertificate(QString* error);
    quint16 port() const { return m_server.port(); }
    // Its entry in a node list.
    QJsonObject nodeEntry(const QString& id, const QString& name) const;

    // The bearer token probes and CONNECT requests must carry; others are answered 401 / 407.
    void setToken(const QByteArray& token) { m_token = token; }
    // Status of a probe with the right token; 0: read it and never answer.
    void setProbeStatus(int status) { m_probeStatus = status; }
    void setBehaviour(Behaviour behaviour) { m_behaviour = behaviour; }
    // Sent right after the success answer's blank line, in the same write.
    void setBytesAfterAnswer(const QByteArray& bytes) { m_bytesAfterAnswer = bytes; }

    int probes() const { return m_probes; }
    // Request lines of every CONNECT, in order ("CONNECT 127.0.0.1:4000 HTTP/1.1").
    QList<QByteArray> connectLines() const { return m_connectLines; }
    QList<QByteArray> hostHeaders() const { return m_hostHeaders; }
    QList<QByteArray> proxyAuthorizations() const { return m_proxyAuthorizations; }
    // Relayed connections still open (client side).
    int openRelays() const;
    int failedHandshakes() const { return m_server.failedHandshakes(); }

private:
    void serve(QSslSocket* socket);
    QString nextCertificateName();
    void handleConnect(QSslSocket* socket, const QByteArray& target, const QByteArray& early);

    TestCertificateAuthority& m_ca;
    bool m_trusted;
    TlsTestServer m_server;
    QObject m_context;
    QByteArray m_token;
    int m_probeStatus = 204;
    Behaviour m_behaviour = Behaviour::Relay;
    QByteArray m_bytesAfterAnswer;
    int m_probes = 0;
    QList<QByteArray> m_connectLines;
    QList<QByteArray> m_hostHeaders;
    QList<QByteArray> m_proxyAuthorizations;
};
