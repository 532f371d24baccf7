#include "ssh/ssh_outcome.h"

#include <QSet>
#include <QTest>

using Kind = SshOutcome::Kind;

Q_DECLARE_METATYPE(SshOutcome::Kind)

class TestSshOutcome : public QObject
{
    Q_OBJECT

private slots:
    void classify_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("errors");
        QTest::addColumn<Kind>("expected");

        const int normal = QProcess::NormalExit;
        QTest::newRow("success") << normal << 0 << QByteArray("Warning: Permanently added") << Kind::Success;
        // The command's own status, even when its error output looks like ssh's.
        QTest::newRow("command status") << normal << 3 << QByteArray() << Kind::CommandFailed;
        QTest::newRow("command says permission denied")
            << normal << 1 << QByteArray("cat: /root/x: Permission denied\n") << Kind::CommandFailed;
        QTest::newRow("crash") << int(QProcess::CrashExit) << 0 << QByteArray() << Kind::Crashed;

        // ssh's own messages (OpenSSH 9, LC_ALL=C), exit status 255.
        QTest::newRow("wrong password")
            << normal << 255 << QByteArray("nimbaratest@127.0.0.1: Permission denied (publickey,password).\n")
            << Kind::AuthenticationFailed;
        QTest::newRow("no key accepted")
            << normal << 255 << QByteArray("admin@host: Permission denied (publickey).\r\n")
            << Kind::AuthenticationFailed;
        QTest::newRow("too many failures")
            << normal << 255
            << QByteArray("Received disconnect from 10.0.0.5 port 22:2: Too many authentication failures\n")
            << Kind::AuthenticationFailed;
        QTest::newRow("refused") << normal << 255
                                 << QByteArray("ssh: connect to host 127.0.0.1 port 1: Connection refused\n")
                                 << Kind::ConnectionRefused;
        QTest::newRow("connect timeout")
            << normal << 255 << QByteArray("ssh: connect to host 10.0.0.9 port 22: Connection timed out\n")
            << Kind::TimedOut;
        QTest::newRow("banner timeout") << normal << 255
                                        << QByteArray("Connection timed out during banner exchange\n"
                                                      "Connection to 127.0.0.1 port 4022 timed out\n")
                                        << Kind::TimedOut;
        QTest::newRow("server gone silent")
            << normal << 255 << QByteArray("Timeout, server 10.0.0.5 not responding.\n") << Kind::TimedOut;
        QTest::newRow("host key changed")
            << normal << 255
            << QByteArray("@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@\n"
                          "@    WARNING: REMOTE HOST IDENTIFICATION HAS CHANGED!     @\n"
                          "IT IS POSSIBLE THAT SOMEONE IS DOING SOMETHING NASTY!\n"
                          "Someone could be eavesdropping on you right now (man-in-the-middle attack)!\n"
                          "Password authentication is disabled to avoid man-in-the-middle attacks.\n"
                          "Host key verification failed.\n")
            << Kind::HostKeyChanged;
        QTest::newRow("host key verification only")
            << normal << 255 << QByteArray("Host key verification failed.\n") << Kind::HostKeyChanged;
        QTest::newRow("name not resolved")
            << normal << 255
            << QByteArray("ssh: Could not resolve hostname web-01.invalid: Name or service not known\n")
            << Kind::NameNotResolved;
        QTest::newRow("name lookup failing")
            << normal << 255
            << QByteArray("ssh: Could not resolve hostname web-01: Temporary failure in name resolution\n")
            << Kind::NameNotResolved;
        QTest::newRow("no route") << normal << 255
                                  << QByteArray("ssh: connect to host 10.1.1.1 port 22: No route to host\n")
                                  << Kind::ConnectionFailed;
        QTest::newRow("closed before login")
            << normal << 255 << QByteArray("kex_exchange_identification: Connection closed by remote host\n")
            << Kind::ConnectionFailed;
        // The remote command itself may exit 255; without a message of ssh nothing more is known.
        QTest::newRow("bare 255") << normal << 255 << QByteArray("some tool: failed\n") << Kind::Unknown255;
        QTest::newRow("255 silent") << normal << 255 << QByteArray() << Kind::Unknown255;
    }

    void classify()
    {
        QFETCH(int, status);
        QFETCH(int, code);
        QFETCH(QByteArray, errors);
        QFETCH(Kind, expected);
        QCOMPARE(SshOutcome::classify(static_cast<QProcess::ExitStatus>(status), code, errors), expected);
    }

    void resultLines()
    {
        const QString name = QStringLiteral("web-01");
        QCOMPARE(SshOutcome::describe(Kind::Success, name, 0, true), QStringLiteral("[web-01] 完成"));
        QCOMPARE(SshOutcome::describe(Kind::CommandFailed, name, 3, false),
                 QStringLiteral("[web-01] 命令退出码 3"));
        QCOMPARE(SshOutcome::describe(Kind::AuthenticationFailed, name, 255, true),
                 QStringLiteral("[web-01] 认证失败（用户名或密码错误）"));
        // Without a stored password no password was tried: the keys were refused.
        const QString keys = SshOutcome::describe(Kind::AuthenticationFailed, name, 255, false);
        QVERIFY(keys.startsWith(QStringLiteral("[web-01] 认证失败")));
        QVERIFY(!keys.contains(QStringLiteral("密码错误")));

        // Every kind has its own line, each naming the host.
        QSet<QString> lines;
        for (const Kind kind :
             {Kind::Success, Kind::CommandFailed, Kind::AuthenticationFailed, Kind::ConnectionRefused,
              Kind::TimedOut, Kind::HostKeyChanged, Kind::NameNotResolved, Kind::ConnectionFailed,
              Kind::Unknown255, Kind::Crashed}) {
            const QString line = SshOutcome::describe(kind, name, 7, true);
            QVERIFY2(line.startsWith(QStringLiteral("[web-01] ")), qPrintable(line));
            lines.insert(line);
        }
        QCOMPARE(lines.size(), 10);
    }
};

QTEST_GUILESS_MAIN(TestSshOutcome)
#include "test_ssh_outcome.moc"
