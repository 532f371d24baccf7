#include "network/acceleration_manager.h"
#include "rdp/rdp_certificate_probe.h"
#include "rdp/rdp_surface.h"
#include "rdp/rdp_tile.h"
#include "ssh/batch_ssh_dialog.h"
#include "ssh/ssh_command.h"
#include "support/acceleration_test_bed.h"
#include "support/rdp_test_server.h"
#include "support/test_environment.h"
#include "support/test_ssh_server.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

constexpr int kPeerTimeoutMs = 30000;
const QColor kDesktopColour(40, 200, 90);

QString statusText(const RdpTile& tile)
{
    return tile.findChild<QLabel*>(QStringLiteral("statusLabel"))->text();
}

bool closeTo(QRgb actual, const QColor& expected)
{
    return qAbs(qRed(actual) - expected.red()) <= 8 && qAbs(qGreen(actual) - expected.green()) <= 8 &&
           qAbs(qBlue(actual) - expected.blue()) <= 8;
}

// The tile shows the server's desktop: its connected status and a frame of the display's colour.
bool showsTheDesktop(const RdpTile& tile, const QString& status)
{
    const auto* surface = tile.findChild<RdpSurface*>();
    return QTest::qWaitFor(
        [&] {
            const QImage image = surface->picture();
            return statusText(tile) == status && !image.isNull() &&
                   closeTo(image.pixel(image.rect().center()), kDesktopColour);
        },
        kPeerTimeoutMs);
}

bool disconnectTile(RdpTile& tile)
{
    tile.disconnectSession();
    return QTest::qWaitFor([&] { return statusText(tile) == QStringLiteral("已断开"); }, kPeerTimeoutMs);
}

// The fingerprint the server's certificate has, seen over a direct connection.
QString directFingerprint(quint16 port)
{
    RdpCertificateProbe probe;
    QSignalSpy finished(&probe, &RdpCertificateProbe::finished);
    probe.start(QStringLiteral("127.0.0.1"), port);
    if (!finished.wait(kPeerTimeoutMs) || finished.size() != 1) {
        return {};
    }
    return finished.first().at(0).value<RdpCertificateProbe::Result>().fingerprint;
}

QString outputOf(BatchSshDialog& dialog)
{
    return dialog.findChild<QPlainTextEdit*>(QStringLiteral("batchOutput"))->toPlainText();
}

bool runBatch(BatchSshDialog& dialog)
{
    return QTest::qWaitFor([&] { return dialog.finished() == 1; }, kPeerTimeoutMs);
}

QByteArray connectLine(const QString& host, quint16 port)
{
    return QStringLiteral("CONNECT %1:%2 HTTP/1.1").arg(host).arg(port).toUtf8();
}

} // namespace

// The program's own RDP and SSH connections through the tunnels of AccelerationManager::instance():
// the embedded RDP engine against the test RDP server and a batch SSH password login against the test
// sshd, through TLS relay nodes on loopback, keep checking the real host's certificate and host key.
class TestAccelerationConnections : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_root;
    ScopedEnvironment m_env;
    TestXDisplay m_display;
    TestRdpServer m_rdp;
    QString m_rdpSkip;
    TestSshServer m_ssh;
    QString m_sshSkip;
    std::unique_ptr<AccelerationTestBed> m_bed;

    // Every CONNECT request line the relays were sent.
    QList<QByteArray> connectLines() const
    {
        QList<QByteArray> lines;
        for (int i = 0; i < m_bed->relayCount(); ++i) {
            lines += m_bed->relay(i).connectLines();
        }
        return lines;
    }

    Remote rdpRemote(const QString& id, const QString& host) const
    {
        Remote remote;
        remote.id = id;
        remote.name = QStringLiteral("加速桌面 ") + id;
        remote.host = host;
        remote.port = m_rdp.port();
        return remote;
    }

    Remote sshRemote(const TestSshServer& server, const QString& id) const
    {
        Remote remote = server.remote(true);
        remote.id = id;
        remote.name = id;
        return remote;
    }

    void useSshClientOf(const TestSshServer& server, const QString& directory)
    {
        QString error;
        QVERIFY2(
            server.installSshWrapper(m_root.filePath(directory), TestSshServer::ClientAuth::Password, &error),
            qPrintable(error));
        m_env.set("PATH", m_root.filePath(directory) + QLatin1Char(':') + m_pathBefore);
    }

    // A new test bed with acceleration of instance() on.
    void switchOn()
    {
        m_bed = std::make_unique<AccelerationTestBed>(2, AccelerationTestBed::Manager::Instance);
        QString error;
        QVERIFY2(m_bed->start(&error), qPrintable(error));
        QVERIFY2(m_bed->enable(&error), qPrintable(error));
    }

    QString m_pathBefore;

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        isolateProcess(m_env, m_root.path());
        silenceFreeRdpLog(m_env);
        for (const char* name : {"SSH_ASKPASS", "SSH_ASKPASS_REQUIRE", "DISPLAY", "SSH_AUTH_SOCK"}) {
            m_env.unset(name);
        }
        m_pathBefore = qEnvironmentVariable("PATH");

        QString error;
        if (!m_display.start(&error)) {
            m_rdpSkip = QStringLiteral("no X display: ") + error;
        } else if (!m_display.paint(kDesktopColour) ||
                   !m_rdp.start(m_display.name(), {QStringLiteral("-auth")}, &error)) {
            m_rdpSkip = QStringLiteral("no RDP server: ") + error;
        }

        m_sshSkip = TestSshServer::unavailableReason();
        if (m_sshSkip.isEmpty()) {
            QVERIFY2(m_ssh.start(&error), qPrintable(error));
            // The real helper, as built beside the program.
            setAskPassDirectory(QStringLiteral(NIMBARA_BINARY_DIR));
            QVERIFY2(!prepareAskPassExecutable(&error).isEmpty(), qPrintable(error));
        }
    }

    void cleanupTestCase()
    {
        setAskPassDirectory(QString());
        m_rdp.stop();
        m_display.stop();
    }

    void init() { switchOn(); }

    void cleanup()
    {
        m_bed.reset();
        QVERIFY(!AccelerationManager::instance()->isEnabled());
    }

    // First contact through a tunnel stores the certificate of the real host for its record; with the
    // stored one it connects without asking, a wrong stored one is not accepted but put to the user
    // with the real host's name.
    void embeddedRdpThroughATunnelKeepsTheCertificatePin()
    {
        if (!m_rdpSkip.isEmpty()) {
            QSKIP(qPrintable(m_rdpSkip));
        }
        const QString fingerprint = directFingerprint(m_rdp.port());
        QVERIFY(!fingerprint.isEmpty());
        // A name, not the address: the relay must be asked for it, and nothing may show the loopback.
        Remote remote = rdpRemote(QStringLiteral("rdp-tunnel"), QStringLiteral("localhost"));
        const Remote routed = AccelerationManager::instance()->route(remote);
        QCOMPARE(routed.host, QStringLiteral("127.0.0.1"));
        QVERIFY(routed.port != remote.port);

        // First contact, then with the fingerprint on record.
        for (const bool recorded : {false, true}) {
            remote.rdp_certificate_fingerprint = recorded ? fingerprint : QString();
            RdpTile tile(remote, QSize(1024, 768), 32);
            QSignalSpy trusted(&tile, &RdpTile::certificateFingerprintTrusted);
            QSignalSpy asked(&tile, &RdpTile::certificateConfirmationRequired);
            tile.show();
            tile.connectSession();
            QVERIFY(showsTheDesktop(tile, QStringLiteral("已连接")));
            QCOMPARE(trusted.size(), recorded ? 0 : 1);
            if (!recorded) {
                QCOMPARE(trusted.first(), QList<QVariant>({remote.id, fingerprint}));
            }
            QCOMPARE(asked.size(), 0);
            QVERIFY(disconnectTile(tile));
            QVERIFY(connectLines().contains(connectLine(QStringLiteral("localhost"), m_rdp.port())));
            QVERIFY(AccelerationManager::instance()->directRemoteIds().isEmpty());
        }

        remote.rdp_certificate_fingerprint =
            QString(fingerprint).replace(QRegularExpression(QStringLiteral("[0-9a-f]")), QStringLiteral("0"));
        RdpTile wrong(remote, QSize(1024, 768), 32);
        QSignalSpy asked(&wrong, &RdpTile::certificateConfirmationRequired);
        QSignalSpy trusted(&wrong, &RdpTile::certificateFingerprintTrusted);
        wrong.show();
        wrong.connectSession();
        QTRY_COMPARE_WITH_TIMEOUT(asked.size(), 1, kPeerTimeoutMs);
        QVERIFY(statusText(wrong) != QStringLiteral("已连接"));
        QCOMPARE(trusted.size(), 0);
        const QString details = asked.first().at(1).toString();
        QVERIFY2(details.startsWith(QStringLiteral("主机：localhost\n")), qPrintable(details));
        QVERIFY(details.endsWith(QStringLiteral("新指纹：") + fingerprint));
        // A certificate problem never sends the host direct.
        QVERIFY(AccelerationManager::instance()->directRemoteIds().isEmpty());
    }

    // A password login by the batch SSH runner (askpass) through a tunnel: the output arrives, and
    // known_hosts names the host as a direct connection would, never the tunnel's address.
    void sshPasswordLoginThroughATunnel()
    {
        if (!m_sshSkip.isEmpty()) {
            QSKIP(qPrintable(m_sshSkip));
        }
        useSshClientOf(m_ssh, QStringLiteral("bin-tunnel"));
        const Remote host = sshRemote(m_ssh, QStringLiteral("ssh-tunnel"));
        const quint16 listener = static_cast<quint16>(AccelerationManager::instance()->route(host).port);
        QVERIFY(listener != m_ssh.port());

        BatchSshDialog dialog({host}, QStringLiteral("echo through-the-tunnel-$((6 * 7))"));
        QVERIFY(runBatch(dialog));
        QVERIFY2(dialog.succeeded() == 1, qPrintable(outputOf(dialog)));
        QVERIFY(outputOf(dialog).split(QLatin1Char('\n')).contains(QStringLiteral("through-the-tunnel-42")));
        QVERIFY(connectLines().contains(connectLine(host.host, m_ssh.port())));
        QVERIFY(AccelerationManager::instance()->directRemoteIds().isEmpty());

        const QByteArray knownHosts = readFile(m_ssh.knownHostsPath());
        const QByteArray entry = QStringLiteral("[%1]:%2 ").arg(host.host).arg(m_ssh.port()).toUtf8();
        QVERIFY2(knownHosts.contains(entry + m_ssh.hostPublicKey()), knownHosts.constData());
        QVERIFY2(!knownHosts.contains(':' + QByteArray::number(listener) + ' '), knownHosts.constData());
        QCOMPARE(knownHosts.count('\n'), 1);
    }

    // A host key known from a direct connection is checked through the tunnel: a changed one refused.
    void changedHostKeyIsRefusedThroughATunnel()
    {
        if (!m_sshSkip.isEmpty()) {
            QSKIP(qPrintable(m_sshSkip));
        }
        TestSshServer server;
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        useSshClientOf(server, QStringLiteral("bin-rekeyed"));
        const Remote host = sshRemote(server, QStringLiteral("ssh-rekeyed"));

        m_bed.reset(); // first contact direct
        {
            BatchSshDialog direct({host}, QStringLiteral("true"));
            QVERIFY(runBatch(direct));
            QVERIFY2(direct.succeeded() == 1, qPrintable(outputOf(direct)));
        }
        QVERIFY2(server.restartWithNewHostKey(&error), qPrintable(error));
        switchOn();
        if (QTest::currentTestFailed()) {
            return;
        }
        BatchSshDialog rekeyed({host}, QStringLiteral("true"));
        QVERIFY(runBatch(rekeyed));
        QCOMPARE(rekeyed.succeeded(), 0);
        QVERIFY2(outputOf(rekeyed).contains(QStringLiteral(
                     "[ssh-rekeyed] 主机密钥已改变，已拒绝连接（请核实服务器后更新 known_hosts）")),
                 qPrintable(outputOf(rekeyed)));
        QCOMPARE(connectLines().count(connectLine(host.host, server.port())), 1);
        QCOMPARE(readFile(server.knownHostsPath()).count('\n'), 1);
    }

    // No node gets through: the tunnel says so and connects directly, and both an RDP session and an
    // SSH login still work; those hosts stay direct.
    void everyNodeDownFallsBackToWorkingDirectConnections()
    {
        if (!m_rdpSkip.isEmpty() || !m_sshSkip.isEmpty()) {
            QSKIP(qPrintable(m_rdpSkip + m_sshSkip));
        }
        for (int i = 0; i < m_bed->relayCount(); ++i) {
            m_bed->relay(i).setBehaviour(TestRelayNode::Behaviour::Refuse);
        }
        AccelerationManager* manager = AccelerationManager::instance();
        QSignalSpy fallback(manager, &AccelerationManager::fallbackToDirect);

        const Remote desktop = rdpRemote(QStringLiteral("rdp-down"), QStringLiteral("127.0.0.1"));
        RdpTile tile(desktop, QSize(1024, 768), 32);
        tile.show();
        tile.connectSession();
        QVERIFY(showsTheDesktop(tile, QStringLiteral("直连")));
        // Every connection the session opened on the listener went direct, and said so.
        QVERIFY(!fallback.isEmpty());
        for (const QList<QVariant>& signal : fallback) {
            QCOMPARE(signal, QList<QVariant>({desktop.id, desktop.name}));
        }
        const qsizetype desktopFallbacks = fallback.size();
        QVERIFY(connectLines().contains(connectLine(desktop.host, m_rdp.port())));
        QCOMPARE(manager->route(desktop).port, desktop.port);
        QVERIFY(disconnectTile(tile));

        useSshClientOf(m_ssh, QStringLiteral("bin-down"));
        const Remote host = sshRemote(m_ssh, QStringLiteral("ssh-down"));
        BatchSshDialog dialog({host}, QStringLiteral("echo direct-after-all"));
        QVERIFY(runBatch(dialog));
        QVERIFY2(dialog.succeeded() == 1, qPrintable(outputOf(dialog)));
        QVERIFY(outputOf(dialog).split(QLatin1Char('\n')).contains(QStringLiteral("direct-after-all")));
        QVERIFY(fallback.size() > desktopFallbacks);
        for (qsizetype i = desktopFallbacks; i < fallback.size(); ++i) {
            QCOMPARE(fallback.at(i), QList<QVariant>({host.id, host.name}));
        }
        QVERIFY(connectLines().contains(connectLine(host.host, m_ssh.port())));
        QCOMPARE(manager->route(host).port, host.port);
        QVERIFY(manager->isEnabled());
    }
};

QTEST_MAIN(TestAccelerationConnections)
#include "test_acceleration_connections.moc"
