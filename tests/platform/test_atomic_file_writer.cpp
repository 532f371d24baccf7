#include "platform/atomic_file_writer.h"
#include "support/file_size_limit.h"
#include "support/private_tmpfs.h"
#include "support/test_environment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <sys/stat.h>

namespace {

mode_t modeOf(const QString& path)
{
    struct stat st
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

QStringList entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace

class TestAtomicFileWriter : public QObject
{
    Q_OBJECT

private slots:
    void writesExactModeWhateverTheUmask()
    {
        QTemporaryDir dir;
        const mode_t previous = ::umask(0);
        const auto restore = qScopeGuard([previous] { ::umask(previous); });

        const QString secret = dir.filePath(QStringLiteral("secret"));
        QVERIFY(AtomicFileWriter::write(secret, "key material"));
        QCOMPARE(readFile(secret), QByteArray("key material"));
        QCOMPARE(modeOf(secret), mode_t(0600));

        // Replacing a file that was readable by others does not keep its old mode.
        const QString wide = dir.filePath(QStringLiteral("wide"));
        writeFile(wide, "old");
        QVERIFY(QFile::setPermissions(wide, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        QVERIFY(AtomicFileWriter::write(wide, "new"));
        QCOMPARE(modeOf(wide), mode_t(0600));

        const QString shared = dir.filePath(QStringLiteral("shared"));
        QVERIFY(AtomicFileWriter::write(shared, "list", 0644));
        QCOMPARE(modeOf(shared), mode_t(0644));
        QCOMPARE(entries(dir.path()), QStringList({"secret", "shared", "wide"}));
    }

    void symbolicLinkKeepsPointingAtItsTarget()
    {
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("real.toml"));
        const QString link = dir.filePath(QStringLiteral("config.toml"));
        writeFile(target, "old");
        QVERIFY(QFile::link(target, link));
        QVERIFY(AtomicFileWriter::write(link, "new"));
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(readFile(target), QByteArray("new"));
    }

    void keepNeverReplacesAnExistingFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("secret"));
        QVERIFY(AtomicFileWriter::write(path, "first", 0600, AtomicFileWriter::Existing::Keep));
        QVERIFY(AtomicFileWriter::write(path, "second", 0600, AtomicFileWriter::Existing::Keep));
        QCOMPARE(readFile(path), QByteArray("first"));
        QCOMPARE(entries(dir.path()), QStringList({"secret"}));
    }

    void unwritablePlacesFailAtCreation_data()
    {
        QTest::addColumn<QString>("relative");
        QTest::newRow("missing folder") << QStringLiteral("no/such/folder/file");
        QTest::newRow("a folder") << QStringLiteral("folder");
    }

    void unwritablePlacesFailAtCreation()
    {
        QFETCH(QString, relative);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder")));
        QString error;
        AtomicFileWriter::Failure failure = AtomicFileWriter::Failure::None;
        QVERIFY(!AtomicFileWriter::write(dir.filePath(relative), "x", 0600,
                                         AtomicFileWriter::Existing::Replace, &error, &failure));
        QCOMPARE(failure, AtomicFileWriter::Failure::Create);
        QVERIFY2(error.startsWith(QStringLiteral("无法写入 ")), qPrintable(error));
        QCOMPARE(entries(dir.path()), QStringList({"folder"}));
    }

    // A file size limit cuts the write short, as a quota would.
    void shortWriteKeepsTheEarlierFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("data"));
        writeFile(path, "earlier");
        auto limit = std::make_unique<FileSizeLimit>(1024);
        QVERIFY(limit->isValid());
        QString error;
        AtomicFileWriter::Failure failure = AtomicFileWriter::Failure::None;
        const bool written = AtomicFileWriter::write(path, QByteArray(4096, 'x'), 0600,
                                                     AtomicFileWriter::Existing::Replace, &error, &failure);
        limit.reset();

        QVERIFY(!written);
        QCOMPARE(failure, AtomicFileWriter::Failure::Complete);
        QVERIFY(!error.isEmpty());
        QCOMPARE(readFile(path), QByteArray("earlier"));
        QCOMPARE(entries(dir.path()), QStringList({"data"}));
    }

    // A really full disk: the write that does not fit fails and leaves neither a half file nor a
    // temporary one; with a few KiB free a small file still fits.
    void fullDiskIsReportedAndLeavesNoTrace()
    {
        QTemporaryDir dir;
        const QString mount = dir.filePath(QStringLiteral("disk"));
        const PrivateTmpfs::Outcome outcome = PrivateTmpfs::run(mount, 64 * 1024, [&]() -> QString {
            const QString path = mount + QStringLiteral("/data");
            if (!AtomicFileWriter::write(path, "earlier")) {
                return QStringLiteral("the first write failed on an empty disk");
            }
            if (!PrivateTmpfs::fill(mount, 8192)) {
                return QStringLiteral("cannot fill the disk");
            }
            QString error;
            if (AtomicFileWriter::write(path, QByteArray(32 * 1024, 'x'), 0600,
                                        AtomicFileWriter::Existing::Replace, &error)) {
                return QStringLiteral("32 KiB reported as written with 8 KiB free");
            }
            if (readFile(path) != "earlier") {
                return QStringLiteral("the earlier file changed");
            }
            if (entries(mount) != QStringList({".filler", "data"})) {
                return QStringLiteral("left behind: ") + entries(mount).join(QLatin1Char(' '));
            }
            if (!AtomicFileWriter::write(path, "small")) {
                return QStringLiteral("a small file did not fit into 8 KiB");
            }
            if (!PrivateTmpfs::fill(mount, 0)) {
                return QStringLiteral("cannot fill the disk");
            }
            // Buffered writers pass this case off as success with an empty file.
            if (AtomicFileWriter::write(mount + QStringLiteral("/fresh"), "0123456789")) {
                return QStringLiteral("a write to a full disk was reported as success");
            }
            if (QFileInfo::exists(mount + QStringLiteral("/fresh"))) {
                return QStringLiteral("a failed write left the file");
            }
            return readFile(path) == "small" ? QString() : QStringLiteral("the file changed");
        });
        if (!outcome.ran) {
            QSKIP(qPrintable(QStringLiteral("no private tmpfs: ") + outcome.skipReason));
        }
        QVERIFY2(outcome.failure.isEmpty(), qPrintable(outcome.failure));
    }

    void privateDirectoryIsCreatedAndTightened()
    {
        QTemporaryDir dir;
        const mode_t previous = ::umask(0);
        const auto restore = qScopeGuard([previous] { ::umask(previous); });
        const QString fresh = dir.filePath(QStringLiteral("a/b/NIMBARA"));
        QVERIFY(AtomicFileWriter::makePrivateDirectory(fresh));
        QCOMPARE(modeOf(fresh), mode_t(0700));

        const QString open = dir.filePath(QStringLiteral("open"));
        QVERIFY(QDir().mkpath(open));
        QVERIFY(::chmod(QFile::encodeName(open).constData(), 0755) == 0);
        QVERIFY(AtomicFileWriter::makePrivateDirectory(open));
        QCOMPARE(modeOf(open), mode_t(0700));
    }
};

QTEST_GUILESS_MAIN(TestAtomicFileWriter)
#include "test_atomic_file_writer.moc"
