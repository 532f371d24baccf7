#include "platform/atomic_file_writer.h"

#include "platform/posix_io.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemReason(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

bool fail(QString* error, const QString& path, int code)
{
    if (error) {
        *error = QStringLiteral("无法写入 %1：%2").arg(QDir::toNativeSeparators(path), systemReason(code));
    }
    return false;
}

// Makes the directory entry itself durable: without it a crash right after the rename can leave the
// old name pointing nowhere. File systems that cannot sync a directory say EINVAL.
bool syncDirectory(const QByteArray& directory)
{
    const int fd = ::open(directory.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = ::fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return ok;
}

// Like QSaveFile: a symbolic link keeps pointing where it did and its target gets the new content.
QString resolvedTarget(const QString& path)
{
    const QFileInfo info(path);
    if (info.isSymLink()) {
        return info.symLinkTarget();
    }
    return info.absoluteFilePath();
}

} // namespace

bool AtomicFileWriter::write(const QString& path, QByteArrayView content, mode_t mode, Existing existing,
                             QString* error, Failure* failure)
{
    Failure unused = Failure::None;
    Failure& stage = failure ? *failure : unused;
    stage = Failure::Create;
    const QString target = resolvedTarget(path);
    const QFileInfo targetInfo(target);
    const QByteArray directory = QFile::encodeName(targetInfo.absolutePath());
    const QByteArray finalPath = QFile::encodeName(target);
    if (targetInfo.isDir()) {
        return fail(error, path, EISDIR);
    }
    if (existing == Existing::Keep && targetInfo.exists()) {
        stage = Failure::None;
        return true;
    }

    QByteArray tmpPath = directory + "/." + QFile::encodeName(targetInfo.fileName()) + ".XXXXXX";
    const int fd = ::mkostemp(tmpPath.data(), O_CLOEXEC);
    if (fd < 0) {
        return fail(error, path, errno);
    }
    stage = Failure::Complete;
    int code = 0;
    bool ok = ::fchmod(fd, mode) == 0;
    ok = ok && PosixIo::writeAll(fd, content.data(), static_cast<size_t>(content.size()));
    // Delayed allocation and network file systems report a full disk only here or at close.
    ok = ok && ::fsync(fd) == 0;
    if (!ok) {
        code = errno;
    }
    if (::close(fd) != 0 && ok) {
        ok = false;
        code = errno;
    }
    if (ok) {
        if (existing == Existing::Keep) {
            // link() never replaces: whoever came first wins, and both agree on its content.
            ok = ::link(tmpPath.constData(), finalPath.constData()) == 0 || errno == EEXIST;
            if (!ok) {
                code = errno;
            }
            ::unlink(tmpPath.constData());
        } else {
            ok = ::rename(tmpPath.constData(), finalPath.constData()) == 0;
            if (!ok) {
                code = errno;
            }
        }
    }
    if (!ok) {
        ::unlink(tmpPath.constData());
        return fail(error, path, code);
    }
    if (!syncDirectory(directory)) {
        return fail(error, path, errno);
    }
    stage = Failure::None;
    return true;
}

bool AtomicFileWriter::makePrivateDirectory(const QString& path, QString* error)
{
    // Created with the mode it ends with, so it is never open to others for a moment; parents that
    // did not exist are made the usual way.
    const QFileInfo info(path);
    if (!info.exists()) {
        if (!QDir().mkpath(info.absolutePath())) {
            return fail(error, path, errno != 0 ? errno : EACCES);
        }
        if (::mkdir(QFile::encodeName(path).constData(), 0700) != 0 && errno != EEXIST) {
            return fail(error, path, errno);
        }
    }
    if (::chmod(QFile::encodeName(path).constData(), 0700) != 0) {
        return fail(error, path, errno);
    }
    return true;
}
