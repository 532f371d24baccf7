#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class DatabaseManager;

// The import step shared by files and pasted text: parse, drop duplicates, write in one transaction.
class HostImporter
{
public:
    enum class Status {
        NoGroups,      // the inventory has no group to import into
        NothingParsed, // no host could be read: `errors` says why
        AllDuplicates, // every host read is already stored or repeated
        WriteFailed,   // the transaction was rolled back; nothing was written
        Imported,
    };

    struct Outcome
    {
        Status status = Status::NoGroups;
        int added = 0;
        int duplicates = 0;
        QStringList createdGroups; // names of the groups the import added
        QStringList errors;
    };

    // `targetGroupId` names the group every host goes to. Empty (all hosts shown), or a group that
    // no longer exists, lets each row's group column decide: a named group is found by name or
    // created along with the hosts; rows that name none go to the first group. `teamOnly` (a team
    // sub-account) stores every host with scope "team".
    static Outcome run(DatabaseManager* database, const QByteArray& bytes, const QString& targetGroupId,
                       bool teamOnly);
};
