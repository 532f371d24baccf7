#pragma once

#include "storage/remote.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class AccelerationManager;
class AccountClient;
class DatabaseManager;
class QWidget;
class VantrelClient;

// The main window's side of the partner portal sign-in: progress in the status bar, failures in a
// message box, and the finished server list written over the portal's hosts (manual hosts stay as
// they are), after which the portal session serves remote acceleration and the account card.
class PortalSyncActions : public QObject
{
    Q_OBJECT

public:
    static constexpr const char* kGroupId = "vantrel-vantrelnet";

    // `status` shows a status bar text (0: until the next); `reload` reads the inventory again.
    PortalSyncActions(QWidget* window, VantrelClient* portal, DatabaseManager* database,
                      AccountClient* account, AccelerationManager* acceleration,
                      std::function<void(const QString&, int)> status, std::function<void()> reload,
                      QObject* parent = nullptr);

    VantrelClient* portal() const { return m_portal; }

    // The reaction to a finished sync; public so the window's tests can drive it with a known list.
    bool importServers(const QString& userId, const QString& name, const QString& accountLabel,
                       const QList<Remote>& remotes);

private:
    bool ensureGroup();

    QPointer<QWidget> m_window;
    VantrelClient* m_portal;
    DatabaseManager* m_db;
    AccountClient* m_account;
    AccelerationManager* m_acceleration;
    std::function<void(const QString&, int)> m_status;
    std::function<void()> m_reload;
};
