#pragma once

#include "storage/group.h"
#include "storage/remote.h"

#include <QList>

// All groups and hosts of the inventory, as the encrypted host sync carries them.
struct HostSnapshot
{
    QList<Group> groups;
    QList<Remote> remotes;

    bool operator==(const HostSnapshot&) const = default;
};
