#pragma once

#include "storage/remote.h"

#include <QObject>
#include <QSet>
#include <QString>

// The one place every connection asks for the address to connect to.
class AccelerationManager : public QObject
{
    Q_OBJECT
public:
    static AccelerationManager* instance();

    // The record to connect to: the host itself unless the connection is accelerated.
    Remote route(const Remote& remote) const;

    // True when the caller should reconnect because the failure was handled here.
    bool handleConnectionFailure(const QString& remoteId, const QString& remoteName, const QString& error);

    bool isEnabled() const { return m_enabled; }
    QSet<QString> directRemoteIds() const { return m_directRemoteIds; }

signals:
    void readyToEnable(const QString& nodeName, int latencyMs);
    void statusChanged(const QString& message);
    void availabilityFailed(const QString& message);
    void fallbackToDirect(const QString& remoteId, const QString& remoteName);
    void enabledChanged(bool enabled);

private:
    explicit AccelerationManager(QObject* parent);

    bool m_enabled = false;
    QSet<QString> m_directRemoteIds;
};
