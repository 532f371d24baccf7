// The signed snapshots and the wrapped account keys: what opens, and every way a passphrase holder, a
// team member or the server could try to make a computer accept something else.

#include "cloud/signed_snapshot_codec.h"
#include "cloud/sync_identity.h"

#include <QTest>

namespace {

const QString kPassphrase = QStringLiteral("同步密码 long enough");
const QString kOwnerId = QStringLiteral("owner-1");

Remote host(const QString& id, const QString& scope, const QString& group)
{
    Remote remote;
    remote.id = id;
    remote.name = id;
    remote.host = id + QStringLiteral(".example");
    remote.password = QStringLiteral("secret-") + id;
    remote.group_id = group;
    remote.access_scope = scope;
    remote.created_at = QDateTime(QDate(2026, 1, 1), QTime(8, 0), Qt::UTC);
    remote.updated_at = remote.created_at;
    return remote;
}

SyncIdentity make()
{
    QString error;
    std::optional<SyncIdentity> identity = SyncIdentity::generate(&error);
    if (!identity) {
        qFatal("%s", qPrintable(error));
    }
    return *identity;
}

// Flips one character of the part `index` (0 nonce, 1 box, 2 signature) of a container.
QString altered(const QString& container, int index)
{
    const qsizetype prefix = container.indexOf(u'.') + 1;
    QStringList parts = container.mid(prefix).split(u'.');
    QString& part = parts[index];
    part[part.size() / 2] = part[part.size() / 2] == u'A' ? u'B' : u'A';
    return container.left(prefix) + parts.join(u'.');
}

} // namespace

class TestSignedSnapshotCodec : public QObject
{
    Q_OBJECT

private slots:
    void wrappedKeysOpenOnlyAsWrapped()
    {
        const SyncIdentity owner = make();
        const SyncIdentity other = make();
        QString error;
        const QString wrapped = owner.wrap(kOwnerId, kPassphrase, &error);
        QVERIFY2(wrapped.startsWith(QLatin1String("NIMBARA-KEYS-2.")), qPrintable(error));

        const std::optional<SyncIdentity> opened = SyncIdentity::unwrap(
            wrapped, kOwnerId, owner.boxPublic(), owner.signPublic(), kPassphrase, &error);
        QVERIFY2(opened, qPrintable(error));
        QCOMPARE(opened->fingerprint(), owner.fingerprint());
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(opened->vaultKey()), 32),
                 QByteArray(reinterpret_cast<const char*>(owner.vaultKey()), 32));

        struct Case
        {
            const char* name;
            QString accountId;
            QByteArray boxPublic;
            QByteArray signPublic;
            QString passphrase;
        };
        const Case refused[] = {
            {"wrong passphrase", kOwnerId, owner.boxPublic(), owner.signPublic(), kPassphrase + u'!'},
            {"moved to another account", QStringLiteral("owner-2"), owner.boxPublic(), owner.signPublic(),
             kPassphrase},
            {"public keys swapped by the server", kOwnerId, other.boxPublic(), other.signPublic(),
             kPassphrase},
        };
        for (const Case& c : refused) {
            error.clear();
            QVERIFY2(
                !SyncIdentity::unwrap(wrapped, c.accountId, c.boxPublic, c.signPublic, c.passphrase, &error),
                c.name);
            QCOMPARE(error, QStringLiteral("同步密码错误，或云端数据已被修改"));
        }
        QVERIFY(!SyncIdentity::unwrap(altered(wrapped, 2), kOwnerId, owner.boxPublic(), owner.signPublic(),
                                      kPassphrase, &error));
        QVERIFY(owner.fingerprint().contains(u' '));
        QVERIFY(owner.fingerprint() != other.fingerprint());
    }

    void onlyTheOwnersSnapshotOpens_data()
    {
        QTest::addColumn<QString>("tamper");
        QTest::addColumn<bool>("opens");
        QTest::newRow("as uploaded") << "none" << true;
        QTest::newRow("box altered") << "box" << false;
        QTest::newRow("signature altered") << "signature" << false;
        QTest::newRow("replayed as another revision") << "revision" << false;
        QTest::newRow("moved to another account") << "account" << false;
        QTest::newRow("forged by a member with the team key") << "forged" << false;
        QTest::newRow("key sealed to another member") << "other key" << false;
    }

    void onlyTheOwnersSnapshotOpens()
    {
        QFETCH(QString, tamper);
        QFETCH(bool, opens);
        const SyncIdentity owner = make();
        const SyncIdentity member = make();
        const SyncIdentity otherMember = make();
        HostSnapshot full;
        full.groups = {Group{QStringLiteral("g-team"), QStringLiteral("共享"), 0, {}},
                       Group{QStringLiteral("g-private"), QStringLiteral("私有"), 1, {}}};
        full.remotes = {
            host(QStringLiteral("shared"), QStringLiteral("team"), QStringLiteral("g-team")),
            host(QStringLiteral("private"), QStringLiteral("owner"), QStringLiteral("g-private"))};
        const HostSnapshot team = teamShare(full);
        QCOMPARE(team.remotes.size(), 1);
        QCOMPARE(team.groups.size(), 1);

        QString error;
        const qint64 revision = 5;
        const std::optional<TeamUpload> upload = sealTeamSnapshot(
            team, owner, kOwnerId, revision,
            {{QStringLiteral("m1"), member.boxPublic()}, {QStringLiteral("m2"), otherMember.boxPublic()}},
            &error);
        QVERIFY2(upload && upload->keys.size() == 2, qPrintable(error));
        // The owner-only host is in neither the container nor anything sealed to a member.
        QString container = upload->container;
        QString sealedKey = upload->keys.first().sealed;
        QString accountId = kOwnerId;
        qint64 openedRevision = revision;
        if (tamper == QLatin1String("box")) {
            container = altered(container, 1);
        } else if (tamper == QLatin1String("signature")) {
            container = altered(container, 2);
        } else if (tamper == QLatin1String("revision")) {
            openedRevision = revision + 1;
        } else if (tamper == QLatin1String("account")) {
            accountId = QStringLiteral("owner-2");
        } else if (tamper == QLatin1String("forged")) {
            // A member seals its own snapshot (pointing a host at its own machine) with a key it knows.
            HostSnapshot forged = team;
            forged.remotes.first().host = QStringLiteral("attacker.example");
            const std::optional<TeamUpload> fake = sealTeamSnapshot(
                forged, member, kOwnerId, revision, {{QStringLiteral("m1"), member.boxPublic()}}, &error);
            QVERIFY(fake);
            container = fake->container;
            sealedKey = fake->keys.first().sealed;
        } else if (tamper == QLatin1String("other key")) {
            sealedKey = upload->keys.last().sealed;
        }
        HostSnapshot opened;
        error.clear();
        QCOMPARE(openTeamSnapshot(container, sealedKey, member, owner.signPublic(), accountId, openedRevision,
                                  &opened, &error),
                 opens);
        if (opens) {
            QCOMPARE(opened, team);
        } else {
            QVERIFY(!error.isEmpty());
            QVERIFY(opened.remotes.isEmpty());
        }

        // The full snapshot opens only with the owner's own keys, under the same rules.
        const QString fullContainer = sealFullSnapshot(full, owner, kOwnerId, revision, &error);
        QVERIFY(fullContainer.startsWith(QLatin1String("NIMBARA-SYNC-2.")));
        QVERIFY(!fullContainer.contains(upload->container.mid(16, 40)));
        HostSnapshot mine;
        QVERIFY(openFullSnapshot(fullContainer, owner, kOwnerId, revision, &mine, &error));
        QCOMPARE(mine, full);
        QVERIFY(!openFullSnapshot(fullContainer, member, kOwnerId, revision, &mine, &error));
        QVERIFY(!openFullSnapshot(fullContainer, owner, kOwnerId, revision - 1, &mine, &error));
    }
};

QTEST_GUILESS_MAIN(TestSignedSnapshotCodec)
#include "test_signed_snapshot_codec.moc"
