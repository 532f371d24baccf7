#include "ui/host_actions.h"

#include "storage/database_manager.h"

#include <QDateTime>
#include <QInputDialog>
#include <QMessageBox>
#include <QWidget>

#include <algorithm>

namespace {

QStringList idsOf(const QList<Remote>& hosts)
{
    QStringList ids;
    for (const Remote& remote : hosts) {
        ids.append(remote.id);
    }
    return ids;
}

} // namespace

HostActions::HostActions(DatabaseManager* database, QWidget* parent) : QObject(parent), m_db(database) {}

QWidget* HostActions::window() const
{
    return static_cast<QWidget*>(parent());
}

void HostActions::remove(const QList<Remote>& hosts)
{
    const auto answer =
        QMessageBox::question(window(), QStringLiteral("确认删除"),
                              QStringLiteral("确定删除选中的 %1 台远程主机吗？").arg(hosts.size()),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes) {
        return;
    }
    if (m_db->deleteRemotes(idsOf(hosts))) {
        emit inventoryChanged();
    } else {
        QMessageBox::critical(window(), QStringLiteral("删除失败"),
                              QStringLiteral("未删除任何主机，数据库事务已回滚。"));
    }
}

void HostActions::chooseGroupAndMove(const QList<Remote>& hosts)
{
    const QList<Group> groups = m_db->getGroups();
    QStringList names;
    for (const Group& group : groups) {
        names.append(group.name);
    }
    bool ok = false;
    const QString name =
        QInputDialog::getItem(window(), QStringLiteral("移动主机"),
                              QStringLiteral("将 %1 台主机移动到").arg(hosts.size()), names, 0, false, &ok);
    if (!ok) {
        return;
    }
    const auto target =
        std::find_if(groups.cbegin(), groups.cend(), [&](const Group& group) { return group.name == name; });
    if (target != groups.cend()) {
        move(idsOf(hosts), target->id);
    }
}

void HostActions::move(const QStringList& ids, const QString& groupId)
{
    if (ids.isEmpty() || groupId.isEmpty()) {
        return;
    }
    const QList<Group> groups = m_db->getGroups();
    const auto target =
        std::find_if(groups.cbegin(), groups.cend(), [&](const Group& group) { return group.id == groupId; });
    if (target == groups.cend()) {
        QMessageBox::warning(window(), QStringLiteral("无法移动"),
                             QStringLiteral("目标分组已经不存在，请刷新后重试。"));
        return;
    }
    const QString groupName = target->name;

    int moved = 0;
    int failed = 0;
    int alreadyThere = 0;
    QStringList unique = ids;
    unique.removeDuplicates();
    for (const QString& id : std::as_const(unique)) {
        std::optional<Remote> remote = m_db->getRemote(id);
        if (!remote) {
            ++failed;
            continue;
        }
        if (remote->group_id == groupId) {
            ++alreadyThere;
            continue;
        }
        remote->group_id = groupId;
        remote->updated_at = QDateTime::currentDateTimeUtc();
        if (m_db->updateRemote(*remote)) {
            ++moved;
        } else {
            ++failed;
        }
    }

    emit hostsMoved();

    if (failed == 0 && moved > 0) {
        emit statusMessage(QStringLiteral("已将 %1 台主机移动到“%2”分组").arg(moved).arg(groupName), 6000);
    } else if (failed > 0) {
        QMessageBox::warning(window(), QStringLiteral("移动完成"),
                             QStringLiteral("已移动 %1 台主机到“%2”，另有 %3 台保存失败。")
                                 .arg(moved)
                                 .arg(groupName)
                                 .arg(failed));
    } else if (alreadyThere > 0) {
        emit statusMessage(QStringLiteral("所选主机已经在“%1”分组中").arg(groupName), 5000);
    }
}

void HostActions::editRemarks(const QList<Remote>& hosts)
{
    bool ok = false;
    const QString text = QInputDialog::getMultiLineText(
        window(), QStringLiteral("批量修改备注"),
        QStringLiteral("将覆盖所选 %1 台主机的备注").arg(hosts.size()), QString(), &ok);
    if (!ok) {
        return;
    }
    const QString remark = text.trimmed();
    for (Remote remote : hosts) {
        remote.remark = remark;
        // A failed write of one host does not stop the others and is not reported.
        m_db->updateRemote(remote);
    }
    emit inventoryChanged();
}

void HostActions::setScope(const QList<Remote>& hosts)
{
    bool ok = false;
    const QString choice = QInputDialog::getItem(
        window(), QStringLiteral("设置主机权限"),
        QStringLiteral("所选 %1 台主机允许谁使用？").arg(hosts.size()),
        {QStringLiteral("仅主账号可用"), QStringLiteral("主账号及所有子账号可用")}, 0, false, &ok);
    if (!ok) {
        return;
    }
    const QString scope =
        choice.startsWith(QStringLiteral("仅主账号")) ? QStringLiteral("owner") : QStringLiteral("team");
    int updated = 0;
    for (Remote remote : hosts) {
        remote.access_scope = scope;
        remote.updated_at = QDateTime::currentDateTimeUtc();
        if (m_db->updateRemote(remote)) {
            ++updated;
        }
    }
    emit inventoryChanged();
    emit statusMessage(QStringLiteral("已更新 %1 台主机的访问权限").arg(updated), 6000);
}
