// The SSH password hand-over on Windows, end to end: the program's environment for ssh (DPAPI blob in
// the agreed variable, the helper's path), a stand-in for ssh that runs the helper as OpenSSH does,
// and the helper itself, all under the same Windows user.
#include "platform/data_protection.h"
#include "ssh/askpass_contract.h"
#include "ssh/ssh_command.h"

#include "support/test_environment.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class TestAskpassWindows : public QObject
{
    Q_OBJECT

private:
    static QString standIn()
    {
        return QCoreApplication::applicationDirPath() + QStringLiteral("/nimbara-ssh-stand-in.exe");
    }

    // Runs the stand-in for ssh with `environment`; its exit code and what it printed.
    static std::pair<int, QByteArray> runSsh(const QProcessEnvironment& environment)
    {
        QProcess ssh;
        ssh.setProcessEnvironment(environment);
        ssh.start(standIn(), {});
        if (!ssh.waitForFinished(120000)) {
            ssh.kill();
            return {-1, {}};
        }
        return {ssh.exitCode(), ssh.readAllStandardOutput()};
    }

private slots:
    void initTestCase()
    {
        setAskPassDirectory(QCoreApplication::applicationDirPath());
        QVERIFY2(QFileInfo::exists(standIn()), qPrintable(standIn()));
    }

    void storedPasswordReachesSsh_data()
    {
        QTest::addColumn<QString>("password");
        QTest::newRow("plain") << QStringLiteral("Secret123");
        QTest::newRow("chinese and symbols") << QStringLiteral("密码 \"p@ss\" %PATH% ^&|<>");
        QTest::newRow("long") << QString(300, QLatin1Char('x'));
    }

    void storedPasswordReachesSsh()
    {
        QFETCH(QString, password);
        Remote remote;
        remote.host = QStringLiteral("127.0.0.1");
        remote.username = QStringLiteral("root");
        remote.password = password;
        QString error;
        const QProcessEnvironment environment = buildSshEnvironment(remote, &error);
        QVERIFY2(!environment.isEmpty(), qPrintable(error));
        QVERIFY(environment.value(QStringLiteral("SSH_ASKPASS"))
                    .endsWith(QStringLiteral("\\nimbara-ssh-askpass.exe")));
        // The password itself is nowhere in the environment.
        for (const QString& entry : environment.toStringList()) {
            QVERIFY(!entry.contains(password));
        }
        const auto [code, output] = runSsh(environment);
        QCOMPARE(code, 0);
        QCOMPARE(output.trimmed(), "password:" + password.toUtf8().toHex());
    }

    // What the helper refuses: it prints nothing and exits 1.
    void helperRefusesWhatIsNotAPasswordForIt_data()
    {
        QTest::addColumn<QString>("value"); // empty: variable missing
        const auto protection = createDataProtection();
        const QByteArray password = protection->protect("pw", QString::fromLatin1(askpass::kBlobDescription));
        const QByteArray key = protection->protect("pw", QStringLiteral("NIMBARA credential key"));
        QTest::newRow("missing") << QString();
        QTest::newRow("not base64") << QStringLiteral("@@not base64@@");
        QTest::newRow("other purpose") << QString::fromLatin1(key.toBase64());
        QTest::newRow("cut short") << QString::fromLatin1(password.left(password.size() / 2).toBase64());
        QTest::newRow("not dpapi") << QString::fromLatin1(QByteArray("NMDP\x01 linux blob").toBase64());
    }

    void helperRefusesWhatIsNotAPasswordForIt()
    {
        QFETCH(QString, value);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("SSH_ASKPASS"), prepareAskPassExecutable(nullptr));
        environment.insert(QStringLiteral("SSH_ASKPASS_REQUIRE"), QStringLiteral("force"));
        environment.remove(QString::fromLatin1(askpass::kPasswordVariable));
        if (!value.isEmpty()) {
            environment.insert(QString::fromLatin1(askpass::kPasswordVariable), value);
        }
        const auto [code, output] = runSsh(environment);
        QCOMPARE(code, 1);
        QVERIFY(output.isEmpty());
    }

    // A terminal is ssh in a console window of its own under cmd.exe: the stand-in, found as "ssh" on
    // the search path, records what it was given and ends the console.
    void terminalRunsSshInAConsoleOfItsOwn_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("code");
        QTest::newRow("stored password") << QStringLiteral("密码 \"p@ss\" %PATH% ^&|<>") << 0;
        // No askpass contract: the stand-in, like ssh without a terminal to ask in, gives up.
        QTest::newRow("no password") << QString() << 255;
    }

    void terminalRunsSshInAConsoleOfItsOwn()
    {
        QFETCH(QString, password);
        QFETCH(int, code);
        QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/ssh folder XXXXXX"));
        QVERIFY(folder.isValid());
        const QString ssh = folder.filePath(QStringLiteral("ssh.exe"));
        QVERIFY(QFile::copy(standIn(), ssh));
        const QString record = folder.filePath(QStringLiteral("record.txt"));
        ScopedEnvironment env;
        // The stand-in's libraries are beside the test.
        env.set("PATH", QDir::toNativeSeparators(folder.path()) + QLatin1Char(';') +
                            QDir::toNativeSeparators(QCoreApplication::applicationDirPath()) +
                            QLatin1Char(';') + qEnvironmentVariable("PATH"));
        env.set("NIMBARA_STAND_IN_RECORD", record);

        Remote remote;
        remote.host = QStringLiteral("127.0.0.1");
        remote.port = 2222;
        remote.username = QStringLiteral("admin");
        remote.password = password;
        QString error;
        QVERIFY2(openSshTerminal(remote, &error), qPrintable(error));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(record), 60000);

        QFile file(record);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QVERIFY(lines.size() >= 3);
        QStringList expected{"-p", "2222",
                             "-o", "ConnectTimeout=12",
                             "-o", "ServerAliveInterval=30",
                             "-o", "StrictHostKeyChecking=accept-new"};
        if (!password.isEmpty())
            expected << "-o"
                     << "NumberOfPasswordPrompts=1";
        expected << "admin@127.0.0.1";
        QCOMPARE(QJsonDocument::fromJson(lines.at(0)).array().toVariantList(), QVariant(expected).toList());
        QCOMPARE(lines.at(1).toInt(), code);
        QCOMPARE(lines.at(2), password.isEmpty() ? QByteArray() : "password:" + password.toUtf8().toHex());
    }
};

QTEST_GUILESS_MAIN(TestAskpassWindows)
#include "test_askpass_windows.moc"
