#include "import/host_importer.h"

#include "import/host_import_parser.h"
#include "logger.h"
#include "storage/database_manager.h"

#include <QDateTime>
#include <QHash>
#include <QSet>
#include <QUuid>

namespace {

// Finds groups by the names an import file gives, planning the ones that do not exist yet.
class GroupResolver
{
public:
    explicit GroupResolver(const QList<Group>& groups) : m_nextSortOrder(int(groups.size()))
    {
        for (const Group& group : groups) {
            // Groups come in their sort order; the first of a name wins, as in the move dialog.
            const QString name = group.name.trimmed();
            if (!m_ids.contains(name)) {
                m_ids.insert(name, group.id);
            }
        }
    }

    QString idFor(const QString& name)
    {
        const auto it = m_ids.constFind(name);
        if (it != m_ids.cend()) {
            return *it;
        }
        Group group;
        group.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        group.name = name;
        group.sort_order = m_nextSortOrder++;
        group.created_at = QDateTime::currentDateTimeUtc();
        m_created.append(group);
        m_ids.insert(name, group.id);
        return group.id;
    }

    const QList<Group>& created() const { return m_created; }

private:
    QHash<QString, QString> m_ids;
    QList<Group> m_created;
    int m_nextSortOrder;
};

} // namespace

HostImporter::Outcome HostImporter::run(DatabaseManager* database, const QByteArray& bytes,
                                        const QString& targetGroupId, bool teamOnly)
{
    Outcome outcome;
    const QList<Group> groups = database->getGroups();
    if (groups.isEmpty()) {
        outcome.status = Status::NoGroups;
        return outcome;
    }
    QString groupId = groups.constFirst().id;
    bool fixedGroup = false;
    for (const Group& group : groups) {
        if (!targetGroupId.isEmpty() && group.id == targetGroupId) {
            groupId = group.id;
            fixedGroup = true;
            break;
        }
    }

    HostParseResult parsed = HostImportParser::parse(bytes, groupId);
    outcome.errors = parsed.errors;
    if (parsed.remotes.isEmpty()) {
        outcome.status = Status::NothingParsed;
        return outcome;
    }

    // Groups are resolved only for the hosts that stay, so that duplicates create no empty group.
    GroupResolver resolver(groups);
    QList<Remote> fresh;
    fresh.reserve(parsed.remotes.size());
    QSet<QString> seen;
    seen.reserve(parsed.remotes.size());
    for (qsizetype i = 0; i < parsed.remotes.size(); ++i) {
        Remote& remote = parsed.remotes[i];
        if (teamOnly) {
            remote.access_scope = QStringLiteral("team");
        }
        const QString key = remote.host.trimmed().toLower() + QLatin1Char(':') + QString::number(remote.port);
        if (seen.contains(key) || database->remoteExists(remote.host, remote.port)) {
            ++outcome.duplicates;
            continue;
        }
        seen.insert(key);
        const QString& groupName = parsed.groupNames.at(i);
        if (!fixedGroup && !groupName.isEmpty()) {
            remote.group_id = resolver.idFor(groupName);
        }
        fresh.append(std::move(remote));
    }
    if (fresh.isEmpty()) {
        outcome.status = Status::AllDuplicates;
        return outcome;
    }

    if (!database->addGroupsAndRemotes(resolver.created(), fresh)) {
        SPDLOG_ERROR("导入 {} 台主机（新建 {} 个分组）失败，数据库事务已回滚", fresh.size(),
                     resolver.created().size());
        outcome.status = Status::WriteFailed;
        return outcome;
    }
    outcome.added = int(fresh.size());
    for (const Group& group : resolver.created()) {
        outcome.createdGroups.append(group.name);
    }
    outcome.status = Status::Imported;
    SPDLOG_INFO("已导入 {} 台主机（默认分组 {}，新建 {} 个分组），跳过 {} 台重复主机，{} 行未导入",
                outcome.added, groupId, outcome.createdGroups.size(), outcome.duplicates,
                outcome.errors.size());
    return outcome;
}
