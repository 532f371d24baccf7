#pragma once

#include <QByteArrayView>
#include <QString>

#include <sys/types.h>

// The one way the program writes a file: the content goes to a new temporary file beside the target,
// every write, the flush to disk and the close are checked, and only a complete file is moved into
// place. A full disk, a quota or an I/O error therefore leaves the earlier file as it was and is
// reported, never passed off as success. The new file gets exactly `mode`, whatever the umask.
class AtomicFileWriter
{
public:
    enum class Existing {
        Replace, // the usual case: the new content takes the place of the old file
        Keep,    // never replace a file that exists by then (two processes creating one secret)
    };

    // Where a failed write stopped: the file could not be created at all, or it could not be
    // completed (short write, flush, close or the move into place).
    enum class Failure {
        None,
        Create,
        Complete,
    };

    // Private user data: owner read and write only.
    static constexpr mode_t kPrivateMode = 0600;

    // Writes `content` to `path`. With Existing::Keep an existing file counts as success and is left
    // untouched. On failure `error` (when given) says why, in Chinese, with the system's reason.
    static bool write(const QString& path, QByteArrayView content, mode_t mode = kPrivateMode,
                      Existing existing = Existing::Replace, QString* error = nullptr,
                      Failure* failure = nullptr);

    // Creates `path` (and missing parents) as a directory private to the user, and tightens an
    // existing one to 0700.
    static bool makePrivateDirectory(const QString& path, QString* error = nullptr);
};
