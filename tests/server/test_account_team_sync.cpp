#include "support/account_test_server.h"
#include "support/http_test_client.h"
#include "support/test_postgres_server.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QScopeGuard>
#include <QTest>

#include <memory>

namespace {

const QString kPassword = QStringLiteral("Correct-Horse-Battery-9");
const QByteArray kOwnerMarker = "NIMBARA-SYNC-2.owner-only-inventory";
const QByteArray kTeamMarker = "NIMBARA-TEAM-2.team-shared-hosts";

QString base64Url(const QByteArray& bytes)
{
    return QString::fromLatin1(
        bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QString publicKey(char fill)
{
    return base64Url(QByteArray(32, fill));
}

QByteArray json(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QJsonObject keysBody(const QString& box, const QString& sign, const QString& expected,
                     const QString& privateKeys = QStringLiteral("NIMBARA-KEYS-2.wrapped"))
{
    return {{QStringLiteral("box_public"), box},
            {QStringLiteral("sign_public"), sign},
            {QStringLiteral("private_keys"), privateKeys},
            {QStringLiteral("expected_sign_public"), expected}};
}

QJsonObject teamUpload(const QJsonArray& sealed, qint64 expected, const QString& payload = kOwnerMarker,
                       const QString& teamPayload = kTeamMarker)
{
    return {{QStringLiteral("payload"), payload},
            {QStringLiteral("team_payload"), teamPayload},
            {QStringLiteral("sealed_keys"), sealed},
            {QStringLiteral("device_count"), 2},
            {QStringLiteral("expected_revision"), expected}};
}

QJsonObject firstFormUpload(const QString& payload, qint64 expected)
{
    return {{QStringLiteral("payload"), payload},
            {QStringLiteral("device_count"), 1},
            {QStringLiteral("expected_revision"), expected}};
}

QJsonObject sealed(const QString& memberId, const QString& text)
{
    return {{QStringLiteral("member_id"), memberId}, {QStringLiteral("sealed"), text}};
}

} // namespace

// The team form of host sync as clients meet it: key pairs per account, the owner's snapshot with a
// team snapshot beside it, sealed keys per member, against the real server (SQLite and PostgreSQL).
class AccountTeamSyncTest : public QObject
{
    Q_OBJECT

public:
    explicit AccountTeamSyncTest(bool postgres) : m_postgres(postgres) {}

private slots:
    void initTestCase();
    void cleanupTestCase();
    void whoReadsWhat_data();
    void whoReadsWhat();
    void malformedBodiesStoreNothing_data();
    void malformedBodiesStoreNothing();
    void movingToTeamForm();
    void schemaTwoDatabaseIsMigrated();

private:
    struct Account
    {
        QString email;
        QString id;
        QByteArray token;
    };
    // Registered on `server` (the test's own when null).
    Account makeAccount(const QString& prefix, AccountTestServer* server = nullptr);
    bool startServer(AccountTestServer* server, const QString& database, QString* error);
    bool team(const char* verb, const Account& owner, const Account& member);
    QUrl api(const QString& path) const { return m_server->url(QStringLiteral("/api/v1") + path); }

    bool m_postgres;
    int m_counter = 0;
    std::unique_ptr<TestPostgresServer> m_database;
    std::unique_ptr<AccountTestServer> m_server;
    std::unique_ptr<HttpTestClient> m_client;
    // A team with a stored team snapshot: owner, two members, an account that left it, a stranger.
    QHash<QString, Account> m_accounts;
};

bool AccountTeamSyncTest::startServer(AccountTestServer* server, const QString& database, QString* error)
{
    AccountTestServer::Options options;
    if (m_postgres) {
        if (!m_database->createDatabase(database, error)) {
            return false;
        }
        options.postgresql = m_database->connectionString(database);
    }
    return server->start(options, error);
}

AccountTeamSyncTest::Account AccountTeamSyncTest::makeAccount(const QString& prefix,
                                                              AccountTestServer* server)
{
    server = server ? server : m_server.get();
    HttpTestClient client(server->clientConfiguration());
    Account account;
    account.email = QStringLiteral("%1-%2@example.com").arg(prefix).arg(++m_counter);
    const HttpTestClient::Reply reply = client.post(server->url(QStringLiteral("/api/v1/auth/register")),
                                                    {{QStringLiteral("email"), account.email},
                                                     {QStringLiteral("password"), kPassword},
                                                     {QStringLiteral("name"), prefix},
                                                     {QStringLiteral("accept_terms"), true},
                                                     {QStringLiteral("client_id"), QStringLiteral("c")}});
    account.token = reply.json.value(QStringLiteral("access_token")).toString().toLatin1();
    account.id = client.get(server->url(QStringLiteral("/api/v1/account/me")), account.token)
                     .json.value(QStringLiteral("id"))
                     .toString();
    return account;
}

bool AccountTeamSyncTest::team(const char* verb, const Account& owner, const Account& member)
{
    return m_server
               ->admin({QStringLiteral("team"), QString::fromLatin1(verb), QStringLiteral("--owner"),
                        owner.email, QStringLiteral("--member"), member.email})
               .exitCode == 0;
}

void AccountTeamSyncTest::initTestCase()
{
    if (!AccountTestServer::unavailableReason().isEmpty()) {
        QSKIP(qPrintable(AccountTestServer::unavailableReason()));
    }
    QString error;
    if (m_postgres) {
        if (!TestPostgresServer::unavailableReason().isEmpty()) {
            QSKIP(qPrintable(TestPostgresServer::unavailableReason()));
        }
        m_database = std::make_unique<TestPostgresServer>();
        QVERIFY2(m_database->start(&error), qPrintable(error));
    }
    m_server = std::make_unique<AccountTestServer>();
    QVERIFY2(startServer(m_server.get(), QStringLiteral("accounts"), &error), qPrintable(error));
    m_client = std::make_unique<HttpTestClient>(m_server->clientConfiguration());

    // Key pairs: box key filled with one letter, signing key with the next.
    const QList<QPair<QString, char>> roles = {{QStringLiteral("owner"), 'A'},
                                               {QStringLiteral("member"), 'C'},
                                               {QStringLiteral("member2"), 'E'},
                                               {QStringLiteral("removed"), 'G'},
                                               {QStringLiteral("outsider"), 'I'}};
    for (const auto& [role, fill] : roles) {
        const Account account = makeAccount(role);
        QVERIFY(!account.id.isEmpty());
        m_accounts.insert(role, account);
        const QString privateKeys = QStringLiteral("NIMBARA-KEYS-2.private-of-") + role;
        QCOMPARE(m_client
                     ->put(api(QStringLiteral("/account/sync-keys")),
                           keysBody(publicKey(fill), publicKey(static_cast<char>(fill + 1)), {}, privateKeys),
                           account.token)
                     .status,
                 200);
    }
    const Account& owner = m_accounts[QStringLiteral("owner")];
    QJsonArray keys;
    for (const QString& role :
         {QStringLiteral("member"), QStringLiteral("member2"), QStringLiteral("removed")}) {
        QVERIFY(team("add-member", owner, m_accounts[role]));
        keys.append(sealed(m_accounts[role].id, QStringLiteral("sealed-for-") + role));
    }
    QCOMPARE(m_client->put(api(QStringLiteral("/account/sync")), teamUpload(keys, 0), owner.token).status,
             200);
    QVERIFY(team("remove-member", owner, m_accounts[QStringLiteral("removed")]));
}

void AccountTeamSyncTest::cleanupTestCase()
{
    m_client.reset();
    m_server.reset();
    m_database.reset();
}

void AccountTeamSyncTest::whoReadsWhat_data()
{
    QTest::addColumn<QString>("role");
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArrayList>("present");
    QTest::addColumn<QByteArrayList>("absent");
    const auto row = [](const char* name, const char* role, const char* method, const char* path, int status,
                        const QByteArrayList& present, const QByteArrayList& absent) {
        QTest::newRow(name) << QString::fromLatin1(role) << QByteArray(method)
                            << QStringLiteral("/account/") + QString::fromLatin1(path) << status << present
                            << absent;
    };
    const QByteArray ownerId = m_accounts[QStringLiteral("owner")].id.toLatin1();
    const QByteArray ownerSign = publicKey('B').toLatin1();
    const QByteArray memberBox = publicKey('C').toLatin1();
    const QByteArray removedBox = publicKey('G').toLatin1();
    const QByteArray outsiderBox = publicKey('I').toLatin1();
    const QByteArrayList secrets = {kOwnerMarker, "private-of-owner", "sealed-for"};

    row("owner reads its payload", "owner", "GET", "sync", 200,
        {kOwnerMarker, "\"format\":2", "\"revision\":1"}, {"sealed-for", "team_payload"});
    row("member reads team data and its key", "member", "GET", "sync", 200,
        {kTeamMarker, "\"sealed_key\":\"sealed-for-member\"", "\"key_revision\":1",
         "\"account_id\":\"" + ownerId + '"'},
        {kOwnerMarker, "sealed-for-member2", "sealed-for-removed"});
    row("second member reads its own key", "member2", "GET", "sync", 200, {"sealed-for-member2"},
        {kOwnerMarker, "sealed-for-member\"", "sealed-for-removed"});
    row("outsider reads nothing", "outsider", "GET", "sync", 200, {"\"exists\":false"},
        secrets + QByteArrayList{kTeamMarker});
    row("removed member reads nothing", "removed", "GET", "sync", 200, {"\"exists\":false"},
        secrets + QByteArrayList{kTeamMarker});
    row("member may not upload", "member", "PUT", "sync", 403, {"only the team owner can upload host data"},
        {});
    row("member sees the owner's public keys", "member", "GET", "team/sync-keys", 200,
        {"\"role\":\"member\"", ownerSign, ownerId}, secrets);
    row("owner sees its members' public keys", "owner", "GET", "team/sync-keys", 200,
        {"\"role\":\"owner\"", memberBox}, secrets + QByteArrayList{removedBox, outsiderBox, "private-of"});
    row("removed member sees no team keys", "removed", "GET", "team/sync-keys", 200, {"\"members\":[]"},
        {ownerSign, ownerId});
    row("member reads only its own private keys", "member", "GET", "sync-keys", 200,
        {"private-of-member", memberBox}, {"private-of-owner"});
}

void AccountTeamSyncTest::whoReadsWhat()
{
    QFETCH(QString, role);
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(int, status);
    QFETCH(QByteArrayList, present);
    QFETCH(QByteArrayList, absent);
    const QByteArray body = method == "PUT"
                                ? json(teamUpload({}, 1, QStringLiteral("NIMBARA-SYNC-2.from-member")))
                                : QByteArray();
    const HttpTestClient::Reply reply = m_client->request(method, api(path), body, m_accounts[role].token);
    QCOMPARE(reply.status, status);
    for (const QByteArray& text : present) {
        QVERIFY2(reply.body.contains(text), reply.body.left(400).constData());
    }
    for (const QByteArray& text : absent) {
        QVERIFY2(!reply.body.contains(text), text.constData());
    }
}

void AccountTeamSyncTest::malformedBodiesStoreNothing_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("body");
    const QString keys = QStringLiteral("/account/sync-keys");
    const QString sync = QStringLiteral("/account/sync");
    const QString box = publicKey('b');
    const QString member = m_accounts[QStringLiteral("removed")].id;
    const QString outsider = m_accounts[QStringLiteral("outsider")].id;
    const QString standard =
        QString::fromLatin1(QByteArray(32, '\xfb').toBase64(QByteArray::OmitTrailingEquals));

    QTest::newRow("key of 31 bytes") << keys << json(keysBody(base64Url(QByteArray(31, 'b')), box, {}));
    QTest::newRow("key of 33 bytes") << keys << json(keysBody(box, base64Url(QByteArray(33, 'b')), {}));
    QTest::newRow("key with padding") << keys << json(keysBody(box + QLatin1Char('='), box, {}));
    QTest::newRow("key in the standard alphabet") << keys << json(keysBody(standard, box, {}));
    QTest::newRow("private keys without prefix")
        << keys << json(keysBody(box, box, {}, QStringLiteral("wrapped")));
    QTest::newRow("private keys with a line break")
        << keys << json(keysBody(box, box, {}, QStringLiteral("NIMBARA-KEYS-2.a\nb")));
    QTest::newRow("private keys too long")
        << keys
        << json(keysBody(box, box, {}, QStringLiteral("NIMBARA-KEYS-2.") + QString(4082, QLatin1Char('k'))));
    QTest::newRow("payload of the first format")
        << sync << json(teamUpload({}, 0, QStringLiteral("NIMBARA-SYNC-1.x")));
    QTest::newRow("team payload without prefix")
        << sync << json(teamUpload({}, 0, kOwnerMarker, QStringLiteral("NIMBARA-SYNC-2.x")));
    QTest::newRow("key for a non-member")
        << sync << json(teamUpload({sealed(outsider, QStringLiteral("s"))}, 0));
    QTest::newRow("member twice")
        << sync
        << json(teamUpload({sealed(member, QStringLiteral("a")), sealed(member, QStringLiteral("b"))}, 0));
    QTest::newRow("sealed key too long")
        << sync << json(teamUpload({sealed(member, QString(513, QLatin1Char('s')))}, 0));
    QTest::newRow("sealed key not ASCII")
        << sync << json(teamUpload({sealed(member, QStringLiteral("s\u00e9"))}, 0));
    QTest::newRow("old path, new format")
        << QStringLiteral("/account/host-sync") << json(firstFormUpload(kOwnerMarker, 0));
}

void AccountTeamSyncTest::malformedBodiesStoreNothing()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    // A fresh owner, with no snapshot and no keys, of the account that left the first team.
    const Account owner = makeAccount(QStringLiteral("fresh"));
    const Account& member = m_accounts[QStringLiteral("removed")];
    QVERIFY(team("add-member", owner, member));
    const auto leave = qScopeGuard([&] { team("remove-member", owner, member); });
    const HttpTestClient::Reply reply = m_client->request("PUT", api(path), body, owner.token);
    QCOMPARE(reply.status, 400);
    QVERIFY(!reply.errorText().isEmpty());
    QCOMPARE(m_client->get(api(QStringLiteral("/account/sync")), owner.token).body.left(16),
             QByteArray("{\"exists\":false,"));
    QCOMPARE(m_client->get(api(QStringLiteral("/account/sync-keys")), owner.token).body,
             QByteArray("{\"exists\":false}"));
}

void AccountTeamSyncTest::movingToTeamForm()
{
    const Account owner = makeAccount(QStringLiteral("mover"));
    const Account member = makeAccount(QStringLiteral("follower"));
    QVERIFY(team("add-member", owner, member));
    const QUrl oldPath = api(QStringLiteral("/account/host-sync"));
    const QUrl sync = api(QStringLiteral("/account/sync"));
    const QUrl keys = api(QStringLiteral("/account/sync-keys"));
    const auto v1 = [](qint64 expected) {
        return firstFormUpload(QStringLiteral("NIMBARA-SYNC-1.first-form"), expected);
    };

    // Before moving, old clients work, and the new path hands members nothing of the owner's.
    QCOMPARE(m_client->put(oldPath, v1(0), owner.token).status, 200);
    QVERIFY(m_client->get(oldPath, member.token).body.contains("first-form"));
    HttpTestClient::Reply reply = m_client->get(sync, owner.token);
    QVERIFY(reply.body.contains("\"format\":1") && reply.body.contains("first-form"));
    reply = m_client->get(sync, member.token);
    QVERIFY(reply.body.contains("\"format\":1") && reply.body.contains("\"team_payload\":\"\""));
    QVERIFY(!reply.body.contains("first-form"));

    // Keys: compare-and-set on the signing key.
    QCOMPARE(m_client->put(keys, keysBody(publicKey('a'), publicKey('b'), {}), owner.token).status, 200);
    for (const QString& expected : {QString(), publicKey('z')}) {
        reply = m_client->put(keys, keysBody(publicKey('c'), publicKey('d'), expected), owner.token);
        QCOMPARE(reply.status, 409);
        QCOMPARE(reply.errorText(), QStringLiteral("sync keys changed"));
    }
    QCOMPARE(
        m_client->put(keys, keysBody(publicKey('c'), publicKey('d'), publicKey('b')), owner.token).status,
        200);
    QCOMPARE(m_client->get(keys, owner.token).json.value(QStringLiteral("sign_public")).toString(),
             publicKey('d'));

    // Snapshot: compare-and-set on the revision, then the old path is closed to everyone.
    const QJsonArray memberKey{sealed(member.id, QStringLiteral("sealed-for-follower"))};
    for (const qint64 expected : {0, 2}) {
        reply = m_client->put(sync, teamUpload(memberKey, expected), owner.token);
        QCOMPARE(reply.status, 409);
        QCOMPARE(reply.errorText(), QStringLiteral("cloud snapshot changed"));
    }
    reply = m_client->put(sync, teamUpload(memberKey, 1), owner.token);
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.json.value(QStringLiteral("revision")).toInteger(), 2);
    QCOMPARE(m_client->put(sync, teamUpload(memberKey, 1), owner.token).status, 409);
    for (const Account& caller : {owner, member}) {
        for (const HttpTestClient::Reply& closed :
             {m_client->get(oldPath, caller.token), m_client->put(oldPath, v1(2), caller.token)}) {
            QCOMPARE(closed.status, 426);
            QCOMPARE(closed.errorText(), QStringLiteral("client update required"));
        }
    }
    QVERIFY(m_client->get(sync, member.token).body.contains("sealed-for-follower"));

    // While the owner's account is disabled, members read no team data.
    for (const QString& verb : {QStringLiteral("disable"), QStringLiteral("enable")}) {
        QCOMPARE(
            m_server->admin({QStringLiteral("user"), verb, QStringLiteral("--email"), owner.email}).exitCode,
            0);
        const int expected = verb == QLatin1String("disable") ? 403 : 200;
        QCOMPARE(m_client->get(sync, member.token).status, expected);
        QCOMPARE(m_client->get(api(QStringLiteral("/account/team/sync-keys")), member.token).status,
                 expected);
    }
    // A member that leaves takes its sealed key with it.
    QVERIFY(team("remove-member", owner, member));
    QVariant count;
    QString error;
    QVERIFY2(m_server->execSql(QStringLiteral("SELECT COUNT(*) FROM team_keys WHERE member_id = ?"),
                               {member.id}, &count, &error),
             qPrintable(error));
    QCOMPARE(count.toInt(), 0);
}

void AccountTeamSyncTest::schemaTwoDatabaseIsMigrated()
{
    AccountTestServer server;
    QString error;
    QVERIFY2(startServer(&server, QStringLiteral("migrated"), &error), qPrintable(error));
    HttpTestClient client(server.clientConfiguration());
    const QUrl oldPath = server.url(QStringLiteral("/api/v1/account/host-sync"));
    const QUrl sync = server.url(QStringLiteral("/api/v1/account/sync"));
    const QByteArray token = makeAccount(QStringLiteral("old"), &server).token;
    QCOMPARE(client.put(oldPath, firstFormUpload(QStringLiteral("NIMBARA-SYNC-1.kept"), 0), token).status,
             200);
    server.stop();
    // Back to the tables of version 2, with the snapshot in them.
    for (const QString& statement :
         {QStringLiteral("DROP TABLE team_keys"), QStringLiteral("DROP TABLE sync_keys"),
          QStringLiteral("ALTER TABLE host_snapshots DROP COLUMN team_payload"),
          QStringLiteral("ALTER TABLE host_snapshots DROP COLUMN format"),
          QStringLiteral("UPDATE schema_version SET version = 2")}) {
        QVERIFY2(server.execSql(statement, {}, nullptr, &error),
                 qPrintable(statement + QLatin1String(": ") + error));
    }
    QVERIFY2(server.restart(&error), qPrintable(error));
    QVERIFY(client.get(oldPath, token).body.contains("\"payload\":\"NIMBARA-SYNC-1.kept\""));
    const QByteArray moved = client.get(sync, token).body;
    QVERIFY(moved.contains("\"format\":1") && moved.contains("NIMBARA-SYNC-1.kept"));
    QCOMPARE(client.put(sync, teamUpload({}, 1), token).status, 200);
}

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    int failures = 0;
    {
        AccountTeamSyncTest sqlite(false);
        failures += QTest::qExec(&sqlite, argc, argv);
    }
    {
        AccountTeamSyncTest postgres(true);
        failures += QTest::qExec(&postgres, argc, argv);
    }
    return failures;
}

#include "test_account_team_sync.moc"
