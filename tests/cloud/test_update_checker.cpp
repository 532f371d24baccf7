// The rules of the start-up update check that need no network: version order, which announcements
// are believed, and how the downloaded package is handed to the installer.

#include "cloud/update_checker.h"
#include "platform/update_installer.h"
#include "support/fake_process_launcher.h"

#include <QJsonObject>
#include <QTest>

namespace {

const QString kHost = QStringLiteral("accounts.example.org");
const QString kDigest = QStringLiteral("0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef");

QJsonObject announcement(const QString& url = QStringLiteral("https://accounts.example.org/downloads/n.deb"),
                         const QString& digest = kDigest)
{
    return QJsonObject{{QStringLiteral("enabled"), true},
                       {QStringLiteral("latest_version"), QStringLiteral(" 1.2.1 ")},
                       {QStringLiteral("minimum_version"), QStringLiteral("1.0.0")},
                       {QStringLiteral("download_url"), url},
                       {QStringLiteral("sha256"), digest},
                       {QStringLiteral("release_notes"), QStringLiteral("  修复若干问题 \n")}};
}

} // namespace

class UpdateCheckerTest : public QObject
{
    Q_OBJECT

private slots:
    void compareVersions_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("expected");
        QTest::newRow("equal") << "1.2.0"
                               << "1.2.0" << 0;
        QTest::newRow("missing parts are zero") << "1.2"
                                                << "1.2.0" << 0;
        QTest::newRow("four parts") << "1.2.0.0"
                                    << "1.2.0" << 0;
        QTest::newRow("numbers, not text") << "1.10.0"
                                           << "1.9.9" << 1;
        QTest::newRow("older") << "1.2.0"
                               << "1.2.1" << -1;
        QTest::newRow("leading letter") << "v1.3"
                                        << "1.2.9" << 1;
        QTest::newRow("separators are anything") << "1-2_3"
                                                 << "1.2.3" << 0;
        QTest::newRow("suffix text ignored") << "1.2.0-beta"
                                             << "1.2.0" << 0;
        QTest::newRow("suffix number counts") << "1.2.0-rc2"
                                              << "1.2.0" << 1;
        QTest::newRow("no digits") << "abc"
                                   << "0" << 0;
        QTest::newRow("empty against version") << ""
                                               << "0.0.1" << -1;
        QTest::newRow("huge run saturates") << "1.99999999999999999999999"
                                            << "1.5" << 1;
    }

    void compareVersions()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, expected);
        QCOMPARE(UpdateChecker::compareVersions(a, b), expected);
        QCOMPARE(UpdateChecker::compareVersions(b, a), -expected);
    }

    void announcementIsNormalised()
    {
        const UpdateInfo info = UpdateChecker::parseUpdateInfo(
            announcement(QStringLiteral("  https://ACCOUNTS.example.org:8443/downloads/n.deb "),
                         kDigest.toUpper()),
            kHost);
        QVERIFY(info.available);
        QCOMPARE(info.latestVersion, QStringLiteral("1.2.1"));
        QCOMPARE(info.minimumVersion, QStringLiteral("1.0.0"));
        QCOMPARE(info.downloadUrl, QStringLiteral("https://ACCOUNTS.example.org:8443/downloads/n.deb"));
        QCOMPARE(info.sha256, kDigest);
        QCOMPARE(info.releaseNotes, QStringLiteral("修复若干问题"));
    }

    void announcementIsRefused_data()
    {
        QTest::addColumn<QJsonObject>("object");
        QJsonObject disabled = announcement();
        disabled[QStringLiteral("enabled")] = false;
        QJsonObject enabledAsText = announcement();
        enabledAsText[QStringLiteral("enabled")] = QStringLiteral("true");
        QJsonObject noVersion = announcement();
        noVersion[QStringLiteral("latest_version")] = QStringLiteral("   ");
        QJsonObject noEnabled = announcement();
        noEnabled.remove(QStringLiteral("enabled"));
        QTest::newRow("disabled") << disabled;
        QTest::newRow("enabled as text") << enabledAsText;
        QTest::newRow("enabled missing") << noEnabled;
        QTest::newRow("empty version") << noVersion;
        QTest::newRow("empty object") << QJsonObject();
        QTest::newRow("no url") << announcement(QString());
        QTest::newRow("http") << announcement(QStringLiteral("http://accounts.example.org/downloads/n.deb"));
        QTest::newRow("other host") << announcement(
            QStringLiteral("https://mirror.example.org/downloads/n.deb"));
        QTest::newRow("host as suffix")
            << announcement(QStringLiteral("https://accounts.example.org.evil.test/n"));
        QTest::newRow("user name") << announcement(
            QStringLiteral("https://someone@accounts.example.org/n.deb"));
        QTest::newRow("password only")
            << announcement(QStringLiteral("https://:secret@accounts.example.org/n.deb"));
        QTest::newRow("not a url") << announcement(QStringLiteral("https://accounts.example.org:99999/n"));
        QTest::newRow("relative") << announcement(QStringLiteral("/downloads/n.deb"));
        QTest::newRow("63 hex digits") << announcement({}, kDigest.left(63));
        QTest::newRow("65 hex digits") << announcement({}, kDigest + QLatin1Char('0'));
        QTest::newRow("not hex") << announcement({}, kDigest.left(63) + QLatin1Char('g'));
        QTest::newRow("no digest") << announcement({}, QString());
    }

    void announcementIsRefused()
    {
        QFETCH(QJsonObject, object);
        const UpdateInfo info = UpdateChecker::parseUpdateInfo(object, kHost);
        QVERIFY(!info.available);
        QVERIFY(info.latestVersion.isEmpty());
        QVERIFY(info.downloadUrl.isEmpty());
        QVERIFY(info.sha256.isEmpty());
    }

    void requiredUpdateText()
    {
        const QString text = UpdateChecker::requiredUpdateText(QStringLiteral("1.3.0"), QString());
        QVERIFY(text.startsWith(
            QStringLiteral("发现 NIMBARA 1.3.0 更新。\n\n此版本包含必要的服务兼容更新。\n\n")));
        QVERIFY(UpdateChecker::requiredUpdateText(QStringLiteral("1.3.0"), QStringLiteral("说明"))
                    .contains(QStringLiteral("\n\n说明\n\n")));
    }

    void debianPackageGoesToPkexecAptGet()
    {
        FakeProcessLauncher launcher;
        launcher.addProgram(QStringLiteral("pkexec"), QStringLiteral("/usr/bin/pkexec"));
        launcher.addProgram(QStringLiteral("apt-get"), QStringLiteral("/usr/bin/apt-get"));
        launcher.addProgram(QStringLiteral("xdg-open"), QStringLiteral("/usr/bin/xdg-open"));
        UpdateInstaller installer(launcher, UpdateInstaller::Kind::DebianPackage);
        QCOMPARE(installer.fileName(QStringLiteral("1.2.1")), QStringLiteral("NIMBARA-1.2.1-amd64.deb"));
        QCOMPARE(installer.platformKey(), QStringLiteral("linux"));
        QString error;
        QVERIFY(installer.start(QStringLiteral("/home/u/Downloads/NIMBARA-1.2.1-amd64.deb"), &error));
        QCOMPARE(launcher.starts.size(), 1);
        QCOMPARE(launcher.starts[0].program, QStringLiteral("/usr/bin/pkexec"));
        QCOMPARE(
            launcher.starts[0].arguments,
            (QStringList{QStringLiteral("/usr/bin/apt-get"), QStringLiteral("install"), QStringLiteral("-y"),
                         QStringLiteral("/home/u/Downloads/NIMBARA-1.2.1-amd64.deb")}));
    }

    void withoutPkexecTheDesktopOpensThePackage()
    {
        FakeProcessLauncher launcher;
        launcher.addProgram(QStringLiteral("xdg-open"), QStringLiteral("/usr/bin/xdg-open"));
        UpdateInstaller installer(launcher, UpdateInstaller::Kind::DebianPackage);
        QString error;
        QVERIFY(installer.start(QStringLiteral("/tmp/NIMBARA-1.2.1-amd64.deb"), &error));
        QCOMPARE(launcher.starts.size(), 1);
        QCOMPARE(launcher.starts[0].program, QStringLiteral("/usr/bin/xdg-open"));
        QCOMPARE(launcher.starts[0].arguments, QStringList{QStringLiteral("/tmp/NIMBARA-1.2.1-amd64.deb")});
    }

    void nothingToStartTheInstallerWith()
    {
        FakeProcessLauncher launcher;
        UpdateInstaller installer(launcher, UpdateInstaller::Kind::DebianPackage);
        QString error;
        QVERIFY(!installer.start(QStringLiteral("/tmp/p.deb"), &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(launcher.starts.isEmpty());

        launcher.addProgram(QStringLiteral("pkexec"), QStringLiteral("/usr/bin/pkexec"));
        launcher.failStart = true;
        launcher.failStartWith = QStringLiteral("exec failed");
        QVERIFY(!installer.start(QStringLiteral("/tmp/p.deb"), &error));
        QCOMPARE(error, QStringLiteral("exec failed"));
    }

    void windowsSetupRunsSilently()
    {
        FakeProcessLauncher launcher;
        launcher.addProgram(QStringLiteral("pkexec"), QStringLiteral("/usr/bin/pkexec"));
        UpdateInstaller installer(launcher, UpdateInstaller::Kind::WindowsSetup);
        QCOMPARE(installer.fileName(QStringLiteral("1.3")), QStringLiteral("NIMBARA-1.3-x64-Setup.exe"));
        QCOMPARE(installer.platformKey(), QStringLiteral("windows"));
        QString error;
        QVERIFY(installer.start(QStringLiteral("C:/Users/u/Downloads/NIMBARA-1.3-x64-Setup.exe"), &error));
        QCOMPARE(launcher.starts.size(), 1);
        QCOMPARE(launcher.starts[0].program,
                 QStringLiteral("C:/Users/u/Downloads/NIMBARA-1.3-x64-Setup.exe"));
        QCOMPARE(launcher.starts[0].arguments, QStringList{QStringLiteral("/S")});
#ifdef Q_OS_WIN
        QCOMPARE(UpdateInstaller::nativeKind(), UpdateInstaller::Kind::WindowsSetup);
#else
        QCOMPARE(UpdateInstaller::nativeKind(), UpdateInstaller::Kind::DebianPackage);
#endif
    }
};

QTEST_GUILESS_MAIN(UpdateCheckerTest)
#include "test_update_checker.moc"
