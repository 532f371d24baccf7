#include "network/acceleration_manager.h"

#include <QCoreApplication>
#include <QPointer>

AccelerationManager::AccelerationManager(QObject* parent) : QObject(parent) {}

AccelerationManager* AccelerationManager::instance()
{
    // Parented to the application object, so it goes with it; the guard notices that.
    static QPointer<AccelerationManager> manager;
    if (manager.isNull()) {
        manager = new AccelerationManager(QCoreApplication::instance());
    }
    return manager.data();
}

Remote AccelerationManager::route(const Remote& remote) const
{
    // Direct while acceleration is off, which is the only state without relay listeners.
    return remote;
}

bool AccelerationManager::handleConnectionFailure(const QString& remoteId, const QString& remoteName,
                                                  const QString& error)
{
    Q_UNUSED(remoteId);
    Q_UNUSED(remoteName);
    Q_UNUSED(error);
    // A failed direct connection is the caller's to report; only relayed ones are retried here.
    return false;
}
