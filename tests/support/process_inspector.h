#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <sys/types.h>

// Looks at a running process from outside, as another program of the same user would.
class ProcessInspector
{
public:
    // The soft and hard core file size limits of `pid`, from /proc; -1 for "unlimited", -2 when unknown.
    static long long coreLimit(pid_t pid, bool hard = false);

    enum class PeerAccess {
        Readable,
        Refused,
        Unknown, // the probe itself could not run
    };

    // Whether another process of the same user may read the memory-related /proc files of `pid`
    // (its environment here): refused for a process that made itself non-dumpable. Root reads them
    // whatever the target did, so under root both sides run as the unprivileged peer user: start
    // the target through peerLaunch() (or becomePeer() in a forked child) and give it its files
    // with giveToPeer().
    static PeerAccess peerAccess(pid_t pid);

    // The user id the target and the probe share: this process's own, or nobody's under root.
    static uid_t peerUid();
    // The command line prefix that starts a program as that user; empty when no prefix is needed.
    static QStringList peerLaunch();
    // For a forked child: become that user in place.
    static bool becomePeer();
    // Whether that user may run `program` (every folder on the way must let it through).
    static bool peerCanRun(const QString& program);
    // Hands a directory tree to that user (under root; nothing to do otherwise).
    static bool giveToPeer(const QString& path);

    // One process as /proc/<pid>/stat shows it.
    struct Entry
    {
        qint64 pid = 0;
        char state = '?'; // 'Z' for a zombie
        qint64 parent = 0;
        qint64 session = 0;
    };
    // Every process on the machine at this moment.
    static QList<Entry> processTable();
};
