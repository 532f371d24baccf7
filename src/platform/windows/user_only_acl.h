#pragma once

#include <QString>

// The Windows counterpart of mode 0700/0600: a protected access list that lets only the current
// user in (nothing inherited from the parent folder). Folders pass it on to what is made in them.
class UserOnlyAcl
{
public:
    static bool apply(const QString& path, bool directory, QString* error = nullptr);

    // The system's text for a Windows error code.
    static QString errorText(unsigned long code);
};
