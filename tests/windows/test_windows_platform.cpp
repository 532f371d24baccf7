// The Windows services behind the platform interfaces, run under Wine: DPAPI data protection, the
// device key file made with it, the data folder under AppData and atomic private files.
#include "import/xls_reader.h"
#include "logger.h"
#include "platform/atomic_file_writer.h"
#include "platform/data_protection.h"
#include "platform/platform_adapter.h"
#include "platform/windows/process_job.h"
#include "platform/windows/user_only_acl.h"
#include "storage/crypto_manager.h"
#include "support/user_only_access.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <windows.h>

#include <tlhelp32.h>

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The running processes named `name`.
QSet<DWORD> processesNamed(const QString& name)
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    QSet<DWORD> found;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (QString::fromWCharArray(entry.szExeFile).compare(name, Qt::CaseInsensitive) == 0) {
            found.insert(entry.th32ProcessID);
        }
    }
    CloseHandle(snapshot);
    return found;
}

} // namespace

class TestWindowsPlatform : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("NIMBARA"));
        QCoreApplication::setApplicationName(QStringLiteral("NIMBARA"));
    }

    void dataProtectionOpensOnlyWhatItMade_data()
    {
        QTest::addColumn<QByteArray>("secret");
        QTest::addColumn<QString>("description");
        QTest::addColumn<int>("damageAt"); // -1: the blob as made

        const QByteArray key("\x00\x01key material\xff", 16);
        QTest::newRow("key pair") << key << QStringLiteral("NIMBARA credential key") << -1;
        QTest::newRow("password") << QStringLiteral("密码 p@ss").toUtf8()
                                  << QStringLiteral("NIMBARA SSH AskPass") << -1;
        QTest::newRow("damaged at the end") << key << QStringLiteral("NIMBARA credential key") << -2;
        QTest::newRow("damaged in the middle") << key << QStringLiteral("NIMBARA credential key") << 40;
    }

    void dataProtectionOpensOnlyWhatItMade()
    {
        QFETCH(QByteArray, secret);
        QFETCH(QString, description);
        QFETCH(int, damageAt);

        const auto protection = createDataProtection();
        QByteArray blob = protection->protect(secret, description);
        QVERIFY(!blob.isEmpty());
        QVERIFY(!blob.contains(secret));
        if (damageAt != -1) {
            const qsizetype at = damageAt < 0 ? blob.size() + damageAt : damageAt;
            blob[at] = char(blob[at] ^ 0x5a);
        }
        QByteArray plain("left over");
        QString opened;
        const bool ok = protection->unprotect(blob, &plain, &opened);
        QCOMPARE(ok, damageAt == -1);
        QCOMPARE(plain, ok ? secret : QByteArray());
        if (ok) {
            QCOMPARE(opened, description);
        }
    }

    void dataProtectionRefusesWhatIsNoBlob_data()
    {
        QTest::addColumn<QByteArray>("blob");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("text") << QByteArray("not a protected blob at all");
        // The Linux build's own format: a file carried over from there is not opened here.
        QTest::newRow("linux blob") << QByteArray("NMDP\x01", 5) + QByteArray(60, 'x');
    }

    void dataProtectionRefusesWhatIsNoBlob()
    {
        QFETCH(QByteArray, blob);
        QByteArray plain("left over");
        QVERIFY(!createDataProtection()->unprotect(blob, &plain));
        QVERIFY(plain.isEmpty());
    }

    // The key file is one DPAPI blob of the 64-byte pair; a later start opens it, a damaged one is
    // refused and left as it is.
    void deviceKeyFileIsOneDpapiBlob()
    {
        QTemporaryDir dir;
        const QString keyFile = dir.filePath(QStringLiteral("credential.key"));
        QString sealed;
        {
            CryptoManager manager;
            QVERIFY(manager.initialize(keyFile));
            sealed = manager.sealEncrypt(QStringLiteral("secret"));
            QVERIFY(!sealed.isEmpty());
        }
        QByteArray pair;
        QString description;
        QVERIFY(createDataProtection()->unprotect(readAll(keyFile), &pair, &description));
        QCOMPARE(pair.size(), 64);
        QCOMPARE(description, QString::fromLatin1(CryptoManager::kKeyDescription));

        CryptoManager later;
        QVERIFY(later.initialize(keyFile));
        QCOMPARE(later.sealDecrypt(sealed), QStringLiteral("secret"));

        // A file that opens but holds two halves that do not belong together (a damaged file that the
        // data protection did not notice) is refused and left as it is, as is one that does not open.
        QByteArray pair2 = pair;
        pair2[40] = char(pair2[40] ^ 1);
        for (const QByteArray& content :
             {createDataProtection()->protect(pair2, QString::fromLatin1(CryptoManager::kKeyDescription)),
              QByteArray("not a protected blob")}) {
            QVERIFY(AtomicFileWriter::write(keyFile, content));
            CryptoManager refused;
            QVERIFY(!refused.initialize(keyFile));
            QCOMPARE(readAll(keyFile), content);
        }
    }

    void dataFolderLiesUnderRoamingAppData()
    {
        const auto adapter = createPlatformAdapter();
        QCOMPARE(adapter->platformName(), QStringLiteral("Windows"));
        const QString data = adapter->dataDirectory();
        QVERIFY2(data.endsWith(QStringLiteral("/AppData/Roaming/NIMBARA/NIMBARA")), qPrintable(data));
        QVERIFY(QFileInfo(data).isDir());
        QCOMPARE(adapter->configFilePath(), data + QStringLiteral("/config.toml"));
        // The folder's access list is set too, but Wine reports a folder's from its Unix mode; the files
        // in it (below) show the list that was set.
        QString error;
        QVERIFY2(AtomicFileWriter::makePrivateDirectory(data, &error), qPrintable(error));
    }

    void atomicWritesReplaceOrKeep_data()
    {
        QTest::addColumn<bool>("keep");
        QTest::addColumn<bool>("existed");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("replace new") << false << false << QByteArray("new");
        QTest::newRow("replace existing") << false << true << QByteArray("new");
        QTest::newRow("keep new") << true << false << QByteArray("new");
        QTest::newRow("keep existing") << true << true << QByteArray("old");
    }

    void atomicWritesReplaceOrKeep()
    {
        QFETCH(bool, keep);
        QFETCH(bool, existed);
        QFETCH(QByteArray, expected);

        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("private"));
        QVERIFY(AtomicFileWriter::makePrivateDirectory(folder));
        const QString path = folder + QStringLiteral("/data.db");
        if (existed) {
            QVERIFY(AtomicFileWriter::write(path, QByteArray("old")));
        }
        QString error;
        QVERIFY2(AtomicFileWriter::write(
                     path, QByteArray("new"), AtomicFileWriter::kPrivateMode,
                     keep ? AtomicFileWriter::Existing::Keep : AtomicFileWriter::Existing::Replace, &error),
                 qPrintable(error));
        QCOMPARE(readAll(path), expected);
        QVERIFY(onlyCurrentUserMayEnter(path));
        // No temporary file stays behind.
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("data.db")});
    }

    // The log names hosts and users: its files, the ones rotation starts too, take the private folder's
    // access list (spdlog makes them, not the atomic writer).
    void logFilesTakeThePrivateFoldersList()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("private"));
        QVERIFY(AtomicFileWriter::makePrivateDirectory(folder));
        QVERIFY(Logger::initialize(folder + QStringLiteral("/app.log"), spdlog::level::info, 2048, 2));
        for (int i = 0; i < 200; ++i) {
            SPDLOG_INFO("line {} {}", i, std::string(40, 'x'));
        }
        Logger::shutdown();
        for (const char* name : {"app.log", "app.1.log", "app.2.log"}) {
            QVERIFY2(onlyCurrentUserMayEnter(folder + QLatin1Char('/') + QLatin1String(name)), name);
        }
    }

    void aFailedWriteSaysWhereAndWhy()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("missing/folder/file.toml"));
        QString error;
        AtomicFileWriter::Failure failure = AtomicFileWriter::Failure::None;
        QVERIFY(!AtomicFileWriter::write(path, QByteArray("x"), AtomicFileWriter::kPrivateMode,
                                         AtomicFileWriter::Existing::Replace, &error, &failure));
        QCOMPARE(failure, AtomicFileWriter::Failure::Create);
        QVERIFY2(error.startsWith(QStringLiteral("无法写入 ")) &&
                     error.contains(QDir::toNativeSeparators(path)),
                 qPrintable(error));
        QVERIFY(!QFileInfo::exists(path));
    }

    // A job holds a process and what it starts: a command interpreter starts another one in a console
    // of its own, which nothing but the job ends.
    void aJobEndsAProcessAndWhatItStarted()
    {
        const QSet<DWORD> before = processesNamed(QStringLiteral("cmd.exe"));
        QProcess process;
        ProcessJob* job = ProcessJob::prepare(&process);
        QVERIFY(job);
        process.start(QStandardPaths::findExecutable(QStringLiteral("cmd")),
                      {QStringLiteral("/d"), QStringLiteral("/k")});
        QVERIFY(process.waitForStarted());
        QVERIFY(job->adopt());
        process.write("start \"\" cmd /d /k\r\n");

        // The new interpreter: neither one that ran before nor the job's first process.
        QSet<DWORD> others = before;
        others.insert(static_cast<DWORD>(process.processId()));
        DWORD child = 0;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                const QSet<DWORD> now = processesNamed(QStringLiteral("cmd.exe")) - others;
                child = now.isEmpty() ? 0 : *now.begin();
                return child != 0;
            }(),
            30000);
        const HANDLE started = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, child);
        QVERIFY(started);
        QCOMPARE(WaitForSingleObject(started, 0), static_cast<DWORD>(WAIT_TIMEOUT));

        job->terminate();
        QVERIFY(process.waitForFinished(10000));
        const DWORD childEnded = WaitForSingleObject(started, 10000);
        TerminateProcess(started, 1);
        CloseHandle(started);
        QCOMPARE(childEnded, static_cast<DWORD>(WAIT_OBJECT_0));
    }

    // A workbook whose name the ANSI code page cannot write (Chinese and Cyrillic on a Western Windows)
    // reads as the same workbook under a plain name: the helper and FreeXL take the name whole.
    void workbookNamedInAnyScriptIsRead()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString source = QStringLiteral(NIMBARA_TEST_DATA_DIR "/import/hosts.xls");
        const QString plain = dir.filePath(QStringLiteral("hosts.xls"));
        const QString folder = dir.filePath(QStringLiteral("主机清单 Серверы"));
        QVERIFY(QDir().mkpath(folder));
        const QString named = QDir(folder).filePath(QStringLiteral("机房 ✓.xls"));
        QVERIFY(QFile::copy(source, plain));
        QVERIFY(QFile::copy(source, named));

        XlsReader::setHelperDirectory(QCoreApplication::applicationDirPath());
        QString error;
        const auto expected = XlsReader::readFirstSheet(plain, &error);
        QVERIFY2(expected && !expected->isEmpty(), qPrintable(error));
        const auto rows = XlsReader::readFirstSheet(named, &error);
        QVERIFY2(rows, qPrintable(error));
        QCOMPARE(*rows, *expected);
    }
};

QTEST_GUILESS_MAIN(TestWindowsPlatform)
#include "test_windows_platform.moc"
