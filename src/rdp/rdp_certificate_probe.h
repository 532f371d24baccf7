#pragma once

#include "rdp/rdp_error_text.h"

#include <QByteArray>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QTimer>

class QSslSocket;

// Finds out which certificate an RDP server shows before any credentials go near it: connects, asks
// for TLS (and CredSSP) with an X.224 Connection Request, reads the Connection Confirm and runs the TLS
// handshake far enough to see the server's certificate, then hangs up. The system client is afterwards
// pinned to exactly that certificate. Asynchronous; ends with one finished() unless aborted.
class RdpCertificateProbe : public QObject
{
    Q_OBJECT

public:
    static constexpr int kDefaultTimeoutMs = 15000;

    enum class Outcome {
        Certificate,      // TLS: fingerprint, subject and issuer are set
        StandardSecurity, // the server chose standard RDP security: there is no certificate
        Failed,           // no answer, no RDP, no handshake; error says why
    };

    struct Result
    {
        Outcome outcome = Outcome::Failed;
        QString fingerprint; // SHA-256 of the DER certificate, as FreeRDP writes it: "ab:01:…"
        QString subject;
        QString issuer;
        QString error;
        RdpFailure failure = RdpFailure::ConnectionLost; // what a failure means to the user
        bool requiresNla = false; // the server chose NLA: it checks the credentials before the session
    };

    explicit RdpCertificateProbe(QObject* parent = nullptr);
    ~RdpCertificateProbe() override;

    // How long the whole probe may take, from the connection attempt to the certificate.
    void setTimeout(int milliseconds) { m_timeoutMs = milliseconds; }
    int timeout() const { return m_timeoutMs; }

    // Starts probing host:port, abandoning a probe still running. Virtual so that a test can answer.
    virtual void start(const QString& host, quint16 port);
    // Ends a running probe without a finished().
    virtual void abort();
    bool isRunning() const { return m_socket != nullptr; }

    // The comparable form of a fingerprint: hex digits in lower case, without separators.
    static QString normalizeFingerprint(const QString& fingerprint);
    // FreeRDP's notation of a digest: lower-case hex pairs joined by ':'.
    static QString formatFingerprint(const QByteArray& digest);

signals:
    void finished(const RdpCertificateProbe::Result& result);

private:
    enum class Stage { Idle, Connecting, Negotiating, Handshaking };

    void onConnected();
    void onReadyRead();
    void onEncrypted();
    void onSocketError();
    void onTimeout();
    void handleConnectionConfirm(const QByteArray& packet);
    void fail(const QString& error, RdpFailure failure = RdpFailure::ConnectionLost);
    void finish(Result result);
    void closeSocket();

    QSslSocket* m_socket = nullptr;
    QTimer m_timer;
    QByteArray m_buffer;
    Stage m_stage = Stage::Idle;
    int m_timeoutMs = kDefaultTimeoutMs;
    bool m_requiresNla = false;
};

Q_DECLARE_METATYPE(RdpCertificateProbe::Result)
