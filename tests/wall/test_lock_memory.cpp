#include "wall/screen_wall_window.h"

#include "rdp/rdp_error_text.h"
#include "rdp/rdp_tile.h"
#include "rdp/system_rdp_session.h"
#include "storage/app_lock.h"
#include "storage/crypto_manager.h"
#include "storage/database_manager.h"
#include "storage/master_key_record.h"
#include "support/fake_certificate_probe.h"
#include "support/fake_data_protection.h"
#include "support/fake_rdp_control.h"
#include "support/rdp_test_server.h"
#include "support/test_environment.h"

#include <QDir>
#include <QLabel>
#include <QPointer>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sodium.h>
#include <unistd.h>

namespace {

constexpr int kPeerTimeoutMs = 30000;
const QString kUser = QStringLiteral("tester");
const QString kDomain = QStringLiteral("NIMBARA");
const QString kMaster = QStringLiteral("master-Passw0rd");
const QString kHostId = QStringLiteral("locked-host");

// A password long and random enough to occur nowhere by chance.
QString randomMarker()
{
    static const char alphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz23456789";
    QString marker = QStringLiteral("Mk-");
    for (int i = 0; i < 40; ++i) {
        marker.append(QLatin1Char(alphabet[QRandomGenerator::global()->bounded(int(sizeof(alphabet) - 1))]));
    }
    return marker;
}

// How often `needle` occurs in the readable private mappings of `pid`, and where.
struct MemoryHits
{
    int count = 0;
    QStringList where;
};

MemoryHits searchMemory(qint64 pid, const QByteArray& needle)
{
    MemoryHits hits;
    QFile maps(QStringLiteral("/proc/%1/maps").arg(pid));
    QFile mem(QStringLiteral("/proc/%1/mem").arg(pid));
    if (!maps.open(QIODevice::ReadOnly) || !mem.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        hits.count = -1;
        return hits;
    }
    const QList<QByteArray> lines = maps.readAll().split('\n');
    for (const QByteArray& line : lines) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 5 || fields[1].size() < 4 || fields[1][0] != 'r' || fields[1][3] != 'p') {
            continue;
        }
        const QList<QByteArray> range = fields[0].split('-');
        const quint64 start = range.value(0).toULongLong(nullptr, 16);
        const quint64 end = range.value(1).toULongLong(nullptr, 16);
        if (!mem.seek(qint64(start))) {
            continue;
        }
        const QByteArray bytes = mem.read(qint64(end - start));
        for (qsizetype at = bytes.indexOf(needle); at >= 0; at = bytes.indexOf(needle, at + 1)) {
            ++hits.count;
            hits.where.append(QStringLiteral("%1+0x%2 %3")
                                  .arg(QString::fromLatin1(fields.value(5, "[anon]")))
                                  .arg(at, 0, 16)
                                  .arg(QString::fromLatin1(fields[0])));
        }
    }
    return hits;
}

QByteArray utf16le(const QString& text)
{
    return QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
}

Remote lockedHost(quint16 port, const QString& password)
{
    Remote remote;
    remote.id = kHostId;
    remote.name = QStringLiteral("locked");
    remote.host = QStringLiteral("127.0.0.1");
    remote.port = port;
    remote.username = kDomain + QLatin1Char('\\') + kUser;
    remote.password = password;
    return remote;
}

// Waits for one line on the harness's output.
bool waitForLine(QProcess& process, const QByteArray& expected)
{
    return QTest::qWaitFor(
        [&] { return process.canReadLine() ? process.readLine().trimmed() == expected : false; },
        kPeerTimeoutMs);
}

} // namespace

// Locking the program wipes the host passwords its sessions hold, while they keep running; a
// reconnection afterwards reads the password from the database again, and only once unlocked. Against
// freerdp-shadow-cli with NLA, which lets only the right password in.
class TestLockMemory : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_root;
    ScopedEnvironment m_env;
    TestXDisplay m_display;
    TestRdpServer m_server;
    QString m_skipReason;
    QString m_marker = randomMarker();

    QString dataFolder() const { return m_root.filePath(QStringLiteral("data")); }

    // The key file under the master password and the database with one host, as the program keeps them.
    bool prepareData()
    {
        MasterKeyRecord::setSealingLimits({crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN});
        QDir().mkpath(dataFolder());
        const QDir data(dataFolder());
        CryptoManager crypto(std::make_unique<FakeDataProtection>());
        QString error;
        if (!crypto.initialize(data.filePath(QStringLiteral("credential.key"))) ||
            !crypto.setMasterPassword(QString(), kMaster, &error)) {
            return false;
        }
        DatabaseManager database;
        Remote host = lockedHost(m_server.port(), m_marker);
        host.group_id = QStringLiteral("servers");
        return database.initialize(data.filePath(QStringLiteral("data.db")), &crypto) &&
               database.addGroup({host.group_id, QStringLiteral("Servers"), 0, {}}) &&
               database.addRemote(host);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        isolateProcess(m_env, m_root.path());
        silenceFreeRdpLog(m_env);
        QString error;
        const QString samFile = m_root.filePath(QStringLiteral("users.sam"));
        writeFile(samFile, samEntry(kUser, kDomain, m_marker));
        if (!m_display.start(&error)) {
            m_skipReason = QStringLiteral("no X display: ") + error;
        } else if (!m_server.start(m_display.name(),
                                   {QStringLiteral("/sec:nla"), QStringLiteral("-auth"),
                                    QStringLiteral("/sam-file:%1").arg(samFile)},
                                   &error)) {
            m_skipReason = QStringLiteral("no RDP server: ") + error;
        }
        if (m_skipReason.isEmpty()) {
            QVERIFY(prepareData());
        }
    }

    void init()
    {
        if (!m_skipReason.isEmpty()) {
            QSKIP(qPrintable(m_skipReason));
        }
    }

    // The password is in the program's memory while a session runs (the search finds it), and nowhere
    // in it, in UTF-8 or UTF-16, once the program is locked.
    void lockLeavesNoPasswordInMemory()
    {
        if (::geteuid() != 0) {
            QSKIP("reading another process's memory needs root");
        }
        QProcess harness;
        harness.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        harness.start(QStringLiteral(NIMBARA_BINARY_DIR "/nimbara-lock-memory-harness"), {dataFolder()});
        QVERIFY2(harness.waitForStarted(), qPrintable(harness.errorString()));
        harness.write(kMaster.toUtf8() + '\n');
        QVERIFY(waitForLine(harness, "connected"));

        const QByteArray utf8 = m_marker.toUtf8();
        const QByteArray utf16 = utf16le(m_marker);
        // The search works: the session's copies are found.
        const int beforeUtf8 = searchMemory(harness.processId(), utf8).count;
        const int beforeUtf16 = searchMemory(harness.processId(), utf16).count;
        qInfo("before the lock: %d copies in UTF-8, %d in UTF-16", beforeUtf8, beforeUtf16);
        QVERIFY(beforeUtf8 > 0);
        QVERIFY(beforeUtf16 > 0);

        harness.write("lock\n");
        QVERIFY(waitForLine(harness, "locked"));
        const MemoryHits inUtf8 = searchMemory(harness.processId(), utf8);
        const MemoryHits inUtf16 = searchMemory(harness.processId(), utf16);
        qInfo("after the lock: %d copies in UTF-8, %d in UTF-16", inUtf8.count, inUtf16.count);
        harness.write("quit\n");
        QVERIFY(harness.waitForFinished(kPeerTimeoutMs));
        QVERIFY2(inUtf8.count == 0, qPrintable(inUtf8.where.join(QLatin1Char('\n'))));
        QVERIFY2(inUtf16.count == 0, qPrintable(inUtf16.where.join(QLatin1Char('\n'))));
    }

    void lockWipesHoldersAndReconnectWaitsForUnlock_data()
    {
        QTest::addColumn<bool>("embedded");
        QTest::newRow("embedded session, connected") << true;
        QTest::newRow("system session, checking the certificate") << false;
    }

    // After locked() no holder keeps the password and a running session goes on; a reconnection while
    // locked starts nothing and says why; after the unlock it reads the password from the database.
    void lockWipesHoldersAndReconnectWaitsForUnlock()
    {
        QFETCH(bool, embedded);
        CryptoManager crypto(std::make_unique<FakeDataProtection>());
        DatabaseManager database;
        const QDir data(dataFolder());
        QVERIFY(crypto.initialize(data.filePath(QStringLiteral("credential.key"))));
        QVERIFY(crypto.unlock(kMaster));
        QVERIFY(database.initialize(data.filePath(QStringLiteral("data.db")), &crypto));
        AppLock appLock(&crypto);

        QPointer<FakeRdpControl> control;
        QList<QPointer<FakeCertificateProbe>> probes;
        const RdpEngine engine = embedded ? RdpEngine::FreeRdp : RdpEngine::System;
        QPointer<ScreenWallWindow> wall = new ScreenWallWindow(
            database.getAllRemotes(), QSize(1024, 768), 32, false, engine, nullptr,
            [&](const Remote& remote, QSize size, int depth, QWidget* parent, RdpEngine tileEngine,
                bool mixed) {
                return new RdpTile(remote, size, depth, parent, tileEngine, mixed, [&](QWidget* owner) {
                    auto fake = std::make_unique<FakeRdpControl>();
                    fake->pinsCertificate = true;
                    control = fake.get();
                    auto* session = new SystemRdpSession(owner, std::move(fake));
                    session->setCertificateProbeFactory([&](QObject* probeOwner) {
                        probes.append(new FakeCertificateProbe(probeOwner));
                        return probes.last().data();
                    });
                    return session;
                });
            });
        // Gone before what its factories refer to, however the test ends.
        const auto closeWall = qScopeGuard([&wall] { delete wall.data(); });
        wall->setAppLock(&appLock);
        wall->setPasswordSource([&database](const QString& id) {
            return std::optional<QString>(database.getRemote(id).value_or(Remote()).password);
        });
        RdpTile* tile = wall->tiles().value(0);
        QVERIFY(tile);
        const QLabel* status = tile->findChild<QLabel*>(QStringLiteral("statusLabel"));
        if (embedded) {
            QTRY_VERIFY_WITH_TIMEOUT(wall->connectedCount() == 1, kPeerTimeoutMs);
        } else {
            QCOMPARE(probes.size(), 1);
        }
        QVERIFY(tile->holdsPassword());

        appLock.lock();
        QTRY_VERIFY_WITH_TIMEOUT(!tile->holdsPassword(), kPeerTimeoutMs);
        QVERIFY(tile->remote().password.isEmpty());
        if (embedded) {
            QVERIFY(tile->isActive());
            QCOMPARE(wall->connectedCount(), 1);
        } else {
            // The attempt would have gone on without a password after the check: it ended instead.
            QVERIFY(!tile->isActive());
            QVERIFY(control->log()->methods.isEmpty());
            QCOMPARE(status->toolTip(), RdpErrorText::lockedReason());
        }

        // A reconnection while locked starts nothing.
        tile->disconnectSession();
        QTRY_VERIFY_WITH_TIMEOUT(!tile->isActive(), kPeerTimeoutMs);
        tile->connectSession();
        QVERIFY(!tile->isActive());
        QCOMPARE(status->text(), QStringLiteral("已锁定"));
        QCOMPARE(status->toolTip(), RdpErrorText::lockedReason());
        QCOMPARE(probes.size(), embedded ? 0 : 1);

        QSignalSpy unlocked(&appLock, &AppLock::unlocked);
        QVERIFY(appLock.unlock(kMaster));
        QTRY_COMPARE_WITH_TIMEOUT(unlocked.size(), 1, kPeerTimeoutMs);
        tile->connectSession();
        QCOMPARE(tile->remote().password, m_marker);
        if (embedded) {
            // Only the stored password gets through NLA.
            QTRY_VERIFY_WITH_TIMEOUT(wall->connectedCount() == 1, kPeerTimeoutMs);
        } else {
            QCOMPARE(probes.size(), 2);
            probes.last()->answer(RdpCertificateProbe::Outcome::Certificate, QStringLiteral("AB:CD"));
            const auto& writes = control->log()->properties;
            QVERIFY(
                std::any_of(writes.begin(), writes.end(), [this](const FakeRdpControlLog::PropertyWrite& w) {
                    return w.name == QStringLiteral("ClearTextPassword") && w.value.toString() == m_marker;
                }));
        }
    }
};

QTEST_MAIN(TestLockMemory)
#include "test_lock_memory.moc"
