#include "platform/user_data_protection.h"
#include "support/test_environment.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

class TestUserDataProtection : public QObject
{
    Q_OBJECT

private:
    UserDataProtection::Identity identity(const QString& user, const QString& machine = QStringLiteral("m1"),
                                          quint32 uid = 1000)
    {
        const QString machineFile = m_dir.filePath(QStringLiteral("machine-id-") + machine);
        if (!QFileInfo::exists(machineFile)) {
            writeFile(machineFile, machine.toLatin1() + "0123456789abcdef\n");
        }
        return {m_dir.filePath(QStringLiteral("config-") + user + QStringLiteral("/NIMBARA")),
                {machineFile},
                uid};
    }

    QTemporaryDir m_dir;

private slots:
    void roundTripKeepsDataAndDescription()
    {
        UserDataProtection protection(identity(QStringLiteral("alice")));
        const QByteArray secret("\x00\x01key material\xff", 16);
        const QByteArray blob = protection.protect(secret, QStringLiteral("NIMBARA credential key"));
        QVERIFY(!blob.isEmpty());
        QVERIFY(!blob.contains("key material"));
        QVERIFY(blob.startsWith("NMDP"));

        QByteArray plain;
        QString description;
        QVERIFY(protection.unprotect(blob, &plain, &description));
        QCOMPARE(plain, secret);
        QCOMPARE(description, QStringLiteral("NIMBARA credential key"));

        // A fresh object for the same user (a later start of the program) opens it too.
        UserDataProtection later(identity(QStringLiteral("alice")));
        QVERIFY(later.unprotect(blob, &plain));
        QCOMPARE(plain, secret);
    }

    void everyBlobHasItsOwnNonce()
    {
        UserDataProtection protection(identity(QStringLiteral("alice")));
        const QByteArray a = protection.protect("same", {});
        const QByteArray b = protection.protect("same", {});
        QVERIFY(!a.isEmpty());
        QVERIFY(a != b);
    }

    void secretIsPrivateAndNeverReplaced()
    {
        UserDataProtection protection(identity(QStringLiteral("bob")));
        QVERIFY(!protection.protect("x", {}).isEmpty());
        const QString secretPath = protection.secretFilePath();
        struct stat st
        {
        };
        QCOMPARE(::stat(QFile::encodeName(secretPath).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0600u);
        QCOMPARE(st.st_size, 32);
        QCOMPARE(::stat(QFile::encodeName(QFileInfo(secretPath).absolutePath()).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0700u);

        const QByteArray before = readFile(secretPath);
        QVERIFY(!protection.protect("y", {}).isEmpty());
        QCOMPARE(readFile(secretPath), before);

        // A damaged secret makes protection fail rather than silently starting a new one.
        writeFile(secretPath, "short");
        QVERIFY(protection.protect("z", {}).isEmpty());
        QCOMPARE(readFile(secretPath), QByteArray("short"));
    }

    void foreignBlobsDoNotOpen_data()
    {
        QTest::addColumn<QString>("otherUser");
        QTest::addColumn<QString>("otherMachine");
        QTest::addColumn<quint32>("otherUid");
        QTest::newRow("another user's secret") << "carol"
                                               << "m1" << 1000u;
        QTest::newRow("another machine") << "dave"
                                         << "m2" << 1000u;
        QTest::newRow("another uid") << "dave"
                                     << "m1" << 1001u;
    }

    void foreignBlobsDoNotOpen()
    {
        QFETCH(QString, otherUser);
        QFETCH(QString, otherMachine);
        QFETCH(quint32, otherUid);
        UserDataProtection dave(identity(QStringLiteral("dave")));
        const QByteArray blob = dave.protect("dave's secret", {});
        QVERIFY(!blob.isEmpty());

        UserDataProtection other(identity(otherUser, otherMachine, otherUid));
        other.protect("make a secret", {}); // the other identity has a secret of its own
        QByteArray plain = "left over";
        QVERIFY(!other.unprotect(blob, &plain));
        QVERIFY(plain.isEmpty());
    }

    void damagedBlobsDoNotOpen_data()
    {
        QTest::addColumn<int>("position");
        QTest::newRow("magic") << 0;
        QTest::newRow("version") << 4;
        QTest::newRow("nonce") << 10;
        QTest::newRow("ciphertext") << -1;
    }

    void damagedBlobsDoNotOpen()
    {
        QFETCH(int, position);
        UserDataProtection protection(identity(QStringLiteral("erin")));
        QByteArray blob = protection.protect("payload", QStringLiteral("d"));
        const qsizetype index = position < 0 ? blob.size() - 1 : position;
        blob[index] = static_cast<char>(blob[index] ^ 0x01);
        QByteArray plain;
        QVERIFY(!protection.unprotect(blob, &plain));
    }

    void truncatedAndEmptyBlobsDoNotOpen()
    {
        UserDataProtection protection(identity(QStringLiteral("erin")));
        const QByteArray blob = protection.protect("payload", {});
        QByteArray plain;
        for (qsizetype size : {qsizetype(0), qsizetype(4), qsizetype(29), blob.size() - 1}) {
            QVERIFY2(!protection.unprotect(blob.left(size), &plain), qPrintable(QString::number(size)));
        }
    }

    void missingSecretFailsWithoutCreatingOne()
    {
        UserDataProtection writer(identity(QStringLiteral("frank")));
        const QByteArray blob = writer.protect("payload", {});
        QVERIFY(QFile::remove(writer.secretFilePath()));

        UserDataProtection reader(identity(QStringLiteral("frank")));
        QByteArray plain;
        QVERIFY(!reader.unprotect(blob, &plain));
        QVERIFY(!QFileInfo::exists(reader.secretFilePath()));
    }

    void missingMachineIdFails()
    {
        UserDataProtection::Identity id = identity(QStringLiteral("gina"));
        id.machineIdFiles = {m_dir.filePath(QStringLiteral("no-such-machine-id"))};
        UserDataProtection protection(id);
        QVERIFY(protection.protect("payload", {}).isEmpty());
        QVERIFY(!QFileInfo::exists(protection.secretFilePath()));
    }

    void currentUserFollowsConfigHome()
    {
        ScopedEnvironment env;
        env.set("XDG_CONFIG_HOME", m_dir.filePath(QStringLiteral("xdg")));
        QCOMPARE(UserDataProtection::currentUser().secretDirectory,
                 m_dir.filePath(QStringLiteral("xdg/NIMBARA")));
        env.set("XDG_CONFIG_HOME", QString());
        env.set("HOME", m_dir.filePath(QStringLiteral("h")));
        QCOMPARE(UserDataProtection::currentUser().secretDirectory,
                 m_dir.filePath(QStringLiteral("h/.config/NIMBARA")));
    }
};

QTEST_GUILESS_MAIN(TestUserDataProtection)
#include "test_user_data_protection.moc"
