#pragma once

#include "network/acceleration_node.h"
#include "storage/remote.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QString>
#include <QUrl>

#include <optional>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;
class QTcpServer;
class QTimer;
struct AppConfig;

// The one place every connection asks for the address to connect to. While acceleration is on,
// connections go to a loopback listener per host, and each accepted connection is carried through a
// TLS relay node of the acceleration service (HTTP CONNECT), or directly when no node gets through.
class AccelerationManager : public QObject
{
    Q_OBJECT
public:
    // Used unless the configuration names another address.
    static constexpr const char* kDefaultServiceUrl = "https://accel.vantrel.net";
    static constexpr int kReauthIntervalMs = 480000;
    static constexpr int kNodeTimeoutMs = 9000;
    static constexpr int kRequestTimeoutMs = 10000;

    // The process-wide manager, owned by the application object. Tests may construct their own.
    static AccelerationManager* instance();
    explicit AccelerationManager(QObject* parent = nullptr);
    ~AccelerationManager() override;

    // Sends node list and token requests to `baseUrl` (https; http only for a loopback host) and
    // trusts `extraCaCertificates` besides the system's roots for those requests and for the relay
    // nodes. An unusable address keeps the current one, logs a warning and returns false.
    bool setServiceEndpoint(const QUrl& baseUrl, const QList<QSslCertificate>& extraCaCertificates = {});
    QString serviceUrl() const { return m_serviceUrl; }

    // Time seams: how long a relay node may take to answer the CONNECT request, and how often the
    // token is renewed while acceleration is on.
    void setNodeTimeoutMs(int milliseconds) { m_nodeTimeoutMs = milliseconds; }
    void setReauthIntervalMs(int milliseconds);

    // The portal session whose cookie and JWT are exchanged for an acceleration token.
    void setPartnerSession(const QByteArray& cookie, const QByteArray& jwt);
    void clearPartnerSession();

    // Node list, token, probes; ends in readyToEnable or availabilityFailed.
    void checkAvailability();
    void enableAcceleration();
    void disableAcceleration();

    // The record to connect to: the host itself unless the connection is accelerated, else a copy
    // whose host and port are those of the host's loopback listener.
    Remote route(const Remote& remote);

    // True when the caller should reconnect because the failure was handled here.
    bool handleConnectionFailure(const QString& remoteId, const QString& remoteName, const QString& error);

    bool isEnabled() const { return m_enabled; }
    bool isBusy() const { return m_busy; }
    QSet<QString> directRemoteIds() const { return m_directRemoteIds; }
    // Usable nodes, best first once probed.
    QList<AccelerationNode> nodes() const { return m_nodes; }
    int tunnelCount() const { return static_cast<int>(m_tunnels.size()); }

signals:
    void readyToEnable(const QString& nodeName, int latencyMs);
    void statusChanged(const QString& message);
    void availabilityFailed(const QString& message);
    void fallbackToDirect(const QString& remoteId, const QString& remoteName);
    void enabledChanged(bool enabled);

private:
    QNetworkRequest request(const QUrl& url) const;
    void onNodeListReply(QNetworkReply* reply, quint32 generation);
    void exchangeToken(quint32 generation, bool refresh);
    void onTokenReply(QNetworkReply* reply, quint32 generation, bool refresh);
    void startProbes();
    void onProbeReply(QNetworkReply* reply, quint32 generation, int nodeIndex, qint64 sentAtMs);
    void finishProbes();
    void acceptConnections(QTcpServer* listener, const QString& host, quint16 port, const QString& remoteId,
                           const QString& remoteName);
    void markDirect(const QString& remoteId, const QString& remoteName);
    // A tunnel of `remoteId` could not reach node `nodeId`: new tunnels leave the node out for a while.
    void markNodeDown(const QString& nodeId, const QString& remoteId);
    bool isNodeDown(const QString& nodeId) const;

    QNetworkAccessManager* m_network;
    QTimer* m_reauthTimer;
    QByteArray m_partnerCookie;
    QByteArray m_partnerJwt;
    QByteArray m_token;
    QList<AccelerationNode> m_nodes;
    QHash<QString, QTcpServer*> m_listeners;
    QSet<QObject*> m_tunnels;
    QSet<QString> m_directRemoteIds;
    QHash<QString, int> m_nodeIndexByRemote;
    QHash<QString, qint64> m_nodeDownUntilMs;
    QSet<QString> m_remotesBehindDeadNodes;
    quint32 m_generation = 0;
    int m_pendingProbes = 0;
    bool m_busy = false;
    bool m_enabled = false;

    QString m_serviceUrl = QString::fromLatin1(kDefaultServiceUrl);
    std::optional<QSslConfiguration> m_tls; // set when extra roots are trusted
    int m_nodeTimeoutMs = kNodeTimeoutMs;
};

// Points `manager` at the acceleration service given by [acceleration] service_url and
// ca_certificates, or keeps the built-in one; true when the configured endpoint is used.
bool applyAccelerationServiceConfig(AccelerationManager& manager, const AppConfig& config);
