#include "support/private_tmpfs.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kSkipped = 77;

bool writeText(const char* path, const QByteArray& text)
{
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = ::write(fd, text.constData(), static_cast<size_t>(text.size())) == text.size();
    ::close(fd);
    return ok;
}

// In the child: a mount namespace of its own (through a user namespace when not root), then the tmpfs.
QString enterPrivateTmpfs(const QByteArray& mountPoint, qint64 sizeBytes)
{
    if (::geteuid() == 0) {
        if (::unshare(CLONE_NEWNS) != 0) {
            return QStringLiteral("unshare(CLONE_NEWNS): %1")
                .arg(QString::fromLocal8Bit(std::strerror(errno)));
        }
    } else {
        const uid_t uid = ::geteuid();
        const gid_t gid = ::getegid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
            return QStringLiteral("no user namespaces: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        }
        writeText("/proc/self/setgroups", "deny");
        if (!writeText("/proc/self/uid_map",
                       QByteArray::number(uid) + ' ' + QByteArray::number(uid) + " 1") ||
            !writeText("/proc/self/gid_map",
                       QByteArray::number(gid) + ' ' + QByteArray::number(gid) + " 1")) {
            return QStringLiteral("cannot map the user into its namespace");
        }
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return QStringLiteral("cannot make mounts private: %1")
            .arg(QString::fromLocal8Bit(std::strerror(errno)));
    }
    const QByteArray options = "size=" + QByteArray::number(sizeBytes) + ",mode=0700";
    if (::mount("tmpfs", mountPoint.constData(), "tmpfs", MS_NOSUID | MS_NODEV, options.constData()) != 0) {
        return QStringLiteral("cannot mount a tmpfs: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
    }
    return {};
}

void writeMessage(int fd, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n <= 0) {
            return;
        }
        done += n;
    }
}

} // namespace

PrivateTmpfs::Outcome PrivateTmpfs::run(const QString& mountPoint, qint64 sizeBytes,
                                        const std::function<QString()>& body)
{
    Outcome outcome;
    QDir().mkpath(mountPoint);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        outcome.skipReason = QStringLiteral("pipe failed");
        return outcome;
    }
    const QByteArray mountPath = QFile::encodeName(mountPoint);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        const QString setupError = enterPrivateTmpfs(mountPath, sizeBytes);
        if (!setupError.isEmpty()) {
            writeMessage(pipeFds[1], setupError);
            ::_exit(kSkipped);
        }
        const QString failure = body();
        writeMessage(pipeFds[1], failure);
        ::_exit(failure.isEmpty() ? 0 : 1);
    }
    ::close(pipeFds[1]);
    if (child < 0) {
        ::close(pipeFds[0]);
        outcome.skipReason = QStringLiteral("fork failed");
        return outcome;
    }
    QByteArray message;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        message.append(buffer, n);
    }
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == kSkipped) {
        outcome.skipReason = QString::fromUtf8(message);
        return outcome;
    }
    outcome.ran = true;
    if (!WIFEXITED(status)) {
        outcome.failure = QStringLiteral("the child died with signal %1").arg(WTERMSIG(status));
    } else if (WEXITSTATUS(status) != 0) {
        outcome.failure = message.isEmpty() ? QStringLiteral("the child failed") : QString::fromUtf8(message);
    }
    return outcome;
}

bool PrivateTmpfs::fill(const QString& directory, qint64 leaveFree)
{
    const QByteArray path = QFile::encodeName(directory + QStringLiteral("/.filler"));
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    const QByteArray block(4096, 'x');
    for (;;) {
        struct statvfs st
        {
        };
        if (::fstatvfs(fd, &st) != 0) {
            break;
        }
        const qint64 free = static_cast<qint64>(st.f_bavail) * static_cast<qint64>(st.f_frsize);
        if (free <= leaveFree) {
            break;
        }
        const size_t chunk = static_cast<size_t>(qMin<qint64>(block.size(), free - leaveFree));
        if (::write(fd, block.constData(), chunk) <= 0) {
            break;
        }
    }
    ::close(fd);
    return true;
}
