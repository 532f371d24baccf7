#include "support/account_test_server.h"
#include "support/http_test_client.h"
#include "support/test_postgres_server.h"

#include "host_sync_body.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSqlError>
#include <QSqlQuery>
#include <QSslSocket>
#include <QTest>

#include <memory>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 kDayMs = 24LL * 60 * 60 * 1000;
const QString kPassword = QStringLiteral("Correct-Horse-电池-9");

QString isoPattern()
{
    return QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$");
}

QByteArray digestOf(const QByteArray& token)
{
    return QCryptographicHash::hash(token, QCryptographicHash::Sha256).toHex();
}

} // namespace

// The account server as clients meet it: a real process over HTTPS on 127.0.0.1, with SQLite or
// with a real PostgreSQL server, driven by a plain HTTP client and by its command line.
class AccountServerTest : public QObject
{
    Q_OBJECT

public:
    explicit AccountServerTest(bool postgres) : m_postgres(postgres) {}

private slots:
    void initTestCase();
    void cleanupTestCase();

    void registrationSignsIn();
    void registrationRefusals_data();
    void registrationRefusals();
    void duplicateRegistration();
    void signInRefusals();
    void sessionsEnd();
    void removedDeviceSession();
    void hostSyncRevisions();
    void hostSyncAnswerAroundStoredBytes_data();
    void hostSyncAnswerAroundStoredBytes();
    void hostSyncBodyRefusals_data();
    void hostSyncBodyRefusals();
    void concurrentUploadsOneWins();
    void twoServersShareOneDatabase();
    void teamMembersReadOwnersSnapshot();
    void bodyLimits();
    void signInThrottledPerEmail();
    void signInThrottledPerAddress();
    void signInAttemptsCountedBeforeHashing();
    void signInLockOutSparesKnownAddresses();
    void registrationThrottledAlikeAndBounded();
    void signInsKeepTheirShareOfHashing();
    void passwordChangeEndsOtherSessions();
    void restartKeepsEverything();
    void cleanStopWritesEveryLogLine();
    void databaseMadeAsRootBelongsToTheService();
    void killDuringUploadKeepsSnapshot();
    void updateAnnouncementsAndFiles();
    void nothingSecretStoredOrLogged();
    void commandLineRefusals();
    void startUpLineBracketsIpv6();
    void concurrentTeamChangesOneWins_data();
    void concurrentTeamChangesOneWins();
    void databaseOutagesAreSurvived_data();
    void databaseOutagesAreSurvived();

private:
    QUrl api(const QString& path) const { return m_server->url(QStringLiteral("/api/v1") + path); }
    QString uniqueEmail(const QString& prefix);
    QJsonObject signInBody(const QString& email, const QString& password, const QString& clientId) const;
    QByteArray registerUser(const QString& email, const QString& name = QStringLiteral("Tester"),
                            const QString& clientId = QStringLiteral("client-1"));
    QByteArray signIn(const QString& email, const QString& password = kPassword,
                      const QString& clientId = QStringLiteral("client-1"));
    bool startServer(AccountTestServer* server, const QString& database, const QString& extraConfig,
                     QString* error, bool behindProxy = false);
    qint64 sqlValue(const QString& sql, const QVariantList& values);
    // A TLS connection to the server for requests the HTTP client would not send as they are.
    std::unique_ptr<QSslSocket> rawConnection() { return rawConnection(*m_server); }
    static std::unique_ptr<QSslSocket> rawConnection(const AccountTestServer& server);
    static QByteArray readAnswerHead(QSslSocket* socket);
    // Every request on a connection of its own, all sent before any answer is read: the statuses.
    static QList<int> sendAtOnce(const AccountTestServer& server, const QList<QByteArray>& requests);
    static QByteArray rawPost(const QString& path, const QJsonObject& body,
                              const QByteArray& forwardedFor = {});
    QJsonObject registrationBody(const QString& email) const;
    QByteArray storedBytes();

    bool m_postgres;
    std::unique_ptr<TestPostgresServer> m_database;
    std::unique_ptr<AccountTestServer> m_server;
    std::unique_ptr<HttpTestClient> m_client;
    int m_emailCounter = 0;
    int m_databaseCounter = 0;
};

void AccountServerTest::initTestCase()
{
    if (!AccountTestServer::unavailableReason().isEmpty()) {
        QSKIP(qPrintable(AccountTestServer::unavailableReason()));
    }
    QString error;
    if (m_postgres) {
        if (!TestPostgresServer::unavailableReason().isEmpty()) {
            QSKIP(qPrintable(QStringLiteral("PostgreSQL cannot run here: ") +
                             TestPostgresServer::unavailableReason()));
        }
        m_database = std::make_unique<TestPostgresServer>();
        QVERIFY2(m_database->start(&error), qPrintable(error));
    }
    m_server = std::make_unique<AccountTestServer>();
    QVERIFY2(startServer(m_server.get(), QStringLiteral("accounts"), {}, &error), qPrintable(error));
    m_client = std::make_unique<HttpTestClient>(m_server->clientConfiguration());
}

void AccountServerTest::cleanupTestCase()
{
    m_client.reset();
    m_server.reset();
    m_database.reset();
}

bool AccountServerTest::startServer(AccountTestServer* server, const QString& database,
                                    const QString& extraConfig, QString* error, bool behindProxy)
{
    AccountTestServer::Options options;
    options.extraConfig = extraConfig;
    options.trustForwardedFor = behindProxy;
    if (m_postgres) {
        if (!m_database->createDatabase(database, error)) {
            return false;
        }
        options.postgresql = m_database->connectionString(database);
    }
    return server->start(options, error);
}

QString AccountServerTest::uniqueEmail(const QString& prefix)
{
    return QStringLiteral("%1-%2@example.com").arg(prefix).arg(++m_emailCounter);
}

QJsonObject AccountServerTest::signInBody(const QString& email, const QString& password,
                                          const QString& clientId) const
{
    return {{QStringLiteral("email"), email},
            {QStringLiteral("password"), password},
            {QStringLiteral("client_type"), QStringLiteral("desktop")},
            {QStringLiteral("client_id"), clientId},
            {QStringLiteral("client_name"), QStringLiteral("test-pc")}};
}

QByteArray AccountServerTest::registerUser(const QString& email, const QString& name, const QString& clientId)
{
    QJsonObject body = registrationBody(email);
    body.insert(QStringLiteral("name"), name);
    body.insert(QStringLiteral("client_id"), clientId);
    const HttpTestClient::Reply reply = m_client->post(api(QStringLiteral("/auth/register")), body);
    if (reply.status != 201) {
        qWarning() << "registration failed:" << reply.status << reply.body << reply.errorString;
        return {};
    }
    return reply.json.value(QStringLiteral("access_token")).toString().toLatin1();
}

QByteArray AccountServerTest::signIn(const QString& email, const QString& password, const QString& clientId)
{
    const HttpTestClient::Reply reply =
        m_client->post(api(QStringLiteral("/auth/login")), signInBody(email, password, clientId));
    if (reply.status != 200) {
        qWarning() << "sign-in failed:" << reply.status << reply.body << reply.errorString;
        return {};
    }
    return reply.json.value(QStringLiteral("access_token")).toString().toLatin1();
}

qint64 AccountServerTest::sqlValue(const QString& sql, const QVariantList& values)
{
    QVariant value;
    QString error;
    if (!m_server->execSql(sql, values, &value, &error)) {
        qWarning() << "SQL failed:" << error;
        return -1;
    }
    return value.toLongLong();
}

std::unique_ptr<QSslSocket> AccountServerTest::rawConnection(const AccountTestServer& server)
{
    auto socket = std::make_unique<QSslSocket>();
    socket->setSslConfiguration(server.clientConfiguration());
    socket->connectToHostEncrypted(QStringLiteral("127.0.0.1"), server.port());
    if (!socket->waitForEncrypted(30000)) {
        qWarning() << "no TLS connection:" << socket->errorString();
    }
    return socket;
}

QByteArray AccountServerTest::readAnswerHead(QSslSocket* socket)
{
    QByteArray answer = socket->readAll(); // what already arrived raises no readyRead again
    while (!answer.contains("\r\n\r\n") && socket->waitForReadyRead(30000)) {
        answer += socket->readAll();
    }
    return answer;
}

QList<int> AccountServerTest::sendAtOnce(const AccountTestServer& server, const QList<QByteArray>& requests)
{
    // Only the test CA: loading the system's roots for every connection makes it slow. Connected in
    // groups of 20: the listener completes about 30 handshakes at a time.
    QSslConfiguration tls = server.clientConfiguration();
    tls.setCaCertificates(QSslCertificate::fromPath(server.caCertificatePath()));
    std::vector<std::unique_ptr<QSslSocket>> sockets;
    for (qsizetype start = 0; start < requests.size(); start += 20) {
        const qsizetype end = qMin<qsizetype>(start + 20, requests.size());
        for (qsizetype i = start; i < end; ++i) {
            sockets.push_back(std::make_unique<QSslSocket>());
            sockets.back()->setSslConfiguration(tls);
            sockets.back()->connectToHostEncrypted(QStringLiteral("127.0.0.1"), server.port());
        }
        for (qsizetype i = start; i < end; ++i) {
            QSslSocket* socket = sockets[static_cast<size_t>(i)].get();
            if (socket->isEncrypted() || socket->waitForEncrypted(30000)) {
                socket->write(requests.at(i));
                while (socket->bytesToWrite() > 0 && socket->waitForBytesWritten(30000)) {
                }
            }
        }
    }
    QList<int> statuses;
    for (const auto& socket : sockets) {
        const QByteArray head = readAnswerHead(socket.get());
        statuses.append(head.startsWith("HTTP/1.1 ") ? head.mid(9, 3).toInt() : 0);
    }
    return statuses;
}

QByteArray AccountServerTest::rawPost(const QString& path, const QJsonObject& body,
                                      const QByteArray& forwardedFor)
{
    const QByteArray json = QJsonDocument(body).toJson(QJsonDocument::Compact);
    QByteArray request = "POST " + path.toUtf8() + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!forwardedFor.isEmpty()) {
        request += "X-Forwarded-For: " + forwardedFor + "\r\n";
    }
    return request + "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(json.size()) +
           "\r\n\r\n" + json;
}

QJsonObject AccountServerTest::registrationBody(const QString& email) const
{
    QJsonObject body = signInBody(email, kPassword, QStringLiteral("client-1"));
    body.insert(QStringLiteral("name"), QStringLiteral("Tester"));
    body.insert(QStringLiteral("accept_terms"), true);
    return body;
}

// Every byte the database keeps on disk: the SQLite file with its journal, or the whole PostgreSQL
// cluster directory (tables and write-ahead log).
QByteArray AccountServerTest::storedBytes()
{
    QByteArray bytes;
    const QString root =
        m_postgres ? m_database->dataDirectory() : QFileInfo(m_server->databasePath()).absolutePath();
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        if (file.open(QIODevice::ReadOnly)) {
            bytes += file.readAll();
        }
    }
    return bytes;
}

void AccountServerTest::registrationSignsIn()
{
    const QString email = uniqueEmail(QStringLiteral("Ann"));
    // Stored composed (NFC): "Ame\u0301lie" and "Am\u00e9lie" are one name.
    const QByteArray token = registerUser(email, QStringLiteral("  Ann Ame\u0301lie  "));
    QCOMPARE(token.size(), 43); // 256 bits, URL-safe Base64 without padding

    const HttpTestClient::Reply me = m_client->get(api(QStringLiteral("/account/me")), token);
    QCOMPARE(me.status, 200);
    QVERIFY(me.json.value(QStringLiteral("id")).isString());
    QVERIFY(!me.json.value(QStringLiteral("id")).toString().isEmpty());
    QCOMPARE(me.json.value(QStringLiteral("name")).toString(), QStringLiteral("Ann Am\u00e9lie"));
    QCOMPARE(me.json.value(QStringLiteral("email")).toString(), email);

    const HttpTestClient::Reply team = m_client->get(api(QStringLiteral("/account/team")), token);
    QCOMPARE(team.status, 200);
    QCOMPARE(team.json.value(QStringLiteral("role")).toString(), QStringLiteral("owner"));
    QVERIFY(team.json.value(QStringLiteral("members")).toArray().isEmpty());

    QCOMPARE(m_client->post(api(QStringLiteral("/account/session/heartbeat")), {}, token).status, 200);

    // The address in other letter case, from a second computer: a second session beside the first.
    const QByteArray second = signIn(email.toUpper(), kPassword, QStringLiteral("client-2"));
    QCOMPARE(second.size(), 43);
    QVERIFY(second != token);
    const HttpTestClient::Reply again = m_client->get(api(QStringLiteral("/account/me")), second);
    QCOMPARE(again.json.value(QStringLiteral("id")), me.json.value(QStringLiteral("id")));
    QCOMPARE(m_client->get(api(QStringLiteral("/account/me")), token).status, 200);
}

void AccountServerTest::registrationRefusals_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("email");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QJsonValue>("terms");
    QTest::addColumn<int>("status");

    const QString twelve = QStringLiteral("密码密码密码密码密码密码"); // 12 characters, 36 bytes
    QTest::newRow("accepted: 12 characters") << "Bob"
                                             << "ok" << twelve << QJsonValue(true) << 201;
    QTest::newRow("11 characters") << "Bob"
                                   << "ok" << twelve.left(11) << QJsonValue(true) << 400;
    QTest::newRow("blank name") << "   "
                                << "ok" << kPassword << QJsonValue(true) << 400;
    QTest::newRow("no @") << "Bob"
                          << "bob.example.com" << kPassword << QJsonValue(true) << 400;
    QTest::newRow("no domain dot") << "Bob"
                                   << "bob@localhost" << kPassword << QJsonValue(true) << 400;
    QTest::newRow("blank in address") << "Bob"
                                      << "b ob@example.com" << kPassword << QJsonValue(true) << 400;
    QTest::newRow("zero-width space in address")
        << "Bob"
        << "bo\u200Bb@example.com" << kPassword << QJsonValue(true) << 400;
    QTest::newRow("bidirectional override in name") << "Bob\u202Egpj.exe"
                                                    << "ok" << kPassword << QJsonValue(true) << 400;
    QTest::newRow("terms refused") << "Bob"
                                   << "ok" << kPassword << QJsonValue(false) << 400;
    QTest::newRow("terms missing") << "Bob"
                                   << "ok" << kPassword << QJsonValue() << 400;
    QTest::newRow("terms as text") << "Bob"
                                   << "ok" << kPassword << QJsonValue(QStringLiteral("true")) << 400;
}

void AccountServerTest::registrationRefusals()
{
    QFETCH(QString, name);
    QFETCH(QString, email);
    QFETCH(QString, password);
    QFETCH(QJsonValue, terms);
    QFETCH(int, status);

    QJsonObject body = signInBody(email == QLatin1String("ok") ? uniqueEmail(QStringLiteral("bob")) : email,
                                  password, QStringLiteral("client-1"));
    body.insert(QStringLiteral("name"), name);
    if (!terms.isNull()) {
        body.insert(QStringLiteral("accept_terms"), terms);
    }
    const HttpTestClient::Reply reply = m_client->post(api(QStringLiteral("/auth/register")), body);
    QCOMPARE(reply.status, status);
    if (status == 400) {
        QCOMPARE(reply.errorText(), QStringLiteral("valid email, name and password"));
        QVERIFY(!reply.json.contains(QStringLiteral("access_token")));
    }
}

void AccountServerTest::duplicateRegistration()
{
    const QString email = uniqueEmail(QStringLiteral("carol"));
    QVERIFY(!registerUser(email).isEmpty());
    QJsonObject body = signInBody(QStringLiteral("  ") + email.toUpper(),
                                  QStringLiteral("another password 123"), QStringLiteral("client-9"));
    body.insert(QStringLiteral("name"), QStringLiteral("Impostor"));
    body.insert(QStringLiteral("accept_terms"), true);
    const HttpTestClient::Reply reply = m_client->post(api(QStringLiteral("/auth/register")), body);
    QCOMPARE(reply.status, 409);
    QCOMPARE(reply.errorText(), QStringLiteral("email already exists"));
    // The first owner's password still signs in; the second one does not.
    QVERIFY(!signIn(email).isEmpty());
    QCOMPARE(m_client
                 ->post(api(QStringLiteral("/auth/login")),
                        signInBody(email, QStringLiteral("another password 123"), QStringLiteral("c")))
                 .status,
             401);

    body = signInBody(uniqueEmail(QStringLiteral("noclient")), kPassword, QString());
    body.insert(QStringLiteral("name"), QStringLiteral("No Client"));
    body.insert(QStringLiteral("accept_terms"), true);
    QCOMPARE(m_client->post(api(QStringLiteral("/auth/register")), body).status, 400);
}

void AccountServerTest::signInRefusals()
{
    const QString email = uniqueEmail(QStringLiteral("dave"));
    const QByteArray token = registerUser(email);
    QVERIFY(!token.isEmpty());

    HttpTestClient::Reply reply =
        m_client->post(api(QStringLiteral("/auth/login")),
                       signInBody(email, kPassword + QLatin1Char('x'), QStringLiteral("c")));
    QCOMPARE(reply.status, 401);
    QCOMPARE(reply.errorText(), QStringLiteral("invalid email or password"));
    // An unknown address gets the very same answer.
    reply = m_client->post(api(QStringLiteral("/auth/login")),
                           signInBody(uniqueEmail(QStringLiteral("nobody")), kPassword, QStringLiteral("c")));
    QCOMPARE(reply.status, 401);
    QCOMPARE(reply.errorText(), QStringLiteral("invalid email or password"));
    // Surrounding blanks are part of a password.
    QCOMPARE(m_client
                 ->post(api(QStringLiteral("/auth/login")),
                        signInBody(email, QLatin1Char(' ') + kPassword, QStringLiteral("c")))
                 .status,
             401);

    reply = m_client->request("POST", api(QStringLiteral("/auth/login")), "{\"email\": ");
    QCOMPARE(reply.status, 400);
    QCOMPARE(reply.errorText(), QStringLiteral("request body is not a JSON object"));
    QCOMPARE(m_client->request("GET", api(QStringLiteral("/auth/login"))).status, 405);
    QCOMPARE(m_client->get(api(QStringLiteral("/no/such/thing"))).status, 404);

    // A disabled account: its sessions end, and the right password is answered with a clear refusal.
    AccountTestServer::CommandResult result = m_server->admin(
        {QStringLiteral("user"), QStringLiteral("disable"), QStringLiteral("--email"), email});
    QVERIFY2(result.exitCode == 0, result.err.constData());
    reply = m_client->get(api(QStringLiteral("/account/me")), token);
    QCOMPARE(reply.status, 401);
    QCOMPARE(reply.errorText(), QStringLiteral("unauthorized"));
    reply =
        m_client->post(api(QStringLiteral("/auth/login")), signInBody(email, kPassword, QStringLiteral("c")));
    QCOMPARE(reply.status, 403);
    QVERIFY(reply.errorText().contains(QStringLiteral("disabled")));
    result =
        m_server->admin({QStringLiteral("user"), QStringLiteral("enable"), QStringLiteral("--email"), email});
    QVERIFY2(result.exitCode == 0, result.err.constData());
    QVERIFY(!signIn(email).isEmpty());
    // A session ended while the account was disabled stays ended.
    QCOMPARE(m_client->get(api(QStringLiteral("/account/me")), token).status, 401);
}

void AccountServerTest::sessionsEnd()
{
    const QString email = uniqueEmail(QStringLiteral("erin"));
    const QByteArray first = registerUser(email, QStringLiteral("Erin"), QStringLiteral("laptop"));
    const QByteArray desk = signIn(email, kPassword, QStringLiteral("desk"));
    QVERIFY(!first.isEmpty() && !desk.isEmpty());

    for (const QByteArray& bad : {QByteArray(), QByteArray("not-a-token"), QByteArray(43, 'A')}) {
        const HttpTestClient::Reply reply = m_client->get(api(QStringLiteral("/account/me")), bad);
        QCOMPARE(reply.status, 401);
        QCOMPARE(reply.errorText(), QStringLiteral("unauthorized"));
    }

    // Only the digest is stored.
    QCOMPARE(sqlValue(QStringLiteral("SELECT COUNT(*) FROM sessions WHERE token_hash = ?"),
                      {QString::fromLatin1(digestOf(desk))}),
             1);
    QCOMPARE(sqlValue(QStringLiteral("SELECT COUNT(*) FROM sessions WHERE token_hash = ?"),
                      {QString::fromLatin1(desk)}),
             0);

    // A new sign-in of the same computer ends its earlier session.
    const QByteArray laptop = signIn(email, kPassword, QStringLiteral("laptop"));
    QCOMPARE(m_client->get(api(QStringLiteral("/account/me")), first).status, 401);
    QCOMPARE(m_client->get(api(QStringLiteral("/account/me")), laptop).status, 200);

    // Sign-out ends that session only.
    QCOMPARE(m_client->post(api(QStringLiteral("/auth/logout")), {}, laptop).status, 200);
    HttpTestClient::Reply reply = m_client->get(api(QStringLiteral("/account/me")), laptop);
    QCOMPARE(reply.status, 401);
    QCOMPARE(reply.errorText(), QStringLiteral("unauthorized"));
    QCOMPARE(m_client->post(api(QStringLiteral("/auth/logout")), {}, laptop).status, 401);
    QCOMPARE(m_client->get(api(QStringLiteral("/account/me")), desk).status, 200);

    // Idle for 29 days: still in force, and a heartbeat marks it as seen now.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const QString deskHash = QString::fromLatin1(digestOf(desk));
    QCOMPARE(sqlValue(QStringLiteral("UPDATE sessions SET last_seen_ms = ? WHERE token_hash = ?"),
                      {now - 29 * kDayMs, deskHash}),
             0);
    QCOMPARE(m_client->post(api(QStringLiteral("/account/session/heartbeat")), {}, desk).status, 200);
    QVERIFY(sqlValue(QStringLiteral("SELECT last_seen_ms FROM sessions WHERE token_hash = ?"), {deskHash}) >=
            now - 60000);

    // Idle for 31 days (the default limit is 30): ended.
    sqlValue(QStringLiteral("UPDATE sessions SET last_seen_ms = ? WHERE token_hash = ?"),
             {now - 31 * kDayMs, deskHash});
    reply = m_client->post(api(QStringLiteral("/account/session/heartbeat")), {}, desk);
    QCOMPARE(reply.status, 401);
    QCOMPARE(reply.errorText(), QStringLiteral("unauthorized"));

    // Active but older than the maximum age (180 days): ended too.
    const QByteArray old = signIn(email, kPassword, QStringLiteral("old-pc"));
    sqlValue(QStringLiteral("UPDATE sessions SET created_ms = ? WHERE token_hash = ?"),
             {now - 181 * kDayMs, QString::fromLatin1(digestOf(old))});
    QCOMPARE(m_client->get(api(QStringLiteral("/account/me")), old).status, 401);
}

void AccountServerTest::removedDeviceSession()
{
    const QString email = uniqueEmail(QStringLiteral("frank"));
    const QByteArray office = registerUser(email, QStringLiteral("Frank"), QStringLiteral("pc-office"));
    const QByteArray home = signIn(email, kPassword, QStringLiteral("pc-home"));
    QVERIFY(!office.isEmpty() && !home.isEmpty());

    AccountTestServer::CommandResult result =
        m_server->admin({QStringLiteral("device"), QStringLiteral("list"), QStringLiteral("--email"), email});
    QCOMPARE(result.exitCode, 0);
    QVERIFY(result.out.contains("pc-office\ttest-pc\tdesktop\tbound"));
    QVERIFY(result.out.contains("pc-home\ttest-pc\tdesktop\tbound"));

    result = m_server->admin({QStringLiteral("device"), QStringLiteral("remove"), QStringLiteral("--email"),
                              email, QStringLiteral("--client-id"), QStringLiteral("pc-office")});
    QVERIFY2(result.exitCode == 0, result.err.constData());
    HttpTestClient::Reply reply = m_client->get(api(QStringLiteral("/account/me")), office);
    QCOMPARE(reply.status, 401);
    QCOMPARE(reply.errorText(), QStringLiteral("binding was removed"));
    QCOMPARE(m_client->get(api(QStringLiteral("/account/me")), home).status, 200);
    result =
        m_server->admin({QStringLiteral("device"), QStringLiteral("list"), QStringLiteral("--email"), email});
    QVERIFY(result.out.contains("pc-office\ttest-pc\tdesktop\tremoved"));

    // Signing in again binds the computer anew; the removed session stays refused.
    const QByteArray again = signIn(email, kPassword, QStringLiteral("pc-office"));
    QCOMPARE(m_client->get(api(QStringLiteral("/account/me")), again).status, 200);
    QCOMPARE(m_client->get(api(QStringLiteral("/account/me")), office).errorText(),
             QStringLiteral("binding was removed"));

    result = m_server->admin({QStringLiteral("device"), QStringLiteral("remove"), QStringLiteral("--email"),
                              email, QStringLiteral("--client-id"), QStringLiteral("no-such-pc")});
    QVERIFY(result.exitCode != 0);
    QVERIFY(result.err.contains("no-such-pc"));
}

void AccountServerTest::hostSyncRevisions()
{
    const QByteArray token = registerUser(uniqueEmail(QStringLiteral("gina")));
    QVERIFY(!token.isEmpty());
    const QUrl url = api(QStringLiteral("/account/host-sync"));

    HttpTestClient::Reply reply = m_client->get(url, token);
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.json.value(QStringLiteral("exists")).toBool(true), false);
    QCOMPARE(reply.json.value(QStringLiteral("revision")).toInteger(-1), 0);
    QCOMPARE(reply.json.value(QStringLiteral("payload")).toString(QStringLiteral("x")), QString());

    // Opaque text, kept as it is: quotes, backslashes, line breaks and characters beyond ASCII.
    const QString first = QStringLiteral("NIMBARA-SYNC-1.c2FsdA.bm9uY2U.\"quoted\"\\back\nline 主机 🖥");
    reply = m_client->put(url,
                          {{QStringLiteral("payload"), first},
                           {QStringLiteral("device_count"), 3},
                           {QStringLiteral("expected_revision"), 0}},
                          token);
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.json.value(QStringLiteral("revision")).toInteger(), 1);
    QVERIFY(QRegularExpression(isoPattern())
                .match(reply.json.value(QStringLiteral("updated_at")).toString())
                .hasMatch());
    const QString firstTime = reply.json.value(QStringLiteral("updated_at")).toString();

    // A second upload that still expects "no snapshot" loses.
    reply = m_client->put(url,
                          {{QStringLiteral("payload"), QStringLiteral("other")},
                           {QStringLiteral("device_count"), 1},
                           {QStringLiteral("expected_revision"), 0}},
                          token);
    QCOMPARE(reply.status, 409);
    QCOMPARE(reply.errorText(), QStringLiteral("cloud snapshot changed"));
    reply = m_client->put(url,
                          {{QStringLiteral("payload"), QStringLiteral("other")},
                           {QStringLiteral("device_count"), 1},
                           {QStringLiteral("expected_revision"), 7}},
                          token);
    QCOMPARE(reply.status, 409);

    reply = m_client->get(url, token);
    QCOMPARE(reply.json.value(QStringLiteral("exists")).toBool(), true);
    QCOMPARE(reply.json.value(QStringLiteral("payload")).toString(), first);
    QCOMPARE(reply.json.value(QStringLiteral("device_count")).toInteger(), 3);
    QCOMPARE(reply.json.value(QStringLiteral("revision")).toInteger(), 1);
    QCOMPARE(reply.json.value(QStringLiteral("updated_at")).toString(), firstTime);

    reply = m_client->put(url,
                          {{QStringLiteral("payload"), QStringLiteral("second")},
                           {QStringLiteral("device_count"), 0},
                           {QStringLiteral("expected_revision"), 1}},
                          token);
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.json.value(QStringLiteral("revision")).toInteger(), 2);
    reply = m_client->get(url, token);
    QCOMPARE(reply.json.value(QStringLiteral("payload")).toString(), QStringLiteral("second"));
    QCOMPARE(reply.json.value(QStringLiteral("device_count")).toInteger(-1), 0);
}

void AccountServerTest::hostSyncAnswerAroundStoredBytes_data()
{
    QTest::addColumn<QString>("payload");
    QTest::newRow("Base64 text") << QStringLiteral("NIMBARA-SYNC-1.") +
                                        QString::fromLatin1(QByteArray(200000, '\xa7')
                                                                .toBase64(QByteArray::Base64UrlEncoding |
                                                                          QByteArray::OmitTrailingEquals));
    QTest::newRow("beyond ASCII") << QStringLiteral("NIMBARA-SYNC-1.主机 🖥 é");
    QTest::newRow("needs escaping") << QStringLiteral("NIMBARA-SYNC-1.\"q\"\\b\nl\u0001\u001f");
}

// The answer is built around the stored bytes: the same bytes as the escaping path gives, and valid
// JSON with the payload as it was stored whatever the payload holds.
void AccountServerTest::hostSyncAnswerAroundStoredBytes()
{
    QFETCH(QString, payload);
    const QByteArray token = registerUser(uniqueEmail(QStringLiteral("hana")));
    const QUrl url = api(QStringLiteral("/account/host-sync"));
    const HttpTestClient::Reply stored = m_client->put(url,
                                                       {{QStringLiteral("payload"), payload},
                                                        {QStringLiteral("device_count"), 12},
                                                        {QStringLiteral("expected_revision"), 0}},
                                                       token);
    QCOMPARE(stored.status, 200);
    const HttpTestClient::Reply read = m_client->get(url, token);
    QCOMPARE(read.status, 200);
    QCOMPARE(read.json.value(QStringLiteral("payload")).toString(), payload);
    HostSnapshot expected;
    expected.exists = true;
    expected.payload = payload.toUtf8();
    expected.deviceCount = 12;
    expected.revision = 1;
    expected.updatedMs =
        QDateTime::fromString(stored.json.value(QStringLiteral("updated_at")).toString(), Qt::ISODateWithMs)
            .toMSecsSinceEpoch();
    QCOMPARE(read.body, HostSyncBody::answer(expected));
}

void AccountServerTest::hostSyncBodyRefusals_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::newRow("not JSON") << QByteArray("{\"payload\": \"x\"") << 400;
    QTest::newRow("array") << QByteArray("[1, 2]") << 400;
    QTest::newRow("no payload") << QByteArray(R"({"device_count": 1, "expected_revision": 0})") << 400;
    QTest::newRow("empty payload") << QByteArray(
                                          R"({"payload": "", "device_count": 1, "expected_revision": 0})")
                                   << 400;
    QTest::newRow("payload as object")
        << QByteArray(R"({"payload": {"a": 1}, "device_count": 1, "expected_revision": 0})") << 400;
    QTest::newRow("negative count") << QByteArray(
                                           R"({"payload": "p", "device_count": -1, "expected_revision": 0})")
                                    << 400;
    QTest::newRow("fractional revision")
        << QByteArray(R"({"payload": "p", "device_count": 1, "expected_revision": 0.5})") << 400;
    QTest::newRow("revision as text")
        << QByteArray(R"({"payload": "p", "device_count": 1, "expected_revision": "0"})") << 400;
    QTest::newRow("no revision") << QByteArray(R"({"payload": "p", "device_count": 1})") << 400;
}

void AccountServerTest::hostSyncBodyRefusals()
{
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    const QByteArray token = registerUser(uniqueEmail(QStringLiteral("hank")));
    const HttpTestClient::Reply reply =
        m_client->request("PUT", api(QStringLiteral("/account/host-sync")), body, token);
    QCOMPARE(reply.status, status);
    QVERIFY(!reply.errorText().isEmpty());
    // Nothing was stored.
    QCOMPARE(m_client->get(api(QStringLiteral("/account/host-sync")), token)
                 .json.value(QStringLiteral("exists"))
                 .toBool(true),
             false);
}

void AccountServerTest::concurrentUploadsOneWins()
{
    const QByteArray token = registerUser(uniqueEmail(QStringLiteral("ivy")));
    const QUrl url = api(QStringLiteral("/account/host-sync"));
    for (qint64 revision = 0; revision < 5; ++revision) {
        auto body = [&](const QString& payload) {
            return QJsonDocument(QJsonObject{{QStringLiteral("payload"), payload},
                                             {QStringLiteral("device_count"), 2},
                                             {QStringLiteral("expected_revision"), revision}})
                .toJson(QJsonDocument::Compact);
        };
        QNetworkReply* a = m_client->send("PUT", url, body(QStringLiteral("from-a-%1").arg(revision)), token);
        QNetworkReply* b = m_client->send("PUT", url, body(QStringLiteral("from-b-%1").arg(revision)), token);
        const HttpTestClient::Reply ra = HttpTestClient::wait(a);
        const HttpTestClient::Reply rb = HttpTestClient::wait(b);
        QList<int> statuses{ra.status, rb.status};
        std::sort(statuses.begin(), statuses.end());
        QCOMPARE(statuses, (QList<int>{200, 409}));
        const HttpTestClient::Reply& loser = ra.status == 409 ? ra : rb;
        QCOMPARE(loser.errorText(), QStringLiteral("cloud snapshot changed"));
        const HttpTestClient::Reply stored = m_client->get(url, token);
        QCOMPARE(stored.json.value(QStringLiteral("revision")).toInteger(), revision + 1);
        QCOMPARE(stored.json.value(QStringLiteral("payload")).toString(),
                 QStringLiteral("from-%1-%2")
                     .arg(ra.status == 200 ? QLatin1Char('a') : QLatin1Char('b'))
                     .arg(revision));
    }
}

void AccountServerTest::twoServersShareOneDatabase()
{
    // A second server process on the same database, as behind a load balancer.
    AccountTestServer second;
    AccountTestServer::Options options;
    if (m_postgres) {
        options.postgresql = m_database->connectionString(QStringLiteral("accounts"));
    } else {
        options.sqlitePath = m_server->databasePath();
    }
    QString error;
    QVERIFY2(second.start(options, &error), qPrintable(error));
    HttpTestClient secondClient(second.clientConfiguration());

    const QString email = uniqueEmail(QStringLiteral("shared"));
    const QByteArray token = registerUser(email);
    const HttpTestClient::Reply me =
        secondClient.get(second.url(QStringLiteral("/api/v1/account/me")), token);
    QCOMPARE(me.status, 200);

    const QUrl urls[2] = {api(QStringLiteral("/account/host-sync")),
                          second.url(QStringLiteral("/api/v1/account/host-sync"))};
    HttpTestClient* clients[2] = {m_client.get(), &secondClient};
    for (qint64 revision = 0; revision < 6; ++revision) {
        const auto body = [&](int side) {
            return QJsonDocument(QJsonObject{{QStringLiteral("payload"),
                                              QStringLiteral("server-%1-%2").arg(side).arg(revision)},
                                             {QStringLiteral("device_count"), 1},
                                             {QStringLiteral("expected_revision"), revision}})
                .toJson(QJsonDocument::Compact);
        };
        QNetworkReply* a = clients[0]->send("PUT", urls[0], body(0), token);
        QNetworkReply* b = clients[1]->send("PUT", urls[1], body(1), token);
        const HttpTestClient::Reply replies[2] = {HttpTestClient::wait(a), HttpTestClient::wait(b)};
        QList<int> statuses{replies[0].status, replies[1].status};
        std::sort(statuses.begin(), statuses.end());
        QCOMPARE(statuses, (QList<int>{200, 409}));
        const int winner = replies[0].status == 200 ? 0 : 1;
        // Both servers read what the winner stored.
        for (int side = 0; side < 2; ++side) {
            const HttpTestClient::Reply stored = clients[side]->get(urls[side], token);
            QCOMPARE(stored.json.value(QStringLiteral("revision")).toInteger(), revision + 1);
            QCOMPARE(stored.json.value(QStringLiteral("payload")).toString(),
                     QStringLiteral("server-%1-%2").arg(winner).arg(revision));
        }
    }
    // A sign-out on one server ends the session on the other.
    QCOMPARE(secondClient.post(second.url(QStringLiteral("/api/v1/auth/logout")), {}, token).status, 200);
    QCOMPARE(m_client->get(api(QStringLiteral("/account/me")), token).status, 401);
}

void AccountServerTest::teamMembersReadOwnersSnapshot()
{
    const QString ownerEmail = uniqueEmail(QStringLiteral("owner"));
    const QString memberEmail = uniqueEmail(QStringLiteral("member"));
    const QString otherEmail = uniqueEmail(QStringLiteral("other"));
    const QByteArray owner = registerUser(ownerEmail, QStringLiteral("Olivia"));
    const QByteArray member = registerUser(memberEmail, QStringLiteral("Max"));
    QVERIFY(!registerUser(otherEmail).isEmpty());
    const QUrl sync = api(QStringLiteral("/account/host-sync"));
    QCOMPARE(m_client
                 ->put(sync,
                       {{QStringLiteral("payload"), QStringLiteral("owner-inventory")},
                        {QStringLiteral("device_count"), 12},
                        {QStringLiteral("expected_revision"), 0}},
                       owner)
                 .status,
             200);

    auto team = [&](const QStringList& arguments) {
        return m_server->admin(QStringList{QStringLiteral("team")} + arguments);
    };
    AccountTestServer::CommandResult result = team({QStringLiteral("add-member"), QStringLiteral("--owner"),
                                                    ownerEmail, QStringLiteral("--member"), memberEmail});
    QVERIFY2(result.exitCode == 0, result.err.constData());

    HttpTestClient::Reply reply = m_client->get(api(QStringLiteral("/account/team")), member);
    QCOMPARE(reply.json.value(QStringLiteral("role")).toString(), QStringLiteral("member"));
    QCOMPARE(reply.json.value(QStringLiteral("owner")).toObject().value(QStringLiteral("email")).toString(),
             ownerEmail);
    reply = m_client->get(api(QStringLiteral("/account/team")), owner);
    QCOMPARE(reply.json.value(QStringLiteral("role")).toString(), QStringLiteral("owner"));
    QCOMPARE(reply.json.value(QStringLiteral("members")).toArray().size(), 1);
    QCOMPARE(reply.json.value(QStringLiteral("members"))
                 .toArray()
                 .first()
                 .toObject()
                 .value(QStringLiteral("name"))
                 .toString(),
             QStringLiteral("Max"));

    reply = m_client->get(sync, member);
    QCOMPARE(reply.json.value(QStringLiteral("payload")).toString(), QStringLiteral("owner-inventory"));
    QCOMPARE(reply.json.value(QStringLiteral("revision")).toInteger(), 1);
    reply = m_client->put(sync,
                          {{QStringLiteral("payload"), QStringLiteral("member-edit")},
                           {QStringLiteral("device_count"), 1},
                           {QStringLiteral("expected_revision"), 1}},
                          member);
    QCOMPARE(reply.status, 403);
    QVERIFY(!reply.errorText().isEmpty());
    QCOMPARE(m_client->get(sync, owner).json.value(QStringLiteral("payload")).toString(),
             QStringLiteral("owner-inventory"));

    // Teams stay one level deep.
    for (const QStringList& refused : {
             QStringList{QStringLiteral("add-member"), QStringLiteral("--owner"), ownerEmail,
                         QStringLiteral("--member"), memberEmail},
             QStringList{QStringLiteral("add-member"), QStringLiteral("--owner"), ownerEmail,
                         QStringLiteral("--member"), ownerEmail},
             QStringList{QStringLiteral("add-member"), QStringLiteral("--owner"), memberEmail,
                         QStringLiteral("--member"), otherEmail},
             QStringList{QStringLiteral("add-member"), QStringLiteral("--owner"), otherEmail,
                         QStringLiteral("--member"), memberEmail},
             QStringList{QStringLiteral("add-member"), QStringLiteral("--owner"), otherEmail,
                         QStringLiteral("--member"), ownerEmail},
             QStringList{QStringLiteral("remove-member"), QStringLiteral("--owner"), otherEmail,
                         QStringLiteral("--member"), memberEmail},
         }) {
        result = team(refused);
        QVERIFY2(result.exitCode != 0, qPrintable(refused.join(QLatin1Char(' '))));
        QVERIFY2(result.err.count('\n') == 1, result.err.constData()); // one line of reason
    }
    result = team({QStringLiteral("list"), QStringLiteral("--owner"), ownerEmail});
    QVERIFY(result.out.contains(memberEmail.toUtf8()));

    // While the owner's account is disabled, its members do not read the snapshot either.
    for (const QString& verb : {QStringLiteral("disable"), QStringLiteral("enable")}) {
        result = m_server->admin({QStringLiteral("user"), verb, QStringLiteral("--email"), ownerEmail});
        QVERIFY2(result.exitCode == 0, result.err.constData());
        reply = m_client->get(sync, member);
        QCOMPARE(reply.status, verb == QLatin1String("disable") ? 403 : 200);
    }

    result = team({QStringLiteral("remove-member"), QStringLiteral("--owner"), ownerEmail,
                   QStringLiteral("--member"), memberEmail});
    QVERIFY2(result.exitCode == 0, result.err.constData());
    QCOMPARE(m_client->get(api(QStringLiteral("/account/team")), member)
                 .json.value(QStringLiteral("role"))
                 .toString(),
             QStringLiteral("owner"));
    QCOMPARE(m_client->get(sync, member).json.value(QStringLiteral("exists")).toBool(true), false);
}

void AccountServerTest::bodyLimits()
{
    const QByteArray token = registerUser(uniqueEmail(QStringLiteral("jack")));

    HttpTestClient::Reply reply =
        m_client->request("POST", api(QStringLiteral("/auth/login")), QByteArray(64 * 1024 + 1, ' '));
    QCOMPARE(reply.status, 413);

    // Announced but never sent: the refusal comes before the body.
    {
        std::unique_ptr<QSslSocket> socket = rawConnection();
        socket->write("PUT /api/v1/account/host-sync HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
                      token + "\r\nContent-Type: application/json\r\nContent-Length: " +
                      QByteArray::number(64 * 1024 * 1024 + 1) + "\r\n\r\n");
        const QByteArray head = readAnswerHead(socket.get());
        QVERIFY2(head.startsWith("HTTP/1.1 413 "), head.constData());
    }
    {
        std::unique_ptr<QSslSocket> socket = rawConnection();
        socket->write(
            "PUT /api/v1/account/host-sync HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 50000000\r\n\r\n");
        const QByteArray head = readAnswerHead(socket.get());
        QVERIFY2(head.startsWith("HTTP/1.1 401 "), head.constData());
        QVERIFY(head.contains("unauthorized"));
    }

    // A large snapshot within the limit is kept exactly.
    QByteArray large(12 * 1024 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < large.size(); ++i) {
        large[i] =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"[(i * 7 + i / 4096) % 64];
    }
    reply = m_client->put(api(QStringLiteral("/account/host-sync")),
                          {{QStringLiteral("payload"), QString::fromLatin1(large)},
                           {QStringLiteral("device_count"), 10000},
                           {QStringLiteral("expected_revision"), 0}},
                          token);
    QCOMPARE(reply.status, 200);
    reply = m_client->get(api(QStringLiteral("/account/host-sync")), token);
    QVERIFY(reply.json.value(QStringLiteral("payload")).toString().toLatin1() == large);
}

void AccountServerTest::signInThrottledPerEmail()
{
    QCOMPARE(sqlValue(QStringLiteral("DELETE FROM sign_in_failures"), {}), 0);
    const QString email = uniqueEmail(QStringLiteral("kim"));
    QVERIFY(!registerUser(email).isEmpty());
    const QString bystander = uniqueEmail(QStringLiteral("lee"));
    QVERIFY(!registerUser(bystander).isEmpty());

    for (int i = 0; i < 5; ++i) {
        QCOMPARE(
            m_client
                ->post(api(QStringLiteral("/auth/login")),
                       signInBody(email, QStringLiteral("wrong password %1").arg(i), QStringLiteral("c")))
                .status,
            401);
    }
    // Even the right password waits now.
    HttpTestClient::Reply reply =
        m_client->post(api(QStringLiteral("/auth/login")), signInBody(email, kPassword, QStringLiteral("c")));
    QCOMPARE(reply.status, 429);
    QVERIFY2(reply.errorText().startsWith(QStringLiteral("too many failed sign-ins, try again in ")),
             qPrintable(reply.errorText()));
    QVERIFY(reply.header("Retry-After").toInt() > 0);
    QVERIFY(!reply.json.contains(QStringLiteral("access_token")));
    // Another account from the same address is not held up.
    QVERIFY(!signIn(bystander).isEmpty());

    // Once the window has passed, the right password works and the count starts again.
    sqlValue(QStringLiteral("UPDATE sign_in_failures SET window_start_ms = window_start_ms - ?"),
             {16 * 60 * 1000LL});
    QVERIFY(!signIn(email).isEmpty());
    QCOMPARE(m_client
                 ->post(api(QStringLiteral("/auth/login")),
                        signInBody(email, QStringLiteral("wrong again"), QStringLiteral("c")))
                 .status,
             401);
    QVERIFY(!signIn(email).isEmpty());
}

void AccountServerTest::signInThrottledPerAddress()
{
    AccountTestServer strict;
    QString error;
    QVERIFY2(startServer(&strict, QStringLiteral("accounts_strict"),
                         QStringLiteral("[limits]\nsign_in_failures_per_address = 3\n"), &error),
             qPrintable(error));
    HttpTestClient client(strict.clientConfiguration());
    const QUrl login = strict.url(QStringLiteral("/api/v1/auth/login"));
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(
            client
                .post(login, signInBody(uniqueEmail(QStringLiteral("guess")), kPassword, QStringLiteral("c")))
                .status,
            401);
    }
    const HttpTestClient::Reply reply =
        client.post(login, signInBody(uniqueEmail(QStringLiteral("guess")), kPassword, QStringLiteral("c")));
    QCOMPARE(reply.status, 429);
    QVERIFY(reply.errorText().contains(QStringLiteral("too many failed sign-ins")));
}

void AccountServerTest::signInAttemptsCountedBeforeHashing()
{
    QCOMPARE(sqlValue(QStringLiteral("DELETE FROM sign_in_failures"), {}), 0);
    const QString email = uniqueEmail(QStringLiteral("race"));
    QVERIFY(!registerUser(email).isEmpty());
    // 20 wrong passwords at once against the limit of 5: only 5 are tried.
    QList<QByteArray> requests;
    for (int i = 0; i < 20; ++i) {
        requests.append(
            rawPost(QStringLiteral("/api/v1/auth/login"),
                    signInBody(email, QStringLiteral("wrong password %1").arg(i), QStringLiteral("c"))));
    }
    const QList<int> statuses = sendAtOnce(*m_server, requests);
    QCOMPARE(statuses.count(401), 5);
    QCOMPARE(statuses.count(429), 15);
}

void AccountServerTest::signInLockOutSparesKnownAddresses()
{
    AccountTestServer proxied;
    QString error;
    QVERIFY2(startServer(&proxied, QStringLiteral("accounts_lockout"),
                         QStringLiteral("[limits]\n"
                                        "sign_in_failures_per_email = 2\nsign_in_failures_per_address = 3\n"),
                         &error, true),
             qPrintable(error));
    HttpTestClient client(proxied.clientConfiguration());
    const QUrl login = proxied.url(QStringLiteral("/api/v1/auth/login"));
    const QString email = uniqueEmail(QStringLiteral("owner"));
    QVERIFY2(proxied.addUser(email, QStringLiteral("Owner"), kPassword, &error), qPrintable(error));
    QCOMPARE(client.postFrom("2001:db8:1:2::10", login, signInBody(email, kPassword, QStringLiteral("home")))
                 .status,
             200);

    // Someone elsewhere guesses until the address is locked for everyone who is not its owner at home.
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(
            client.postFrom("192.0.2.7", login, signInBody(email, QStringLiteral("guess %1").arg(i), "x"))
                .status,
            401);
    }
    QCOMPARE(client.postFrom("192.0.2.7", login, signInBody(email, kPassword, QStringLiteral("x"))).status,
             429);
    QCOMPARE(client.postFrom("198.51.100.9", login, signInBody(email, kPassword, QStringLiteral("x"))).status,
             429);
    // The owner, from another host of the same /64, still gets in.
    QCOMPARE(client.postFrom("2001:db8:1:2::99", login, signInBody(email, kPassword, QStringLiteral("home")))
                 .status,
             200);

    // Addresses of one /64 count as one.
    QList<int> statuses;
    for (int host = 1; host <= 4; ++host) {
        statuses.append(client
                            .postFrom(QStringLiteral("2001:db8:5:6::%1").arg(host).toLatin1(), login,
                                      signInBody(uniqueEmail(QStringLiteral("nobody")), kPassword, "x"))
                            .status);
    }
    QCOMPARE(statuses, (QList<int>{401, 401, 401, 429}));
}

void AccountServerTest::registrationThrottledAlikeAndBounded()
{
    AccountTestServer proxied;
    QString error;
    QVERIFY2(startServer(&proxied, QStringLiteral("accounts_registration"),
                         QStringLiteral("[limits]\n"
                                        "registrations_per_address = 2\nsnapshot_quota_mib = 1\n"),
                         &error, true),
             qPrintable(error));
    HttpTestClient client(proxied.clientConfiguration());
    const QUrl registration = proxied.url(QStringLiteral("/api/v1/auth/register"));
    const QString taken = uniqueEmail(QStringLiteral("taken"));
    QCOMPARE(client.postFrom("192.0.2.1", registration, registrationBody(taken)).status, 201);

    // An address that exists takes as long as a new one (each from an address of its own).
    QList<qint64> newMs;
    QList<qint64> takenMs;
    for (int i = 0; i < 3; ++i) {
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(client
                     .postFrom(QStringLiteral("192.0.2.%1").arg(10 + i).toLatin1(), registration,
                               registrationBody(uniqueEmail(QStringLiteral("new"))))
                     .status,
                 201);
        newMs.append(timer.restart());
        const HttpTestClient::Reply reply =
            client.postFrom(QStringLiteral("192.0.2.%1").arg(20 + i).toLatin1(), registration,
                            registrationBody(taken.toUpper()));
        takenMs.append(timer.elapsed());
        QCOMPARE(reply.status, 409);
        QCOMPARE(reply.errorText(), QStringLiteral("email already exists"));
    }
    std::sort(newMs.begin(), newMs.end());
    std::sort(takenMs.begin(), takenMs.end());
    QVERIFY2(takenMs.at(1) * 2 >= newMs.at(1),
             qPrintable(QStringLiteral("%1 ms against %2 ms").arg(takenMs.at(1)).arg(newMs.at(1))));

    // Two registrations per address, whether the address is taken or not.
    QCOMPARE(client.postFrom("192.0.2.1", registration, registrationBody(taken)).status, 409);
    const HttpTestClient::Reply refused =
        client.postFrom("192.0.2.1", registration, registrationBody(uniqueEmail(QStringLiteral("third"))));
    QCOMPARE(refused.status, 429);
    QVERIFY(refused.errorText().startsWith(QStringLiteral("too many registrations")));

    // A self-registered account keeps at most the quota (1 MiB); one made by the operator more.
    const QString self = uniqueEmail(QStringLiteral("self"));
    QCOMPARE(client.postFrom("192.0.2.30", registration, registrationBody(self)).status, 201);
    const QString made = uniqueEmail(QStringLiteral("made"));
    QVERIFY2(proxied.addUser(made, QStringLiteral("Made"), kPassword, &error), qPrintable(error));
    const QJsonObject upload{{QStringLiteral("payload"), QString(1024 * 1024 + 1, QLatin1Char('q'))},
                             {QStringLiteral("device_count"), 1},
                             {QStringLiteral("expected_revision"), 0}};
    const QUrl sync = proxied.url(QStringLiteral("/api/v1/account/host-sync"));
    const QUrl login = proxied.url(QStringLiteral("/api/v1/auth/login"));
    const QByteArray selfToken = client.postFrom("192.0.2.30", login, signInBody(self, kPassword, "c"))
                                     .json.value(QStringLiteral("access_token"))
                                     .toString()
                                     .toLatin1();
    const HttpTestClient::Reply tooLarge = client.put(sync, upload, selfToken);
    QCOMPARE(tooLarge.status, 413);
    QCOMPARE(tooLarge.errorText(), QStringLiteral("host data larger than this account's quota of 1 MiB"));
    const QByteArray madeToken = client.postFrom("192.0.2.31", login, signInBody(made, kPassword, "c"))
                                     .json.value(QStringLiteral("access_token"))
                                     .toString()
                                     .toLatin1();
    QCOMPARE(client.put(sync, upload, madeToken).status, 200);
}

void AccountServerTest::signInsKeepTheirShareOfHashing()
{
    AccountTestServer proxied;
    QString error;
    QVERIFY2(startServer(&proxied, QStringLiteral("accounts_flood"), {}, &error, true), qPrintable(error));
    const QString email = uniqueEmail(QStringLiteral("steady"));
    QVERIFY2(proxied.addUser(email, QStringLiteral("Steady"), kPassword, &error), qPrintable(error));
    // 200 registrations from as many addresses, then one sign-in: it finds room to be checked.
    QList<QByteArray> requests;
    for (int i = 0; i < 200; ++i) {
        requests.append(rawPost(QStringLiteral("/api/v1/auth/register"),
                                registrationBody(uniqueEmail(QStringLiteral("flood"))),
                                QStringLiteral("2001:db8:%1::1").arg(i + 1, 0, 16).toLatin1()));
    }
    requests.append(
        rawPost(QStringLiteral("/api/v1/auth/login"), signInBody(email, kPassword, "c"), "198.51.100.1"));
    const QList<int> statuses = sendAtOnce(proxied, requests);
    QCOMPARE(statuses.last(), 200);
    QVERIFY(statuses.count(201) >= 2);
    QCOMPARE(statuses.count(201) + statuses.count(503), 200);
}

void AccountServerTest::passwordChangeEndsOtherSessions()
{
    const QString email = uniqueEmail(QStringLiteral("pia"));
    const QByteArray laptop = registerUser(email, QStringLiteral("Pia"), QStringLiteral("laptop"));
    const QByteArray desk = signIn(email, kPassword, QStringLiteral("desk"));
    QVERIFY(!laptop.isEmpty() && !desk.isEmpty());
    const QUrl change = api(QStringLiteral("/account/password"));
    const QString next = QStringLiteral("Another-Horse-电池-10");
    auto body = [](const QString& current, const QString& fresh) {
        return QJsonObject{{QStringLiteral("current_password"), current},
                           {QStringLiteral("new_password"), fresh}};
    };

    QCOMPARE(m_client->post(change, body(kPassword, next)).status, 401);
    QCOMPARE(m_client->post(change, body(kPassword, QStringLiteral("too short")), laptop).status, 400);
    HttpTestClient::Reply reply =
        m_client->post(change, body(QStringLiteral("not my password"), next), laptop);
    QCOMPARE(reply.status, 403);
    QCOMPARE(reply.errorText(), QStringLiteral("current password is wrong"));
    QCOMPARE(m_client->get(api(QStringLiteral("/account/me")), desk).status, 200);

    reply = m_client->post(change, body(kPassword, next), laptop);
    QCOMPARE(reply.status, 200);
    QCOMPARE(m_client->get(api(QStringLiteral("/account/me")), desk).status, 401);
    QCOMPARE(m_client->get(api(QStringLiteral("/account/me")), laptop).status, 200);
    QCOMPARE(m_client->post(api(QStringLiteral("/auth/login")), signInBody(email, kPassword, "desk")).status,
             401);
    const QByteArray again = signIn(email, next, QStringLiteral("desk"));
    QVERIFY(!again.isEmpty());

    // The operator ends every session at once.
    const AccountTestServer::CommandResult result = m_server->admin(
        {QStringLiteral("user"), QStringLiteral("sign-out"), QStringLiteral("--email"), email.toUpper()});
    QVERIFY2(result.exitCode == 0, result.err.constData());
    QVERIFY2(result.out.contains("ended 2 session(s)"), result.out.constData());
    QCOMPARE(m_client->get(api(QStringLiteral("/account/me")), laptop).status, 401);
    QCOMPARE(m_client->get(api(QStringLiteral("/account/me")), again).status, 401);
}

// The commands are run with sudo (root, umask 077); the service runs as the owner of its state
// directory and must still be able to open a database the command created.
void AccountServerTest::databaseMadeAsRootBelongsToTheService()
{
    if (m_postgres || ::geteuid() != 0) {
        QSKIP("a SQLite file made by a command run as root");
    }
    AccountTestServer server;
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    server.stop();
    const QString directory = QFileInfo(server.databasePath()).absolutePath();
    QVERIFY(QDir(directory).removeRecursively() && QDir().mkpath(directory));
    constexpr uid_t kService = 65534;
    QCOMPARE(::chown(QFile::encodeName(directory).constData(), kService, kService), 0);

    const mode_t umask = ::umask(077);
    const bool added =
        server.addUser(uniqueEmail(QStringLiteral("root-made")), QStringLiteral("Root"), kPassword, &error);
    ::umask(umask);
    QVERIFY2(added, qPrintable(error));
    struct stat info = {};
    QCOMPARE(::stat(QFile::encodeName(server.databasePath()).constData(), &info), 0);
    QCOMPARE(info.st_uid, kService);
    QCOMPARE(info.st_gid, static_cast<gid_t>(kService));
    QCOMPARE(info.st_mode & 0777, static_cast<mode_t>(0600));
}

void AccountServerTest::restartKeepsEverything()
{
    const QString email = uniqueEmail(QStringLiteral("mia"));
    const QByteArray token = registerUser(email);
    QCOMPARE(m_client
                 ->put(api(QStringLiteral("/account/host-sync")),
                       {{QStringLiteral("payload"), QStringLiteral("kept")},
                        {QStringLiteral("device_count"), 4},
                        {QStringLiteral("expected_revision"), 0}},
                       token)
                 .status,
             200);
    QString error;
    QVERIFY2(m_server->restart(&error), qPrintable(error));

    QCOMPARE(m_client->get(api(QStringLiteral("/account/me")), token).status, 200);
    const HttpTestClient::Reply reply = m_client->get(api(QStringLiteral("/account/host-sync")), token);
    QCOMPARE(reply.json.value(QStringLiteral("payload")).toString(), QStringLiteral("kept"));
    QCOMPARE(reply.json.value(QStringLiteral("revision")).toInteger(), 1);
    QVERIFY(!signIn(email).isEmpty());
}

// SIGTERM stops the server in order: every line it logged, to its last, is in the file.
void AccountServerTest::cleanStopWritesEveryLogLine()
{
    AccountTestServer server;
    QString error;
    QVERIFY2(startServer(&server, QStringLiteral("clean_stop"), {}, &error), qPrintable(error));
    HttpTestClient client(server.clientConfiguration());
    for (int i = 0; i < 20; ++i) {
        QCOMPARE(client.get(server.url(QStringLiteral("/api/v1/health"))).status, 200);
    }
    server.stop();
    const QByteArray log = server.log();
    QCOMPARE(log.count("GET /api/v1/health 200"), 20);
    QVERIFY2(log.contains(" info stopping (signal 15)\n") && log.endsWith(" info stopped\n"),
             log.right(500).constData());
}

void AccountServerTest::killDuringUploadKeepsSnapshot()
{
    const QByteArray token = registerUser(uniqueEmail(QStringLiteral("noah")));
    const QUrl url = api(QStringLiteral("/account/host-sync"));
    QCOMPARE(m_client
                 ->put(url,
                       {{QStringLiteral("payload"), QStringLiteral("before")},
                        {QStringLiteral("device_count"), 1},
                        {QStringLiteral("expected_revision"), 0}},
                       token)
                 .status,
             200);

    // Half of a 48 MiB upload is on its way when the server is killed.
    std::unique_ptr<QSslSocket> socket = rawConnection();
    const QByteArray payload(48 * 1024 * 1024, 'z');
    const QByteArray body = R"({"device_count": 2, "expected_revision": 1, "payload": ")" + payload + "\"}";
    socket->write("PUT /api/v1/account/host-sync HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
                  token + "\r\nContent-Type: application/json\r\nContent-Length: " +
                  QByteArray::number(body.size()) + "\r\n\r\n");
    socket->write(body.left(body.size() / 2));
    while (socket->bytesToWrite() > 0 && socket->waitForBytesWritten(30000)) {
    }
    QCOMPARE(socket->bytesToWrite(), 0);
    m_server->kill();
    socket.reset();

    QString error;
    QVERIFY2(m_server->restart(&error), qPrintable(error));
    const HttpTestClient::Reply reply = m_client->get(url, token);
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.json.value(QStringLiteral("payload")).toString(), QStringLiteral("before"));
    QCOMPARE(reply.json.value(QStringLiteral("revision")).toInteger(), 1);
    // And the database takes the next upload.
    QCOMPARE(m_client
                 ->put(url,
                       {{QStringLiteral("payload"), QStringLiteral("after")},
                        {QStringLiteral("device_count"), 1},
                        {QStringLiteral("expected_revision"), 1}},
                       token)
                 .status,
             200);
}

void AccountServerTest::updateAnnouncementsAndFiles()
{
    QTemporaryDir source;
    const QString installer = source.filePath(QStringLiteral("NIMBARA-1.3.0-amd64.deb"));
    QByteArray content(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    for (qsizetype i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>((i * 131) ^ (i >> 9));
    }
    {
        QFile file(installer);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
    }
    const QString digest =
        QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
    // The service reads its files as the group of its configuration; the operator may run the command
    // as root with umask 077 (sudo), and the update directory is made by it.
    const gid_t serviceGroup = ::geteuid() == 0 ? 65534 : ::getegid();
    QCOMPARE(
        ::chown(QFile::encodeName(m_server->configPath()).constData(), static_cast<uid_t>(-1), serviceGroup),
        0);
    QDir(m_server->updateDirectory()).removeRecursively();

    AccountTestServer::CommandResult result =
        m_server->admin({QStringLiteral("update"), QStringLiteral("set"), QStringLiteral("--platform"),
                         QStringLiteral("linux"), QStringLiteral("--version"), QStringLiteral("1.3.0"),
                         QStringLiteral("--file"), installer, QStringLiteral("--minimum"),
                         QStringLiteral("1.2.0"), QStringLiteral("--notes"), QStringLiteral("修复同步问题")});
    QVERIFY2(result.exitCode == 0, result.err.constData());
    QVERIFY(result.out.contains(digest.toLatin1()));
    struct stat info = {};
    QCOMPARE(::stat(QFile::encodeName(m_server->updateDirectory()).constData(), &info), 0);
    QCOMPARE(info.st_gid, serviceGroup);
    QCOMPARE(info.st_mode & (S_IRGRP | S_IXGRP), static_cast<mode_t>(S_IRGRP | S_IXGRP));

    HttpTestClient::Reply reply = m_client->get(api(QStringLiteral("/client/update/linux")));
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.json.value(QStringLiteral("enabled")).toBool(), true);
    QCOMPARE(reply.json.value(QStringLiteral("latest_version")).toString(), QStringLiteral("1.3.0"));
    QCOMPARE(reply.json.value(QStringLiteral("minimum_version")).toString(), QStringLiteral("1.2.0"));
    QCOMPARE(reply.json.value(QStringLiteral("sha256")).toString(), digest);
    QCOMPARE(reply.json.value(QStringLiteral("release_notes")).toString(), QStringLiteral("修复同步问题"));
    const QUrl download(reply.json.value(QStringLiteral("download_url")).toString());
    QCOMPARE(download, m_server->url(QStringLiteral("/downloads/NIMBARA-1.3.0-amd64.deb")));

    reply = m_client->get(download);
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.header("Content-Type"), QByteArray("application/octet-stream"));
    QVERIFY(reply.body == content);

    QCOMPARE(m_client->get(api(QStringLiteral("/client/update/windows")))
                 .json.value(QStringLiteral("enabled"))
                 .toBool(true),
             false);
    QCOMPARE(m_client->get(api(QStringLiteral("/client/update/macos"))).status, 404);
    // A name with a final line break, a link out of the directory: neither is served.
    {
        QFile newline(
            QDir(m_server->updateDirectory()).filePath(QStringLiteral("NIMBARA-1.3.0-amd64.deb\n")));
        QVERIFY(newline.open(QIODevice::WriteOnly) && newline.write("x") == 1);
    }
    QVERIFY(QFile::link(m_server->configPath(),
                        QDir(m_server->updateDirectory()).filePath(QStringLiteral("link.deb"))));
    for (const QString& path :
         {QStringLiteral("/downloads/%2e%2e%2fserver.toml"), QStringLiteral("/downloads/.hidden"),
          QStringLiteral("/downloads/missing.deb"), QStringLiteral("/downloads/"),
          QStringLiteral("/downloads/NIMBARA-1.3.0-amd64.deb%0A"), QStringLiteral("/downloads/link.deb"),
          QStringLiteral("/downloads/forged%0A2030-01-01T00:00:00.000%20info%20x%1B%5B2J")}) {
        QCOMPARE(m_client->get(QUrl(m_server->baseUrl() + path, QUrl::StrictMode)).status, 404);
    }
    // The log keeps one line per request: control characters in a path are written escaped.
    const QByteArray log = m_server->log();
    QVERIFY(!log.contains("\n2030-01-01T00:00:00.000 info x"));
    QVERIFY(!log.contains('\x1b'));
    QVERIFY(log.contains("GET /downloads/forged\\x0a2030-01-01T00:00:00.000"));

    result = m_server->admin({QStringLiteral("update"), QStringLiteral("set"), QStringLiteral("--platform"),
                              QStringLiteral("linux"), QStringLiteral("--version"), QStringLiteral("1 .3"),
                              QStringLiteral("--file"), installer});
    QVERIFY(result.exitCode != 0);
    result = m_server->admin({QStringLiteral("update"), QStringLiteral("set"), QStringLiteral("--platform"),
                              QStringLiteral("linux"), QStringLiteral("--version"), QStringLiteral("1.4")});
    QCOMPARE(result.exitCode, 2); // --file missing
    // Without the optional minimum and notes: both announced empty.
    result = m_server->admin({QStringLiteral("update"), QStringLiteral("set"), QStringLiteral("--platform"),
                              QStringLiteral("linux"), QStringLiteral("--version"), QStringLiteral("1.4"),
                              QStringLiteral("--file"), installer});
    QVERIFY2(result.exitCode == 0, result.err.constData());
    reply = m_client->get(api(QStringLiteral("/client/update/linux")));
    QCOMPARE(reply.json.value(QStringLiteral("latest_version")).toString(), QStringLiteral("1.4"));
    QCOMPARE(reply.json.value(QStringLiteral("minimum_version")).toString(QStringLiteral("?")), QString());
    QCOMPARE(reply.json.value(QStringLiteral("release_notes")).toString(QStringLiteral("?")), QString());
    result = m_server->admin({QStringLiteral("update"), QStringLiteral("clear"), QStringLiteral("--platform"),
                              QStringLiteral("linux")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(m_client->get(api(QStringLiteral("/client/update/linux")))
                 .json.value(QStringLiteral("enabled"))
                 .toBool(true),
             false);
}

void AccountServerTest::nothingSecretStoredOrLogged()
{
    const QString email = uniqueEmail(QStringLiteral("olga"));
    const QString password = QStringLiteral("Olga-Sign-In-Secret-4242");
    QJsonObject body = signInBody(email, password, QStringLiteral("olga-pc"));
    body.insert(QStringLiteral("name"), QStringLiteral("Olga"));
    body.insert(QStringLiteral("accept_terms"), true);
    HttpTestClient::Reply reply = m_client->post(api(QStringLiteral("/auth/register")), body);
    QCOMPARE(reply.status, 201);
    const QByteArray token = signIn(email, password, QStringLiteral("olga-pc"));
    QVERIFY(!token.isEmpty());

    // What a client would upload if it did not encrypt: a host password in the payload.
    const QByteArray payload = R"({"host":"10.0.0.7","password":"Host-Password-Marker-7731"})";
    reply = m_client->put(api(QStringLiteral("/account/host-sync")),
                          {{QStringLiteral("payload"), QString::fromLatin1(payload)},
                           {QStringLiteral("device_count"), 1},
                           {QStringLiteral("expected_revision"), 0}},
                          token);
    QCOMPARE(reply.status, 200);
    QCOMPARE(m_client->get(api(QStringLiteral("/account/host-sync")), token)
                 .json.value(QStringLiteral("payload"))
                 .toString()
                 .toLatin1(),
             payload);
    QCOMPARE(m_client->post(api(QStringLiteral("/account/session/heartbeat")), {}, token).status, 200);

    const QByteArray stored = storedBytes();
    // The payload is kept byte for byte (so a search of the files does find plain text) ...
    QVERIFY(stored.contains(payload));
    QVERIFY(stored.contains(digestOf(token)));
    // ... but the sign-in password and the session token are not there.
    QVERIFY(!stored.contains(password.toUtf8()));
    QVERIFY(!stored.contains(token));

    const QByteArray log = m_server->log();
    QVERIFY(log.contains("PUT /api/v1/account/host-sync 200"));
    for (const QByteArray& secret : {password.toUtf8(), token, QByteArray("Host-Password-Marker-7731"),
                                     QByteArray("Bearer"), email.toUtf8()}) {
        QVERIFY2(!log.contains(secret), secret.constData());
    }
}

void AccountServerTest::commandLineRefusals()
{
    const QString email = uniqueEmail(QStringLiteral("pat"));
    AccountTestServer::CommandResult result =
        m_server->admin({QStringLiteral("user"), QStringLiteral("add"), QStringLiteral("--email"), email,
                         QStringLiteral("--name"), QStringLiteral("Pat")},
                        "short\n");
    QVERIFY(result.exitCode != 0);
    QCOMPARE(result.err.count('\n'), 1);
    QString error;
    QVERIFY2(m_server->addUser(email, QStringLiteral("Pat"), kPassword, &error), qPrintable(error));
    QVERIFY(!signIn(email).isEmpty());
    QVERIFY(!m_server->addUser(email.toUpper(), QStringLiteral("Pat"), kPassword, &error));
    QVERIFY(error.contains(QStringLiteral("email already exists")));

    result = m_server->admin({QStringLiteral("user"), QStringLiteral("list")});
    QCOMPARE(result.exitCode, 0);
    QVERIFY(result.out.contains(email.toUtf8() + "\tPat\t"));
    // The rule registration follows: a plain address, a name without tabs or invisible characters.
    for (const auto& [address, name] :
         {std::pair(QStringLiteral("x@y"), QStringLiteral("Pat")),
          std::pair(uniqueEmail(QStringLiteral("tab")), QStringLiteral("Pat\tX")),
          std::pair(uniqueEmail(QStringLiteral("zw")), QStringLiteral("Pa\u200Dt"))}) {
        QVERIFY2(!m_server->addUser(address, name, kPassword, &error), qPrintable(address + name));
        QVERIFY(error.contains(QStringLiteral("a valid e-mail address and a name are required")));
    }

    // An endless configuration (a device) is refused after 1 MiB, not read into memory.
    QProcess endless;
    endless.setChildProcessModifier([] {
        const rlimit memory{512LL * 1024 * 1024, 512LL * 1024 * 1024};
        ::setrlimit(RLIMIT_AS, &memory);
    });
    endless.start(AccountTestServer::programPath(),
                  {QStringLiteral("user"), QStringLiteral("list"), QStringLiteral("--config"), "/dev/zero"});
    QVERIFY(endless.waitForFinished(30000));
    QVERIFY(endless.exitCode() != 0);
    QVERIFY(endless.readAllStandardError().contains("file too large"));

    result = m_server->admin({QStringLiteral("user"), QStringLiteral("frobnicate")});
    QCOMPARE(result.exitCode, 2);
    result = m_server->admin({QStringLiteral("user"), QStringLiteral("disable"), QStringLiteral("--email"),
                              QStringLiteral("nobody@example.com")});
    QVERIFY(result.exitCode != 0);
    QVERIFY(result.err.contains("nobody@example.com"));

    // A server that would listen in plain text beyond loopback does not start.
    QTemporaryDir dir;
    QFile config(dir.filePath(QStringLiteral("open.toml")));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("[server]\nlisten = \"0.0.0.0:0\"\n[storage]\nsqlite = \"db.sqlite\"\n");
    config.close();
    QProcess serve;
    serve.start(AccountTestServer::programPath(),
                {QStringLiteral("serve"), QStringLiteral("--config"), config.fileName()});
    QVERIFY(serve.waitForFinished(30000));
    QVERIFY(serve.exitCode() != 0);
    QVERIFY(serve.readAllStandardError().contains("plain HTTP is only allowed on a loopback address"));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("db.sqlite"))));
}

void AccountServerTest::startUpLineBracketsIpv6()
{
    if (m_postgres) {
        QSKIP("the listener does not depend on the storage");
    }
    QTemporaryDir dir;
    QFile config(dir.filePath(QStringLiteral("ipv6.toml")));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("[server]\nlisten = \"[::1]:0\"\n[storage]\nsqlite = \"db.sqlite\"\n");
    config.close();
    QProcess serve;
    serve.start(AccountTestServer::programPath(),
                {QStringLiteral("serve"), QStringLiteral("--config"), config.fileName()});
    const auto stop = qScopeGuard([&] {
        serve.kill();
        serve.waitForFinished(30000);
    });
    QVERIFY(serve.waitForStarted(30000));
    QByteArray line;
    for (int i = 0; i < 100 && !line.contains('\n') && serve.waitForReadyRead(30000); ++i) {
        line += serve.readAllStandardOutput();
    }
    static const QRegularExpression pattern(
        QStringLiteral("listening on http://\\[::1\\]:(\\d+) \\(public address http://\\[::1\\]:\\1\\)"));
    QVERIFY2(pattern.match(QString::fromUtf8(line)).hasMatch(), line.constData());
}

void AccountServerTest::concurrentTeamChangesOneWins_data()
{
    // Two team changes at once, as (owner, member) pairs among the users A, B and C.
    QTest::addColumn<QList<int>>("changes");
    QTest::newRow("each adds the other") << QList<int>{0, 1, 1, 0};
    QTest::newRow("an owner joins another team") << QList<int>{0, 1, 2, 0};
    QTest::newRow("two owners, one member") << QList<int>{0, 1, 2, 1};
}

void AccountServerTest::concurrentTeamChangesOneWins()
{
    if (!m_postgres) {
        QSKIP("SQLite runs one writing transaction at a time");
    }
    QFETCH(QList<int>, changes);
    const QStringList users{uniqueEmail(QStringLiteral("a")), uniqueEmail(QStringLiteral("b")),
                            uniqueEmail(QStringLiteral("c"))};
    for (const QString& email : users) {
        QVERIFY(!registerUser(email).isEmpty());
    }
    // Both commands read what they check, then wait at the write until the lock is released: the
    // moment a race is decided in.
    const QString name = QStringLiteral("team-lock-%1").arg(++m_databaseCounter);
    std::unique_ptr<QProcess> commands[2];
    {
        QSqlDatabase db = m_database->addDatabase(name, QStringLiteral("accounts"));
        QVERIFY2(db.open(), qPrintable(db.lastError().text()));
        QVERIFY(db.transaction());
        QSqlQuery lock(db);
        QVERIFY(lock.exec(QStringLiteral("LOCK TABLE team_members IN EXCLUSIVE MODE")));
        for (int i = 0; i < 2; ++i) {
            commands[i] = m_server->startAdmin({QStringLiteral("team"), QStringLiteral("add-member"),
                                                QStringLiteral("--owner"), users.at(changes.at(2 * i)),
                                                QStringLiteral("--member"), users.at(changes.at(2 * i + 1))});
        }
        QTRY_COMPARE_WITH_TIMEOUT(
            sqlValue(QStringLiteral("SELECT count(*) FROM pg_stat_activity WHERE "
                                    "wait_event_type = 'Lock' AND datname = 'accounts'"),
                     {}),
            2, 30000);
        QVERIFY(db.commit());
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    const AccountTestServer::CommandResult results[2] = {AccountTestServer::finishAdmin(commands[0].get()),
                                                         AccountTestServer::finishAdmin(commands[1].get())};
    QCOMPARE(int(results[0].exitCode == 0) + int(results[1].exitCode == 0), 1);
    const AccountTestServer::CommandResult& loser = results[0].exitCode == 0 ? results[1] : results[0];
    QVERIFY2(loser.exitCode > 0 && loser.err.count('\n') == 1, loser.err.constData());
    // Nobody is both a member and an owner.
    QCOMPARE(
        sqlValue(QStringLiteral("SELECT count(*) FROM team_members m JOIN team_members o ON o.owner_id = "
                                "m.member_id"),
                 {}),
        0);
}

void AccountServerTest::databaseOutagesAreSurvived_data()
{
    QTest::addColumn<QString>("outage");
    QTest::newRow("sessions ended by the administrator") << QStringLiteral("terminate");
    QTest::newRow("server restarted") << QStringLiteral("restart");
    QTest::newRow("server stops answering") << QStringLiteral("pause");
}

void AccountServerTest::databaseOutagesAreSurvived()
{
    if (!m_postgres) {
        QSKIP("SQLite has no connection to lose");
    }
    QFETCH(QString, outage);
    constexpr int kTimeoutSeconds = 2;
    AccountTestServer server;
    AccountTestServer::Options options;
    options.databaseTimeoutSeconds = kTimeoutSeconds;
    QString error;
    const QString database = QStringLiteral("outage_%1").arg(++m_databaseCounter);
    QVERIFY2(m_database->createDatabase(database, &error), qPrintable(error));
    options.postgresql = m_database->connectionString(database);
    QVERIFY2(server.start(options, &error), qPrintable(error));
    HttpTestClient client(server.clientConfiguration());
    QJsonObject body = signInBody(uniqueEmail(QStringLiteral("outage")), kPassword, QStringLiteral("c"));
    body.insert(QStringLiteral("name"), QStringLiteral("Outage"));
    body.insert(QStringLiteral("accept_terms"), true);
    const QByteArray token = client.post(server.url(QStringLiteral("/api/v1/auth/register")), body)
                                 .json.value(QStringLiteral("access_token"))
                                 .toString()
                                 .toLatin1();
    QVERIFY(!token.isEmpty());
    // Bounded well below the client's own limit: a frozen server fails here instead of hanging.
    auto me = [&] {
        return HttpTestClient::wait(
            client.send("GET", server.url(QStringLiteral("/api/v1/account/me")), {}, token), 30000);
    };
    auto health = [&] {
        return HttpTestClient::wait(client.send("GET", server.url(QStringLiteral("/api/v1/health"))), 30000);
    };
    QCOMPARE(me().status, 200);
    QCOMPARE(health().status, 200);

    if (outage == QLatin1String("terminate")) {
        QVariant ended;
        QVERIFY2(
            server.execSql(QStringLiteral("SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity "
                                          "WHERE datname = current_database() AND pid <> pg_backend_pid()"),
                           {}, &ended, &error),
            qPrintable(error));
        QVERIFY(ended.toInt() > 0);
        QTRY_VERIFY_WITH_TIMEOUT(server.execSql(QStringLiteral("SELECT count(*) FROM pg_stat_activity WHERE "
                                                               "datname = current_database() AND pid <> "
                                                               "pg_backend_pid()"),
                                                {}, &ended, &error) &&
                                     ended.toInt() == 0,
                                 30000);
        // The next request finds the connection gone and opens a new one.
        QCOMPARE(me().status, 200);
        QCOMPARE(health().status, 200);
        return;
    }

    // Whatever happens here, the cluster runs again for the other tests.
    auto recover = [this] {
        QString ignored;
        return m_database->isRunning() ? m_database->setPaused(false) : m_database->start(&ignored);
    };
    auto recoverOnFailure = qScopeGuard(recover);
    if (outage == QLatin1String("restart")) {
        m_database->stop();
    } else {
        QVERIFY(m_database->setPaused(true));
    }
    QElapsedTimer elapsed;
    elapsed.start();
    HttpTestClient::Reply reply = me();
    QCOMPARE(reply.status, 503);
    QVERIFY2(elapsed.elapsed() < (kTimeoutSeconds + 5) * 1000,
             qPrintable(QString::number(elapsed.elapsed())));
    elapsed.restart();
    reply = health();
    QCOMPARE(reply.status, 503);
    QCOMPARE(reply.json.value(QStringLiteral("status")).toString(), QStringLiteral("unavailable"));
    QVERIFY(elapsed.elapsed() < 3000); // known to be lost: no waiting for the database again
    QVERIFY2(server.log().contains("storage unavailable: database unavailable: "), server.log().right(2000));
    if (outage == QLatin1String("pause")) {
        // Cut off by the deadline, not merely refused at the next connection attempt.
        QVERIFY(server.log().contains("did not answer within"));
    }
    if (outage == QLatin1String("restart")) {
        const AccountTestServer::CommandResult result =
            server.admin({QStringLiteral("user"), QStringLiteral("list")});
        QVERIFY(result.exitCode != 0);
        QVERIFY2(result.err.count('\n') == 1, result.err.constData());
    }

    recoverOnFailure.dismiss();
    QVERIFY(recover());
    // Back without a restart of the account server.
    QTRY_COMPARE_WITH_TIMEOUT(me().status, 200, 30000);
    QCOMPARE(health().status, 200);
}

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    int failures = 0;
    {
        AccountServerTest sqlite(false);
        failures += QTest::qExec(&sqlite, argc, argv);
    }
    {
        AccountServerTest postgres(true);
        failures += QTest::qExec(&postgres, argc, argv);
    }
    return failures;
}

#include "test_account_server.moc"
