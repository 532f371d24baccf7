#include "ui/portal_sync_actions.h"

#include "cloud/account_client.h"
#include "logger.h"
#include "network/acceleration_manager.h"
#include "network/vantrel_client.h"
#include "storage/database_manager.h"
#include "storage/group.h"

#include <QDateTime>
#include <QMessageBox>

namespace {
const QString kSyncFailedTitle = QStringLiteral("同步失败");
} // namespace

PortalSyncActions::PortalSyncActions(QWidget* window, VantrelClient* portal, DatabaseManager* database,
                                     AccountClient* account, AccelerationManager* acceleration,
                                     std::function<void(const QString&, int)> status,
                                     std::function<void()> reload, QObject* parent)
    : QObject(parent), m_window(window), m_portal(portal), m_db(database), m_account(account),
      m_acceleration(acceleration), m_status(std::move(status)), m_reload(std::move(reload))
{
    connect(m_portal, &VantrelClient::syncProgress, this,
            [this](const QString& message) { m_status(message, 0); });
    connect(m_portal, &VantrelClient::failed, this, [this](const QString& message) {
        QMessageBox::warning(m_window, QStringLiteral("Vantrelnet登录/同步失败"), message);
    });
    connect(m_portal, &VantrelClient::syncFinished, this, &PortalSyncActions::importServers);
}

bool PortalSyncActions::ensureGroup()
{
    const QString groupId = QString::fromLatin1(kGroupId);
    for (const Group& group : m_db->getGroups()) {
        if (group.id == groupId)
            return true;
    }
    Group group;
    group.id = groupId;
    group.name = QStringLiteral("Vantrelnet");
    group.sort_order = 0;
    group.created_at = QDateTime::currentDateTimeUtc();
    return m_db->addGroup(group);
}

bool PortalSyncActions::importServers(const QString& userId, const QString& name, const QString& accountLabel,
                                      const QList<Remote>& remotes)
{
    if (!ensureGroup()) {
        QMessageBox::warning(m_window, kSyncFailedTitle, QStringLiteral("无法创建Vantrelnet分组。"));
        return false;
    }
    if (!m_db->replaceVantrelRemotes(remotes)) {
        QMessageBox::warning(m_window, kSyncFailedTitle,
                             QStringLiteral("服务器资料无法写入本机列表。网站数据未被修改。"));
        return false;
    }
    SPDLOG_INFO("Vantrelnet同步完成：{} 台服务器", remotes.size());
    m_acceleration->setPartnerSession(m_portal->cookieHeader(), m_portal->jwt().toUtf8());
    m_account->activatePartnerAccount(userId, name, accountLabel);
    m_reload();
    m_status(QStringLiteral("Vantrelnet同步完成：已同步 %1 台服务器（只读）").arg(remotes.size()), 10000);
    return true;
}
