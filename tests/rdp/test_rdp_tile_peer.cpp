#include "rdp/rdp_tile.h"

#include "rdp/rdp_surface.h"
#include "support/rdp_test_server.h"
#include "support/test_environment.h"

#include <QKeyEvent>
#include <QLabel>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <X11/keysym.h>

namespace {

constexpr int kPeerTimeoutMs = 20000;

bool closeTo(QRgb actual, QColor expected)
{
    return qAbs(qRed(actual) - expected.red()) <= 8 && qAbs(qGreen(actual) - expected.green()) <= 8 &&
           qAbs(qBlue(actual) - expected.blue()) <= 8;
}

QString statusText(const RdpTile& tile)
{
    return tile.findChild<QLabel*>(QStringLiteral("statusLabel"))->text();
}

} // namespace

// A tile against a real RDP server (freerdp-shadow-cli sharing a private X display).
class TestRdpTilePeer : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_root;
    ScopedEnvironment m_env;
    TestXDisplay m_display;
    TestRdpServer m_server;
    QString m_skipReason;

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        isolateProcess(m_env, m_root.path());
        silenceFreeRdpLog(m_env);
        QString error;
        if (!m_display.start(&error)) {
            m_skipReason = QStringLiteral("no X display: ") + error;
        } else if (!m_server.start(m_display.name(), {QStringLiteral("-auth")}, &error)) {
            m_skipReason = QStringLiteral("no RDP server: ") + error;
        }
    }

    void cleanupTestCase()
    {
        m_server.stop();
        m_display.stop();
    }

    void showsTheRemoteDesktopAndForwardsInput()
    {
        if (!m_skipReason.isEmpty()) {
            QSKIP(qPrintable(m_skipReason));
        }
        QVERIFY(m_display.paint(QColor(0, 160, 255)));

        Remote remote;
        remote.id = QStringLiteral("peer-1");
        remote.name = QStringLiteral("影子桌面");
        remote.host = QStringLiteral("127.0.0.1");
        remote.port = m_server.port();

        RdpTile tile(remote, QSize(1024, 768), 32);
        QSignalSpy failed(&tile, &RdpTile::connectionFailed);
        tile.resize(900, 560);
        tile.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tile));
        auto* surface = tile.findChild<RdpSurface*>();

        tile.connectSession();
        QTRY_COMPARE_WITH_TIMEOUT(statusText(tile), QStringLiteral("已连接"), kPeerTimeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(
            !surface->picture().isNull() &&
                closeTo(surface->picture().pixel(surface->picture().rect().center()), QColor(0, 160, 255)),
            kPeerTimeoutMs);
        const QSize frameSize = surface->frameSize();
        const QRect target = RdpSurface::imageRect(surface->size(), frameSize);
        const QImage painted = surface->grab().toImage();
        QVERIFY(closeTo(painted.pixel(target.center() * painted.devicePixelRatio()), QColor(0, 160, 255)));

        using Seen = TestXDisplay::InputSeen;
        QList<Seen> seen;
        const auto waitFor = [&](qsizetype count) {
            (void)QTest::qWaitFor(
                [&] {
                    seen += m_display.takeInput();
                    return seen.size() >= count;
                },
                kPeerTimeoutMs);
            return seen.size() == count;
        };

        // The pointer goes where the frame shows it, and a click follows it there.
        const QPoint local = target.topLeft() + QPoint(target.width() / 4, target.height() / 3);
        const QPoint expected = *RdpTile::mapToRemote(local, surface->size(), frameSize);
        QTest::mouseMove(surface, local);
        QTRY_COMPARE_WITH_TIMEOUT(m_display.pointer(), expected, kPeerTimeoutMs);
        m_display.takeInput();
        QTest::mouseClick(surface, Qt::LeftButton, {}, local);
        QVERIFY(waitFor(2));
        QCOMPARE(seen.at(0).type, Seen::ButtonDown);
        QCOMPARE(seen.at(0).detail, 1U);
        QCOMPARE(seen.at(1).type, Seen::ButtonUp);
        seen.clear();

        // A typed key (an extended one) arrives as the same key on the remote display.
        const unsigned left = m_display.keycode(XK_Left);
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Left, Qt::NoModifier, left, XK_Left, 0);
        QCoreApplication::sendEvent(surface, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_Left, Qt::NoModifier, left, XK_Left, 0);
        QCoreApplication::sendEvent(surface, &release);
        QVERIFY(waitFor(2));
        QCOMPARE(seen.at(0).type, Seen::KeyDown);
        QCOMPARE(seen.at(0).detail, left);
        QCOMPARE(seen.at(1).type, Seen::KeyUp);
        QCOMPARE(seen.at(1).detail, left);

        tile.disconnectSession();
        QTRY_COMPARE_WITH_TIMEOUT(statusText(tile), QStringLiteral("已断开"), kPeerTimeoutMs);
        QVERIFY(!tile.isActive());
        QCOMPARE(failed.size(), 0);
    }

    // First contact stores the server's certificate; a different stored one is not accepted unseen but
    // goes to the user, and trusting it connects.
    void certificatesAreCheckedOnFirstContactAndAfter()
    {
        if (!m_skipReason.isEmpty()) {
            QSKIP(qPrintable(m_skipReason));
        }
        Remote remote;
        remote.id = QStringLiteral("peer-2");
        remote.name = QStringLiteral("证书");
        remote.host = QStringLiteral("127.0.0.1");
        remote.port = m_server.port();

        QString fingerprint;
        {
            RdpTile first(remote, QSize(1024, 768), 32);
            QSignalSpy trusted(&first, &RdpTile::certificateFingerprintTrusted);
            first.connectSession();
            QTRY_COMPARE_WITH_TIMEOUT(statusText(first), QStringLiteral("已连接"), kPeerTimeoutMs);
            QCOMPARE(trusted.size(), 1);
            QCOMPARE(trusted.first().at(0).toString(), remote.id);
            fingerprint = trusted.first().at(1).toString();
            QVERIFY(!fingerprint.isEmpty());
            first.disconnectSession();
            QTRY_COMPARE_WITH_TIMEOUT(statusText(first), QStringLiteral("已断开"), kPeerTimeoutMs);
        }

        remote.rdp_certificate_fingerprint = fingerprint;
        {
            RdpTile pinned(remote, QSize(1024, 768), 32);
            QSignalSpy asked(&pinned, &RdpTile::certificateConfirmationRequired);
            pinned.connectSession();
            QTRY_COMPARE_WITH_TIMEOUT(statusText(pinned), QStringLiteral("已连接"), kPeerTimeoutMs);
            QCOMPARE(asked.size(), 0);
            pinned.disconnectSession();
            QTRY_COMPARE_WITH_TIMEOUT(statusText(pinned), QStringLiteral("已断开"), kPeerTimeoutMs);
        }

        remote.rdp_certificate_fingerprint =
            QString(fingerprint).replace(QRegularExpression(QStringLiteral("[0-9a-f]")), QStringLiteral("0"));
        RdpTile changed(remote, QSize(1024, 768), 32);
        QSignalSpy asked(&changed, &RdpTile::certificateConfirmationRequired);
        QSignalSpy trusted(&changed, &RdpTile::certificateFingerprintTrusted);
        changed.connectSession();
        QTRY_COMPARE_WITH_TIMEOUT(asked.size(), 1, kPeerTimeoutMs);
        QVERIFY(statusText(changed) != QStringLiteral("已连接"));
        QVERIFY(asked.first().at(1).toString().contains(fingerprint));
        changed.trustPendingCertificate();
        QCOMPARE(trusted.size(), 1);
        QCOMPARE(trusted.first().at(1).toString(), fingerprint);
        QTRY_COMPARE_WITH_TIMEOUT(statusText(changed), QStringLiteral("已连接"), kPeerTimeoutMs);
        changed.disconnectSession();
        QTRY_COMPARE_WITH_TIMEOUT(statusText(changed), QStringLiteral("已断开"), kPeerTimeoutMs);
    }
};

QTEST_MAIN(TestRdpTilePeer)
#include "test_rdp_tile_peer.moc"
