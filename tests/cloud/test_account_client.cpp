#include "cloud/account_client.h"
#include "storage/app_config.h"
#include "storage/crypto_manager.h"
#include "support/fake_data_protection.h"
#include "support/test_environment.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUuid>

#include <memory>

namespace {

// Reaches the protected operations the way the service requests do.
class SettableAccountClient : public AccountClient
{
public:
    using AccountClient::AccountClient;
    using AccountClient::clientId;
    using AccountClient::mapServerError;
    using AccountClient::setAccount;
};

// Answers each HTTP request on a loopback port with the next canned answer and records the requests.
class CannedHttpServer : public QObject
{
public:
    struct Request
    {
        QByteArray method;
        QByteArray path;
        QByteArray head; // request line and headers, lower-cased
        QByteArray body;
        QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    };

    CannedHttpServer()
    {
        m_server.listen(QHostAddress::LocalHost);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
            }
        });
    }

    QUrl baseUrl() const { return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort())); }
    void answer(int status, const QByteArray& body) { m_answers.append({status, body}); }

    QList<Request> requests;

private:
    void serve(QTcpSocket* socket)
    {
        QByteArray& pending = m_pending[socket];
        pending += socket->readAll();
        const qsizetype end = pending.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        Request request;
        request.head = pending.left(end).toLower();
        const QList<QByteArray> words = pending.left(pending.indexOf("\r\n")).split(' ');
        request.method = words.value(0);
        request.path = words.value(1);
        qsizetype length = 0;
        const qsizetype at = request.head.indexOf("\r\ncontent-length:");
        if (at >= 0)
            length = request.head.mid(at + 17, request.head.indexOf("\r\n", at + 2) - at - 17)
                         .trimmed()
                         .toLongLong();
        if (pending.size() < end + 4 + length)
            return;
        request.body = pending.mid(end + 4, length);
        pending.clear();
        requests.append(request);

        const auto [status, body] =
            m_answers.isEmpty() ? std::pair<int, QByteArray>{500, {}} : m_answers.takeFirst();
        socket->write(
            "HTTP/1.1 " + QByteArray::number(status) + " Canned\r\nContent-Type: application/json\r\n" +
            "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        socket->disconnectFromHost();
    }

    QTcpServer m_server;
    QList<std::pair<int, QByteArray>> m_answers;
    QHash<QTcpSocket*, QByteArray> m_pending;
};

QTimer* heartbeatTimer(AccountClient& client)
{
    return client.findChild<QTimer*>();
}

} // namespace

class TestAccountClient : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<CryptoManager> m_crypto;

    // Signs in against `server` with a profile; the team answer is refused.
    void signIn(AccountClient& client, CannedHttpServer& server)
    {
        server.answer(200, R"({"access_token":"tok-1"})");
        server.answer(200, R"({"id":"u1","name":"N","email":"n@example.com"})");
        server.answer(500, R"({"error":"storage unavailable"})");
        QSignalSpy changed(&client, &AccountClient::accountChanged);
        client.login(QStringLiteral("n@example.com"), QStringLiteral("password-1234"));
        QVERIFY(changed.wait());
        QVERIFY(client.isSignedIn());
        QCOMPARE(client.account().role, QStringLiteral("owner"));
    }

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("NIMBARA"));
        QCoreApplication::setApplicationName(QStringLiteral("NIMBARA"));
    }

    void init()
    {
        m_home = std::make_unique<QTemporaryDir>();
        isolateSettings(m_home->path());
        m_crypto = std::make_unique<CryptoManager>(std::make_unique<FakeDataProtection>());
        QVERIFY(m_crypto->initialize(m_home->filePath(QStringLiteral("credential.key"))));
    }

    void freshClientIsSignedOutMainAccount()
    {
        AccountClient client(nullptr);
        QVERIFY(!client.isSignedIn());
        QCOMPARE(client.account().role, QStringLiteral("owner"));
        QVERIFY(client.account().isMainAccount());
        QVERIFY(client.account().id.isEmpty());
        QVERIFY(!client.isPartnerMode());
        QCOMPARE(client.serviceUrl(), QStringLiteral("https://account.nimbara.net"));
    }

    void heartbeatIsPreparedButNotStarted()
    {
        AccountClient client(m_crypto.get());
        QTimer* timer = heartbeatTimer(client);
        QVERIFY(timer);
        QCOMPARE(timer->interval(), 180000);
        QVERIFY(!timer->isSingleShot());
        QVERIFY(!timer->isActive());
    }

    void mainAccountRule_data()
    {
        QTest::addColumn<QString>("role");
        QTest::addColumn<bool>("main");
        QTest::newRow("owner") << "owner" << true;
        QTest::newRow("member") << "member" << false;
        QTest::newRow("capital Member") << "Member" << true;
        QTest::newRow("empty") << "" << true;
        QTest::newRow("admin") << "admin" << true;
    }

    void mainAccountRule()
    {
        QFETCH(QString, role);
        QFETCH(bool, main);
        MemberAccount account;
        account.role = role;
        QCOMPARE(account.isMainAccount(), main);
    }

    void accountChangesTravelQueued()
    {
        SettableAccountClient client(nullptr);
        QSignalSpy spy(&client, &AccountClient::accountChanged);
        MemberAccount received;
        connect(
            &client, &AccountClient::accountChanged, this, [&](const MemberAccount& a) { received = a; },
            Qt::QueuedConnection);

        MemberAccount member{true, QStringLiteral("42"), QStringLiteral("张三"),
                             QStringLiteral("z@example.com"), QStringLiteral("member")};
        client.setAccount(member);
        QCOMPARE(spy.count(), 1);
        QVERIFY(client.isSignedIn());
        QTRY_COMPARE(received, member);
        QVERIFY(heartbeatTimer(client)->isActive());
    }

    // Each text as the account service sends it (server/account_api.cpp, host_sync_body.cpp,
    // http_connection.cpp), with the wait of a "too many" answer in seconds.
    void serverErrorsAreMapped_data()
    {
        QTest::addColumn<QString>("raw");
        QTest::addColumn<qint64>("wait");
        QTest::addColumn<QString>("message"); // empty: not a text of the service
        const QString protocol =
            QStringLiteral("会员服务不接受本程序的请求，请确认会员服务地址并使客户端与服务版本一致");
        const auto row = [](const char* name, const char* raw, const QString& message, qint64 wait = -1) {
            QTest::newRow(name) << QString::fromUtf8(raw) << wait << message;
        };
        row("credentials", "invalid email or password", QStringLiteral("邮箱或密码错误"));
        row("credentials, other case", "Invalid Email OR Password", QStringLiteral("邮箱或密码错误"));
        row("exists", "email already exists", QStringLiteral("该邮箱已注册，请直接登录"));
        row("registration", "valid email, name and password",
            QStringLiteral("请输入有效邮箱、显示名称和至少 12 位密码"));
        row("unauthorized", "unauthorized", QStringLiteral("登录已过期，请重新登录"));
        row("update", "client update required",
            QStringLiteral("客户端版本过旧，请下载并登录最新版本后继续使用"));
        row("binding", "binding was removed", QStringLiteral("此电脑已从用户后台移除，请重新登录以绑定设备"));
        row("snapshot", "cloud snapshot changed",
            QStringLiteral("云端主机数据已发生变化，请先从云端恢复后再上传"));
        row("sync keys", "sync keys changed",
            QStringLiteral("本账号的同步密钥刚被另一台电脑更新，请重新同步"));
        row("owner uploads", "only the team owner can upload host data",
            QStringLiteral("团队成员不能上传主机数据"));
        row("owner disabled", "the team owner's account is disabled",
            QStringLiteral("团队所有者的账号已被停用，暂时无法同步团队主机数据"));
        row("disabled", "this account is disabled", QStringLiteral("该账号已被停用，请联系会员服务管理员"));
        row("registration closed", "registration is disabled on this server",
            QStringLiteral("此会员服务已关闭注册，请联系管理员开通账号"));
        row("sign-ins, Retry-After", "too many failed sign-ins, try again in 15 minutes",
            QStringLiteral("登录失败次数过多，请在 45 秒 后重试"), 45);
        row("sign-ins, minutes", "too many failed sign-ins, try again in 15 minutes",
            QStringLiteral("登录失败次数过多，请在 15 分钟 后重试"), 900);
        row("registrations", "too many registrations, try again in 1 minute",
            QStringLiteral("注册次数过多，请在 1 分钟 后重试"), 60);
        row("sign-ins, no wait", "too many failed sign-ins",
            QStringLiteral("登录失败次数过多，请在 一段时间 后重试"));
        row("busy", "server busy, try again later", QStringLiteral("会员服务繁忙，请稍后重试"));
        row("storage", "storage unavailable, try again later",
            QStringLiteral("会员服务的数据存储暂时不可用，请稍后重试"));
        row("current password", "current password is wrong", QStringLiteral("当前密码错误"));
        row("new password", "new_password must have at least 12 characters (at most 1024 bytes)",
            QStringLiteral("新密码至少需要 12 个字符"));
        row("quota", "host data larger than this account's quota of 8 MiB",
            QStringLiteral("主机数据超过本账号 8 MiB 的云端配额，无法上传"));
        row("64 MiB", "host data larger than 64 MiB", QStringLiteral("主机数据超过 64 MiB，无法上传"));
        row("body", "request body too large", QStringLiteral("请求数据过大，会员服务拒绝接收"));
        row("slow request", "request timed out",
            QStringLiteral("请求发送过慢，会员服务已断开连接，请检查网络后重试"));
        row("platform", "unknown platform", QStringLiteral("会员服务不提供本平台的客户端更新"));
        for (const char* raw :
             {"request body is not a JSON object", "client_id, client_name or client_type is not usable",
              "box_public and sign_public must be 32 bytes in Base64 URL-safe text",
              "private_keys must be printable ASCII", "expected_sign_public (text) is required",
              "a sealed key is for a user who is not a member", "more than one sealed key for one member",
              "payload (text), device_count and expected_revision (whole numbers) are required",
              "team_payload must begin with NIMBARA-TEAM-2.", "method not allowed", "not found",
              "malformed header field", "send the body with a Content-Length", "too many header fields",
              "request head too large", "HTTP version not supported"}) {
            row(raw, raw, protocol);
        }
        row("unknown", "the moon is made of cheese", QString());
        row("empty", "", QString());
    }

    void serverErrorsAreMapped()
    {
        QFETCH(QString, raw);
        QFETCH(qint64, wait);
        QFETCH(QString, message);
        QCOMPARE(SettableAccountClient::mapServerError(raw, wait), message);
    }

    void endpointRules_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("used"); // empty: refused
        QTest::newRow("https") << "https://a.example"
                               << "https://a.example";
        QTest::newRow("https with port and prefix") << "https://a.example:8443/nimbara/"
                                                    << "https://a.example:8443/nimbara";
        QTest::newRow("http on IPv4 loopback") << "http://127.0.0.1:8080"
                                               << "http://127.0.0.1:8080";
        QTest::newRow("http on IPv6 loopback") << "http://[::1]:8080"
                                               << "http://[::1]:8080";
        QTest::newRow("http on localhost") << "http://localhost:8080"
                                           << "http://localhost:8080";
        QTest::newRow("http elsewhere") << "http://a.example"
                                        << "";
        QTest::newRow("http on a LAN address") << "http://192.168.1.2"
                                               << "";
        QTest::newRow("other scheme") << "ftp://a.example"
                                      << "";
        QTest::newRow("relative") << "/api"
                                  << "";
        QTest::newRow("no host") << "https://"
                                 << "";
        QTest::newRow("query") << "https://a.example/?x=1"
                               << "";
        QTest::newRow("user info") << "https://u:p@a.example"
                                   << "";
    }

    void endpointRules()
    {
        QFETCH(QString, url);
        QFETCH(QString, used);
        AccountClient client(nullptr);
        QCOMPARE(client.setServiceEndpoint(QUrl(url)), !used.isEmpty());
        QCOMPARE(client.serviceUrl(), used.isEmpty() ? QStringLiteral("https://account.nimbara.net") : used);
    }

    void configuredEndpoint()
    {
        AccountClient client(nullptr);
        AppConfig config;
        QVERIFY(applyAccountServiceConfig(client, config));
        QCOMPARE(client.serviceUrl(), QStringLiteral("https://account.nimbara.net"));

        config.account_service_url = QStringLiteral("http://a.example");
        QVERIFY(!applyAccountServiceConfig(client, config));
        QCOMPARE(client.serviceUrl(), QStringLiteral("https://account.nimbara.net"));

        // A root file that does not read keeps the built-in address, even with a usable URL.
        config.account_service_url = QStringLiteral("https://a.example");
        config.account_ca_certificates = m_home->filePath(QStringLiteral("missing.pem"));
        QVERIFY(!applyAccountServiceConfig(client, config));
        QCOMPARE(client.serviceUrl(), QStringLiteral("https://account.nimbara.net"));
        writeFile(config.account_ca_certificates, "not a certificate\n");
        QVERIFY(!applyAccountServiceConfig(client, config));
        QCOMPARE(client.serviceUrl(), QStringLiteral("https://account.nimbara.net"));

        config.account_ca_certificates.clear();
        QVERIFY(applyAccountServiceConfig(client, config));
        QCOMPARE(client.serviceUrl(), QStringLiteral("https://a.example"));
        QVERIFY(client.extraCaCertificates().isEmpty());
    }

    void clientIdIsCreatedOnce()
    {
        SettableAccountClient client(m_crypto.get());
        const QString id = client.clientId();
        QCOMPARE(id.size(), 36);
        QVERIFY(!QUuid::fromString(id).isNull());
        QCOMPARE(client.clientId(), id);
        QSettings settings;
        QCOMPARE(settings.value(QStringLiteral("account/client_id")).toString(), id);
        QCOMPARE(settings.value(QStringLiteral("account/client_identity_version")).toBool(), true);
    }

    void twoRequestsAreOneBusyPeriod()
    {
        AccountClient client(m_crypto.get());
        QVERIFY(
            client.setServiceEndpoint(QUrl(QStringLiteral("http://127.0.0.1:%1").arg(freeLoopbackPort()))));
        QSignalSpy busy(&client, &AccountClient::busyChanged);
        QSignalSpy failed(&client, &AccountClient::loginFailed);
        client.login(QStringLiteral("a@example.com"), QStringLiteral("password-1234"));
        client.login(QStringLiteral("a@example.com"), QStringLiteral("password-1234"));
        QCOMPARE(busy.count(), 1);
        QCOMPARE(busy.at(0).at(0).toBool(), true);
        QTRY_COMPARE(failed.count(), 2);
        QCOMPARE(busy.count(), 2);
        QCOMPARE(busy.at(1).at(0).toBool(), false);
        QVERIFY(!failed.at(0).at(0).toString().isEmpty());
    }

    void requestsCarryTheDescribedFields()
    {
        CannedHttpServer server;
        SettableAccountClient client(m_crypto.get());
        QVERIFY(client.setServiceEndpoint(server.baseUrl()));
        signIn(client, server);
        QCOMPARE(server.requests.size(), 3);

        const CannedHttpServer::Request& login = server.requests.at(0);
        QCOMPARE(login.method, QByteArray("POST"));
        QCOMPARE(login.path, QByteArray("/api/v1/auth/login"));
        QVERIFY(login.head.contains("\r\ncontent-type: application/json"));
        QVERIFY(login.head.contains("\r\naccept: application/json"));
        QVERIFY(!login.head.contains("\r\nauthorization:"));
        QCOMPARE(login.json().value(QStringLiteral("client_id")).toString(), client.clientId());
        QCOMPARE(login.json().value(QStringLiteral("client_type")).toString(), QStringLiteral("desktop"));
        QVERIFY(login.json().contains(QStringLiteral("client_name")));

        const CannedHttpServer::Request& me = server.requests.at(1);
        QCOMPARE(me.method, QByteArray("GET"));
        QCOMPARE(me.path, QByteArray("/api/v1/account/me"));
        QVERIFY(me.head.contains("\r\nauthorization: bearer tok-1"));
        QVERIFY(me.body.isEmpty());
        QCOMPARE(server.requests.at(2).path, QByteArray("/api/v1/account/team"));

        // Registration reuses the client id; the name and e-mail go trimmed, the password as typed.
        server.answer(409, R"({"error":"email already exists"})");
        QSignalSpy refused(&client, &AccountClient::registrationFailed);
        client.registerAccount(QStringLiteral("  李四 "), QStringLiteral(" b@example.com\t"),
                               QStringLiteral(" pass word 1234 "));
        QVERIFY(refused.wait());
        QCOMPARE(refused.at(0).at(0).toString(), QStringLiteral("该邮箱已注册，请直接登录"));
        const QJsonObject body = server.requests.at(3).json();
        QCOMPARE(body.value(QStringLiteral("name")).toString(), QStringLiteral("李四"));
        QCOMPARE(body.value(QStringLiteral("email")).toString(), QStringLiteral("b@example.com"));
        QCOMPARE(body.value(QStringLiteral("password")).toString(), QStringLiteral(" pass word 1234 "));
        QCOMPARE(body.value(QStringLiteral("accept_terms")).toBool(), true);
        QCOMPARE(body.value(QStringLiteral("client_id")).toString(), client.clientId());
    }

    void answerWithoutTokenIsAFailure()
    {
        CannedHttpServer server;
        AccountClient client(m_crypto.get());
        QVERIFY(client.setServiceEndpoint(server.baseUrl()));
        server.answer(200, R"({"token_type":"Bearer"})");
        server.answer(201, "{}");
        QSignalSpy loginFailed(&client, &AccountClient::loginFailed);
        QSignalSpy registrationFailed(&client, &AccountClient::registrationFailed);
        QSignalSpy registered(&client, &AccountClient::registered);
        client.login(QStringLiteral("a@example.com"), QStringLiteral("password-1234"));
        QVERIFY(loginFailed.wait());
        QCOMPARE(loginFailed.at(0).at(0).toString(), QStringLiteral("服务器未返回登录凭据"));
        client.registerAccount(QStringLiteral("A"), QStringLiteral("a@example.com"),
                               QStringLiteral("password-1234"));
        QVERIFY(registrationFailed.wait());
        QCOMPARE(registrationFailed.at(0).at(0).toString(), QStringLiteral("服务器未返回登录凭据"));
        QCOMPARE(registered.count(), 0);
        QVERIFY(!client.isSignedIn());
        QCOMPARE(server.requests.size(), 2);
    }

    void refusedSignInKeepsTheSignedOutState()
    {
        CannedHttpServer server;
        AccountClient client(m_crypto.get());
        QVERIFY(client.setServiceEndpoint(server.baseUrl()));
        server.answer(401, R"({"error":"Invalid email or password"})");
        QSignalSpy changed(&client, &AccountClient::accountChanged);
        QSignalSpy failed(&client, &AccountClient::loginFailed);
        client.login(QStringLiteral("a@example.com"), QStringLiteral("wrong-password"));
        QVERIFY(failed.wait());
        QCOMPARE(failed.at(0).at(0).toString(), QStringLiteral("邮箱或密码错误"));
        QCOMPARE(changed.count(), 0);
    }

    void endedSessionSignsOutBeforeTheFailure()
    {
        CannedHttpServer server;
        AccountClient client(m_crypto.get());
        QVERIFY(client.setServiceEndpoint(server.baseUrl()));
        signIn(client, server);
        QVERIFY(!QSettings().value(QStringLiteral("account/session_token")).toString().isEmpty());

        QStringList order;
        connect(&client, &AccountClient::accountChanged, this,
                [&](const MemberAccount& a) { order << (a.signedIn ? "in" : "out"); });
        connect(&client, &AccountClient::requestFailed, this, [&](const QString& m) { order << m; });
        server.answer(401, R"({"error":"unauthorized"})");
        client.downloadHostSync();
        QTRY_COMPARE(order, (QStringList{QStringLiteral("out"), QStringLiteral("登录已过期，请重新登录")}));
        QVERIFY(!client.isSignedIn());
        QVERIFY(!heartbeatTimer(client)->isActive());
        QVERIFY(!QSettings().contains(QStringLiteral("account/session_token")));
        // The client id outlives the session.
        QVERIFY(!QSettings().value(QStringLiteral("account/client_id")).toString().isEmpty());
    }

    void errorWithoutTextNamesTheStatus()
    {
        CannedHttpServer server;
        AccountClient client(m_crypto.get());
        QVERIFY(client.setServiceEndpoint(server.baseUrl()));
        signIn(client, server);
        server.answer(502, "<html>bad gateway</html>");
        QSignalSpy failed(&client, &AccountClient::requestFailed);
        client.downloadHostSync();
        QVERIFY(failed.wait());
        QCOMPARE(failed.at(0).at(0).toString(), QStringLiteral("会员服务返回错误（HTTP 502）"));
        QVERIFY(client.isSignedIn());
    }

    void hostSyncAnswersAreRead()
    {
        CannedHttpServer server;
        AccountClient client(m_crypto.get());
        QVERIFY(client.setServiceEndpoint(server.baseUrl()));
        signIn(client, server);

        server.answer(200,
                      R"({"exists":false,"payload":"","device_count":0,"revision":0,"updated_at":null})");
        QSignalSpy downloaded(&client, &AccountClient::hostSyncDownloaded);
        client.downloadHostSync();
        QVERIFY(downloaded.wait());
        QCOMPARE(downloaded.at(0).at(0).toBool(), false);
        QVERIFY(!downloaded.at(0).at(4).toDateTime().isValid());

        server.answer(200, R"({"revision":9007199254740991,"updated_at":"2024-05-06T07:08:09.123Z"})");
        QSignalSpy uploaded(&client, &AccountClient::hostSyncUploaded);
        client.uploadHostSync(QStringLiteral("NIMBARA-SYNC-1.a.b.c"), 3, 41);
        QVERIFY(uploaded.wait());
        QCOMPARE(uploaded.at(0).at(0).toLongLong(), Q_INT64_C(9007199254740991));
        QCOMPARE(uploaded.at(0).at(1).toDateTime(),
                 QDateTime(QDate(2024, 5, 6), QTime(7, 8, 9, 123), Qt::UTC));
        const CannedHttpServer::Request& put = server.requests.last();
        QCOMPARE(put.method, QByteArray("PUT"));
        QCOMPARE(put.json(), (QJsonObject{{QStringLiteral("payload"), QStringLiteral("NIMBARA-SYNC-1.a.b.c")},
                                          {QStringLiteral("device_count"), 3},
                                          {QStringLiteral("expected_revision"), 41}}));
    }

    void restoreWithoutIdentityVersionDropsTheToken()
    {
        QSettings().setValue(QStringLiteral("account/session_token"),
                             m_crypto->sealEncrypt(QStringLiteral("tok")));
        AccountClient client(m_crypto.get());
        QVERIFY(
            client.setServiceEndpoint(QUrl(QStringLiteral("http://127.0.0.1:%1").arg(freeLoopbackPort()))));
        QSignalSpy busy(&client, &AccountClient::busyChanged);
        QSignalSpy changed(&client, &AccountClient::accountChanged);
        client.restoreSession();
        QCOMPARE(busy.count(), 0);
        QCOMPARE(changed.count(), 0);
        QVERIFY(!client.isSignedIn());
        QVERIFY(!QSettings().contains(QStringLiteral("account/session_token")));
    }

    void restoreWithAnUnopenableTokenSignsOutSilently()
    {
        {
            QSettings settings;
            settings.setValue(QStringLiteral("account/session_token"), QStringLiteral("bm90IGEgc2VhbA=="));
            settings.setValue(QStringLiteral("account/client_identity_version"), true);
        }
        AccountClient client(m_crypto.get());
        QSignalSpy busy(&client, &AccountClient::busyChanged);
        QSignalSpy changed(&client, &AccountClient::accountChanged);
        QSignalSpy failed(&client, &AccountClient::requestFailed);
        client.restoreSession();
        QCOMPARE(busy.count(), 0);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(failed.count(), 0);
        QVERIFY(!QSettings().contains(QStringLiteral("account/session_token")));
    }

    void restoreWithoutCryptoDoesNothing()
    {
        QSettings().setValue(QStringLiteral("account/session_token"), QStringLiteral("x"));
        AccountClient client(nullptr);
        QSignalSpy changed(&client, &AccountClient::accountChanged);
        client.restoreSession();
        QCOMPARE(changed.count(), 0);
        QVERIFY(QSettings().contains(QStringLiteral("account/session_token")));
    }

    void partnerAccount()
    {
        QSettings().setValue(QStringLiteral("account/session_token"), QStringLiteral("sealed"));
        AccountClient client(m_crypto.get());
        QSignalSpy changed(&client, &AccountClient::accountChanged);
        client.activatePartnerAccount(QStringLiteral("p-7"), QString(), QStringLiteral("p@example.com"));
        QCOMPARE(changed.count(), 1);
        const MemberAccount expected{true, QStringLiteral("p-7"), QStringLiteral("p@example.com"),
                                     QStringLiteral("p@example.com"), QStringLiteral("owner")};
        QCOMPARE(changed.at(0).at(0).value<MemberAccount>(), expected);
        QCOMPARE(client.account(), expected);
        QVERIFY(client.isPartnerMode());
        QVERIFY(!heartbeatTimer(client)->isActive());
        QVERIFY(!QSettings().contains(QStringLiteral("account/session_token")));

        client.activatePartnerAccount(QStringLiteral("p-8"), QStringLiteral("王五"),
                                      QStringLiteral("w@example.com"));
        QCOMPARE(client.account().name, QStringLiteral("王五"));

        // Requests that need a token are skipped.
        QSignalSpy busy(&client, &AccountClient::busyChanged);
        client.refreshAccount();
        client.downloadHostSync();
        client.uploadHostSync(QStringLiteral("x"), 1, 0);
        QCOMPARE(busy.count(), 0);
    }

    void logoutInPartnerModeSendsNothing()
    {
        AccountClient client(m_crypto.get());
        client.activatePartnerAccount(QStringLiteral("p-7"), QStringLiteral("P"),
                                      QStringLiteral("p@example.com"));
        QSignalSpy busy(&client, &AccountClient::busyChanged);
        QSignalSpy changed(&client, &AccountClient::accountChanged);
        client.logout();
        QCOMPARE(busy.count(), 0);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(client.account(), MemberAccount());
        QVERIFY(!client.isPartnerMode());
    }
};

QTEST_GUILESS_MAIN(TestAccountClient)
#include "test_account_client.moc"
