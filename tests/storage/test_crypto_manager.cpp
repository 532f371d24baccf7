#include "platform/data_protection.h"
#include "storage/crypto_manager.h"
#include "support/fake_data_protection.h"
#include "support/log_capture.h"
#include "support/test_environment.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <sodium.h>

#include <sstream>

#ifdef Q_OS_WIN
#include "support/user_only_access.h"
#else
#include "support/private_tmpfs.h"

#include <sys/stat.h>
#endif

namespace {

std::unique_ptr<IDataProtection> protectionFor(const QTemporaryDir& dir, const QString& user)
{
    return userProtectionBelow(dir.path(), user);
}

} // namespace

class TestCryptoManager : public QObject
{
    Q_OBJECT

private slots:
    void sealedValueOpensAfterRestart()
    {
        QTemporaryDir dir;
        const QString keyFile = dir.filePath(QStringLiteral("data/credential.key"));
        QString sealed;
        {
            CryptoManager first(protectionFor(dir, QStringLiteral("u")));
            QVERIFY(first.initialize(keyFile));
            QVERIFY(QFileInfo::exists(keyFile));
            sealed = first.sealEncrypt(QStringLiteral("P@ss 密码"));
        }
        const QByteArray keyBytes = readFile(keyFile);
        CryptoManager second(protectionFor(dir, QStringLiteral("u")));
        QVERIFY(second.initialize(keyFile));
        QCOMPARE(second.sealDecrypt(sealed), QStringLiteral("P@ss 密码"));
        QCOMPARE(readFile(keyFile), keyBytes);
    }

    void keyFileIsOneProtectedBlobOfThePair()
    {
        QTemporaryDir dir;
        const QString keyFile = dir.filePath(QStringLiteral("credential.key"));
        CryptoManager manager(protectionFor(dir, QStringLiteral("u")));
        QVERIFY(manager.initialize(keyFile));
        const QString sealed = manager.sealEncrypt(QStringLiteral("hello"));

        QByteArray pair;
        QString description;
        QVERIFY(protectionFor(dir, QStringLiteral("u"))->unprotect(readFile(keyFile), &pair, &description));
        QCOMPARE(pair.size(), 64);
        QCOMPARE(description, QStringLiteral("NIMBARA credential key"));
        QVERIFY(!readFile(keyFile).contains(pair.mid(32)));

        // Public key first, secret key second: a box the manager sealed opens with them.
        const QByteArray box = QByteArray::fromBase64(sealed.toLatin1());
        QByteArray message(box.size() - crypto_box_SEALBYTES, '\0');
        QCOMPARE(crypto_box_seal_open(reinterpret_cast<unsigned char*>(message.data()),
                                      reinterpret_cast<const unsigned char*>(box.constData()),
                                      static_cast<unsigned long long>(box.size()),
                                      reinterpret_cast<const unsigned char*>(pair.constData()),
                                      reinterpret_cast<const unsigned char*>(pair.constData() + 32)),
                 0);
        QCOMPARE(message, QByteArray("hello"));
    }

    void unopenableKeyFileIsKept_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("validBlobOfWrongLength");
        QTest::newRow("empty file") << QByteArray() << false;
        QTest::newRow("garbage") << QByteArray("not a protected blob at all") << false;
        QTest::newRow("63-byte plaintext") << QByteArray(63, 'k') << true;
        QTest::newRow("65-byte plaintext") << QByteArray(65, 'k') << true;
    }

    void unopenableKeyFileIsKept()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, validBlobOfWrongLength);
        QTemporaryDir dir;
        const QString keyFile = dir.filePath(QStringLiteral("credential.key"));
        QByteArray bytes = content;
        if (validBlobOfWrongLength) {
            bytes = protectionFor(dir, QStringLiteral("u"))->protect(content, QStringLiteral("x"));
        }
        writeFile(keyFile, bytes);

        CryptoManager manager(protectionFor(dir, QStringLiteral("u")));
        QVERIFY(!manager.initialize(keyFile));
        QCOMPARE(readFile(keyFile), bytes);
        QVERIFY(manager.sealEncrypt(QStringLiteral("x")).isEmpty());
    }

#ifndef Q_OS_WIN // another user's DPAPI cannot be had
    void keyFileOfAnotherUserIsKept()
    {
        QTemporaryDir dir;
        const QString keyFile = dir.filePath(QStringLiteral("credential.key"));
        {
            CryptoManager owner(protectionFor(dir, QStringLiteral("owner")));
            QVERIFY(owner.initialize(keyFile));
        }
        const QByteArray before = readFile(keyFile);
        CryptoManager stranger(protectionFor(dir, QStringLiteral("stranger")));
        QVERIFY(!stranger.initialize(keyFile));
        QCOMPARE(readFile(keyFile), before);
    }
#endif

    void failedProtectionLeavesNoFile()
    {
        QTemporaryDir dir;
        const QString keyFile = dir.filePath(QStringLiteral("credential.key"));
        auto fake = std::make_unique<FakeDataProtection>();
        fake->failProtect = true;
        CryptoManager manager(std::move(fake));
        QVERIFY(!manager.initialize(keyFile));
        QVERIFY(!QFileInfo::exists(keyFile));
        QVERIFY(manager.sealEncrypt(QStringLiteral("x")).isEmpty());
    }

    void unwritableLocationFails()
    {
        QTemporaryDir dir;
        writeFile(dir.filePath(QStringLiteral("blocker")), "a file where a directory should be");
        CryptoManager manager(std::make_unique<FakeDataProtection>());
        QVERIFY(!manager.initialize(dir.filePath(QStringLiteral("blocker/credential.key"))));
        QVERIFY(!manager.isInitialized());
    }

    // The first start on a full disk: the key never reached the disk, so it must not be used; a
    // later start with room makes a key that survives restarts.
    void keyThatCannotBeSavedIsNotUsed()
    {
#ifdef Q_OS_WIN
        QSKIP("No private file system for a test on Windows");
#else
        QTemporaryDir dir;
        const QString mount = dir.filePath(QStringLiteral("disk"));
        const PrivateTmpfs::Outcome outcome = PrivateTmpfs::run(mount, 64 * 1024, [&]() -> QString {
            const QString keyFile = mount + QStringLiteral("/data/credential.key");
            if (!QDir().mkpath(mount + QStringLiteral("/data")) || !PrivateTmpfs::fill(mount, 0)) {
                return QStringLiteral("cannot prepare the disk");
            }
            {
                CryptoManager full(protectionFor(dir, QStringLiteral("u")));
                if (full.initialize(keyFile)) {
                    return QStringLiteral("a key was reported saved on a full disk");
                }
                if (!full.sealEncrypt(QStringLiteral("secret")).isEmpty()) {
                    return QStringLiteral("a key that is not on disk sealed a secret");
                }
                if (QFileInfo::exists(keyFile)) {
                    return QStringLiteral("a key file was left: %1 bytes").arg(QFileInfo(keyFile).size());
                }
            }
            QFile::remove(mount + QStringLiteral("/.filler"));
            QString sealed;
            {
                CryptoManager roomy(protectionFor(dir, QStringLiteral("u")));
                if (!roomy.initialize(keyFile)) {
                    return QStringLiteral("no key with room on the disk");
                }
                sealed = roomy.sealEncrypt(QStringLiteral("secret"));
            }
            CryptoManager again(protectionFor(dir, QStringLiteral("u")));
            if (!again.initialize(keyFile) || again.sealDecrypt(sealed) != QStringLiteral("secret")) {
                return QStringLiteral("the saved key did not open its secret after a restart");
            }
            return {};
        });
        if (!outcome.ran) {
            QSKIP(qPrintable(QStringLiteral("no private tmpfs: ") + outcome.skipReason));
        }
        QVERIFY2(outcome.failure.isEmpty(), qPrintable(outcome.failure));
#endif
    }

    void keyFileIsPrivate()
    {
        QTemporaryDir dir;
#ifdef Q_OS_WIN
        const QString keyFile = dir.filePath(QStringLiteral("data/credential.key"));
        CryptoManager manager(protectionFor(dir, QStringLiteral("u")));
        QVERIFY(manager.initialize(keyFile));
        QVERIFY(onlyCurrentUserMayEnter(keyFile));
#else
        const mode_t previous = ::umask(0);
        const auto restore = qScopeGuard([previous] { ::umask(previous); });
        const QString keyFile = dir.filePath(QStringLiteral("data/credential.key"));
        CryptoManager manager(protectionFor(dir, QStringLiteral("u")));
        QVERIFY(manager.initialize(keyFile));
        struct stat key
        {
        };
        struct stat folder
        {
        };
        QCOMPARE(::stat(QFile::encodeName(keyFile).constData(), &key), 0);
        QCOMPARE(::stat(QFile::encodeName(dir.filePath(QStringLiteral("data"))).constData(), &folder), 0);
        QCOMPARE(key.st_mode & 0777, 0600u);
        QCOMPARE(folder.st_mode & 0777, 0700u);
#endif
    }

    void sealingIsRandomisedAndSized_data()
    {
        QTest::addColumn<QString>("plaintext");
        QTest::newRow("empty") << QString();
        QTest::newRow("ascii") << QStringLiteral("x");
        QTest::newRow("utf-8") << QStringLiteral("管理员密码 ✓");
        QTest::newRow("long") << QString(1000, QLatin1Char('p'));
    }

    void sealingIsRandomisedAndSized()
    {
        QFETCH(QString, plaintext);
        QTemporaryDir dir;
        CryptoManager manager(std::make_unique<FakeDataProtection>());
        QVERIFY(manager.initialize(dir.filePath(QStringLiteral("credential.key"))));

        const QString a = manager.sealEncrypt(plaintext);
        const QString b = manager.sealEncrypt(plaintext);
        QVERIFY(a != b);
        const qsizetype n = plaintext.toUtf8().size();
        QCOMPARE(a.size(), 4 * ((n + 48 + 2) / 3));
        QVERIFY(QRegularExpression(QStringLiteral("^[A-Za-z0-9+/]+={0,2}$")).match(a).hasMatch());
        QCOMPARE(manager.sealDecrypt(a), plaintext);
        QCOMPARE(manager.sealDecrypt(b), plaintext);
    }

    void malformedSealedValues()
    {
        QTemporaryDir dir;
        CryptoManager manager(std::make_unique<FakeDataProtection>());
        QVERIFY(manager.initialize(dir.filePath(QStringLiteral("credential.key"))));
        CryptoManager other(std::make_unique<FakeDataProtection>());
        QVERIFY(other.initialize(dir.filePath(QStringLiteral("other.key"))));

        LogCapture log;
        QVERIFY(manager.sealDecrypt(QStringLiteral("plain password")).isEmpty());
        QVERIFY(manager.sealDecrypt(QStringLiteral("c2hvcnQ=")).isEmpty());
        QVERIFY(manager.sealDecrypt(QString()).isEmpty());
        QVERIFY(!log.text().contains(QStringLiteral("密封盒解密失败")));

        QVERIFY(manager.sealDecrypt(other.sealEncrypt(QStringLiteral("secret"))).isEmpty());
        QVERIFY(log.text().contains(QStringLiteral("密封盒解密失败")));
        QVERIFY(!log.text().contains(QStringLiteral("secret")));

        // Flipping a character of a valid value must not yield any plaintext.
        QString altered = manager.sealEncrypt(QStringLiteral("secret"));
        altered[10] = altered[10] == QLatin1Char('A') ? QLatin1Char('B') : QLatin1Char('A');
        QVERIFY(manager.sealDecrypt(altered).isEmpty());
    }

    void uninitialisedManagerSealsNothing()
    {
        CryptoManager manager(std::make_unique<FakeDataProtection>());
        QVERIFY(manager.sealEncrypt(QStringLiteral("x")).isEmpty());
        QVERIFY(manager.sealDecrypt(QString(64, QLatin1Char('A'))).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestCryptoManager)
#include "test_crypto_manager.moc"
