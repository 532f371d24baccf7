#include "support/process_inspector.h"

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QList>

#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

long long ProcessInspector::coreLimit(pid_t pid, bool hard)
{
    QFile limits(QStringLiteral("/proc/%1/limits").arg(pid));
    if (!limits.open(QIODevice::ReadOnly)) {
        return -2;
    }
    for (const QByteArray& line : limits.readAll().split('\n')) {
        if (!line.startsWith("Max core file size")) {
            continue;
        }
        const QList<QByteArray> fields = line.mid(18).simplified().split(' ');
        if (fields.size() < 2) {
            return -2;
        }
        const QByteArray value = fields.at(hard ? 1 : 0);
        if (value == "unlimited") {
            return -1;
        }
        bool ok = false;
        const long long number = value.toLongLong(&ok);
        return ok ? number : -2;
    }
    return -2;
}

namespace {

constexpr uid_t kNobody = 65534;

} // namespace

uid_t ProcessInspector::peerUid()
{
    return ::geteuid() == 0 ? kNobody : ::geteuid();
}

QStringList ProcessInspector::peerLaunch()
{
    if (::geteuid() != 0) {
        return {};
    }
    return {QStringLiteral("setpriv"), QStringLiteral("--reuid=%1").arg(kNobody),
            QStringLiteral("--regid=%1").arg(kNobody), QStringLiteral("--clear-groups")};
}

bool ProcessInspector::becomePeer()
{
    if (::geteuid() != 0) {
        return true;
    }
    const bool changed = ::setgroups(0, nullptr) == 0 && ::setresgid(kNobody, kNobody, kNobody) == 0 &&
                         ::setresuid(kNobody, kNobody, kNobody) == 0;
    // Changing ids makes a process non-dumpable; an ordinary program of that user is dumpable.
    return changed && ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0) == 0;
}

bool ProcessInspector::peerCanRun(const QString& program)
{
    const QByteArray path = QFile::encodeName(program);
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(becomePeer() && ::access(path.constData(), X_OK) == 0 ? 0 : 1);
    }
    if (child < 0) {
        return false;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool ProcessInspector::giveToPeer(const QString& path)
{
    if (::geteuid() != 0) {
        return true;
    }
    bool ok = ::lchown(QFile::encodeName(path).constData(), kNobody, kNobody) == 0;
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        ok = ::lchown(QFile::encodeName(it.next()).constData(), kNobody, kNobody) == 0 && ok;
    }
    return ok;
}

ProcessInspector::PeerAccess ProcessInspector::peerAccess(pid_t pid)
{
    const QByteArray path = "/proc/" + QByteArray::number(pid) + "/environ";
    const pid_t child = ::fork();
    if (child == 0) {
        if (!becomePeer()) {
            ::_exit(2);
        }
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            ::_exit(1);
        }
        char byte = 0;
        const ssize_t n = ::read(fd, &byte, 1);
        ::_exit(n >= 0 ? 0 : 1);
    }
    if (child < 0) {
        return PeerAccess::Unknown;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 2) {
        return PeerAccess::Unknown;
    }
    return WEXITSTATUS(status) == 0 ? PeerAccess::Readable : PeerAccess::Refused;
}

QList<ProcessInspector::Entry> ProcessInspector::processTable()
{
    QList<Entry> table;
    const QStringList names = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        bool isPid = false;
        const qint64 pid = name.toLongLong(&isPid);
        QFile file(QStringLiteral("/proc/%1/stat").arg(name));
        if (!isPid || !file.open(QIODevice::ReadOnly)) {
            continue;
        }
        // "pid (command) state ppid pgrp session ...": the command may hold spaces and parentheses.
        const QByteArray stat = file.readAll();
        const qsizetype end = stat.lastIndexOf(')');
        const QList<QByteArray> fields = end < 0 ? QList<QByteArray>() : stat.mid(end + 2).split(' ');
        if (fields.size() > 3 && !fields[0].isEmpty()) {
            table.append({pid, fields[0].at(0), fields[1].toLongLong(), fields[3].toLongLong()});
        }
    }
    return table;
}
