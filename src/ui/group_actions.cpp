#include "ui/group_actions.h"

#include "logger.h"
#include "storage/database_manager.h"

#include <QDateTime>
#include <QInputDialog>
#include <QMessageBox>
#include <QUuid>
#include <QWidget>

#include <algorithm>

namespace {

const QString kAgentGroupName = QStringLiteral("Agent 托管主机");
const QString kDefaultGroupName = QStringLiteral("默认分组");

// Whether another group than `exceptId` is named `name`, compared as the database compares text
// (exactly, letter case included).
bool nameTaken(const QList<Group>& groups, const QString& name, const QString& exceptId)
{
    return std::any_of(groups.cbegin(), groups.cend(),
                       [&](const Group& group) { return group.id != exceptId && group.name == name; });
}

QString takenText(const QString& name)
{
    return QStringLiteral("已经有名为“%1”的分组，请换一个名称。").arg(name);
}

} // namespace

GroupActions::GroupActions(DatabaseManager* database, QWidget* parent) : QObject(parent), m_db(database) {}

QWidget* GroupActions::window() const
{
    return static_cast<QWidget*>(parent());
}

QString GroupActions::add()
{
    bool ok = false;
    const QString name = QInputDialog::getText(window(), QStringLiteral("新建分组"),
                                               QStringLiteral("分组名称"), QLineEdit::Normal, QString(), &ok)
                             .trimmed();
    if (!ok || name.isEmpty()) {
        return QString();
    }
    const QList<Group> groups = m_db->getGroups();
    if (nameTaken(groups, name, QString())) {
        QMessageBox::warning(window(), QStringLiteral("新建分组"), takenText(name));
        return QString();
    }
    Group group;
    group.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    group.name = name;
    group.sort_order = static_cast<int>(groups.size());
    group.created_at = QDateTime::currentDateTimeUtc();
    if (!m_db->addGroup(group)) {
        QMessageBox::critical(window(), QStringLiteral("创建失败"), QStringLiteral("无法创建分组"));
        return QString();
    }
    return group.id;
}

bool GroupActions::rename(const QString& groupId)
{
    if (groupId.isEmpty()) {
        return false;
    }
    const QList<Group> groups = m_db->getGroups();
    const auto found =
        std::find_if(groups.cbegin(), groups.cend(), [&](const Group& group) { return group.id == groupId; });
    if (found == groups.cend()) {
        return false;
    }
    bool ok = false;
    const QString name =
        QInputDialog::getText(window(), QStringLiteral("重命名分组"), QStringLiteral("分组名称"),
                              QLineEdit::Normal, found->name, &ok)
            .trimmed();
    // Its own name again is no change.
    if (!ok || name.isEmpty() || name == found->name) {
        return false;
    }
    if (nameTaken(groups, name, groupId)) {
        QMessageBox::warning(window(), QStringLiteral("重命名分组"), takenText(name));
        return false;
    }
    Group renamed = *found;
    renamed.name = name;
    if (!m_db->updateGroup(renamed)) {
        QMessageBox::critical(window(), QStringLiteral("保存失败"), QStringLiteral("无法重命名分组"));
        return false;
    }
    return true;
}

bool GroupActions::remove(const QString& groupId)
{
    if (groupId.isEmpty()) {
        return false;
    }
    if (m_db->getGroups().size() <= 1) {
        QMessageBox::information(window(), QStringLiteral("不能删除"), QStringLiteral("至少保留一个分组"));
        return false;
    }
    const qsizetype count =
        m_db->getRemotesByGroup(groupId, DatabaseManager::Passwords::Skip, DatabaseManager::Times::Skip)
            .size();
    const auto answer = QMessageBox::warning(
        window(), QStringLiteral("删除分组"),
        QStringLiteral("删除该分组会同时删除其中 %1 台远程主机。确定继续吗？").arg(count),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes) {
        return false;
    }
    if (!m_db->deleteGroup(groupId)) {
        QMessageBox::critical(window(), QStringLiteral("删除失败"), QStringLiteral("无法删除分组"));
        return false;
    }
    return true;
}

void GroupActions::mergeAgentGroup()
{
    const QList<Group> groups = m_db->getGroups();
    const auto agent = std::find_if(groups.cbegin(), groups.cend(),
                                    [](const Group& group) { return group.name == kAgentGroupName; });
    if (agent == groups.cend()) {
        return;
    }
    auto target = std::find_if(groups.cbegin(), groups.cend(),
                               [](const Group& group) { return group.name == kDefaultGroupName; });
    if (target == groups.cend()) {
        target = std::find_if(groups.cbegin(), groups.cend(),
                              [&](const Group& group) { return group.id != agent->id; });
    }
    if (target == groups.cend()) {
        Group renamed = *agent;
        renamed.name = kDefaultGroupName;
        m_db->updateGroup(renamed);
        return;
    }
    // Passwords are opened here because every host is written back whole.
    bool allMoved = true;
    for (Remote remote : m_db->getRemotesByGroup(agent->id, DatabaseManager::Passwords::Open)) {
        remote.group_id = target->id;
        remote.updated_at = QDateTime::currentDateTimeUtc();
        if (!m_db->updateRemote(remote)) {
            allMoved = false;
        }
    }
    if (allMoved) {
        m_db->deleteGroup(agent->id);
    } else {
        SPDLOG_WARN("Agent 托管主机分组合并未完成，下次刷新分组时重试");
    }
}
