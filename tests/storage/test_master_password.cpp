#include "platform/data_protection.h"
#include "storage/app_lock.h"
#include "storage/crypto_manager.h"
#include "storage/database_manager.h"
#include "storage/master_key_record.h"
#include "support/manual_clock.h"
#include "support/test_environment.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sodium.h>

#ifndef Q_OS_WIN
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

std::unique_ptr<IDataProtection> protectionFor(const QTemporaryDir& dir)
{
    return userProtectionBelow(dir.path(), QStringLiteral("u"));
}

} // namespace

// The device key under a master password: what opens it, what does not, and what a crash leaves.
class TestMasterPassword : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The real limits cost most of a second per derivation; the record keeps whatever it was made with.
        MasterKeyRecord::setSealingLimits({crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN});
    }

    // Each step on the same key file, then a fresh start: which password opens it and whether a secret
    // sealed before the first step still opens afterwards.
    void passwordChangesReachTheFile_data()
    {
        QTest::addColumn<QStringList>("steps"); // "set:<current>:<new>" or "remove:<current>"
        QTest::addColumn<QStringList>("succeeds");
        QTest::addColumn<QString>("opensWith"); // empty: no master password left
        QTest::addColumn<QString>("refuses");
        QTest::newRow("set") << QStringList{"set::alpha-1"} << QStringList{"1"} << "alpha-1"
                             << "alpha-2";
        QTest::newRow("change") << QStringList{"set::alpha-1", "set:alpha-1:beta-2"} << QStringList{"1", "1"}
                                << "beta-2"
                                << "alpha-1";
        QTest::newRow("change with a wrong current one")
            << QStringList{"set::alpha-1", "set:wrong:beta-2"} << QStringList{"1", "0"} << "alpha-1"
            << "beta-2";
        QTest::newRow("remove") << QStringList{"set::alpha-1", "remove:alpha-1"} << QStringList{"1", "1"}
                                << ""
                                << "";
        QTest::newRow("remove with a wrong one")
            << QStringList{"set::alpha-1", "remove:alpha-2"} << QStringList{"1", "0"} << "alpha-1"
            << "alpha-2";
        QTest::newRow("empty new password") << QStringList{"set::"} << QStringList{"0"} << ""
                                            << "";
    }

    void passwordChangesReachTheFile()
    {
        QFETCH(QStringList, steps);
        QFETCH(QStringList, succeeds);
        QFETCH(QString, opensWith);
        QFETCH(QString, refuses);
        QTemporaryDir dir;
        const QString keyFile = dir.filePath(QStringLiteral("credential.key"));
        QString sealed;
        {
            CryptoManager manager(protectionFor(dir));
            QVERIFY(manager.initialize(keyFile));
            sealed = manager.sealEncrypt(QStringLiteral("host secret"));
            for (int i = 0; i < steps.size(); ++i) {
                const QStringList parts = steps[i].split(QLatin1Char(':'));
                const QByteArray before = readFile(keyFile);
                QString error;
                const bool ok = parts[0] == QLatin1String("set")
                                    ? manager.setMasterPassword(parts[1], parts[2], &error)
                                    : manager.removeMasterPassword(parts[1], &error);
                QCOMPARE(ok, succeeds[i] == QLatin1String("1"));
                QCOMPARE(error.isEmpty(), ok);
                if (!ok) {
                    QCOMPARE(readFile(keyFile), before);
                }
                // The running manager keeps working whatever the file became.
                QCOMPARE(manager.sealDecrypt(sealed), QStringLiteral("host secret"));
            }
        }

        CryptoManager restarted(protectionFor(dir));
        QVERIFY(restarted.initialize(keyFile));
        QCOMPARE(restarted.hasMasterPassword(), !opensWith.isEmpty());
        QCOMPARE(restarted.isLocked(), !opensWith.isEmpty());
        if (opensWith.isEmpty()) {
            QCOMPARE(restarted.sealDecrypt(sealed), QStringLiteral("host secret"));
            return;
        }
        // Locked: nothing opens, but new secrets can still be sealed for later.
        QVERIFY(restarted.sealDecrypt(sealed).isEmpty());
        const QString sealedWhileLocked = restarted.sealEncrypt(QStringLiteral("later"));
        QVERIFY(!sealedWhileLocked.isEmpty());
        QVERIFY(!restarted.unlock(refuses));
        QVERIFY(restarted.isLocked());
        QVERIFY(restarted.unlock(opensWith));
        QCOMPARE(restarted.sealDecrypt(sealed), QStringLiteral("host secret"));
        QCOMPARE(restarted.sealDecrypt(sealedWhileLocked), QStringLiteral("later"));
        restarted.lock();
        QVERIFY(restarted.sealDecrypt(sealed).isEmpty());
    }

    // The user-bound layer alone (what any program of the same user can open) no longer holds the
    // secret key: with it and without the master password no sealed value opens.
    void userBoundLayerAloneOpensNothing()
    {
        QTemporaryDir dir;
        const QString keyFile = dir.filePath(QStringLiteral("credential.key"));
        QByteArray plainPair;
        QString sealed;
        {
            CryptoManager manager(protectionFor(dir));
            QVERIFY(manager.initialize(keyFile));
            QVERIFY(protectionFor(dir)->unprotect(readFile(keyFile), &plainPair));
            sealed = manager.sealEncrypt(QStringLiteral("host secret"));
            QString error;
            QVERIFY2(manager.setMasterPassword({}, QStringLiteral("correct horse"), &error),
                     qPrintable(error));
        }
        QByteArray inner;
        QVERIFY(protectionFor(dir)->unprotect(readFile(keyFile), &inner));
        const QByteArray secretKey = plainPair.mid(crypto_box_PUBLICKEYBYTES);
        QVERIFY(!inner.contains(secretKey));
        QVERIFY(inner.contains(plainPair.left(crypto_box_PUBLICKEYBYTES)));

        // Every 32-byte window of the record tried as the secret key: none opens the value.
        const QByteArray box = QByteArray::fromBase64(sealed.toLatin1());
        QByteArray message(box.size() - crypto_box_SEALBYTES, '\0');
        for (qsizetype at = 0; at + crypto_box_SECRETKEYBYTES <= inner.size(); ++at) {
            QVERIFY(crypto_box_seal_open(reinterpret_cast<unsigned char*>(message.data()),
                                         reinterpret_cast<const unsigned char*>(box.constData()),
                                         static_cast<unsigned long long>(box.size()),
                                         reinterpret_cast<const unsigned char*>(plainPair.constData()),
                                         reinterpret_cast<const unsigned char*>(inner.constData() + at)) !=
                    0);
        }
        // A record altered in its salt, key, nonce or box no longer opens with the password.
        for (const qsizetype at : {qsizetype(25), qsizetype(60), qsizetype(80), inner.size() - 1}) {
            QByteArray altered = inner;
            altered[at] = static_cast<char>(altered[at] ^ 0x01);
            writeFile(keyFile, protectionFor(dir)->protect(altered, QStringLiteral("x")));
            CryptoManager manager(protectionFor(dir));
            if (manager.initialize(keyFile)) {
                QVERIFY(!manager.unlock(QStringLiteral("correct horse")));
            }
        }
    }

    // A process killed at any moment of re-sealing the key file leaves one that opens with the old
    // password or the new one.
    void killDuringResealLeavesUsableFile()
    {
#ifdef Q_OS_WIN
        QSKIP("Needs fork(); the file is replaced by the same atomic writer on Windows");
#else
        QTemporaryDir dir;
        const QString keyFile = dir.filePath(QStringLiteral("credential.key"));
        const QStringList passwords = {QStringLiteral("first-pass"), QStringLiteral("second-pass")};
        QString sealed;
        {
            CryptoManager manager(protectionFor(dir));
            QVERIFY(manager.initialize(keyFile));
            sealed = manager.sealEncrypt(QStringLiteral("survivor"));
            QVERIFY(manager.setMasterPassword({}, passwords[0], nullptr));
        }
        for (int round = 0; round < 12; ++round) {
            int pipeFds[2];
            QCOMPARE(::pipe(pipeFds), 0);
            const pid_t child = ::fork();
            QVERIFY(child >= 0);
            if (child == 0) {
                ::close(pipeFds[0]);
                CryptoManager manager(protectionFor(dir));
                bool ok = manager.initialize(keyFile);
                int which = 0;
                for (const QString& candidate : passwords) {
                    if (ok && manager.unlock(candidate)) {
                        break;
                    }
                    ++which;
                }
                for (int i = 0; ok && which < 2; ++i, which ^= 1) {
                    ok = manager.setMasterPassword(passwords[which], passwords[which ^ 1], nullptr);
                    ok = ok && ::write(pipeFds[1], "x", 1) == 1;
                }
                ::_exit(1);
            }
            ::close(pipeFds[1]);
            // Let it finish a few re-seals, then kill it in the middle of whatever comes next.
            char byte = 0;
            for (int i = 0; i < 1 + round % 4; ++i) {
                QCOMPARE(::read(pipeFds[0], &byte, 1), static_cast<ssize_t>(1));
            }
            ::kill(child, SIGKILL);
            int status = 0;
            QCOMPARE(::waitpid(child, &status, 0), child);
            ::close(pipeFds[0]);
            QVERIFY(WIFSIGNALED(status));

            CryptoManager manager(protectionFor(dir));
            QVERIFY2(manager.initialize(keyFile), qPrintable(QStringLiteral("round %1").arg(round)));
            QVERIFY(manager.unlock(passwords[0]) || manager.unlock(passwords[1]));
            QCOMPARE(manager.sealDecrypt(sealed), QStringLiteral("survivor"));
        }
#endif
    }

    // Wrong passwords are answered with a wait that grows (1 s, 2 s, 4 s), enforced by the lock itself.
    void lockAndUnlockWithGrowingWait()
    {
        QTemporaryDir dir;
        const QString keyFile = dir.filePath(QStringLiteral("credential.key"));
        CryptoManager crypto(protectionFor(dir));
        QVERIFY(crypto.initialize(keyFile));
        const QString sealed = crypto.sealEncrypt(QStringLiteral("secret"));
        ManualClock clock;
        clock.now = 1000;
        AppLock lock(&crypto, &clock);
        QVERIFY(!lock.isAvailable());
        lock.lock(); // nothing to lock with yet
        QVERIFY(!lock.isLocked());
        QVERIFY(crypto.setMasterPassword({}, QStringLiteral("right one"), nullptr));

        QSignalSpy locked(&lock, &AppLock::locked);
        QSignalSpy unlocked(&lock, &AppLock::unlocked);
        QSignalSpy failed(&lock, &AppLock::unlockFailed);
        lock.lock();
        QVERIFY(lock.isLocked());
        QCOMPARE(locked.count(), 1);
        QVERIFY(crypto.sealDecrypt(sealed).isEmpty());

        for (int attempt = 1; attempt <= 3; ++attempt) {
            QVERIFY(lock.unlock(QStringLiteral("wrong")));
            QVERIFY(!lock.unlock(QStringLiteral("right one"))); // one attempt at a time
            QVERIFY(failed.wait(10000));
            const qint64 expectedDelay = qint64(1000) << (attempt - 1);
            QCOMPARE(failed.last().at(0).toLongLong(), expectedDelay);
            // Even the right password is not taken before the wait has passed.
            clock.now += expectedDelay - 1;
            QVERIFY(!lock.unlock(QStringLiteral("right one")));
            QCOMPARE(lock.confirm(QStringLiteral("right one")), AppLock::Confirmation::Waiting);
            clock.now += 1;
        }
        QVERIFY(lock.isLocked());
        QVERIFY(lock.unlock(QStringLiteral("right one")));
        QVERIFY(unlocked.wait(10000));
        QVERIFY(!lock.isLocked());
        QCOMPARE(lock.failedAttempts(), 0);
        QCOMPARE(crypto.sealDecrypt(sealed), QStringLiteral("secret"));

        // A stored password may be shown for a minute after the unlock, then the password is asked.
        QVERIFY(lock.recentlyConfirmed());
        clock.now += AppLock::kConfirmationValidMs;
        QVERIFY(!lock.recentlyConfirmed());
        QCOMPARE(lock.confirm(QStringLiteral("wrong")), AppLock::Confirmation::Wrong);
        QCOMPARE(lock.retryDelayMs(), qint64(1000));
        clock.now += 1000;
        QCOMPARE(lock.confirm(QStringLiteral("right one")), AppLock::Confirmation::Confirmed);
        QVERIFY(lock.recentlyConfirmed());
    }

    // A host written back while locked (its password could not be read) keeps the sealed password.
    void writeWhileLockedKeepsThePassword()
    {
        QTemporaryDir dir;
        CryptoManager crypto(protectionFor(dir));
        QVERIFY(crypto.initialize(dir.filePath(QStringLiteral("credential.key"))));
        QVERIFY(crypto.setMasterPassword({}, QStringLiteral("pw-12345"), nullptr));
        DatabaseManager db;
        QVERIFY(db.initialize(dir.filePath(QStringLiteral("data.db")), &crypto));
        Group group;
        group.id = QStringLiteral("default");
        group.name = QStringLiteral("默认分组");
        QVERIFY(db.addGroup(group));
        Remote remote;
        remote.id = QStringLiteral("h1");
        remote.name = QStringLiteral("one");
        remote.host = QStringLiteral("10.0.0.1");
        remote.password = QStringLiteral("kept");
        remote.group_id = QStringLiteral("default");
        QVERIFY(db.addRemote(remote));

        crypto.lock();
        std::optional<Remote> read = db.getRemote(QStringLiteral("h1"));
        QVERIFY(read && read->password.isEmpty());
        read->remark = QStringLiteral("edited while locked");
        QVERIFY(db.updateRemote(*read));
        QVERIFY(crypto.unlock(QStringLiteral("pw-12345")));
        read = db.getRemote(QStringLiteral("h1"));
        QCOMPARE(read->password, QStringLiteral("kept"));
        QCOMPARE(read->remark, QStringLiteral("edited while locked"));
        QVERIFY(db.clearPasswords());
        QVERIFY(db.getRemote(QStringLiteral("h1"))->password.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestMasterPassword)
#include "test_master_password.moc"
