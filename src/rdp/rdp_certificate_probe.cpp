#include "rdp/rdp_certificate_probe.h"

#include <QCryptographicHash>
#include <QMetaObject>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QtEndian>

namespace {

// TPKT header, X.224 Connection Request (class 0) and an RDP Negotiation Request asking for TLS or
// CredSSP (which begins with TLS as well); no cookie, no routing token.
// clang-format off
constexpr char kConnectionRequest[] = {
    0x03, 0x00, 0x00, 0x13,                                      // TPKT: version 3, 19 bytes
    0x0E, static_cast<char>(0xE0), 0x00, 0x00, 0x00, 0x00, 0x00, // X.224 CR: LI 14, no references
    0x01, 0x00, 0x08, 0x00,                                      // RDP_NEG_REQ, no flags, 8 bytes
    0x03, 0x00, 0x00, 0x00,                                      // PROTOCOL_SSL | PROTOCOL_HYBRID
};
// clang-format on

constexpr int kTpktHeaderSize = 4;
constexpr int kConfirmWithoutNegotiation = 11; // TPKT + X.224 CC without variable part
constexpr int kConfirmWithNegotiation = 19;
constexpr int kMaxConfirmSize = 1024;

constexpr quint8 kTypeNegotiationResponse = 0x02;
constexpr quint8 kTypeNegotiationFailure = 0x03;
constexpr quint32 kProtocolRdp = 0x0;
constexpr quint32 kProtocolSsl = 0x1;
constexpr quint32 kProtocolHybrid = 0x2;
constexpr quint32 kProtocolHybridEx = 0x8;
constexpr quint32 kFailureSslNotAllowed = 0x2;
constexpr quint32 kFailureSslCertNotOnServer = 0x3;

} // namespace

RdpCertificateProbe::RdpCertificateProbe(QObject* parent) : QObject(parent)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &RdpCertificateProbe::onTimeout);
}

RdpCertificateProbe::~RdpCertificateProbe()
{
    closeSocket();
}

void RdpCertificateProbe::start(const QString& host, quint16 port)
{
    closeSocket();
    m_buffer.clear();
    m_socket = new QSslSocket(this);

    QSslConfiguration configuration = m_socket->sslConfiguration();
    // Only the certificate is wanted, and it is judged by its fingerprint, not by a chain of trust; the
    // probe sends nothing over the channel. Old servers speak only TLS 1.0 with old ciphers, which the
    // system client and the embedded engine's compatibility mode still reach.
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    configuration.setProtocol(QSsl::AnyProtocol);
    configuration.setBackendConfigurationOption(QByteArrayLiteral("CipherString"),
                                                QByteArrayLiteral("DEFAULT:@SECLEVEL=0"));
    m_socket->setSslConfiguration(configuration);

    connect(m_socket, &QSslSocket::connected, this, &RdpCertificateProbe::onConnected);
    connect(m_socket, &QSslSocket::readyRead, this, &RdpCertificateProbe::onReadyRead);
    connect(m_socket, &QSslSocket::encrypted, this, &RdpCertificateProbe::onEncrypted);
    connect(m_socket, &QSslSocket::errorOccurred, this, &RdpCertificateProbe::onSocketError);
    m_stage = Stage::Connecting;
    m_timer.start(m_timeoutMs);
    // Connected from the event loop: on Windows a refused connection is reported from within
    // connectToHost(), and the answer must not reach the caller while it is still in start(). A probe
    // aborted or started anew before then has another socket, or none.
    QSslSocket* socket = m_socket;
    QMetaObject::invokeMethod(
        this,
        [this, socket, host, port] {
            if (m_socket == socket)
                socket->connectToHost(host, port);
        },
        Qt::QueuedConnection);
}

void RdpCertificateProbe::abort()
{
    closeSocket();
}

void RdpCertificateProbe::onConnected()
{
    m_stage = Stage::Negotiating;
    m_socket->write(kConnectionRequest, sizeof(kConnectionRequest));
}

void RdpCertificateProbe::onReadyRead()
{
    if (!m_socket || m_stage != Stage::Negotiating) {
        return;
    }
    // Nothing but the Connection Confirm may arrive before the handshake, and the TLS layer must see
    // every byte after it: read no further than the TPKT length.
    if (m_buffer.size() < kTpktHeaderSize) {
        m_buffer += m_socket->read(kTpktHeaderSize - m_buffer.size());
        if (m_buffer.size() < kTpktHeaderSize) {
            return;
        }
        if (static_cast<quint8>(m_buffer.at(0)) != 0x03) {
            fail(QStringLiteral("对方不是 RDP 服务器（TPKT 版本 %1）")
                     .arg(static_cast<quint8>(m_buffer.at(0))));
            return;
        }
    }
    const int length = qFromBigEndian<quint16>(m_buffer.constData() + 2);
    if (length < kConfirmWithoutNegotiation || length > kMaxConfirmSize) {
        fail(QStringLiteral("RDP 连接确认长度无效（%1 字节）").arg(length));
        return;
    }
    m_buffer += m_socket->read(length - m_buffer.size());
    if (m_buffer.size() < length) {
        return;
    }
    handleConnectionConfirm(m_buffer);
}

void RdpCertificateProbe::handleConnectionConfirm(const QByteArray& packet)
{
    const auto byte = [&packet](int at) {
        return static_cast<quint8>(packet.at(at));
    };
    if ((byte(5) & 0xF0) != 0xD0) {
        fail(QStringLiteral("RDP 服务器未确认连接（X.224 代码 0x%1）").arg(byte(5), 2, 16, QLatin1Char('0')));
        return;
    }
    Result result;
    if (packet.size() < kConfirmWithNegotiation || byte(4) < 14) {
        // A server from before security negotiation: standard RDP security only.
        result.outcome = Outcome::StandardSecurity;
        finish(result);
        return;
    }
    const quint8 type = byte(11);
    const quint32 value = qFromLittleEndian<quint32>(packet.constData() + 15);
    if (type == kTypeNegotiationFailure) {
        if (value == kFailureSslNotAllowed || value == kFailureSslCertNotOnServer) {
            result.outcome = Outcome::StandardSecurity;
            finish(result);
        } else {
            fail(QStringLiteral("RDP 服务器拒绝了安全协商（代码 %1）").arg(value));
        }
        return;
    }
    if (type != kTypeNegotiationResponse) {
        fail(QStringLiteral("RDP 服务器的协商应答无效（类型 %1）").arg(type));
        return;
    }
    if (value == kProtocolRdp) {
        result.outcome = Outcome::StandardSecurity;
        finish(result);
        return;
    }
    if (value != kProtocolSsl && value != kProtocolHybrid && value != kProtocolHybridEx) {
        fail(QStringLiteral("RDP 服务器选择了未请求的安全协议 0x%1").arg(value, 0, 16));
        return;
    }
    m_requiresNla = value == kProtocolHybrid || value == kProtocolHybridEx;
    m_stage = Stage::Handshaking;
    m_socket->startClientEncryption();
}

void RdpCertificateProbe::onEncrypted()
{
    const QSslCertificate certificate = m_socket ? m_socket->peerCertificate() : QSslCertificate();
    if (certificate.isNull()) {
        fail(QStringLiteral("RDP 服务器未出示证书"));
        return;
    }
    Result result;
    result.outcome = Outcome::Certificate;
    result.requiresNla = m_requiresNla;
    result.fingerprint = formatFingerprint(certificate.digest(QCryptographicHash::Sha256));
    result.subject = certificate.subjectDisplayName();
    result.issuer = certificate.issuerDisplayName();
    finish(result);
}

void RdpCertificateProbe::onSocketError()
{
    if (!m_socket) {
        return;
    }
    switch (m_stage) {
    case Stage::Connecting:
        fail(QStringLiteral("无法连接 RDP 服务器：%1").arg(m_socket->errorString()),
             RdpErrorText::fromSocketError(m_socket->error()));
        break;
    case Stage::Negotiating:
        fail(QStringLiteral("RDP 安全协商中断：%1").arg(m_socket->errorString()));
        break;
    case Stage::Handshaking:
        fail(QStringLiteral("TLS 握手失败：%1").arg(m_socket->errorString()), RdpFailure::Security);
        break;
    case Stage::Idle:
        break;
    }
}

void RdpCertificateProbe::onTimeout()
{
    if (m_socket) {
        fail(QStringLiteral("%1 秒内未取得服务器证书").arg(m_timeoutMs / 1000.0), RdpFailure::TimedOut);
    }
}

void RdpCertificateProbe::fail(const QString& error, RdpFailure failure)
{
    Result result;
    result.outcome = Outcome::Failed;
    result.error = error;
    result.failure = failure;
    finish(result);
}

void RdpCertificateProbe::finish(Result result)
{
    // The receiver may start another probe or delete this one: nothing of this one may be left then.
    closeSocket();
    emit finished(result);
}

void RdpCertificateProbe::closeSocket()
{
    m_timer.stop();
    m_stage = Stage::Idle;
    m_buffer.clear();
    if (!m_socket) {
        return;
    }
    QSslSocket* socket = m_socket;
    m_socket = nullptr;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

QString RdpCertificateProbe::normalizeFingerprint(const QString& fingerprint)
{
    QString normalized = fingerprint;
    normalized.remove(QLatin1Char(':'));
    return normalized.trimmed().toCaseFolded();
}

QString RdpCertificateProbe::formatFingerprint(const QByteArray& digest)
{
    return QString::fromLatin1(digest.toHex(':'));
}
