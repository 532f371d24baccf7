#pragma once

#include <QString>

// Windows only: whether the access list of `path` lets the current user in and nobody of the wider
// groups (Everyone, Users, Authenticated Users) read or write.
bool onlyCurrentUserMayEnter(const QString& path);
