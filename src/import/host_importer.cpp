#include "import/host_importer.h"

#include "import/host_import_parser.h"
#include "logger.h"
#include "storage/database_manager.h"

#include <QSet>

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
    for (const Group& group : groups) {
        if (!targetGroupId.isEmpty() && group.id == targetGroupId) {
            groupId = group.id;
            break;
        }
    }

    HostParseResult parsed = HostImportParser::parse(bytes, groupId);
    outcome.errors = parsed.errors;
    if (parsed.remotes.isEmpty()) {
        outcome.status = Status::NothingParsed;
        return outcome;
    }

    QList<Remote> fresh;
    fresh.reserve(parsed.remotes.size());
    QSet<QString> seen;
    seen.reserve(parsed.remotes.size());
    for (Remote& remote : parsed.remotes) {
        if (teamOnly) {
            remote.access_scope = QStringLiteral("team");
        }
        const QString key = remote.host.trimmed().toLower() + QLatin1Char(':') + QString::number(remote.port);
        if (seen.contains(key) || database->remoteExists(remote.host, remote.port)) {
            ++outcome.duplicates;
            continue;
        }
        seen.insert(key);
        fresh.append(std::move(remote));
    }
    if (fresh.isEmpty()) {
        outcome.status = Status::AllDuplicates;
        return outcome;
    }

    if (!database->addRemotes(fresh)) {
        SPDLOG_ERROR("导入 {} 台主机失败，数据库事务已回滚", fresh.size());
        outcome.status = Status::WriteFailed;
        return outcome;
    }
    outcome.added = int(fresh.size());
    outcome.status = Status::Imported;
    SPDLOG_INFO("已导入 {} 台主机到分组 {}，跳过 {} 台重复主机，{} 行未导入", outcome.added, groupId,
                outcome.duplicates, outcome.errors.size());
    return outcome;
}
