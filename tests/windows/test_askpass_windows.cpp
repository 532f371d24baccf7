// The SSH password hand-over on Windows, end to end: the program's environment for ssh (DPAPI blob in
// the agreed variable, the helper's path), a stand-in for ssh that runs the helper as OpenSSH does,
// and the helper itself, all under the same Windows user.
#include "platform/data_protection.h"
#include "ssh/askpass_contract.h"
#include "ssh/ssh_command.h"

#include <QProcess>
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
};

QTEST_GUILESS_MAIN(TestAskpassWindows)
#include "test_askpass_windows.moc"
