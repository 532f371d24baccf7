#pragma once

#include "storage/group.h"
#include "storage/remote.h"

#include "storage/crypto_manager.h"
#include "storage/database_manager.h"

#include <QDateTime>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// A host database in a temporary folder, sealed with a device key of its own (fake data protection).
struct TestInventory
{
    QTemporaryDir dir;
    std::unique_ptr<CryptoManager> crypto;
    std::unique_ptr<DatabaseManager> db;

    // Creates key and database; false when either fails.
    bool open();
    QString filePath(const QString& name) const { return dir.filePath(name); }
};

// The time stamp of every record a test stores, so that the test sees which records the program
// wrote again.
inline const QDateTime kOldTime(QDate(2020, 1, 1), QTime(8, 0), Qt::UTC);

// A group stored through the real database, after the groups already there; a failed write ends the
// test run.
Group storeGroup(DatabaseManager& db, const QString& name, const QString& id = QString());

struct HostFields
{
    QString protocol = QStringLiteral("rdp");
    QString remark;
    QString scope = QStringLiteral("owner");
    int port = 0; // 0: 22 for SSH, else 3389
};

// A host stored through the real database, with user "admin" and password "pw-<name>"; a failed
// write ends the test run.
Remote storeHost(DatabaseManager& db, const QString& name, const QString& host, const Group& group,
                 const HostFields& fields = {});
