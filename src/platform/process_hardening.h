#pragma once

#include <QString>

#include <sys/types.h>

// Keeps the secrets a running process holds (host passwords kept for reconnecting, the device key)
// out of core files and away from other processes of the same user: no core dumps, no ptrace
// attach, no reading of /proc/<pid>/mem or environ, and files it creates private to the user.
class ProcessHardening
{
public:
    // Turns core dumps off, makes the process non-dumpable and sets the umask to 077. Called first
    // thing by the program and by the askpass helper. False (with the reason) when one step failed;
    // the steps that worked stay in force.
    static bool apply(QString* error = nullptr);

    // The umask the process had before apply(): for files the user asked for that hold no secret,
    // such as an export without passwords.
    static mode_t originalUmask();

    // The mode a user-requested, non-secret file gets: 0666 less the original umask.
    static mode_t publicFileMode();
};
