#include "app.h"
#include "platform/user_data_protection.h"
#include "storage/crypto_manager.h"
#include "storage/database_manager.h"
#include "support/test_environment.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

// Start-up of the core services in one process, with every user directory inside a temporary one.
class TestApp : public QObject
{
    Q_OBJECT

private:
    QString dataDir() const
    {
#ifdef Q_OS_WIN
        // Windows finds AppData from the user's profile, not the environment: Qt's test folder instead.
        return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
#else
        return m_root->filePath(QStringLiteral("home/.local/share/NIMBARA/NIMBARA"));
#endif
    }

    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<ScopedEnvironment> m_env;

private slots:
    void initTestCase()
    {
        QCoreApplication::setApplicationName(QStringLiteral("NIMBARA"));
        QCoreApplication::setOrganizationName(QStringLiteral("NIMBARA"));
#ifdef Q_OS_WIN
        QStandardPaths::setTestModeEnabled(true);
#endif
    }

    void init()
    {
        m_root = std::make_unique<QTemporaryDir>();
        m_env = std::make_unique<ScopedEnvironment>();
        isolateProcess(*m_env, m_root->path());
#ifdef Q_OS_WIN
        isolateSettings(m_root->path());
        QVERIFY(QDir(dataDir()).removeRecursively());
#endif
    }

    void cleanup()
    {
        m_env.reset();
        m_root.reset();
    }

    void freshDirectoryGetsFilesAndDefaultGroup()
    {
        App app;
        QVERIFY(app.initialize());
        for (const char* name : {"app.log", "credential.key", "data.db"}) {
            QVERIFY2(QFileInfo::exists(dataDir() + QLatin1Char('/') + QLatin1String(name)), name);
        }
        QVERIFY(!QFileInfo::exists(dataDir() + QStringLiteral("/config.toml")));
        const QList<Group> groups = app.database()->getGroups();
        QCOMPARE(groups.size(), 1);
        QCOMPARE(groups[0].id, QStringLiteral("default"));
        QCOMPARE(groups[0].name, QStringLiteral("默认分组"));
        QCOMPARE(groups[0].sort_order, 0);
        QVERIFY(groups[0].created_at.isValid());
    }

    void secondStartOpensWhatTheFirstSealed()
    {
        {
            App first;
            QVERIFY(first.initialize());
            Remote remote;
            remote.id = QStringLiteral("r1");
            remote.name = QStringLiteral("web-01");
            remote.host = QStringLiteral("192.0.2.10");
            remote.password = QStringLiteral("Plain-Secret-123");
            remote.group_id = QStringLiteral("default");
            QVERIFY(first.database()->addRemote(remote));
        }
        QVERIFY(!readFile(dataDir() + QStringLiteral("/data.db")).contains("Plain-Secret-123"));
        QVERIFY(!readFile(dataDir() + QStringLiteral("/app.log")).contains("Plain-Secret-123"));

        App second;
        QVERIFY(second.initialize());
        QCOMPARE(second.database()->getGroups().size(), 1);
        const std::optional<Remote> stored = second.database()->getRemote(QStringLiteral("r1"));
        QVERIFY(stored.has_value());
        QCOMPARE(stored->password, QStringLiteral("Plain-Secret-123"));
    }

    void existingGroupsGetNoDefault()
    {
        {
            App first;
            QVERIFY(first.initialize());
            Group other{QStringLiteral("g1"), QStringLiteral("机房"), 1, QDateTime::currentDateTimeUtc()};
            QVERIFY(first.database()->addGroup(other));
            QVERIFY(first.database()->deleteGroup(QStringLiteral("default")));
        }
        App second;
        QVERIFY(second.initialize());
        const QList<Group> groups = second.database()->getGroups();
        QCOMPARE(groups.size(), 1);
        QCOMPARE(groups[0].id, QStringLiteral("g1"));
    }

    void unwritableLogDoesNotStopStartUp()
    {
        QVERIFY(QDir().mkpath(dataDir() + QStringLiteral("/app.log")));
        App app;
        QVERIFY(app.initialize());
        QVERIFY(app.database()->getGroups().size() == 1);
    }

    void damagedFilesFailStartUpAndStayUntouched_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("data.db not a database")
            << "data.db" << QByteArray("This is not an SQLite database, it is a note.\n").repeated(200);
        QTest::newRow("truncated credential.key") << "credential.key" << QByteArray("NMDP\x01", 5);
        QTest::newRow("garbage credential.key") << "credential.key" << QByteArray(117, '\x42');
    }

    void damagedFilesFailStartUpAndStayUntouched()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, content);
        const QString path = dataDir() + QLatin1Char('/') + file;
        writeFile(path, content);
        {
            App app;
            QVERIFY(!app.initialize());
            app.shutdown(); // the destructor runs it again; both must be harmless
        }
        QCOMPARE(readFile(path), content);
    }

#ifndef Q_OS_WIN
    // On Windows another user's DPAPI cannot be had; the platform test refuses a key file that does
    // not open instead.
    void keyFileOfAnotherUserIsKept()
    {
        // Protected by another user's secret on this machine: well formed, but not ours.
        UserDataProtection::Identity stranger = UserDataProtection::currentUser();
        stranger.secretDirectory = m_root->filePath(QStringLiteral("stranger/NIMBARA"));
        const QByteArray blob = UserDataProtection(stranger).protect(
            QByteArray(64, '\x07'), QStringLiteral("NIMBARA credential key"));
        QVERIFY(!blob.isEmpty());
        const QString path = dataDir() + QStringLiteral("/credential.key");
        writeFile(path, blob);
        {
            App app;
            QVERIFY(!app.initialize());
        }
        QCOMPARE(readFile(path), blob);
        QVERIFY(!QFileInfo::exists(dataDir() + QStringLiteral("/data.db")));
    }
#endif
};

QTEST_GUILESS_MAIN(TestApp)
#include "test_app.moc"
