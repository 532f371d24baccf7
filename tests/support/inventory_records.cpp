#include "support/inventory_records.h"

#include "support/fake_data_protection.h"

#include <QUuid>

bool TestInventory::open()
{
    crypto = std::make_unique<CryptoManager>(std::make_unique<FakeDataProtection>());
    db = std::make_unique<DatabaseManager>();
    return dir.isValid() && crypto->initialize(filePath(QStringLiteral("credential.key"))) &&
           db->initialize(filePath(QStringLiteral("data.db")), crypto.get());
}

Group storeGroup(DatabaseManager& db, const QString& name, const QString& id)
{
    Group group;
    group.id = id.isEmpty() ? QUuid::createUuid().toString(QUuid::WithoutBraces) : id;
    group.name = name;
    group.sort_order = static_cast<int>(db.getGroups().size());
    group.created_at = kOldTime;
    if (!db.addGroup(group)) {
        qFatal("group not stored");
    }
    return group;
}

Remote storeHost(DatabaseManager& db, const QString& name, const QString& host, const Group& group,
                 const HostFields& fields)
{
    Remote remote;
    remote.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    remote.name = name;
    remote.host = host;
    remote.protocol = fields.protocol;
    remote.port = fields.port != 0 ? fields.port : remote.isSsh() ? 22 : 3389;
    remote.username = QStringLiteral("admin");
    remote.password = QStringLiteral("pw-") + name;
    remote.remark = fields.remark;
    remote.group_id = group.id;
    remote.access_scope = fields.scope;
    remote.created_at = kOldTime;
    remote.updated_at = kOldTime;
    if (!db.addRemote(remote)) {
        qFatal("host not stored");
    }
    return remote;
}
