#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>

// A folder of hosts in the inventory.
struct Group
{
    QString id;
    QString name;
    int sort_order = 0;
    QDateTime created_at;

    bool operator==(const Group&) const = default;
};

Q_DECLARE_METATYPE(Group)
