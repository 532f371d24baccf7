// The Windows build against Linux peers on 127.0.0.1 (started by with_linux_peers.sh): the embedded
// FreeRDP session shows and drives a real RDP server's desktop, with keys as Windows reports them, and
// the account client signs in to the real account server over TLS with a private CA.

#include "cloud/account_client.h"
#include "platform/windows/dpapi_data_protection.h"
#include "rdp/rdp_surface.h"
#include "rdp/rdp_tile.h"
#include "rdp/system_rdp_session.h"
#include "rdp/xfreerdp_control.h"
#include "storage/app_config.h"
#include "storage/crypto_manager.h"
#include "support/log_capture.h"

#include <QCoreApplication>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>

#include <windows.h>

namespace {

constexpr int kPeerTimeoutMs = 30000;

QString peer(const char* name)
{
    return qEnvironmentVariable((QByteArray("NIMBARA_PEER_") + name).constData());
}

// A Linux path as this Windows process reaches it: Wine maps the Unix root to drive Z.
QString fromLinux(const QString& path)
{
    return QDir::toNativeSeparators(QStringLiteral("Z:") + path);
}

bool closeTo(QRgb actual, QColor expected)
{
    return qAbs(qRed(actual) - expected.red()) <= 8 && qAbs(qGreen(actual) - expected.green()) <= 8 &&
           qAbs(qBlue(actual) - expected.blue()) <= 8;
}

// The peers' control line: paints their display and reports the input it received.
class PeerControl
{
public:
    bool open()
    {
        m_socket.connectToHost(QStringLiteral("127.0.0.1"), peer("CONTROL").toUShort());
        return m_socket.waitForConnected(kPeerTimeoutMs);
    }
    QByteArray ask(const QByteArray& line)
    {
        m_socket.write(line + '\n');
        while (!m_socket.canReadLine()) {
            if (!m_socket.waitForReadyRead(kPeerTimeoutMs))
                return "no answer";
        }
        return m_socket.readLine().trimmed();
    }
    // Waits until the display has received `count` events and returns them.
    QByteArrayList input(int count)
    {
        QByteArrayList seen;
        (void)QTest::qWaitFor(
            [&] {
                const QByteArray now = ask("input");
                if (!now.isEmpty())
                    seen += now.split(' ');
                return seen.size() >= count;
            },
            kPeerTimeoutMs);
        return seen;
    }

private:
    QTcpSocket m_socket;
};

// A window holding one session of the compatibility engine.
struct CompatibilityWindow
{
    CompatibilityWindow()
        : client(new XFreeRdpControl), session(&window, std::unique_ptr<XFreeRdpControl>(client)),
          connected(&session, &SystemRdpSession::connected),
          disconnected(&session, &SystemRdpSession::disconnected),
          errors(&session, &SystemRdpSession::errorOccurred)
    {
        auto* layout = new QVBoxLayout(&window);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(session.widget());
        window.resize(800, 600);
        window.show();
    }

    QWidget window;
    XFreeRdpControl* client;
    SystemRdpSession session;
    QSignalSpy connected;
    QSignalSpy disconnected;
    QSignalSpy errors;
};

Remote compatibilityRemote(const QString& port, const QString& user, const QString& password)
{
    Remote remote;
    remote.id = QStringLiteral("wine-compat");
    remote.name = QStringLiteral("兼容引擎");
    remote.host = QStringLiteral("127.0.0.1");
    remote.port = port.toInt();
    remote.username = user;
    remote.password = password;
    return remote;
}

} // namespace

class TestWindowsPeers : public QObject
{
    Q_OBJECT

private slots:
    void embeddedSessionShowsAndDrivesTheRemoteDesktop()
    {
        PeerControl control;
        QVERIFY2(control.open(), "the peers' control port does not answer");
        QCOMPARE(control.ask("paint 00a0ff"), QByteArray("ok"));

        Remote remote;
        remote.id = QStringLiteral("wine-peer");
        remote.name = QStringLiteral("影子桌面");
        remote.host = QStringLiteral("127.0.0.1");
        remote.port = peer("RDP_PORT").toInt();
        QVERIFY(remote.port > 0);

        RdpTile tile(remote, QSize(1024, 768), 32);
        QSignalSpy failed(&tile, &RdpTile::connectionFailed);
        QSignalSpy trusted(&tile, &RdpTile::certificateFingerprintTrusted);
        tile.resize(900, 560);
        tile.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tile));
        auto* surface = tile.findChild<RdpSurface*>();
        auto* status = tile.findChild<QLabel*>(QStringLiteral("statusLabel"));
        QVERIFY(surface && status);

        tile.connectSession();
        QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("已连接"), kPeerTimeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(
            !surface->picture().isNull() &&
                closeTo(surface->picture().pixel(surface->picture().rect().center()), QColor(0, 160, 255)),
            kPeerTimeoutMs);
        QCOMPARE(surface->frameSize(), QSize(1024, 768));
        QCOMPARE(trusted.size(), 1);
        const QRect target = RdpSurface::imageRect(surface->size(), surface->frameSize());
        const QImage painted = surface->grab().toImage();
        QVERIFY(closeTo(painted.pixel(target.center() * painted.devicePixelRatio()), QColor(0, 160, 255)));

        // The picture follows the remote desktop.
        QCOMPARE(control.ask("paint c00000"), QByteArray("ok"));
        QTRY_VERIFY_WITH_TIMEOUT(
            closeTo(surface->picture().pixel(surface->picture().rect().center()), QColor(192, 0, 0)),
            kPeerTimeoutMs);

        control.ask("input");
        const QPoint local = target.center();
        QTest::mouseClick(surface, Qt::LeftButton, {}, local);
        QCOMPARE(control.input(2), QByteArrayList({"b+1", "b-1"}));

        // Keys as Windows reports them (scan code with bit 8 for extended keys, virtual key) arrive as
        // the same keys on the remote side.
        struct Key
        {
            Qt::Key qt;
            quint32 scanCode;
            quint32 virtualKey;
            QByteArray keysym;
        };
        for (const Key& key : {Key{Qt::Key_A, 0x1E, 0x41, "61"}, Key{Qt::Key_Left, 0x14B, 0x25, "ff51"},
                               Key{Qt::Key_Control, 0x11D, 0x11, "ffe4"}}) {
            const QByteArray keycode = control.ask("keycode " + key.keysym);
            QKeyEvent press(QEvent::KeyPress, key.qt, Qt::NoModifier, key.scanCode, key.virtualKey, 0);
            QCoreApplication::sendEvent(surface, &press);
            QKeyEvent release(QEvent::KeyRelease, key.qt, Qt::NoModifier, key.scanCode, key.virtualKey, 0);
            QCoreApplication::sendEvent(surface, &release);
            QCOMPARE(control.input(2), QByteArrayList({"k+" + keycode, "k-" + keycode}));
        }

        tile.disconnectSession();
        QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("已断开"), kPeerTimeoutMs);
        QCOMPARE(failed.size(), 0);
    }

    // The compatibility engine: FreeRDP's Windows client, started with the password on its standard input
    // and embedded by window handle, connects, lies inside the widget at its size and takes posted keys.
    void compatibilityEngineEmbedsTheWindowsClient()
    {
        PeerControl control;
        QVERIFY2(control.open(), "the peers' control port does not answer");
        QCOMPARE(control.ask("paint 20c060"), QByteArray("ok"));

        CompatibilityWindow w;
        QVERIFY(QTest::qWaitForWindowExposed(&w.window));
        SystemRdpSession& session = w.session;
        QSignalSpy trusted(&session, &SystemRdpSession::certificateTrusted);

        // Any password: this server does not ask. FreeRDP 2.11 could not even read one from standard input
        // on Windows.
        QVERIFY(session.connectTo(compatibilityRemote(peer("RDP_PORT"), QStringLiteral("tester"),
                                                      QStringLiteral("pw \"密码\" %PATH%")),
                                  QSize(800, 600), 32));
        QTRY_COMPARE_WITH_TIMEOUT(w.connected.size(), 1, kPeerTimeoutMs);
        QVERIFY2(w.errors.isEmpty(), qPrintable(w.errors.value(0).value(0).toString()));
        QCOMPARE(trusted.size(), 1);
        QVERIFY(w.client->processId() > 0);

        // The client's window lies in the widget and is kept as large as it.
        const auto container = reinterpret_cast<HWND>(session.widget()->winId());
        const auto embedded = [container] {
            HWND child = GetWindow(container, GW_CHILD);
            while (child != nullptr && !IsWindowVisible(child)) {
                child = GetWindow(child, GW_HWNDNEXT);
            }
            return child;
        };
        QTRY_VERIFY_WITH_TIMEOUT(embedded() != nullptr, kPeerTimeoutMs);
        DWORD owner = 0;
        GetWindowThreadProcessId(embedded(), &owner);
        QCOMPARE(qint64(owner), w.client->processId());
        const QSize size = session.widget()->size() * session.widget()->devicePixelRatio();
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                RECT rect{};
                return GetClientRect(embedded(), &rect) && QSize(rect.right, rect.bottom) == size;
            }(),
            kPeerTimeoutMs);
        // Its picture is not checked: Wine shows nothing that another process draws into a child window
        // of ours (the same client shows the desktop as a window of its own).

        // Keys posted to the client's window arrive in order: pressed, then released in reverse.
        const QByteArray shift = control.ask("keycode ffe1");
        const QByteArray a = control.ask("keycode 61");
        control.ask("input");
        QVERIFY(session.sendKeys({0x10, 0x41}));
        QCOMPARE(control.input(4), QByteArrayList({"k+" + shift, "k+" + a, "k-" + a, "k-" + shift}));

        // A quit message to its window's thread ends the client: no kill needed.
        {
            LogCapture log;
            session.disconnectSession();
            QVERIFY2(log.contains(QStringLiteral("xfreerdp 已退出")), qPrintable(log.text()));
            QVERIFY2(!log.contains(QStringLiteral("强制结束")), qPrintable(log.text()));
        }
        QCOMPARE(w.disconnected.size(), 1);
        QCOMPARE(w.client->processId(), 0);
        QVERIFY(w.errors.isEmpty());
    }

    // Nothing listens: the Windows client ends with FreeRDP's last error, which names a failed
    // connection, and the control reports a fatal error.
    void compatibilityEngineNamesAFailedConnection()
    {
        quint16 closedPort = 0;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            closedPort = probe.serverPort();
        }
        QWidget window;
        window.show();
        XFreeRdpControl control(&window);
        control.setConnectTimeout(20);
        QVERIFY(control.setControl(QLatin1String(SystemRdpSession::kControlClassId)));
        control.setProperty(QStringLiteral("Server"), QStringLiteral("127.0.0.1"));
        control.querySubObject(QStringLiteral("AdvancedSettings9"))
            ->setProperty(QStringLiteral("RDPPort"), closedPort);
        QSignalSpy events(&control, &IRdpControl::controlEvent);
        QCOMPARE(control.dynamicCall(QStringLiteral("Connect()")).toInt(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(events.size(), 2, kPeerTimeoutMs);
        QCOMPARE(events.at(0).at(0).toString(), QStringLiteral("OnFatalError(int)"));
        QCOMPARE(events.at(1).at(0).toString(), QStringLiteral("OnDisconnected(int)"));
        QCOMPARE(control.lastFailure(), RdpFailure::ConnectionLost);
        QVERIFY(control.lastErrorCode() > 0xFFFFU); // a FreeRDP error code, class and type
    }

    void accountClientSignsInAndRestoresItsSession()
    {
        QTemporaryDir home;
        QVERIFY(home.isValid());
        // Settings of this test's own, not the program's (they live in the registry on Windows).
        QCoreApplication::setOrganizationName(QStringLiteral("NIMBARA-wine-test"));
        QSettings().clear();
        CryptoManager crypto(std::make_unique<DpapiDataProtection>());
        QVERIFY(crypto.initialize(home.filePath(QStringLiteral("credential.key"))));

        AppConfig config;
        config.account_service_url = peer("ACCOUNT_URL");
        config.account_ca_certificates = fromLinux(peer("ACCOUNT_CA"));
        const QString email = peer("ACCOUNT_EMAIL");
        const QString password = peer("ACCOUNT_PASSWORD");

        {
            AccountClient client(&crypto);
            QVERIFY(applyAccountServiceConfig(client, config));
            QSignalSpy changed(&client, &AccountClient::accountChanged);
            QSignalSpy refused(&client, &AccountClient::loginFailed);

            client.login(email, password + QLatin1Char('x'));
            QVERIFY(refused.wait(kPeerTimeoutMs));
            QVERIFY(!client.isSignedIn());

            client.login(email, password);
            QTRY_VERIFY_WITH_TIMEOUT(client.isSignedIn(), kPeerTimeoutMs);
            QCOMPARE(client.account().email, email);
            QCOMPARE(client.account().name, QStringLiteral("Wine 成员"));
            QCOMPARE(refused.size(), 1);
        }

        // A later start signs in with the token it sealed through DPAPI.
        AccountClient later(&crypto);
        QVERIFY(applyAccountServiceConfig(later, config));
        later.restoreSession();
        QTRY_VERIFY_WITH_TIMEOUT(later.isSignedIn(), kPeerTimeoutMs);
        QCOMPARE(later.account().email, email);
        later.logout();
        QTRY_VERIFY_WITH_TIMEOUT(!later.isSignedIn(), kPeerTimeoutMs);
        QSettings().clear();
    }
};

QTEST_MAIN(TestWindowsPeers)
#include "test_windows_peers.moc"
