#pragma once

#include <QString>

#include <memory>

// The Windows counterpart of mode 0700/0600: a protected access list that lets only the current
// user in (nothing inherited from the parent folder). Folders pass it on to what is made in them.
class UserOnlyAcl
{
public:
    static bool apply(const QString& path, bool directory, QString* error = nullptr);

    // The user of this process: a TOKEN_USER (its SID lives as long as the buffer); null with the
    // Windows error in `error` when the process token cannot be read.
    static std::unique_ptr<char[]> currentUser(unsigned long* error);

    // The system's text for a Windows error code.
    static QString errorText(unsigned long code);
};
