// AtomicFileWriter on Windows: the same contract with the Win32 file API. A private mode (no rights
// for group or others) becomes an access list for the current user alone.
#include "platform/atomic_file_writer.h"

#include "platform/windows/user_only_acl.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#include <windows.h>

namespace {

bool fail(QString* error, const QString& path, DWORD code)
{
    if (error) {
        *error = QStringLiteral("无法写入 %1：%2")
                     .arg(QDir::toNativeSeparators(path), UserOnlyAcl::errorText(code));
    }
    return false;
}

std::wstring native(const QString& path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

bool writeAll(HANDLE file, QByteArrayView content)
{
    const char* next = content.data();
    qsizetype left = content.size();
    while (left > 0) {
        const DWORD chunk = static_cast<DWORD>(qMin<qsizetype>(left, 1 << 30));
        DWORD written = 0;
        if (!WriteFile(file, next, chunk, &written, nullptr)) {
            return false;
        }
        if (written == 0) {
            SetLastError(ERROR_DISK_FULL);
            return false;
        }
        next += written;
        left -= written;
    }
    return true;
}

} // namespace

bool AtomicFileWriter::write(const QString& path, QByteArrayView content, mode_t mode, Existing existing,
                             QString* error, Failure* failure)
{
    Failure unused = Failure::None;
    Failure& stage = failure ? *failure : unused;
    stage = Failure::Create;
    const QFileInfo targetInfo(path);
    if (targetInfo.isDir()) {
        return fail(error, path, ERROR_DIRECTORY);
    }
    if (existing == Existing::Keep && targetInfo.exists()) {
        stage = Failure::None;
        return true;
    }

    const QString directory = targetInfo.absolutePath();
    QString tmpPath;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 16 && file == INVALID_HANDLE_VALUE; ++attempt) {
        tmpPath = QStringLiteral("%1/.%2.%3")
                      .arg(directory, targetInfo.fileName())
                      .arg(QRandomGenerator::system()->generate(), 8, 16, QLatin1Char('0'));
        file = CreateFileW(native(tmpPath).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
            break;
        }
    }
    if (file == INVALID_HANDLE_VALUE) {
        return fail(error, path, GetLastError());
    }
    stage = Failure::Complete;
    DWORD code = ERROR_SUCCESS;
    bool ok = true;
    if ((mode & 077) == 0) {
        QString reason;
        ok = UserOnlyAcl::apply(tmpPath, false, &reason);
        if (!ok) {
            code = ERROR_ACCESS_DENIED;
        }
    }
    // A full disk or a network share may report its failure only at the flush.
    if (ok && !(writeAll(file, content) && FlushFileBuffers(file))) {
        ok = false;
        code = GetLastError();
    }
    if (!CloseHandle(file) && ok) {
        ok = false;
        code = GetLastError();
    }
    if (ok) {
        const DWORD flags =
            MOVEFILE_WRITE_THROUGH | (existing == Existing::Replace ? MOVEFILE_REPLACE_EXISTING : 0);
        if (!MoveFileExW(native(tmpPath).c_str(), native(targetInfo.absoluteFilePath()).c_str(), flags)) {
            code = GetLastError();
            // Never replacing: whoever came first wins, and both agree on its content.
            ok = existing == Existing::Keep && (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS);
        }
    }
    if (!ok || existing == Existing::Keep) {
        DeleteFileW(native(tmpPath).c_str());
    }
    if (!ok) {
        return fail(error, path, code);
    }
    stage = Failure::None;
    return true;
}

bool AtomicFileWriter::makePrivateDirectory(const QString& path, QString* error)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        if (!QDir().mkpath(info.absolutePath())) {
            return fail(error, path, ERROR_PATH_NOT_FOUND);
        }
        if (!CreateDirectoryW(native(info.absoluteFilePath()).c_str(), nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS) {
            return fail(error, path, GetLastError());
        }
    }
    QString reason;
    if (!UserOnlyAcl::apply(info.absoluteFilePath(), true, &reason)) {
        if (error) {
            *error = QStringLiteral("无法写入 %1：%2").arg(QDir::toNativeSeparators(path), reason);
        }
        return false;
    }
    return true;
}
