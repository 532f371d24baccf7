// The account client against the real account server over HTTPS with a private CA. Each simulated
// computer has its own per-user settings directory and device key.

#include "cloud/account_client.h"
#include "storage/app_config.h"
#include "storage/crypto_manager.h"
#include "support/account_test_server.h"
#include "support/fake_data_protection.h"
#include "support/http_test_client.h"
#include "support/test_environment.h"
#include "support/test_http_head.h"
#include "support/tls_test_server.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QHash>
#include <QSettings>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>
#include <optional>

namespace {

const QString kPassword = QStringLiteral("correct horse battery");
constexpr qint64 kDayMs = 24LL * 60 * 60 * 1000;
constexpr int kWaitMs = 60000;

// Exposes the timer's operation, so a test need not wait three minutes for it.
class BeatingAccountClient : public AccountClient
{
public:
    using AccountClient::AccountClient;
    using AccountClient::heartbeat;
};

// One installation: its settings directory and its device key.
struct Computer
{
    Computer()
    {
        crypto = std::make_unique<CryptoManager>(std::make_unique<FakeDataProtection>());
        crypto->initialize(home.filePath(QStringLiteral("credential.key")));
        use();
    }
    // Settings objects made from now on belong to this computer.
    void use() const { QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.path()); }
    QString settingsFile() const { return home.filePath(QStringLiteral("NIMBARA/NIMBARA.conf")); }
    QString storedToken() const
    {
        return crypto->sealDecrypt(QSettings().value(QStringLiteral("account/session_token")).toString());
    }

    QTemporaryDir home;
    std::unique_ptr<CryptoManager> crypto;
};

QString uniqueEmail(const char* name)
{
    static int counter = 0;
    return QStringLiteral("%1.%2@example.com").arg(QLatin1String(name)).arg(++counter);
}

QString tokenHash(const QString& token)
{
    return QString::fromLatin1(QCryptographicHash::hash(token.toUtf8(), QCryptographicHash::Sha256).toHex());
}

// A TLS site of the private CA: answers each request (once its body is in) with what `answer` makes
// of its path, then closes; keeps every byte it was sent.
class RecordingSite
{
public:
    explicit RecordingSite(std::function<QByteArray(const QByteArray&)> answer)
        : m_answer(std::move(answer)), m_server([this](QSslSocket* socket) {
              QObject::connect(socket, &QIODevice::readyRead, socket, [this, socket] { serve(socket); });
          })
    {
    }
    bool listen(TestCertificateAuthority& ca, QString* error) { return m_server.listen(ca, "site", error); }
    QString baseUrl() const { return m_server.baseUrl(); }
    QByteArray received;

private:
    void serve(QSslSocket* socket)
    {
        const QByteArray bytes = socket->readAll();
        received += bytes;
        QByteArray& pending = m_pending[socket];
        pending += bytes;
        const std::optional<TestHttpHead> head = TestHttpHead::parse(pending);
        if (!head || pending.size() < head->size + head->header("content-length").toLongLong())
            return;
        socket->write(m_answer(head->target));
        socket->disconnectFromHost();
    }

    std::function<QByteArray(const QByteArray&)> m_answer;
    TlsTestServer m_server;
    QHash<QSslSocket*, QByteArray> m_pending;
};

} // namespace

class TestAccountClientPeer : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<AccountTestServer> m_server;

    std::unique_ptr<BeatingAccountClient> client(const Computer& computer)
    {
        computer.use();
        auto result = std::make_unique<BeatingAccountClient>(computer.crypto.get());
        AppConfig config;
        config.account_service_url = m_server->baseUrl();
        config.account_ca_certificates = m_server->caCertificatePath();
        if (!applyAccountServiceConfig(*result, config))
            qWarning("the test server's endpoint was refused");
        return result;
    }

    // Waits for the account to become `signedIn`, with the last accountChanged record.
    static bool waitForAccount(AccountClient& client, bool signedIn)
    {
        QSignalSpy changed(&client, &AccountClient::accountChanged);
        while (client.isSignedIn() != signedIn) {
            if (!changed.wait(kWaitMs))
                return false;
        }
        return true;
    }

    static bool waitIdle(QSignalSpy& busy)
    {
        while (busy.isEmpty() || busy.last().at(0).toBool()) {
            if (!busy.wait(kWaitMs))
                return false;
        }
        return true;
    }

    void registerOn(AccountClient& client, const QString& email,
                    const QString& name = QStringLiteral("Tester"))
    {
        QSignalSpy registered(&client, &AccountClient::registered);
        client.registerAccount(name, email, kPassword);
        QVERIFY(waitForAccount(client, true));
        QCOMPARE(registered.count(), 1);
    }

    qint64 sqlValue(const QString& sql, const QVariantList& values)
    {
        QVariant value;
        QString error;
        if (!m_server->execSql(sql, values, &value, &error)) {
            qWarning() << "SQL failed:" << error;
            return -1;
        }
        return value.toLongLong();
    }

    void admin(const QStringList& arguments)
    {
        const AccountTestServer::CommandResult result = m_server->admin(arguments);
        QVERIFY2(result.exitCode == 0, result.err.constData());
    }

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("NIMBARA"));
        QCoreApplication::setApplicationName(QStringLiteral("NIMBARA"));
        if (!AccountTestServer::unavailableReason().isEmpty())
            QSKIP(qPrintable(AccountTestServer::unavailableReason()));
        m_server = std::make_unique<AccountTestServer>();
        QString error;
        QVERIFY2(m_server->start(&error), qPrintable(error));
    }

    void registrationSignsIn()
    {
        Computer pc;
        auto account = client(pc);
        const QString email = uniqueEmail("reg");
        QSignalSpy busy(account.get(), &AccountClient::busyChanged);
        QSignalSpy registered(account.get(), &AccountClient::registered);
        account->registerAccount(QStringLiteral("  注册用户 "),
                                 QStringLiteral(" ") + email + QStringLiteral(" "), kPassword);
        QVERIFY(waitForAccount(*account, true));
        QCOMPARE(registered.count(), 1);
        QCOMPARE(registered.at(0).at(0).toString(), QStringLiteral("注册用户"));
        const MemberAccount signedIn = account->account();
        QVERIFY(!signedIn.id.isEmpty());
        QCOMPARE(signedIn.name, QStringLiteral("注册用户"));
        QCOMPARE(signedIn.email, email);
        QCOMPARE(signedIn.role, QStringLiteral("owner"));
        QVERIFY(waitIdle(busy));
        QCOMPARE(busy.first().at(0).toBool(), true);
    }

    void signInTrimsTheEmailOnly()
    {
        const QString email = uniqueEmail("trim");
        const QString password = QStringLiteral("  blanks around it  ");
        QString error;
        QVERIFY2(m_server->addUser(email, QStringLiteral("Trim"), password, &error), qPrintable(error));

        Computer pc;
        auto account = client(pc);
        QSignalSpy failed(account.get(), &AccountClient::loginFailed);
        QSignalSpy changed(account.get(), &AccountClient::accountChanged);
        // The trimmed password is another password.
        account->login(email, password.trimmed());
        QVERIFY(failed.wait(kWaitMs));
        QCOMPARE(failed.at(0).at(0).toString(), QStringLiteral("邮箱或密码错误"));
        QCOMPARE(changed.count(), 0);

        account->login(QStringLiteral("\t ") + email + QStringLiteral("  "), password);
        QVERIFY(waitForAccount(*account, true));
        QCOMPARE(account->account().email, email);
        QCOMPARE(failed.count(), 1);
    }

    void duplicateRegistrationIsRefused()
    {
        const QString email = uniqueEmail("dup");
        QString error;
        QVERIFY2(m_server->addUser(email, QStringLiteral("Dup"), kPassword, &error), qPrintable(error));
        Computer pc;
        auto account = client(pc);
        QSignalSpy failed(account.get(), &AccountClient::registrationFailed);
        account->registerAccount(QStringLiteral("Dup"), email, kPassword);
        QVERIFY(failed.wait(kWaitMs));
        QCOMPARE(failed.at(0).at(0).toString(), QStringLiteral("该邮箱已注册，请直接登录"));
        QVERIFY(!account->isSignedIn());
    }

    void sessionIsSealedAndRestored()
    {
        Computer pc;
        const QString email = uniqueEmail("restore");
        QString token;
        {
            auto account = client(pc);
            registerOn(*account, email);
            token = pc.storedToken();
        }
        QVERIFY(!token.isEmpty());
        QCOMPARE(sqlValue(QStringLiteral("SELECT COUNT(*) FROM sessions WHERE token_hash = ?"),
                          {tokenHash(token)}),
                 Q_INT64_C(1));
        const QByteArray settings = readFile(pc.settingsFile());
        QVERIFY(settings.contains("session_token"));
        QVERIFY(!settings.contains(token.toUtf8()));

        // A restarted program signs in with the kept token: no new session is made.
        const qint64 sessions = sqlValue(QStringLiteral("SELECT COUNT(*) FROM sessions"), {});
        auto restarted = client(pc);
        QSignalSpy loginFailed(restarted.get(), &AccountClient::loginFailed);
        restarted->restoreSession();
        QVERIFY(waitForAccount(*restarted, true));
        QCOMPARE(restarted->account().email, email);
        QCOMPARE(sqlValue(QStringLiteral("SELECT COUNT(*) FROM sessions"), {}), sessions);
        QCOMPARE(pc.storedToken(), token);

        // Signing out ends the session on the server too.
        QSignalSpy busy(restarted.get(), &AccountClient::busyChanged);
        restarted->logout();
        QVERIFY(!restarted->isSignedIn());
        QVERIFY(!QSettings().contains(QStringLiteral("account/session_token")));
        QVERIFY(waitIdle(busy));
        HttpTestClient http(m_server->clientConfiguration());
        QCOMPARE(http.get(m_server->url(QStringLiteral("/api/v1/account/me")), token.toUtf8()).status, 401);
    }

    void endedSessionSignsOut_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("message");
        QTest::newRow("signed out elsewhere") << "logout"
                                              << "登录已过期，请重新登录";
        QTest::newRow("account disabled") << "disable"
                                          << "登录已过期，请重新登录";
        QTest::newRow("idle for 31 days") << "idle"
                                          << "登录已过期，请重新登录";
        QTest::newRow("computer removed") << "device"
                                          << "此电脑已从用户后台移除，请重新登录以绑定设备";
    }

    void endedSessionSignsOut()
    {
        QFETCH(QString, how);
        QFETCH(QString, message);
        Computer pc;
        auto account = client(pc);
        const QString email = uniqueEmail("ended");
        registerOn(*account, email);
        const QString token = pc.storedToken();
        QVERIFY(!token.isEmpty());

        if (how == QLatin1String("logout")) {
            HttpTestClient http(m_server->clientConfiguration());
            QCOMPARE(
                http.post(m_server->url(QStringLiteral("/api/v1/auth/logout")), {}, token.toUtf8()).status,
                200);
        } else if (how == QLatin1String("disable")) {
            admin({QStringLiteral("user"), QStringLiteral("disable"), QStringLiteral("--email"), email});
        } else if (how == QLatin1String("idle")) {
            sqlValue(QStringLiteral("UPDATE sessions SET last_seen_ms = ? WHERE token_hash = ?"),
                     {QDateTime::currentMSecsSinceEpoch() - 31 * kDayMs, tokenHash(token)});
        } else {
            const QString clientId = QSettings().value(QStringLiteral("account/client_id")).toString();
            admin({QStringLiteral("device"), QStringLiteral("remove"), QStringLiteral("--email"), email,
                   QStringLiteral("--client-id"), clientId});
        }

        QSignalSpy failed(account.get(), &AccountClient::requestFailed);
        QSignalSpy changed(account.get(), &AccountClient::accountChanged);
        account->downloadHostSync();
        QVERIFY(failed.wait(kWaitMs));
        QCOMPARE(failed.at(0).at(0).toString(), message);
        QVERIFY(!changed.isEmpty());
        QVERIFY(!account->isSignedIn());
        QVERIFY(!QSettings().contains(QStringLiteral("account/session_token")));
    }

    void heartbeatKeepsTheSession()
    {
        Computer pc;
        auto account = client(pc);
        registerOn(*account, uniqueEmail("beat"));
        const QString hash = tokenHash(pc.storedToken());
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        QCOMPARE(sqlValue(QStringLiteral("UPDATE sessions SET last_seen_ms = ? WHERE token_hash = ?"),
                          {now - 29 * kDayMs, hash}),
                 Q_INT64_C(0));
        QSignalSpy busy(account.get(), &AccountClient::busyChanged);
        QSignalSpy failed(account.get(), &AccountClient::requestFailed);
        account->heartbeat();
        QVERIFY(waitIdle(busy));
        QVERIFY(sqlValue(QStringLiteral("SELECT last_seen_ms FROM sessions WHERE token_hash = ?"), {hash}) >=
                now - 60000);
        QVERIFY(account->isSignedIn());
        QCOMPARE(failed.count(), 0);
    }

    void teamMemberRole()
    {
        const QString owner = uniqueEmail("owner");
        QString error;
        QVERIFY2(m_server->addUser(owner, QStringLiteral("Owner"), kPassword, &error), qPrintable(error));
        Computer pc;
        auto account = client(pc);
        const QString member = uniqueEmail("member");
        registerOn(*account, member);
        QVERIFY(account->account().isMainAccount());

        admin({QStringLiteral("team"), QStringLiteral("add-member"), QStringLiteral("--owner"), owner,
               QStringLiteral("--member"), member});
        QSignalSpy changed(account.get(), &AccountClient::accountChanged);
        account->refreshAccount();
        QVERIFY(changed.wait(kWaitMs));
        QCOMPARE(changed.last().at(0).value<MemberAccount>().role, QStringLiteral("member"));
        QVERIFY(!account->account().isMainAccount());
        QVERIFY(account->isSignedIn());
    }

    void hostSyncRoundTrip()
    {
        Computer pc;
        auto account = client(pc);
        registerOn(*account, uniqueEmail("sync"));
        QSignalSpy downloaded(account.get(), &AccountClient::hostSyncDownloaded);
        QSignalSpy uploaded(account.get(), &AccountClient::hostSyncUploaded);
        QSignalSpy failed(account.get(), &AccountClient::requestFailed);

        account->downloadHostSync();
        QVERIFY(downloaded.wait(kWaitMs));
        QCOMPARE(downloaded.at(0).at(0).toBool(), false);
        QCOMPARE(downloaded.at(0).at(3).toLongLong(), Q_INT64_C(0));
        QVERIFY(!downloaded.at(0).at(4).toDateTime().isValid());

        // Larger than any other answer may be.
        const QString payload = QStringLiteral("NIMBARA-SYNC-1.c2FsdA.bm9uY2U.") + QString(3 << 20, u'A');
        account->uploadHostSync(payload, 2, 0);
        QVERIFY(uploaded.wait(kWaitMs));
        const qint64 first = uploaded.at(0).at(0).toLongLong();
        const QDateTime storedAt = uploaded.at(0).at(1).toDateTime();
        QVERIFY(first > 0);
        QVERIFY(storedAt.isValid());

        account->downloadHostSync();
        QVERIFY(downloaded.wait(kWaitMs));
        const QList<QVariant> snapshot = downloaded.at(1);
        QCOMPARE(snapshot.at(0).toBool(), true);
        QCOMPARE(snapshot.at(1).toString(), payload);
        QCOMPARE(snapshot.at(2).toInt(), 2);
        QCOMPARE(snapshot.at(3).toLongLong(), first);
        QCOMPARE(snapshot.at(4).toDateTime(), storedAt);

        // An upload based on an old revision is refused until the client has read the new one.
        account->uploadHostSync(payload, 3, 0);
        QVERIFY(failed.wait(kWaitMs));
        QCOMPARE(failed.at(0).at(0).toString(),
                 QStringLiteral("云端主机数据已发生变化，请先从云端恢复后再上传"));
        QVERIFY(account->isSignedIn());

        account->uploadHostSync(payload, 3, first);
        QVERIFY(uploaded.wait(kWaitMs));
        QVERIFY(uploaded.at(1).at(0).toLongLong() > first);
    }

    void serverThatIsNotRunning()
    {
        AccountTestServer gone;
        QString error;
        QVERIFY2(gone.start(&error), qPrintable(error));
        Computer pc;
        auto account = std::make_unique<AccountClient>(pc.crypto.get());
        AppConfig config;
        config.account_service_url = gone.baseUrl();
        config.account_ca_certificates = gone.caCertificatePath();
        QVERIFY(applyAccountServiceConfig(*account, config));
        registerOn(*account, uniqueEmail("gone"));
        gone.kill();

        QSignalSpy busy(account.get(), &AccountClient::busyChanged);
        QSignalSpy failed(account.get(), &AccountClient::requestFailed);
        account->downloadHostSync();
        QVERIFY(failed.wait(kWaitMs));
        QVERIFY(!failed.at(0).at(0).toString().isEmpty());
        QCOMPARE(busy.last().at(0).toBool(), false);
        // Not an answer of the service, so the session is kept for later.
        QVERIFY(account->isSignedIn());

        QSignalSpy loginFailed(account.get(), &AccountClient::loginFailed);
        account->login(uniqueEmail("gone"), kPassword);
        QVERIFY(loginFailed.wait(kWaitMs));
        QVERIFY(!loginFailed.at(0).at(0).toString().isEmpty());
        QCOMPARE(busy.last().at(0).toBool(), false);
    }

    // The real service's refusals reach the user in Chinese, the wait of a lock-out included; a service
    // that cannot be reached or stays silent is named with what to check.
    void refusalsAreTold()
    {
        AccountTestServer closed;
        AccountTestServer::Options options;
        options.allowRegistration = false;
        options.extraConfig = QStringLiteral("[limits]\nsign_in_failures_per_email = 1\n");
        QString error;
        QVERIFY2(closed.start(options, &error), qPrintable(error));
        const QString locked = uniqueEmail("locked");
        const QString disabled = uniqueEmail("disabled");
        QVERIFY2(closed.addUser(locked, QStringLiteral("L"), kPassword, &error), qPrintable(error));
        QVERIFY2(closed.addUser(disabled, QStringLiteral("D"), kPassword, &error), qPrintable(error));
        QCOMPARE(closed
                     .admin({QStringLiteral("user"), QStringLiteral("disable"), QStringLiteral("--email"),
                             disabled})
                     .exitCode,
                 0);

        QTcpServer silent; // accepts and never answers
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        QTcpServer gone;
        QVERIFY(gone.listen(QHostAddress::LocalHost));
        const QString goneUrl = QStringLiteral("http://127.0.0.1:%1").arg(gone.serverPort());
        gone.close();
        const QString silentUrl = QStringLiteral("http://127.0.0.1:%1").arg(silent.serverPort());

        struct Case
        {
            QString url;
            std::function<void(AccountClient&)> request;
            QString message;
        };
        const QString wrong = QStringLiteral("wrong password 12");
        const QList<Case> cases{
            {closed.baseUrl(),
             [](AccountClient& c) {
                 c.registerAccount(QStringLiteral("R"), uniqueEmail("closed"), kPassword);
             },
             QStringLiteral("此会员服务已关闭注册，请联系管理员开通账号")},
            {closed.baseUrl(), [&](AccountClient& c) { c.login(locked, wrong); },
             QStringLiteral("邮箱或密码错误")},
            {closed.baseUrl(), [&](AccountClient& c) { c.login(locked, kPassword); },
             QStringLiteral("登录失败次数过多，请在 15 分钟 后重试")},
            {closed.baseUrl(), [&](AccountClient& c) { c.login(disabled, kPassword); },
             QStringLiteral("该账号已被停用，请联系会员服务管理员")},
            {goneUrl, [](AccountClient& c) { c.login(uniqueEmail("gone"), kPassword); },
             QStringLiteral(
                 "无法连接会员服务 %1。请检查设置中的会员服务地址、本机网络连接，以及防火墙是否放行该地址。")
                 .arg(goneUrl)},
            {silentUrl, [](AccountClient& c) { c.login(uniqueEmail("silent"), kPassword); },
             QStringLiteral(
                 "会员服务 %1 无响应（1 秒内没有回答），已放弃本次请求。请确认会员服务正在运行，或稍后重试。")
                 .arg(silentUrl)},
        };
        for (const Case& c : cases) {
            Computer pc;
            AccountClient account(pc.crypto.get());
            account.setTransferTimeout(1000);
            QVERIFY(account.setServiceEndpoint(QUrl(c.url),
                                               QSslCertificate::fromPath(closed.caCertificatePath())));
            QSignalSpy loginFailed(&account, &AccountClient::loginFailed);
            QSignalSpy registrationFailed(&account, &AccountClient::registrationFailed);
            c.request(account);
            QVERIFY(QTest::qWaitFor([&] { return !loginFailed.isEmpty() || !registrationFailed.isEmpty(); },
                                    kWaitMs));
            const QSignalSpy& failed = loginFailed.isEmpty() ? registrationFailed : loginFailed;
            QCOMPARE(failed.at(0).at(0).toString(), c.message);
        }
    }

    void untrustedCertificateIsRefused()
    {
        Computer pc;
        AccountClient account(pc.crypto.get());
        QVERIFY(account.setServiceEndpoint(QUrl(m_server->baseUrl())));
        const QString email = uniqueEmail("untrusted");
        QSignalSpy failed(&account, &AccountClient::registrationFailed);
        QSignalSpy changed(&account, &AccountClient::accountChanged);
        account.registerAccount(QStringLiteral("X"), email, kPassword);
        QVERIFY(failed.wait(kWaitMs));
        QVERIFY(!failed.at(0).at(0).toString().isEmpty());
        QCOMPARE(changed.count(), 0);
        QVERIFY(!account.isSignedIn());
        // Nothing reached the service.
        QCOMPARE(sqlValue(QStringLiteral("SELECT COUNT(*) FROM users WHERE email = ?"), {email}),
                 Q_INT64_C(0));
    }

    // A service that sends the client elsewhere gets neither the password nor the token there, and an
    // answer larger than the client reads is cut off.
    void hostileAnswersAreRefused_data()
    {
        QTest::addColumn<QByteArray>("login");
        QTest::addColumn<QByteArray>("me");
        QTest::addColumn<QString>("message");
        const QByteArray token = "T0KEN-" + QByteArray(43, 'x');
        const QByteArray signedIn = TestHttpHead::response(200, "OK", "{\"access_token\":\"" + token + "\"}");
        const QByteArray moved = "\r\nLocation: %1\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        const QString redirected = QStringLiteral("会员服务要求跳转到其他地址，已拒绝");
        QTest::newRow("sign-in 307 elsewhere")
            << "HTTP/1.1 307 Temporary Redirect" + moved << QByteArray() << redirected;
        QTest::newRow("profile 302 elsewhere") << signedIn << "HTTP/1.1 302 Found" + moved << redirected;
        QTest::newRow("sign-in answer of 2 MiB")
            << "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n{\"access_token\":\"" + QByteArray(2 << 20, 'a') +
                   "\"}"
            << QByteArray() << QStringLiteral("会员服务返回的数据过大（超过 1 MiB），已停止接收");
    }

    void hostileAnswersAreRefused()
    {
        QFETCH(QByteArray, login);
        QFETCH(QByteArray, me);
        QFETCH(QString, message);
        TestCertificateAuthority ca;
        QString error;
        QVERIFY2(ca.create(&error), qPrintable(error));
        RecordingSite elsewhere([](const QByteArray&) { return TestHttpHead::response(404, "Not Found"); });
        QVERIFY2(elsewhere.listen(ca, &error), qPrintable(error));
        const auto to = [&](QByteArray answer, const QByteArray& path) {
            return answer.replace("%1", elsewhere.baseUrl().toLatin1() + path);
        };
        RecordingSite service(
            [&](const QByteArray& path) { return path.endsWith("/login") ? to(login, path) : to(me, path); });
        QVERIFY2(service.listen(ca, &error), qPrintable(error));

        Computer pc;
        AccountClient account(pc.crypto.get());
        QVERIFY(account.setServiceEndpoint(QUrl(service.baseUrl()), ca.caCertificates()));
        QSignalSpy loginFailed(&account, &AccountClient::loginFailed);
        QSignalSpy requestFailed(&account, &AccountClient::requestFailed);
        account.login(uniqueEmail("hostile"), kPassword);
        QVERIFY(QTest::qWaitFor([&] { return !loginFailed.isEmpty() || !requestFailed.isEmpty(); }, kWaitMs));
        const QSignalSpy& failed = loginFailed.isEmpty() ? requestFailed : loginFailed;
        QCOMPARE(failed.at(0).at(0).toString(), message);
        QVERIFY(service.received.contains(kPassword.toUtf8()));
        QCOMPARE(elsewhere.received, QByteArray());
        QVERIFY(!account.isSignedIn());
    }
};

QTEST_GUILESS_MAIN(TestAccountClientPeer)
#include "test_account_client_peer.moc"
