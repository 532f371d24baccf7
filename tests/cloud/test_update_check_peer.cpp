// The start-up update check against the real account server over HTTPS with a private CA: what it
// announces, the download of the file it serves, the digest check and the hand-over to the installer
// (a recording launcher: nothing is really installed), and the real program started under it.

#include "cloud/update_checker.h"
#include "cloud/update_prompter.h"
#include "platform/update_installer.h"
#include "support/account_test_server.h"
#include "support/fake_process_launcher.h"
#include "support/test_certificate_authority.h"
#include "support/test_environment.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSslServer>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const QString kRunning = QStringLiteral("1.2.0");

// Answers the boxes from a script (an unscripted box is declined) and records what was shown.
class ScriptedPrompter : public IUpdatePrompter
{
public:
    bool confirmUpdate(const QString& version, const QString& text) override
    {
        confirmed.append(version);
        texts.append(text);
        return !confirmAnswers.isEmpty() && confirmAnswers.takeFirst();
    }
    bool offerRetry(const QString& error) override
    {
        errors.append(error);
        return !retryAnswers.isEmpty() && retryAnswers.takeFirst();
    }
    bool offerManualInstall(const QString& text, bool mayContinue) override
    {
        manual.append(text);
        manualMayContinue.append(mayContinue);
        return continueAnswer;
    }
    void beginDownload(const QString& label, std::function<void()> cancel) override
    {
        labels.append(label);
        m_cancel = std::move(cancel);
    }
    void setDownloadProgress(int percent) override
    {
        progress.append(percent);
        if (cancelOnFirstProgress && m_cancel) {
            const auto cancel = std::exchange(m_cancel, nullptr);
            cancel();
        }
    }
    void endDownload() override
    {
        ++ended;
        m_cancel = nullptr;
    }

    QList<bool> confirmAnswers;
    QList<bool> retryAnswers;
    bool continueAnswer = false;
    QStringList manual;
    QList<bool> manualMayContinue;
    bool cancelOnFirstProgress = false;
    QStringList confirmed;
    QStringList texts;
    QStringList errors;
    QStringList labels;
    QList<int> progress;
    int ended = 0;

private:
    std::function<void()> m_cancel;
};

QByteArray packageBytes(qsizetype size)
{
    QByteArray content(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>((i * 131) ^ (i >> 9));
    return content;
}

QString sha256(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// Accepts connections and never says a word.
class SilentServer : public QTcpServer
{
public:
    SilentServer()
    {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection())
                held.append(socket);
        });
    }
    QList<QTcpSocket*> held;
};

// A small HTTPS site with a certificate of the private CA that answers every request with what
// `respond` makes of its path, then closes the connection, and remembers the paths it was asked for.
class TinyHttpsSite : public QObject
{
public:
    TinyHttpsSite(const QSslConfiguration& tls, std::function<QByteArray(const QByteArray&)> respond)
        : m_respond(std::move(respond))
    {
        m_server.setSslConfiguration(tls);
        m_server.listen(QHostAddress::LocalHost);
        connect(&m_server, &QTcpServer::pendingConnectionAvailable, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection())
                connect(socket, &QIODevice::readyRead, this, [this, socket] { serve(socket); });
        });
    }
    quint16 port() const { return m_server.serverPort(); }
    QList<QByteArray> paths;

private:
    void serve(QTcpSocket* socket)
    {
        QByteArray& head = m_heads[socket];
        head += socket->readAll();
        if (!head.contains("\r\n\r\n"))
            return;
        const QByteArray path = head.split(' ').value(1);
        paths.append(path);
        socket->write(m_respond(path));
        socket->disconnectFromHost();
        m_heads.remove(socket);
    }

    QSslServer m_server;
    std::function<QByteArray(const QByteArray&)> m_respond;
    QHash<QTcpSocket*, QByteArray> m_heads;
};

QByteArray httpResponse(const QByteArray& status, const QByteArray& body, const QByteArray& extraHeaders = {})
{
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body;
}

} // namespace

class UpdateCheckPeerTest : public QObject
{
    Q_OBJECT

private:
    // Announces `version` for `platform` with the package `content` as the file the server serves.
    void announce(const QString& version, const QString& minimum, const QByteArray& content,
                  AccountTestServer* server = nullptr, const QString& platform = QStringLiteral("linux"))
    {
        server = server ? server : m_server.get();
        const QString file = m_source.filePath(QStringLiteral("nimbara_%1_amd64.deb").arg(version));
        writeFile(file, content);
        QStringList arguments{QStringLiteral("update"),     QStringLiteral("set"),
                              QStringLiteral("--platform"), platform,
                              QStringLiteral("--version"),  version,
                              QStringLiteral("--file"),     file,
                              QStringLiteral("--notes"),    QStringLiteral("修复同步问题")};
        if (!minimum.isEmpty())
            arguments << QStringLiteral("--minimum") << minimum;
        const AccountTestServer::CommandResult result = server->admin(arguments);
        QVERIFY2(result.exitCode == 0, result.err.constData());
    }

    void setDigest(const QString& expression)
    {
        QString error;
        QVERIFY2(m_server->execSql(QStringLiteral("UPDATE client_updates SET sha256 = %1").arg(expression),
                                   {}, nullptr, &error),
                 qPrintable(error));
    }

    ServiceEndpoint endpoint(const AccountTestServer& server) const
    {
        QString error;
        const QList<QSslCertificate> ca = readCaCertificates(server.caCertificatePath(), &error);
        return ServiceEndpoint{server.baseUrl(), ca, true};
    }

    std::unique_ptr<UpdateChecker> checker(const ServiceEndpoint& at)
    {
        auto result = std::make_unique<UpdateChecker>(at, kRunning, m_prompter, *m_installer);
        result->setDownloadDirectory(m_downloads.path());
        return result;
    }

    qsizetype announcementRequests(const AccountTestServer& server) const
    {
        return server.log().count("/api/v1/client/update/linux");
    }

    QStringList downloadedFiles() const { return QDir(m_downloads.path()).entryList(QDir::Files); }

    std::unique_ptr<AccountTestServer> m_server;
    QTemporaryDir m_source;
    QTemporaryDir m_downloads;
    ScriptedPrompter m_prompter;
    FakeProcessLauncher m_launcher;
    std::unique_ptr<UpdateInstaller> m_installer;

private slots:
    void initTestCase()
    {
        const QString reason = AccountTestServer::unavailableReason();
        if (!reason.isEmpty())
            QSKIP(qPrintable(reason));
        m_server = std::make_unique<AccountTestServer>();
        QString error;
        QVERIFY2(m_server->start(&error), qPrintable(error));
    }

    void init()
    {
        m_prompter = ScriptedPrompter();
        m_launcher = FakeProcessLauncher();
        m_launcher.addProgram(QStringLiteral("pkexec"), QStringLiteral("/usr/bin/pkexec"));
        m_launcher.addProgram(QStringLiteral("apt-get"), QStringLiteral("/usr/bin/apt-get"));
        m_installer = std::make_unique<UpdateInstaller>(m_launcher, UpdateInstaller::Kind::DebianPackage);
        for (const QString& name : downloadedFiles())
            QFile::remove(m_downloads.filePath(name));
        m_server->admin({QStringLiteral("update"), QStringLiteral("clear"), QStringLiteral("--platform"),
                         QStringLiteral("linux")});
    }

    void noAnnouncementContinues()
    {
        const qsizetype before = announcementRequests(*m_server);
        QVERIFY(checker(endpoint(*m_server))->checkForUpdateAtStartup());
        QCOMPARE(announcementRequests(*m_server), before + 1);
        QVERIFY(m_prompter.confirmed.isEmpty());
    }

    void sameOrOlderVersionContinues_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("minimum");
        QTest::newRow("older") << "1.1.9"
                               << "1.0.0";
        QTest::newRow("same") << "1.2.0"
                              << "";
        QTest::newRow("same, four parts") << "1.2.0.0"
                                          << "1.2.0";
    }

    void sameOrOlderVersionContinues()
    {
        QFETCH(QString, version);
        QFETCH(QString, minimum);
        announce(version, minimum, packageBytes(1000));
        QVERIFY(checker(endpoint(*m_server))->checkForUpdateAtStartup());
        QVERIFY(m_prompter.confirmed.isEmpty());
        QVERIFY(m_launcher.starts.isEmpty());
    }

    void newerVersionIsRequiredWhateverTheMinimum_data()
    {
        QTest::addColumn<QString>("minimum");
        QTest::newRow("minimum 1.0.0") << "1.0.0";
        QTest::newRow("no minimum") << "";
    }

    void newerVersionIsRequiredWhateverTheMinimum()
    {
        QFETCH(QString, minimum);
        announce(QStringLiteral("1.2.1"), minimum, packageBytes(1000));
        // "退出软件": the program ends without downloading anything.
        QVERIFY(!checker(endpoint(*m_server))->checkForUpdateAtStartup());
        QCOMPARE(m_prompter.confirmed, QStringList{QStringLiteral("1.2.1")});
        QVERIFY(m_prompter.texts.first().startsWith(
            QStringLiteral("发现 NIMBARA 1.2.1 更新。\n\n修复同步问题\n\n")));
        QVERIFY(m_prompter.labels.isEmpty());
        QVERIFY(downloadedFiles().isEmpty());
        QVERIFY(m_launcher.starts.isEmpty());
    }

    void verifiedPackageGoesToTheInstaller()
    {
        const QByteArray content = packageBytes(5 * 1024 * 1024 + 3);
        announce(QStringLiteral("1.2.1"), QStringLiteral("1.0.0"), content);

        // The user's own download folder, in a home of its own; a stale partial file is replaced.
        QTemporaryDir root;
        ScopedEnvironment environment;
        isolateProcess(environment, root.path());
        const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
        QVERIFY2(downloads.startsWith(root.path()), qPrintable(downloads));
        const QString target = downloads + QStringLiteral("/NIMBARA-1.2.1-amd64.deb");
        QVERIFY(QDir().mkpath(downloads));
        writeFile(target + QStringLiteral(".download"), "stale");

        m_prompter.confirmAnswers = {true};
        UpdateChecker check(endpoint(*m_server), kRunning, m_prompter, *m_installer);
        QVERIFY(!check.checkForUpdateAtStartup()); // the installer runs; the program exits

        QVERIFY(readFile(target) == content);
        QVERIFY(!QFileInfo::exists(target + QStringLiteral(".download")));
        QCOMPARE(m_prompter.labels, QStringList{QStringLiteral("正在下载 NIMBARA 1.2.1 更新…")});
        QVERIFY(!m_prompter.progress.isEmpty());
        QCOMPARE(m_prompter.progress.last(), 100);
        QCOMPARE(m_prompter.ended, 1);
        QVERIFY(m_prompter.errors.isEmpty());
        QCOMPARE(m_launcher.starts.size(), 1);
        QCOMPARE(m_launcher.starts[0].program, QStringLiteral("/usr/bin/pkexec"));
        QCOMPARE(m_launcher.starts[0].arguments,
                 (QStringList{QStringLiteral("/usr/bin/apt-get"), QStringLiteral("install"),
                              QStringLiteral("-y"), target}));
    }

    void windowsSetupIsAskedForAndStartedSilently()
    {
        const QByteArray content = packageBytes(70000);
        announce(QStringLiteral("1.4.0"), QString(), content, nullptr, QStringLiteral("windows"));
        UpdateInstaller windows(m_launcher, UpdateInstaller::Kind::WindowsSetup);
        UpdateChecker check(endpoint(*m_server), kRunning, m_prompter, windows);
        check.setDownloadDirectory(m_downloads.path());
        m_prompter.confirmAnswers = {true};
        QVERIFY(!check.checkForUpdateAtStartup());
        const QString target = m_downloads.filePath(QStringLiteral("NIMBARA-1.4.0-x64-Setup.exe"));
        QVERIFY(readFile(target) == content);
        QCOMPARE(m_launcher.starts.size(), 1);
        QCOMPARE(m_launcher.starts[0].program, target);
        QCOMPARE(m_launcher.starts[0].arguments, QStringList{QStringLiteral("/S")});
        m_server->admin({QStringLiteral("update"), QStringLiteral("clear"), QStringLiteral("--platform"),
                         QStringLiteral("windows")});
    }

    void digestInCapitalsIsAccepted()
    {
        const QByteArray content = packageBytes(4096);
        announce(QStringLiteral("1.3.0"), QString(), content);
        setDigest(QStringLiteral("upper(sha256)"));
        QCOMPARE(m_server
                     ->admin({QStringLiteral("update"), QStringLiteral("show"), QStringLiteral("--platform"),
                              QStringLiteral("linux")})
                     .out.contains(sha256(content).toUpper().toLatin1()),
                 true);
        m_prompter.confirmAnswers = {true};
        QVERIFY(!checker(endpoint(*m_server))->checkForUpdateAtStartup());
        QCOMPARE(downloadedFiles(), QStringList{QStringLiteral("NIMBARA-1.3.0-amd64.deb")});
        QCOMPARE(m_launcher.starts.size(), 1);
    }

    void shortDigestDisablesTheUpdate()
    {
        announce(QStringLiteral("1.3.0"), QString(), packageBytes(4096));
        setDigest(QStringLiteral("substr(sha256, 1, 63)"));
        QVERIFY(checker(endpoint(*m_server))->checkForUpdateAtStartup());
        QVERIFY(m_prompter.confirmed.isEmpty());
    }

    void mismatchingPackageIsDeletedAndNeverInstalled()
    {
        announce(QStringLiteral("1.3.0"), QString(), packageBytes(2 * 1024 * 1024 + 1));
        setDigest(QStringLiteral("'%1'").arg(QString(64, QLatin1Char('7'))));
        m_prompter.confirmAnswers = {true};
        QVERIFY(!checker(endpoint(*m_server))->checkForUpdateAtStartup());
        QCOMPARE(m_prompter.errors, QStringList{QStringLiteral("更新包校验失败，已取消安装。")});
        QVERIFY2(downloadedFiles().isEmpty(), qPrintable(downloadedFiles().join(QLatin1Char(' '))));
        QVERIFY(m_launcher.starts.isEmpty());
    }

    void missingFileOnTheServerFails()
    {
        announce(QStringLiteral("1.3.0"), QString(), packageBytes(1000));
        QVERIFY(QFile::remove(m_server->updateDirectory() + QStringLiteral("/nimbara_1.3.0_amd64.deb")));
        m_prompter.confirmAnswers = {true};
        QVERIFY(!checker(endpoint(*m_server))->checkForUpdateAtStartup());
        QCOMPARE(m_prompter.errors.size(), 1);
        QVERIFY2(m_prompter.errors.first().startsWith(QStringLiteral("更新包下载失败：")),
                 qPrintable(m_prompter.errors.first()));
        QVERIFY(downloadedFiles().isEmpty());
        QVERIFY(m_launcher.starts.isEmpty());
    }

    void cancelIsSilentAndAsksAgain()
    {
        announce(QStringLiteral("1.2.1"), QString(), packageBytes(48 * 1024 * 1024));
        m_prompter.cancelOnFirstProgress = true;
        m_prompter.confirmAnswers = {true, false};
        const qsizetype before = announcementRequests(*m_server);

        QVERIFY(!checker(endpoint(*m_server))->checkForUpdateAtStartup());

        // No failure box for the user's own cancel; the service is asked afresh, the box shown again.
        QVERIFY2(m_prompter.errors.isEmpty(), qPrintable(m_prompter.errors.join(QLatin1Char(';'))));
        QCOMPARE(announcementRequests(*m_server), before + 2);
        QCOMPARE(m_prompter.confirmed.size(), 2);
        QVERIFY(downloadedFiles().isEmpty());
        QVERIFY(m_launcher.starts.isEmpty());
    }

    // Without pkexec and xdg-open the verified package stays and the user learns where it is and how
    // to install it; a version not below the minimum may go on.
    void noInstallerTellsTheCommand_data()
    {
        QTest::addColumn<QString>("minimum");
        QTest::addColumn<bool>("mayContinue");
        QTest::newRow("minimum below the running version") << "1.1.0" << true;
        QTest::newRow("no minimum") << "" << true;
        QTest::newRow("running version below the minimum") << "1.2.1" << false;
    }

    void noInstallerTellsTheCommand()
    {
        QFETCH(QString, minimum);
        QFETCH(bool, mayContinue);
        const QByteArray content = packageBytes(70000);
        announce(QStringLiteral("1.2.1"), minimum, content);
        FakeProcessLauncher bare; // neither pkexec nor xdg-open
        UpdateInstaller installer(bare, UpdateInstaller::Kind::DebianPackage);
        UpdateChecker check(endpoint(*m_server), kRunning, m_prompter, installer);
        check.setDownloadDirectory(m_downloads.path());
        m_prompter.confirmAnswers = {true};
        m_prompter.continueAnswer = true;

        QCOMPARE(check.checkForUpdateAtStartup(), mayContinue);

        const QString target = m_downloads.filePath(QStringLiteral("NIMBARA-1.2.1-amd64.deb"));
        QVERIFY(readFile(target) == content);
        QCOMPARE(m_prompter.manualMayContinue, QList<bool>{mayContinue});
        const QString text = m_prompter.manual.value(0);
        QVERIFY2(text.contains(QStringLiteral("sudo apt-get install '%1'").arg(target)), qPrintable(text));
        QVERIFY(m_prompter.errors.isEmpty());
        QVERIFY(bare.starts.isEmpty());
    }

    void downloadsOnlyFromTheServiceHostOverHttps_data()
    {
        QTest::addColumn<QString>("publicUrl");
        QTest::newRow("plain http") << "http://127.0.0.1";
        QTest::newRow("other host") << "https://localhost";
    }

    void downloadsOnlyFromTheServiceHostOverHttps()
    {
        QFETCH(QString, publicUrl);
        AccountTestServer server;
        AccountTestServer::Options options;
        options.publicUrl = publicUrl;
        QString error;
        QVERIFY2(server.start(options, &error), qPrintable(error));
        announce(QStringLiteral("1.9.0"), QString(), packageBytes(1000), &server);
        QVERIFY(checker(endpoint(server))->checkForUpdateAtStartup());
        QCOMPARE(announcementRequests(server), 1);
        QVERIFY(server.log().contains("/downloads/") == false);
        QVERIFY(m_prompter.confirmed.isEmpty());
    }

    // A redirect may not carry the download to another host; within the service's own host it may.
    void downloadRedirectStaysOnTheServiceHost_data()
    {
        QTest::addColumn<bool>("toOtherHost");
        QTest::newRow("to another host") << true;
        QTest::newRow("within the host") << false;
    }

    void downloadRedirectStaysOnTheServiceHost()
    {
        QFETCH(bool, toOtherHost);
        TestCertificateAuthority ca;
        QString error;
        QVERIFY2(ca.create(&error), qPrintable(error));
        TestCertificateAuthority::Leaf service;
        TestCertificateAuthority::Leaf other;
        QVERIFY2(ca.issue(QStringLiteral("service"), &service, &error), qPrintable(error));
        QVERIFY2(ca.issue(QStringLiteral("other"), {QStringLiteral("DNS:localhost")}, &other, &error),
                 qPrintable(error));

        const QByteArray content = packageBytes(300000);
        const auto package = [&](const QByteArray& path) {
            return path == "/pkg.deb" ? httpResponse("200 OK", content) : httpResponse("404 Not Found", {});
        };
        TinyHttpsSite otherSite(TestCertificateAuthority::serverConfiguration(other), package);
        quint16 servicePort = 0;
        TinyHttpsSite serviceSite(
            TestCertificateAuthority::serverConfiguration(service), [&](const QByteArray& path) {
                const QByteArray self = "https://127.0.0.1:" + QByteArray::number(servicePort);
                if (path == "/api/v1/client/update/linux") {
                    const QJsonObject announcement{
                        {QStringLiteral("enabled"), true},
                        {QStringLiteral("latest_version"), QStringLiteral("1.2.5")},
                        {QStringLiteral("download_url"), QString::fromLatin1(self + "/moved.deb")},
                        {QStringLiteral("sha256"), sha256(content)}};
                    return httpResponse("200 OK", QJsonDocument(announcement).toJson(QJsonDocument::Compact),
                                        "Content-Type: application/json\r\n");
                }
                if (path == "/moved.deb") {
                    const QByteArray target =
                        toOtherHost ? "https://localhost:" + QByteArray::number(otherSite.port()) + "/pkg.deb"
                                    : self + "/pkg.deb";
                    return httpResponse("302 Found", {}, "Location: " + target + "\r\n");
                }
                return package(path);
            });
        servicePort = serviceSite.port();

        m_prompter.confirmAnswers = {true};
        UpdateChecker check(ServiceEndpoint{QStringLiteral("https://127.0.0.1:%1").arg(servicePort),
                                            ca.caCertificates(), true},
                            kRunning, m_prompter, *m_installer);
        check.setDownloadDirectory(m_downloads.path());
        QVERIFY(!check.checkForUpdateAtStartup());
        if (toOtherHost) {
            QVERIFY(otherSite.paths.isEmpty());
            QCOMPARE(m_prompter.errors.size(), 1);
            QVERIFY2(m_prompter.errors.first().startsWith(QStringLiteral("更新包下载失败：")),
                     qPrintable(m_prompter.errors.first()));
            QVERIFY(downloadedFiles().isEmpty());
            QVERIFY(m_launcher.starts.isEmpty());
        } else {
            QCOMPARE(serviceSite.paths.count("/pkg.deb"), 1);
            QVERIFY(m_prompter.errors.isEmpty());
            QCOMPARE(m_launcher.starts.size(), 1);
        }
    }

    void unreachableOrSilentServiceContinues()
    {
        const quint16 closed = freeLoopbackPort();
        UpdateChecker refused(ServiceEndpoint{QStringLiteral("https://127.0.0.1:%1").arg(closed), {}, true},
                              kRunning, m_prompter, *m_installer);
        QVERIFY(refused.checkForUpdateAtStartup());

        SilentServer silent;
        QVERIFY(silent.isListening());
        UpdateChecker waiting(
            ServiceEndpoint{QStringLiteral("https://127.0.0.1:%1").arg(silent.serverPort()), {}, true},
            kRunning, m_prompter, *m_installer);
        QCOMPARE(waiting.fetchTimeout(), 8000);
        waiting.setFetchTimeout(300);
        QVERIFY(waiting.checkForUpdateAtStartup());
        QVERIFY(!silent.held.isEmpty());
        QVERIFY(m_prompter.confirmed.isEmpty());
    }

    // The real program, started headless with its account service set in config.toml.
    void programExitsWhenAnUpdateIsRequired()
    {
        announce(QStringLiteral("1.2.1"), QString(), packageBytes(1000));
        QTemporaryDir root;
        const QString data = root.filePath(QStringLiteral("home/.local/share/NIMBARA/NIMBARA"));
        QVERIFY(QDir().mkpath(data));
        writeFile(data + QStringLiteral("/config.toml"),
                  QStringLiteral("[account]\nservice_url = \"%1\"\nca_certificates = \"%2\"\n")
                      .arg(m_server->baseUrl(), m_server->caCertificatePath())
                      .toUtf8());
        QProcess program;
        program.setProcessEnvironment(isolatedEnvironment(root.path()));
        program.start(QStringLiteral(NIMBARA_BINARY_DIR "/nimbara"), {});
        QVERIFY(program.waitForFinished(30000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        const QString errors = QString::fromUtf8(program.readAllStandardError());
        QVERIFY2(errors.contains(QStringLiteral("必须升级 NIMBARA: 发现 NIMBARA 1.2.1 更新。")),
                 qPrintable(errors));
        // Nothing else was set up.
        QVERIFY(!QFileInfo::exists(data + QStringLiteral("/data.db")));
        QVERIFY(!QFileInfo::exists(data + QStringLiteral("/credential.key")));
    }

    void programStartsWhenTheServiceIsSilent()
    {
        SilentServer silent;
        QTemporaryDir root;
        const QString data = root.filePath(QStringLiteral("home/.local/share/NIMBARA/NIMBARA"));
        QVERIFY(QDir().mkpath(data));
        writeFile(data + QStringLiteral("/config.toml"),
                  QStringLiteral("[account]\nservice_url = \"https://127.0.0.1:%1\"\n")
                      .arg(silent.serverPort())
                      .toUtf8());
        QProcess program;
        program.setProcessEnvironment(isolatedEnvironment(root.path()));
        program.start(QStringLiteral(NIMBARA_BINARY_DIR "/nimbara"), {});
        // The check gives up after its 8 seconds; then the program starts as usual.
        QVERIFY(QTest::qWaitFor(
            [&] {
                return QFileInfo::exists(data + QStringLiteral("/data.db")) ||
                       program.state() == QProcess::NotRunning;
            },
            60000));
        QCOMPARE(program.state(), QProcess::Running);
        QVERIFY(!silent.held.isEmpty());
        program.terminate();
        QVERIFY(program.waitForFinished(20000));
        QCOMPARE(program.exitCode(), 0);
    }
};

QTEST_MAIN(UpdateCheckPeerTest)
#include "test_update_check_peer.moc"
