#include "cloud/host_snapshot.h"
#include "cloud/host_snapshot_codec.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <sodium.h>

namespace {

const QString kPassphrase = QStringLiteral("correct horse 电池 staple");
const QString kPrefix = QStringLiteral("NIMBARA-SYNC-1.");
const QString kFormatError = QStringLiteral("同步密码或云端数据格式不正确");
const QString kDamagedError = QStringLiteral("云端加密数据已损坏");
const QString kAuthError = QStringLiteral("同步密码错误，或云端数据已被修改");
const QString kUnsupportedError = QStringLiteral("云端主机数据格式不受支持");

const auto kBase64 = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

QDateTime utc(int year, int month, int day, int hour, int minute, int second, int ms)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second, ms), Qt::UTC);
}

Remote remote(const QString& id, const QString& host, const QString& groupId, int port)
{
    Remote r;
    r.id = id;
    r.host = host;
    r.group_id = groupId;
    r.port = port;
    return r;
}

// The snapshot whose exact payload and container are kept under tests/data/cloud/.
HostSnapshot smallSnapshot()
{
    HostSnapshot s;
    s.groups.append(Group{QStringLiteral("g1"), QStringLiteral("机房 A"), 1, utc(2024, 5, 6, 7, 8, 9, 10)});
    s.groups.append(Group{QStringLiteral("g2"), QStringLiteral("Lab"), 2, QDateTime()});

    Remote full = remote(QStringLiteral("r1"), QStringLiteral("10.0.0.5"), QStringLiteral("g1"), 3389);
    full.name = QStringLiteral("数据库");
    full.username = QStringLiteral("admin");
    full.password = QStringLiteral("p\"w\\1");
    full.remark = QStringLiteral("主库\n备注");
    full.mac_address = QStringLiteral("00:11:22:33:44:55");
    full.legacy_rdp_security = true;
    full.agent_device_id = QStringLiteral("dev-1");
    full.rdp_certificate_fingerprint = QStringLiteral("AB:CD");
    full.access_scope = QStringLiteral("team");
    full.created_at = utc(2024, 5, 6, 7, 8, 9, 10);
    full.updated_at = QDateTime(QDate(2024, 5, 7), QTime(1, 2, 3), Qt::OffsetFromUTC, 8 * 3600);
    s.remotes.append(full);

    Remote bare = remote(QStringLiteral("r2"), QStringLiteral("ssh.example"), QStringLiteral("g2"), 22);
    bare.protocol = QStringLiteral("ssh");
    s.remotes.append(bare);
    return s;
}

// Every field in use: texts that need escaping, non-ASCII and empty texts, extreme numbers, null
// times and times in three kinds of zone.
HostSnapshot richSnapshot()
{
    HostSnapshot s;
    s.groups.append(
        Group{QStringLiteral("g-1"), QStringLiteral("生产 服务器 🚀"), 0, utc(2024, 3, 5, 6, 7, 8, 9)});
    s.groups.append(Group{QStringLiteral("g-2"), QStringLiteral("\"q\" \\ /\t\u0001"), -3, QDateTime()});
    s.groups.append(Group{QStringLiteral("g-3"), QStringLiteral("x"), 2147483647,
                          QDateTime(QDate(2023, 12, 31), QTime(23, 59, 59, 999), Qt::LocalTime)});

    Remote a = remote(QStringLiteral("r-ä"), QStringLiteral("主机.example"), QStringLiteral("g-1"), 65535);
    a.name = QStringLiteral("名字 🖥");
    a.username = QStringLiteral("域\\用户");
    a.password = QStringLiteral("\u0001\n\"\\ 密码🔑 </script>");
    a.remark = QStringLiteral("备注\r\n第二行");
    a.mac_address = QStringLiteral("AA-BB-CC-DD-EE-FF");
    a.legacy_rdp_security = true;
    a.protocol = QStringLiteral("ssh");
    a.agent_device_id = QStringLiteral("设备-1");
    a.rdp_certificate_fingerprint = QStringLiteral("sha256:ÄÖ");
    a.access_scope = QStringLiteral("team");
    a.created_at = utc(2020, 1, 1, 0, 0, 0, 1);
    a.updated_at = QDateTime(QDate(2021, 6, 7), QTime(8, 9, 10, 11), Qt::OffsetFromUTC, -5 * 3600);
    s.remotes.append(a);

    Remote b = remote(QStringLiteral("r-2"), QStringLiteral("10.0.0.1"), QStringLiteral("g-2"), 1);
    b.protocol = QString(); // an empty protocol travels as it is
    s.remotes.append(b);

    Remote c = remote(QStringLiteral("r-3"), QStringLiteral("::1"), QStringLiteral("g-unknown"), 3389);
    c.created_at = QDateTime(QDate(2022, 2, 2), QTime(2, 2, 2), Qt::LocalTime);
    c.updated_at = c.created_at;
    s.remotes.append(c);
    return s;
}

QString timeText(const QDateTime& time)
{
    return time.isNull() ? QStringLiteral("null") : QString::number(time.toMSecsSinceEpoch());
}

// Every field of a snapshot as text, so that a failed comparison shows which field differs.
QString describe(const HostSnapshot& s)
{
    QStringList lines;
    for (const Group& g : s.groups) {
        lines << QStringLiteral("group|%1|%2|%3|%4")
                     .arg(g.id, g.name)
                     .arg(g.sort_order)
                     .arg(timeText(g.created_at));
    }
    for (const Remote& r : s.remotes) {
        lines << QStringList{QStringLiteral("remote"),
                             r.id,
                             r.name,
                             r.host,
                             QString::number(r.port),
                             r.username,
                             r.password,
                             r.remark,
                             r.group_id,
                             r.mac_address,
                             r.legacy_rdp_security ? QStringLiteral("legacy") : QStringLiteral("modern"),
                             r.protocol,
                             r.agent_device_id,
                             r.rdp_certificate_fingerprint,
                             r.access_scope,
                             r.source_type,
                             timeText(r.created_at),
                             timeText(r.updated_at)}
                     .join(u'|');
    }
    return lines.join(u'\n');
}

QByteArray readFixture(const char* name)
{
    QFile file(QStringLiteral(NIMBARA_TEST_DATA_DIR "/cloud/") + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly)) {
        qFatal("cannot read fixture %s", name);
    }
    return file.readAll();
}

QStringList containerParts(const QString& container)
{
    return container.mid(kPrefix.size()).split(u'.');
}

QByteArray decodePart(const QString& part)
{
    return QByteArray::fromBase64(part.toLatin1(), QByteArray::Base64UrlEncoding);
}

QString container(const QByteArray& salt, const QByteArray& nonce, const QByteArray& box,
                  QByteArray::Base64Options options = kBase64)
{
    return kPrefix + QString::fromLatin1(salt.toBase64(options) + '.' + nonce.toBase64(options) + '.' +
                                         box.toBase64(options));
}

// Containers around hand-made payloads, written with libsodium directly under one derived key: they
// reach the payload checks behind a successful decryption, and they pin the container format
// independently of the encoder.
class HandMadeSealer
{
public:
    explicit HandMadeSealer(const QString& passphrase) : m_salt(crypto_pwhash_SALTBYTES, '\0')
    {
        randombytes_buf(m_salt.data(), size_t(m_salt.size()));
        const QByteArray secret = passphrase.toUtf8();
        m_ok = crypto_pwhash(m_key, sizeof m_key, secret.constData(), secret.size(),
                             reinterpret_cast<const unsigned char*>(m_salt.constData()), 2, 67108864,
                             crypto_pwhash_ALG_ARGON2ID13) == 0;
    }
    ~HandMadeSealer() { sodium_memzero(m_key, sizeof m_key); }

    bool ok() const { return m_ok; }

    QString seal(const QByteArray& payload) const
    {
        QByteArray nonce(crypto_secretbox_NONCEBYTES, '\0');
        randombytes_buf(nonce.data(), size_t(nonce.size()));
        QByteArray box(payload.size() + crypto_secretbox_MACBYTES, '\0');
        crypto_secretbox_easy(reinterpret_cast<unsigned char*>(box.data()),
                              reinterpret_cast<const unsigned char*>(payload.constData()), payload.size(),
                              reinterpret_cast<const unsigned char*>(nonce.constData()), m_key);
        return container(m_salt, nonce, box);
    }

private:
    QByteArray m_salt;
    unsigned char m_key[crypto_secretbox_KEYBYTES] = {};
    bool m_ok = false;
};

} // namespace

class TestHostSnapshotCodec : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    // Payload
    void payloadIsSortedCompactJson();
    void payloadRoundTripsEveryField();
    void payloadWritesTimesWithMilliseconds();
    void parseKeepsOnlyValidElements_data();
    void parseKeepsOnlyValidElements();
    void parseNormalisesAndDefaults();
    void parseRejectsUnsupportedPayloads_data();
    void parseRejectsUnsupportedPayloads();
    void parseReplacesBothLists();
    void digestIsSha256OfPayload();

    // Container
    void encryptionUsesFreshSaltAndNonce();
    void containerShape();
    void encryptRefusesShortPassphrase();
    void decryptRejectsMalformedContainers_data();
    void decryptRejectsMalformedContainers();
    void decryptDetectsTamperingAndWrongPassphrase_data();
    void decryptDetectsTamperingAndWrongPassphrase();
    void decryptRejectsUnsupportedPayloads();
    void decryptAcceptsPaddedBase64();
    void knownContainerStillDecrypts();

private:
    // One container of smallSnapshot() under kPassphrase, shared by the tests that alter it.
    QString m_container;
};

void TestHostSnapshotCodec::initTestCase()
{
    QVERIFY(sodium_init() >= 0);
    QString error;
    m_container = encryptHostSnapshot(smallSnapshot(), kPassphrase, &error);
    QVERIFY2(!m_container.isEmpty(), qPrintable(error));
}

void TestHostSnapshotCodec::payloadIsSortedCompactJson()
{
    const QByteArray expected = readFixture("small_snapshot.json");
    QCOMPARE(serializeHostSnapshot(smallSnapshot()), expected);
    // The fixture itself: keys in ascending order at every level, no white space outside strings.
    QVERIFY(expected.startsWith(R"({"groups":[{"created_at":"2024-05-06T07:08:09.010Z","id":"g1","name":")"));
    QVERIFY(expected.endsWith(R"("updated_at":"","username":""}],"schema":1})"));
    QVERIFY(expected.contains(QStringLiteral("机房 A").toUtf8()));
}

void TestHostSnapshotCodec::payloadRoundTripsEveryField()
{
    const HostSnapshot original = richSnapshot();
    HostSnapshot parsed;
    QString error;
    QVERIFY(parseHostSnapshot(serializeHostSnapshot(original), &parsed, &error));
    QCOMPARE(describe(parsed), describe(original));
    QVERIFY(parsed == original);
    QVERIFY(parsed.groups[1].created_at.isNull());
    QVERIFY(parsed.remotes[1].created_at.isNull());
    QVERIFY(parsed.remotes[1].updated_at.isNull());
}

void TestHostSnapshotCodec::payloadWritesTimesWithMilliseconds()
{
    HostSnapshot s;
    s.groups.append(Group{QStringLiteral("g"), QStringLiteral("n"), 0, utc(2024, 1, 2, 3, 4, 5, 0)});
    Remote r = remote(QStringLiteral("r"), QStringLiteral("h"), QStringLiteral("g"), 3389);
    r.created_at = QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5, 678), Qt::OffsetFromUTC, 8 * 3600);
    r.source_type = QStringLiteral("vantrel");
    s.remotes.append(r);

    const QByteArray json = serializeHostSnapshot(s);
    QVERIFY2(json.contains(R"("created_at":"2024-01-02T03:04:05.000Z","id":"g")"), json.constData());
    QVERIFY2(json.contains(R"("created_at":"2024-01-02T03:04:05.678+08:00")"), json.constData());
    QVERIFY2(json.contains(R"("updated_at":"")"), json.constData());
    QVERIFY2(!json.contains("source_type") && !json.contains("vantrel"), json.constData());
}

void TestHostSnapshotCodec::parseKeepsOnlyValidElements_data()
{
    QTest::addColumn<QByteArray>("element");
    QTest::addColumn<bool>("isGroup");
    QTest::addColumn<bool>("kept");

    const QByteArray host = R"({"id":"r","host":"h","group_id":"g","port":)";
    QTest::newRow("port 1") << host + "1}" << false << true;
    QTest::newRow("port 65535") << host + "65535}" << false << true;
    QTest::newRow("port 0") << host + "0}" << false << false;
    QTest::newRow("port 65536") << host + "65536}" << false << false;
    QTest::newRow("negative port") << host + "-22}" << false << false;
    QTest::newRow("fractional port") << host + "22.5}" << false << false;
    QTest::newRow("port as text") << host + R"("22"})" << false << false;
    QTest::newRow("missing port") << QByteArray(R"({"id":"r","host":"h","group_id":"g"})") << false << false;
    QTest::newRow("empty group_id") << QByteArray(R"({"id":"r","host":"h","group_id":"","port":22})") << false
                                    << false;
    QTest::newRow("missing host") << QByteArray(R"({"id":"r","group_id":"g","port":22})") << false << false;
    QTest::newRow("host not text") << QByteArray(R"({"id":"r","host":7,"group_id":"g","port":22})") << false
                                   << false;
    QTest::newRow("missing id") << QByteArray(R"({"host":"h","group_id":"g","port":22})") << false << false;
    QTest::newRow("host not an object") << QByteArray(R"("r")") << false << false;

    QTest::newRow("group") << QByteArray(R"({"id":"g","name":"n"})") << true << true;
    QTest::newRow("group without name") << QByteArray(R"({"id":"g"})") << true << false;
    QTest::newRow("group with empty name") << QByteArray(R"({"id":"g","name":""})") << true << false;
    QTest::newRow("group without id") << QByteArray(R"({"name":"n"})") << true << false;
    QTest::newRow("group not an object") << QByteArray("null") << true << false;
}

void TestHostSnapshotCodec::parseKeepsOnlyValidElements()
{
    QFETCH(QByteArray, element);
    QFETCH(bool, isGroup);
    QFETCH(bool, kept);

    // A valid neighbour on each side shows that one bad element does not take the others along.
    const QByteArray groups =
        R"({"id":"a","name":"A"},)" + (isGroup ? element + "," : QByteArray()) + R"({"id":"z","name":"Z"})";
    const QByteArray remotes = R"({"id":"ra","host":"a","group_id":"a","port":1},)" +
                               (isGroup ? QByteArray() : element + ",") +
                               R"({"id":"rz","host":"z","group_id":"z","port":2})";
    const QByteArray json = R"({"schema":1,"groups":[)" + groups + R"(],"remotes":[)" + remotes + "]}";

    HostSnapshot parsed;
    QString error;
    QVERIFY2(parseHostSnapshot(json, &parsed, &error), qPrintable(error));
    QCOMPARE(parsed.groups.size(), isGroup && kept ? 3 : 2);
    QCOMPARE(parsed.remotes.size(), !isGroup && kept ? 3 : 2);
    QCOMPARE(parsed.groups.first().id, QStringLiteral("a"));
    QCOMPARE(parsed.groups.last().id, QStringLiteral("z"));
    QCOMPARE(parsed.remotes.first().id, QStringLiteral("ra"));
    QCOMPARE(parsed.remotes.last().id, QStringLiteral("rz"));
}

void TestHostSnapshotCodec::parseNormalisesAndDefaults()
{
    const QByteArray json = R"({"schema":1,
        "groups":[{"id":"g","name":"n","created_at":"yesterday"}],
        "remotes":[
            {"id":"1","host":"h","group_id":"g","port":22,"access_scope":"team","protocol":"ssh"},
            {"id":"2","host":"h","group_id":"g","port":22,"access_scope":"Team"},
            {"id":"3","host":"h","group_id":"g","port":22,"access_scope":"everyone"},
            {"id":"4","host":"h","group_id":"g","port":22,"access_scope":true,"protocol":5},
            {"id":"5","host":"h","group_id":"g","port":22,"source_type":"vantrel","legacy":"yes",
             "created_at":"2024-13-01T00:00:00Z","updated_at":"2024-01-02T03:04:05Z"}]})";
    HostSnapshot parsed;
    QString error;
    QVERIFY2(parseHostSnapshot(json, &parsed, &error), qPrintable(error));
    QCOMPARE(parsed.groups.size(), 1);
    QCOMPARE(parsed.groups[0].sort_order, 0);
    QVERIFY(parsed.groups[0].created_at.isNull());
    QCOMPARE(parsed.remotes.size(), 5);

    QStringList scopes;
    QStringList protocols;
    for (const Remote& r : parsed.remotes) {
        scopes << r.access_scope;
        protocols << r.protocol;
        QCOMPARE(r.source_type, QStringLiteral("manual"));
        QCOMPARE(r.legacy_rdp_security, false);
        QCOMPARE(r.name, QString());
        QCOMPARE(r.password, QString());
    }
    QCOMPARE(scopes, QStringList({"team", "owner", "owner", "owner", "owner"}));
    QCOMPARE(protocols, QStringList({"ssh", "rdp", "rdp", "rdp", "rdp"}));
    QVERIFY(parsed.remotes[4].created_at.isNull());
    QCOMPARE(parsed.remotes[4].updated_at, utc(2024, 1, 2, 3, 4, 5, 0));

    // Writing normalises the scope as reading does.
    HostSnapshot upper;
    upper.remotes.append(remote(QStringLiteral("r"), QStringLiteral("h"), QStringLiteral("g"), 22));
    upper.remotes[0].access_scope = QStringLiteral("TEAM");
    QVERIFY(serializeHostSnapshot(upper).contains(R"("access_scope":"owner")"));
}

void TestHostSnapshotCodec::parseRejectsUnsupportedPayloads_data()
{
    QTest::addColumn<QByteArray>("json");
    const QByteArray valid = serializeHostSnapshot(smallSnapshot());
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("not JSON") << QByteArray("groups: []");
    QTest::newRow("truncated") << valid.left(valid.size() - 1);
    QTest::newRow("trailing garbage") << valid + "x";
    QTest::newRow("array") << QByteArray(R"([{"schema":1}])");
    QTest::newRow("no schema") << QByteArray(R"({"groups":[],"remotes":[]})");
    QTest::newRow("schema 0") << QByteArray(R"({"schema":0,"groups":[],"remotes":[]})");
    QTest::newRow("schema 2") << QByteArray(R"({"schema":2,"groups":[],"remotes":[]})");
    QTest::newRow("schema as text") << QByteArray(R"({"schema":"1","groups":[],"remotes":[]})");
    QTest::newRow("schema 1.5") << QByteArray(R"({"schema":1.5,"groups":[],"remotes":[]})");
}

void TestHostSnapshotCodec::parseRejectsUnsupportedPayloads()
{
    QFETCH(QByteArray, json);
    HostSnapshot snapshot = smallSnapshot();
    QString error;
    QVERIFY(!parseHostSnapshot(json, &snapshot, &error));
    QCOMPARE(error, kUnsupportedError);
    QVERIFY(snapshot == smallSnapshot());
}

void TestHostSnapshotCodec::parseReplacesBothLists()
{
    HostSnapshot snapshot = smallSnapshot();
    QString error;
    QVERIFY(parseHostSnapshot(R"({"schema":1.0})", &snapshot, &error));
    QVERIFY(snapshot.groups.isEmpty());
    QVERIFY(snapshot.remotes.isEmpty());
    QVERIFY(error.isEmpty());

    QVERIFY(
        parseHostSnapshot(R"({"schema":1,"groups":{"id":"g","name":"n"},"remotes":"x"})", &snapshot, &error));
    QVERIFY(snapshot.groups.isEmpty());
    QVERIFY(snapshot.remotes.isEmpty());
}

void TestHostSnapshotCodec::digestIsSha256OfPayload()
{
    const HostSnapshot snapshot = richSnapshot();
    const QString digest = snapshotDigest(snapshot);
    QCOMPARE(
        digest,
        QString::fromLatin1(
            QCryptographicHash::hash(serializeHostSnapshot(snapshot), QCryptographicHash::Sha256).toHex()));
    QVERIFY2(QRegularExpression(QStringLiteral("^[0-9a-f]{64}$")).match(digest).hasMatch(),
             qPrintable(digest));
    QCOMPARE(snapshotDigest(richSnapshot()), digest);
    QCOMPARE(snapshotDigest(HostSnapshot{}), snapshotDigest(HostSnapshot{}));

    // Anything that travels changes it, the password too; what does not travel leaves it alone.
    HostSnapshot changed = snapshot;
    changed.remotes[0].password += u'x';
    QVERIFY(snapshotDigest(changed) != digest);
    changed = snapshot;
    changed.groups[1].created_at = utc(2024, 1, 1, 0, 0, 0, 0);
    QVERIFY(snapshotDigest(changed) != digest);
    changed = snapshot;
    changed.remotes[0].source_type = QStringLiteral("vantrel");
    QCOMPARE(snapshotDigest(changed), digest);
}

void TestHostSnapshotCodec::encryptionUsesFreshSaltAndNonce()
{
    // Exactly 12 UTF-16 units, four of them surrogate pairs: the length counts units, not characters.
    const QString passphrase = QStringLiteral("🔑🔒密码🗝🔐ab");
    QCOMPARE(passphrase.size(), 12);

    const HostSnapshot original = richSnapshot();
    QString error;
    const QString first = encryptHostSnapshot(original, passphrase, &error);
    QVERIFY2(!first.isEmpty(), qPrintable(error));
    const QString second = encryptHostSnapshot(original, passphrase, &error);
    QVERIFY2(!second.isEmpty(), qPrintable(error));

    QVERIFY(first != second);
    const QStringList a = containerParts(first);
    const QStringList b = containerParts(second);
    QVERIFY(a[0] != b[0]);
    QVERIFY(a[1] != b[1]);

    for (const QString& text : {first, second}) {
        HostSnapshot decrypted;
        QVERIFY2(decryptHostSnapshot(text, passphrase, &decrypted, &error), qPrintable(error));
        QCOMPARE(describe(decrypted), describe(original));
    }
}

void TestHostSnapshotCodec::containerShape()
{
    QVERIFY(m_container.startsWith(kPrefix));
    QVERIFY(!m_container.contains(u'='));
    const QStringList parts = containerParts(m_container);
    QCOMPARE(parts.size(), 3);
    const QRegularExpression alphabet(QStringLiteral("^[A-Za-z0-9_-]+$"));
    for (const QString& part : parts) {
        QVERIFY2(alphabet.match(part).hasMatch(), qPrintable(part));
    }
    const qsizetype boxSize = serializeHostSnapshot(smallSnapshot()).size() + 16;
    QCOMPARE(parts[0].size(), 22);
    QCOMPARE(parts[1].size(), 32);
    QCOMPARE(parts[2].size(), (boxSize * 4 + 2) / 3);
    QCOMPARE(decodePart(parts[0]).size(), 16);
    QCOMPARE(decodePart(parts[1]).size(), 24);
    QCOMPARE(decodePart(parts[2]).size(), boxSize);
}

void TestHostSnapshotCodec::encryptRefusesShortPassphrase()
{
    for (const QString& passphrase :
         {QString(), QStringLiteral("elevenchars"), QStringLiteral("🔑🔒🗝🔐🔏a")}) {
        QCOMPARE(passphrase.size() < 12, true);
        QString error;
        QCOMPARE(encryptHostSnapshot(smallSnapshot(), passphrase, &error), QString());
        QCOMPARE(error, QStringLiteral("同步密码至少需要 12 个字符"));
    }
}

void TestHostSnapshotCodec::decryptRejectsMalformedContainers_data()
{
    QTest::addColumn<QString>("container");
    QTest::addColumn<QString>("passphrase");
    QTest::addColumn<QString>("expectedError");

    const QStringList parts = containerParts(m_container);
    const QByteArray salt = decodePart(parts[0]);
    const QByteArray nonce = decodePart(parts[1]);
    const QByteArray box = decodePart(parts[2]);
    const QString rest = m_container.mid(kPrefix.size());

    QTest::newRow("empty") << QString() << kPassphrase << kFormatError;
    QTest::newRow("prefix in lower case")
        << QStringLiteral("nimbara-sync-1.") + rest << kPassphrase << kFormatError;
    QTest::newRow("prefix in mixed case")
        << QStringLiteral("Nimbara-Sync-1.") + rest << kPassphrase << kFormatError;
    QTest::newRow("other version") << QStringLiteral("NIMBARA-SYNC-2.") + rest << kPassphrase << kFormatError;
    QTest::newRow("leading space") << QStringLiteral(" ") + m_container << kPassphrase << kFormatError;
    QTest::newRow("2 parts") << kPrefix + parts[0] + u'.' + parts[1] << kPassphrase << kFormatError;
    QTest::newRow("2 parts, salt and nonce joined")
        << kPrefix + parts[0] + parts[1] + u'.' + parts[2] << kPassphrase << kFormatError;
    QTest::newRow("4 parts") << m_container + QStringLiteral(".AAAA") << kPassphrase << kFormatError;
    QTest::newRow("4 parts, last empty") << m_container + u'.' << kPassphrase << kFormatError;
    QTest::newRow("passphrase of 11") << m_container << kPassphrase.left(11) << kFormatError;
    QTest::newRow("empty passphrase") << m_container << QString() << kFormatError;

    QTest::newRow("salt of 15") << container(salt.left(15), nonce, box) << kPassphrase << kDamagedError;
    QTest::newRow("salt of 17") << container(salt + 'x', nonce, box) << kPassphrase << kDamagedError;
    QTest::newRow("nonce of 23") << container(salt, nonce.left(23), box) << kPassphrase << kDamagedError;
    QTest::newRow("nonce of 25") << container(salt, nonce + 'x', box) << kPassphrase << kDamagedError;
    QTest::newRow("box of 16") << container(salt, nonce, box.left(16)) << kPassphrase << kDamagedError;
    QTest::newRow("empty box") << container(salt, nonce, QByteArray()) << kPassphrase << kDamagedError;
    QTest::newRow("empty parts") << kPrefix + QStringLiteral("..") << kPassphrase << kDamagedError;
    QTest::newRow("standard alphabet")
        << container(salt, nonce, box, QByteArray::Base64Encoding) + u'+' << kPassphrase << kDamagedError;
    QTest::newRow("character outside the alphabet")
        << kPrefix + parts[0] + u'.' + parts[1] + u'.' + parts[2].left(20) + u'*' + parts[2].mid(20)
        << kPassphrase << kDamagedError;
}

void TestHostSnapshotCodec::decryptRejectsMalformedContainers()
{
    QFETCH(QString, container);
    QFETCH(QString, passphrase);
    QFETCH(QString, expectedError);

    HostSnapshot snapshot = richSnapshot();
    QString error;
    QVERIFY(!decryptHostSnapshot(container, passphrase, &snapshot, &error));
    QCOMPARE(error, expectedError);
    QVERIFY(snapshot == richSnapshot());
}

void TestHostSnapshotCodec::decryptDetectsTamperingAndWrongPassphrase_data()
{
    QTest::addColumn<QString>("container");
    QTest::addColumn<QString>("passphrase");

    const QStringList parts = containerParts(m_container);
    const QByteArray salt = decodePart(parts[0]);
    const QByteArray nonce = decodePart(parts[1]);
    const QByteArray box = decodePart(parts[2]);
    const auto flipped = [](QByteArray bytes, qsizetype at) {
        bytes[at] = char(bytes.at(at) ^ 0x01);
        return bytes;
    };

    QTest::newRow("salt byte flipped") << container(flipped(salt, 0), nonce, box) << kPassphrase;
    QTest::newRow("nonce byte flipped") << container(salt, flipped(nonce, 23), box) << kPassphrase;
    QTest::newRow("tag byte flipped") << container(salt, nonce, flipped(box, 5)) << kPassphrase;
    QTest::newRow("ciphertext byte flipped")
        << container(salt, nonce, flipped(box, box.size() - 1)) << kPassphrase;
    QTest::newRow("wrong passphrase") << m_container << kPassphrase + u' ';
}

void TestHostSnapshotCodec::decryptDetectsTamperingAndWrongPassphrase()
{
    QFETCH(QString, container);
    QFETCH(QString, passphrase);

    HostSnapshot snapshot = richSnapshot();
    QString error;
    QVERIFY(!decryptHostSnapshot(container, passphrase, &snapshot, &error));
    QCOMPARE(error, kAuthError);
    QVERIFY(snapshot == richSnapshot());
}

void TestHostSnapshotCodec::decryptRejectsUnsupportedPayloads()
{
    const HandMadeSealer sealer(kPassphrase);
    QVERIFY(sealer.ok());

    // The hand-made container of a valid payload opens: the sealer writes the real format.
    HostSnapshot snapshot;
    QString error;
    QVERIFY2(decryptHostSnapshot(sealer.seal(serializeHostSnapshot(smallSnapshot())), kPassphrase, &snapshot,
                                 &error),
             qPrintable(error));
    QCOMPARE(describe(snapshot), describe(smallSnapshot()));

    const QByteArray schema2 = R"({"groups":[{"id":"g","name":"n"}],"remotes":[],"schema":2})";
    for (const QByteArray& payload : {schema2, QByteArray("{\"schema\":1,")}) {
        snapshot = smallSnapshot();
        error.clear();
        QVERIFY(!decryptHostSnapshot(sealer.seal(payload), kPassphrase, &snapshot, &error));
        QCOMPARE(error, kUnsupportedError);
        QVERIFY(snapshot == smallSnapshot());
    }
}

void TestHostSnapshotCodec::decryptAcceptsPaddedBase64()
{
    const QStringList parts = containerParts(m_container);
    const QString padded = container(decodePart(parts[0]), decodePart(parts[1]), decodePart(parts[2]),
                                     QByteArray::Base64UrlEncoding);
    QVERIFY(padded.contains(QStringLiteral("==.")));

    HostSnapshot snapshot;
    QString error;
    QVERIFY2(decryptHostSnapshot(padded, kPassphrase, &snapshot, &error), qPrintable(error));
    QCOMPARE(describe(snapshot), describe(smallSnapshot()));
}

void TestHostSnapshotCodec::knownContainerStillDecrypts()
{
    // Written once by this codec; other computers hold containers like it, so it must keep opening.
    const QString known = QString::fromLatin1(readFixture("small_snapshot.container").trimmed());
    HostSnapshot snapshot;
    QString error;
    QVERIFY2(decryptHostSnapshot(known, QStringLiteral("云同步 known-answer 密码"), &snapshot, &error),
             qPrintable(error));
    QCOMPARE(describe(snapshot), describe(smallSnapshot()));
    QCOMPARE(serializeHostSnapshot(snapshot), readFixture("small_snapshot.json"));
}

QTEST_GUILESS_MAIN(TestHostSnapshotCodec)
#include "test_host_snapshot_codec.moc"
