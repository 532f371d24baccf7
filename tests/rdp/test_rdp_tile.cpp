#include "rdp/rdp_tile.h"

#include "rdp/freerdp_session.h"
#include "rdp/rdp_surface.h"
#include "rdp/system_rdp_session.h"
#include "support/fake_certificate_probe.h"
#include "support/fake_rdp_control.h"
#include "support/recording_tile.h"
#include "support/session_frames.h"

#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <memory>
#include <utility>

namespace {

const QString kOldWindowsText = QStringLiteral("检测到旧版 Windows TLS\n正在自动切换兼容模式重试…");
const QString kSwitchText = QStringLiteral("FreeRDP 兼容性协商失败\n正在自动切换到系统 RDP 客户端…");

Remote makeRemote(const QString& name, const QString& remark = {})
{
    Remote remote;
    remote.id = QStringLiteral("id-") + name;
    remote.name = name;
    remote.host = QStringLiteral("192.0.2.10");
    remote.port = 3390;
    remote.username = QStringLiteral("administrator");
    remote.password = QStringLiteral("secret");
    remote.remark = remark;
    return remote;
}

using TestTile = RecordingTile;

// Hands the tile a system session over a fake control and keeps a handle on that control.
struct FakeSystem
{
    QPointer<FakeRdpControl> control;
    // A control that pins the server's certificate, which fake probes find.
    bool pinning = false;
    QList<QPointer<FakeCertificateProbe>> probes;

    RdpTile::SystemSessionFactory factory()
    {
        return [this](QWidget* parent) {
            auto fake = std::make_unique<FakeRdpControl>();
            fake->pinsCertificate = pinning;
            control = fake.get();
            auto* session = new SystemRdpSession(parent, std::move(fake));
            session->setCertificateProbeFactory([this](QObject* owner) {
                auto* probe = new FakeCertificateProbe(owner);
                probes.append(probe);
                return probe;
            });
            return session;
        };
    }

    FakeCertificateProbe* probe() const { return probes.isEmpty() ? nullptr : probes.last().data(); }

    int connectCalls() const
    {
        return control ? int(control->log()->methods.count(QStringLiteral("Connect()"))) : 0;
    }
};

QLabel* statusLabel(const RdpTile& tile)
{
    return tile.findChild<QLabel*>(QStringLiteral("statusLabel"));
}

QPushButton* actionButton(const RdpTile& tile)
{
    return tile.findChild<QPushButton*>(QStringLiteral("actionButton"));
}

RdpSurface* surface(const RdpTile& tile)
{
    return tile.findChild<RdpSurface*>();
}

QWidget* systemView(const RdpTile& tile)
{
    const auto* system = tile.findChild<SystemRdpSession*>();
    return system ? system->widget() : nullptr;
}

// Status text, its style and the button text in one comparable line.
QString header(const RdpTile& tile)
{
    return statusLabel(tile)->text() + QLatin1Char('|') + statusLabel(tile)->styleSheet() + QLatin1Char('|') +
           actionButton(tile)->text();
}

QString keyEvents(const QList<InputEvent>& events)
{
    QStringList parts;
    for (const InputEvent& event : events) {
        if (event.kind == InputEvent::Key) {
            parts.append(QStringLiteral("%1%2/%3%4")
                             .arg(event.c ? QLatin1Char('+') : QLatin1Char('-'))
                             .arg(event.a, 0, 16)
                             .arg(event.b, 0, 16)
                             .arg(event.d ? QStringLiteral("r") : QString()));
        } else if (event.kind == InputEvent::Text) {
            parts.append(QStringLiteral("text:") + event.text);
        } else {
            parts.append(QStringLiteral("kind%1").arg(event.kind));
        }
    }
    return parts.join(QLatin1Char(' '));
}

// A drag that enters the widget and is dropped there.
void dropFiles(QWidget* target, const QList<QUrl>& urls)
{
    QMimeData mime;
    mime.setUrls(urls);
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &drop);
}

} // namespace

class TestRdpTile : public QObject
{
    Q_OBJECT

private slots:
    void connectLifecycleShowsStatusAndStartsWithTheRecord()
    {
        TestTile tile(makeRemote(QStringLiteral("web-01")), QSize(320, 200), 16);
        QCOMPARE(header(tile), QStringLiteral("未连接||连接"));
        QCOMPARE(surface(tile)->text(), QStringLiteral("等待连接\n连接后点击画面即可操作"));
        QVERIFY(!tile.findChild<SystemRdpSession*>());

        tile.setConnectTimeout(7);
        QCOMPARE(tile.session()->connectTimeout(), 7);

        actionButton(tile)->click();
        QCOMPARE(header(tile), QStringLiteral("连接中|color:#ffbd59|取消"));
        QCOMPARE(tile.starts.size(), 1);
        const TestTile::Start& start = tile.starts.first();
        QCOMPARE(start.target.host, QStringLiteral("192.0.2.10"));
        QCOMPARE(start.target.port, 3390);
        QCOMPARE(start.desktopSize, QSize(640, 480));
        QVERIFY(!start.ignoreCertificate);
        QVERIFY(!start.legacySecurity);
        QCOMPARE(start.colorDepth, 16);
        QVERIFY(tile.isActive());

        // Connecting again while active does nothing.
        tile.connectSession();
        QCOMPARE(tile.starts.size(), 1);

        emit tile.session()->connected();
        QCOMPARE(header(tile), QStringLiteral("已连接|color:#35c58b|断开"));

        actionButton(tile)->click();
        QCOMPARE(tile.stops, 1);
        QTRY_COMPARE(header(tile), QStringLiteral("已断开|color:#9aa7ba|连接"));

        tile.refuseStart = true;
        actionButton(tile)->click();
        QCOMPARE(header(tile), QStringLiteral("无法启动|color:#ff7d86|连接"));
    }

    void legacyWindowsIsRecognisedByNameAndRemark_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("remark");
        QTest::addColumn<bool>("legacy");

        QTest::newRow("2008 in name") << QStringLiteral("DC-2008R2") << QStringLiteral("") << true;
        QTest::newRow("2003 in remark")
            << QStringLiteral("files") << QStringLiteral("Server 2003 SP2") << true;
        QTest::newRow("Windows 7 in any case")
            << QStringLiteral("WINDOWS 7 lab") << QStringLiteral("") << true;
        QTest::newRow("Windows-7 in remark")
            << QStringLiteral("pc") << QStringLiteral("windows-7 pro") << true;
        QTest::newRow("name and remark joined by a space")
            << QStringLiteral("windows") << QStringLiteral("7") << true;
        QTest::newRow("modern") << QStringLiteral("Win2019") << QStringLiteral("Windows 10") << false;
    }

    void legacyWindowsIsRecognisedByNameAndRemark()
    {
        QFETCH(QString, name);
        QFETCH(QString, remark);
        QFETCH(bool, legacy);
        QCOMPARE(RdpTile::looksLikeLegacyWindows(makeRemote(name, remark)), legacy);
    }

    void tlsErrorOnOldServerRetriesInCompatibilityMode()
    {
        TestTile tile(makeRemote(QStringLiteral("DC-2008")), QSize(1280, 720), 32);
        QSignalSpy failed(&tile, &RdpTile::connectionFailed);
        QSignalSpy detected(&tile, &RdpTile::legacyCompatibilityDetected);
        const QString message = QStringLiteral("TLS handshake failed: unsupported protocol");

        tile.connectSession();
        emit tile.session()->errorOccurred(message, 0x0002000D, RdpFailure::Security);
        QCOMPARE(header(tile), QStringLiteral("检测到旧系统|color:#ffbd59|取消"));
        QCOMPARE(statusLabel(tile)->toolTip(), message);
        QCOMPARE(surface(tile)->text(), kOldWindowsText);

        tile.endSession();
        QCOMPARE(header(tile), QStringLiteral("兼容重试|color:#ffbd59|取消"));
        QTRY_COMPARE(tile.starts.size(), 2);
        QVERIFY(!tile.starts.at(0).legacySecurity);
        QVERIFY(tile.starts.at(1).legacySecurity);

        emit tile.session()->connected();
        QCOMPARE(detected.size(), 1);
        QCOMPARE(detected.at(0).at(0).toString(), tile.remote().id);
        QVERIFY(tile.remote().legacy_rdp_security);
        QCOMPARE(failed.size(), 0);
    }

    void compatibilityModeFailureIsNotRetriedAgain()
    {
        TestTile tile(makeRemote(QStringLiteral("DC-2008")), QSize(1280, 720), 32);
        QSignalSpy failed(&tile, &RdpTile::connectionFailed);

        tile.connectSession();
        emit tile.session()->errorOccurred(QStringLiteral("TLS error"), 1, RdpFailure::Security);
        tile.endSession();
        QTRY_COMPARE(tile.starts.size(), 2);

        emit tile.session()->errorOccurred(QStringLiteral("TLS error"), 1, RdpFailure::Security);
        QCOMPARE(header(tile), QStringLiteral("失败 0x00000001|color:#ff7d86|取消"));
        QCOMPARE(failed.size(), 1);
        tile.endSession();
        QCOMPARE(header(tile), QStringLiteral("已断开|color:#9aa7ba|连接"));
        QCoreApplication::processEvents();
        QCOMPARE(tile.starts.size(), 2);
    }

    void tlsErrorOnModernHostOffersCompatibilityRetry()
    {
        TestTile tile(makeRemote(QStringLiteral("web-01"), QStringLiteral("Windows Server 2019")),
                      QSize(1280, 720), 32);
        QSignalSpy failed(&tile, &RdpTile::connectionFailed);
        QSignalSpy detected(&tile, &RdpTile::legacyCompatibilityDetected);
        const QString message = QStringLiteral("ssl connect error");

        tile.connectSession();
        emit tile.session()->errorOccurred(message, 0x2000C, RdpFailure::Security);
        QCOMPARE(header(tile), QStringLiteral("失败 0x0002000C|color:#ff7d86|取消"));
        QCOMPARE(statusLabel(tile)->toolTip(), message);
        QVERIFY(surface(tile)->text().startsWith(
            QStringLiteral("连接失败\nssl connect error\n\n检测到 TLS 兼容问题")));
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.at(0).at(0).toString(), tile.remote().id);
        QCOMPARE(failed.at(0).at(1).toString(), message);

        // The failure text stays on the surface and in the tooltip after the session ended.
        tile.endSession();
        QCOMPARE(header(tile), QStringLiteral("已断开|color:#9aa7ba|兼容重试"));
        QCOMPARE(statusLabel(tile)->toolTip(), message);
        QCoreApplication::processEvents();
        QCOMPARE(tile.starts.size(), 1);

        actionButton(tile)->click();
        QCOMPARE(tile.starts.size(), 2);
        QVERIFY(tile.starts.at(1).legacySecurity);
        emit tile.session()->connected();
        QCOMPARE(detected.size(), 1);
        QCOMPARE(header(tile), QStringLiteral("已连接|color:#35c58b|断开"));

        // The host is marked now: later connections start in compatibility mode without another report.
        tile.disconnectSession();
        QTRY_COMPARE(header(tile), QStringLiteral("已断开|color:#9aa7ba|连接"));
        tile.connectSession();
        QVERIFY(tile.starts.at(2).legacySecurity);
        emit tile.session()->connected();
        QCOMPARE(detected.size(), 1);
    }

    void connectionFailedAtMostOncePerAttempt()
    {
        TestTile tile(makeRemote(QStringLiteral("web-02")), QSize(1280, 720), 32);
        QSignalSpy failed(&tile, &RdpTile::connectionFailed);

        tile.connectSession();
        emit tile.session()->errorOccurred(QStringLiteral("端口不通"), 0x2000D, RdpFailure::Refused);
        emit tile.session()->errorOccurred(QStringLiteral("密码错误"), 0x20015, RdpFailure::WrongCredentials);
        QCOMPARE(failed.size(), 1);
        // Credentials are named only when the failure is about them.
        QCOMPARE(surface(tile)->text(),
                 QStringLiteral("连接失败\n密码错误\n\n请核对该主机保存的用户名和密码。"));
        tile.endSession();
        QCOMPARE(header(tile), QStringLiteral("已断开|color:#9aa7ba|连接"));

        tile.connectSession();
        emit tile.session()->errorOccurred(QStringLiteral("端口不通"), 0x2000D, RdpFailure::Refused);
        QCOMPARE(failed.size(), 2);
        QCOMPARE(surface(tile)->text(),
                 QStringLiteral("连接失败\n端口不通\n\n请确认远程主机已开启远程桌面，并核对端口。"));
        tile.endSession();
        tile.connectSession();
        emit tile.session()->errorOccurred(QStringLiteral("无可说明"), 0x2FFFF, RdpFailure::Other);
        QCOMPARE(surface(tile)->text(), QStringLiteral("连接失败\n无可说明"));
    }

    void cancelIsNoFailureAndEndsSayWhy()
    {
        FakeSystem fake;
        TestTile tile(makeRemote(QStringLiteral("web-09")), QSize(1280, 720), 32, nullptr, RdpEngine::FreeRdp,
                      false, fake.factory());
        QSignalSpy failed(&tile, &RdpTile::connectionFailed);

        // Cancelled while connecting: no failure, no advice.
        tile.connectSession();
        actionButton(tile)->click();
        QTRY_COMPARE(header(tile), QStringLiteral("已取消|color:#9aa7ba|连接"));
        QCOMPARE(surface(tile)->text(), QStringLiteral("已取消连接"));
        QCOMPARE(failed.size(), 0);

        // Ended by the server: the reason stays on the picture and in the tooltip.
        tile.connectSession();
        tile.connectNow();
        emit tile.session()->remoteEnded(QStringLiteral("服务器结束了会话"), 1);
        tile.endSession();
        QCOMPARE(header(tile), QStringLiteral("已断开|color:#9aa7ba|连接"));
        QCOMPARE(surface(tile)->text(), QStringLiteral("会话已结束\n服务器结束了会话"));
        QCOMPARE(statusLabel(tile)->toolTip(), QStringLiteral("服务器结束了会话"));

        // The network dropped: the tile says which reconnect attempt runs, and is up again after it.
        tile.connectSession();
        tile.connectNow();
        emit tile.session()->reconnecting(2, 5);
        QCOMPARE(header(tile), QStringLiteral("正在重新连接（第 2/5 次）|color:#ffbd59|断开"));
        emit tile.session()->reconnected();
        QCOMPARE(header(tile), QStringLiteral("已连接|color:#35c58b|断开"));
        QVERIFY(statusLabel(tile)->toolTip().isEmpty());
        tile.endSession();

        // Disconnected on request after it was up: disconnected, not cancelled.
        tile.connectSession();
        tile.connectNow();
        actionButton(tile)->click();
        QTRY_COMPARE(header(tile), QStringLiteral("已断开|color:#9aa7ba|连接"));
        QCOMPARE(failed.size(), 0);

        // The system client cancelled while connecting.
        tile.setEngine(RdpEngine::System, true);
        QTRY_COMPARE(fake.connectCalls(), 1);
        actionButton(tile)->click();
        QCOMPARE(header(tile), QStringLiteral("已取消|color:#9aa7ba|连接"));
        QCOMPARE(failed.size(), 0);
    }

    void mixedModeNegotiationFailureSwitchesToSystem_data()
    {
        QTest::addColumn<QString>("message");
        QTest::newRow("CredSSP") << "CredSSP negotiation failed";
        QTest::newRow("lower case") << "credssp: authentication failure";
        QTest::newRow("upper case") << "CREDSSP ERROR";
        QTest::newRow("TLS on a modern host") << "TLS connect failed";
        QTest::newRow("NLA") << "nla required by server";
    }

    void mixedModeNegotiationFailureSwitchesToSystem()
    {
        QFETCH(QString, message);
        FakeSystem fake;
        TestTile tile(makeRemote(QStringLiteral("web-03")), QSize(1280, 720), 24, nullptr, RdpEngine::FreeRdp,
                      true, fake.factory());
        QSignalSpy fallback(&tile, &RdpTile::systemFallbackActivated);
        QSignalSpy failed(&tile, &RdpTile::connectionFailed);

        tile.connectSession();
        emit tile.session()->errorOccurred(message, 0x2001D, RdpFailure::Security);
        QCOMPARE(header(tile), QStringLiteral("自动切换|color:#ffbd59|取消"));
        QCOMPARE(statusLabel(tile)->toolTip(), message);
        QCOMPARE(surface(tile)->text(), kSwitchText);
        QCOMPARE(tile.engine(), RdpEngine::FreeRdp);

        tile.endSession();
        QCOMPARE(tile.engine(), RdpEngine::System);
        QCOMPARE(fallback.size(), 1);
        QCOMPARE(fallback.at(0).at(0).toString(), tile.remote().id);
        QCOMPARE(fallback.at(0).at(1).toString(), tile.remote().name);
        QCOMPARE(fallback.at(0).at(2).toString(), message);
        QVERIFY(!surface(tile)->isVisibleTo(&tile));
        QVERIFY(systemView(tile)->isVisibleTo(&tile));

        QTRY_COMPARE(fake.connectCalls(), 1);
        fake.control->fire(QStringLiteral("OnConnected"));
        QCOMPARE(header(tile), QStringLiteral("已连接|color:#35c58b|断开"));
        QCOMPARE(failed.size(), 0);
        QCOMPARE(tile.starts.size(), 1);

        // The tile stays on the system control for later connections.
        tile.disconnectSession();
        tile.connectSession();
        QCOMPARE(fake.connectCalls(), 2);
        QCOMPARE(tile.starts.size(), 1);
    }

    void negotiationFailureOutsideMixedModeOrOnOldServerDoesNotSwitch()
    {
        FakeSystem fake;
        {
            TestTile tile(makeRemote(QStringLiteral("web-04")), QSize(1280, 720), 32, nullptr,
                          RdpEngine::FreeRdp, false, fake.factory());
            tile.connectSession();
            emit tile.session()->errorOccurred(QStringLiteral("CredSSP negotiation failed"), 5,
                                               RdpFailure::Security);
            tile.endSession();
            QCOMPARE(tile.engine(), RdpEngine::FreeRdp);
            QCOMPARE(header(tile), QStringLiteral("已断开|color:#9aa7ba|兼容重试"));
        }
        {
            // An old server gets its compatibility retry first, even in mixed mode.
            TestTile tile(makeRemote(QStringLiteral("Windows 7 PC")), QSize(1280, 720), 32, nullptr,
                          RdpEngine::FreeRdp, true, fake.factory());
            QSignalSpy fallback(&tile, &RdpTile::systemFallbackActivated);
            tile.connectSession();
            emit tile.session()->errorOccurred(QStringLiteral("TLS handshake failed"), 5,
                                               RdpFailure::Security);
            QCOMPARE(statusLabel(tile)->text(), QStringLiteral("检测到旧系统"));
            tile.endSession();
            QTRY_COMPARE(tile.starts.size(), 2);
            QVERIFY(tile.starts.at(1).legacySecurity);
            QCOMPARE(tile.engine(), RdpEngine::FreeRdp);
            QCOMPARE(fallback.size(), 0);
        }
    }

    void systemControlEvents()
    {
        FakeSystem fake;
        TestTile tile(makeRemote(QStringLiteral("erp")), QSize(1024, 768), 24, nullptr, RdpEngine::System,
                      false, fake.factory());
        QSignalSpy failed(&tile, &RdpTile::connectionFailed);
        QSignalSpy interaction(&tile, &RdpTile::interactionFailed);
        QVERIFY(fake.control);
        QVERIFY(!tile.session());
        QVERIFY(!surface(tile)->isVisibleTo(&tile));
        QCOMPARE(systemView(tile)->minimumSize(), QSize(300, 170));

        tile.connectSession();
        QCOMPARE(header(tile), QStringLiteral("连接中|color:#ffbd59|取消"));
        QCOMPARE(fake.connectCalls(), 1);
        fake.control->fire(QStringLiteral("OnConnected"));
        QCOMPARE(header(tile), QStringLiteral("已连接|color:#35c58b|断开"));

        fake.control->offersKeySender = false;
        tile.sendPresetShortcut(1);
        QCOMPARE(interaction.size(), 1);
        QCOMPARE(interaction.at(0).at(0).toString(), tile.remote().id);
        QCOMPARE(interaction.at(0).at(1).toString(), tile.remote().name);

        actionButton(tile)->click();
        QCOMPARE(header(tile), QStringLiteral("已断开|color:#9aa7ba|连接"));

        // The control gives up while connecting: one failure for the attempt, however many errors follow.
        actionButton(tile)->click();
        fake.control->failure = RdpFailure::WrongCredentials;
        fake.control->fire(QStringLiteral("OnDisconnected(int)"), {QVariant(516)});
        fake.control->fire(QStringLiteral("OnFatalError(int)"), {QVariant(3)});
        QCOMPARE(header(tile), QStringLiteral("连接失败|color:#ff7d86|连接"));
        QCOMPARE(failed.size(), 1);
        QVERIFY(surface(tile)->isVisibleTo(&tile));
        QVERIFY(!systemView(tile)->isVisibleTo(&tile));
        QCOMPARE(
            surface(tile)->text(),
            QStringLiteral("系统 RDP 客户端连接失败\n用户名或密码错误\n\n请核对该主机保存的用户名和密码。"));
        QVERIFY(!statusLabel(tile)->toolTip().isEmpty());

        // A new attempt shows the control again and may report again.
        tile.connectSession();
        QVERIFY(!surface(tile)->isVisibleTo(&tile));
        fake.control->fire(QStringLiteral("OnDisconnected(int)"), {QVariant(516)});
        QCOMPARE(failed.size(), 2);
    }

    void setEngineSwitchesTheBody()
    {
        FakeSystem fake;
        TestTile tile(makeRemote(QStringLiteral("web-05")), QSize(1280, 720), 32, nullptr, RdpEngine::FreeRdp,
                      false, fake.factory());
        tile.connectSession();

        tile.setEngine(RdpEngine::System, true);
        QCOMPARE(tile.engine(), RdpEngine::System);
        QCOMPARE(tile.stops, 1);
        QCOMPARE(statusLabel(tile)->text(), QStringLiteral("系统 RDP"));
        QCOMPARE(statusLabel(tile)->styleSheet(), QStringLiteral("color:#4d8dff"));
        QVERIFY(!surface(tile)->isVisibleTo(&tile));
        QTRY_COMPARE(fake.connectCalls(), 1);
        // The FreeRDP session's late end does not touch the system connection.
        QCOMPARE(header(tile), QStringLiteral("连接中|color:#ffbd59|取消"));

        tile.setEngine(RdpEngine::FreeRdp, false);
        QCOMPARE(header(tile), QStringLiteral("FreeRDP|color:#4d8dff|连接"));
        QVERIFY(surface(tile)->isVisibleTo(&tile));
        QVERIFY(!systemView(tile)->isVisibleTo(&tile));
        QCOMPARE(surface(tile)->text(), QStringLiteral("等待 FreeRDP 连接…"));
        QCoreApplication::processEvents();
        QCOMPARE(tile.starts.size(), 1);

        // A tile made for the system control has no FreeRDP session to go back to.
        FakeSystem other;
        TestTile systemTile(makeRemote(QStringLiteral("erp")), QSize(1280, 720), 32, nullptr,
                            RdpEngine::System, false, other.factory());
        systemTile.setEngine(RdpEngine::FreeRdp, true);
        QCOMPARE(systemTile.engine(), RdpEngine::System);
    }

    void presetShortcutKeys_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QList<int>>("keys");
        QTest::newRow("F5") << 0 << QList<int>{116};
        QTest::newRow("Win+R") << 1 << QList<int>{91, 82};
        QTest::newRow("Win+E") << 2 << QList<int>{91, 69};
        QTest::newRow("Ctrl+Alt+Delete") << 3 << QList<int>{17, 18, 46};
        QTest::newRow("Esc") << 4 << QList<int>{27};
        QTest::newRow("Win+L") << 5 << QList<int>{91, 76};
        QTest::newRow("Alt+F4") << 6 << QList<int>{18, 115};
        QTest::newRow("Enter") << 7 << QList<int>{13};
        QTest::newRow("unknown") << 8 << QList<int>{};
        QTest::newRow("negative") << -1 << QList<int>{};
    }

    void presetShortcutKeys()
    {
        QFETCH(int, index);
        QFETCH(QList<int>, keys);
        QCOMPARE(RdpTile::presetShortcutKeys(index), keys);
    }

    void combinationsAndTextReachTheActiveEngine()
    {
        TestTile tile(makeRemote(QStringLiteral("web-06")), QSize(1280, 720), 32);
        // Nothing goes out while idle.
        tile.sendPresetShortcut(3);
        tile.sendText(QStringLiteral("hello"));
        QVERIFY(tile.input.isEmpty());

        tile.connectSession();
        emit tile.session()->connected();
        tile.sendPresetShortcut(3);
        QCOMPARE(keyEvents(tile.takeInput()), QStringLiteral("+11/0 +12/0 +2e/0 -2e/0 -12/0 -11/0"));
        tile.sendPresetShortcut(9);
        tile.sendKeyCombination({});
        tile.sendText(QString());
        QVERIFY(tile.input.isEmpty());
        tile.sendText(QStringLiteral("密码 ok"));
        QCOMPARE(keyEvents(tile.takeInput()), QStringLiteral("text:密码 ok"));

        FakeSystem fake;
        TestTile systemTile(makeRemote(QStringLiteral("erp")), QSize(1280, 720), 32, nullptr,
                            RdpEngine::System, false, fake.factory());
        systemTile.connectSession();
        fake.control->fire(QStringLiteral("OnConnected"));
        systemTile.sendPresetShortcut(6);
        QCOMPARE(fake.control->log()->keyCalls.size(), 1);
        QCOMPARE(fake.control->log()->keyCalls.at(0).size(), 4); // Alt, F4 down; F4, Alt up
    }

    void coordinateMapping_data()
    {
        QTest::addColumn<QSize>("widget");
        QTest::addColumn<QSize>("frame");
        QTest::addColumn<QPoint>("point");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QPoint>("remote");

        // 800x600 in 1000x600: bars of 100 pixels left and right.
        const QSize wide(1000, 600);
        const QSize frame(800, 600);
        QTest::newRow("left bar") << wide << frame << QPoint(99, 300) << false << QPoint();
        QTest::newRow("first column") << wide << frame << QPoint(100, 300) << true << QPoint(0, 300);
        QTest::newRow("last column") << wide << frame << QPoint(899, 599) << true << QPoint(799, 599);
        QTest::newRow("right bar") << wide << frame << QPoint(900, 300) << false << QPoint();
        // 1920x1080 in 640x480: scaled to 640x360, bars of 60 pixels above and below.
        const QSize small(640, 480);
        const QSize full(1920, 1080);
        QTest::newRow("top bar") << small << full << QPoint(320, 59) << false << QPoint();
        QTest::newRow("first row") << small << full << QPoint(0, 60) << true << QPoint(0, 0);
        QTest::newRow("scaled down") << small << full << QPoint(320, 240) << true << QPoint(960, 540);
        QTest::newRow("bottom bar") << small << full << QPoint(320, 420) << false << QPoint();
        // Scaled up: the last visible column is the frame's last.
        QTest::newRow("scaled up last column")
            << QSize(1700, 900) << QSize(800, 600) << QPoint(1449, 899) << true << QPoint(799, 599);
        QTest::newRow("no frame") << small << QSize() << QPoint(10, 10) << false << QPoint();
        QTest::newRow("negative") << small << full << QPoint(-1, 100) << false << QPoint();
    }

    void coordinateMapping()
    {
        QFETCH(QSize, widget);
        QFETCH(QSize, frame);
        QFETCH(QPoint, point);
        QFETCH(bool, valid);
        QFETCH(QPoint, remote);

        const std::optional<QPoint> mapped = RdpTile::mapToRemote(point, widget, frame);
        QCOMPARE(mapped.has_value(), valid);
        if (valid) {
            QCOMPARE(*mapped, remote);
        }
    }

    void framesArePaintedLetterboxed()
    {
        TestTile tile(makeRemote(QStringLiteral("web-07")), QSize(1280, 720), 32);
        tile.resize(900, 500);
        tile.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tile));

        QImage frame(800, 200, QImage::Format_RGB32);
        frame.fill(QColor(200, 30, 40));
        QVERIFY(deliverFrame(*tile.session(), frame));
        RdpSurface* view = surface(tile);
        QCOMPARE(view->frameSize(), frame.size());
        QVERIFY(view->text().isEmpty());

        const QRect target = RdpSurface::imageRect(view->size(), frame.size());
        QVERIFY(target.top() > 0);
        const QImage painted = view->grab().toImage();
        const qreal ratio = painted.devicePixelRatio();
        QCOMPARE(painted.pixelColor(QPoint(view->width() / 2, 0) * ratio), QColor(0x09, 0x0f, 0x18));
        QCOMPARE(painted.pixelColor(target.center() * ratio), QColor(200, 30, 40));
    }

    void surfaceInputIsMappedAndForwarded()
    {
        TestTile tile(makeRemote(QStringLiteral("web-08")), QSize(1280, 720), 32);
        tile.resize(900, 500);
        tile.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tile));
        RdpSurface* view = surface(tile);

        QImage frame(800, 200, QImage::Format_RGB32);
        frame.fill(Qt::darkGreen);
        QVERIFY(deliverFrame(*tile.session(), frame));
        const QRect target = RdpSurface::imageRect(view->size(), frame.size());

        // Idle: the surface keeps its events.
        QTest::mouseClick(view, Qt::LeftButton, {}, target.center());
        QVERIFY(tile.input.isEmpty());

        tile.connectSession();
        emit tile.session()->connected();

        // A click on the letterbox bar is not sent.
        QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(target.center().x(), target.top() - 1));
        QVERIFY(tile.input.isEmpty());

        const QPoint inside = target.topLeft() + QPoint(target.width() - 1, 0);
        const QPoint remote = *RdpTile::mapToRemote(inside, view->size(), frame.size());
        QCOMPARE(remote.x(), frame.width() - 1);
        QTest::mouseClick(view, Qt::RightButton, {}, inside);
        const QList<InputEvent> clicks = tile.takeInput();
        QCOMPARE(clicks.size(), 2);
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(clicks.at(i).kind, int(InputEvent::MouseButton));
            QCOMPARE(clicks.at(i).a, int(Qt::RightButton));
            QCOMPARE(clicks.at(i).b, i == 0 ? 1 : 0);
            QCOMPARE(QPoint(clicks.at(i).c, clicks.at(i).d), remote);
        }

        // A key with native codes goes out as a translated key; losing focus releases what is held.
        QKeyEvent ctrlDown(QEvent::KeyPress, Qt::Key_Control, Qt::ControlModifier, 37, 0xffe3, 0);
        QCoreApplication::sendEvent(view, &ctrlDown);
        QKeyEvent ctrlRepeat(QEvent::KeyPress, Qt::Key_Control, Qt::ControlModifier, 37, 0xffe3, 0, QString(),
                             true);
        QCoreApplication::sendEvent(view, &ctrlRepeat);
        QKeyEvent leftDown(QEvent::KeyPress, Qt::Key_Left, Qt::ControlModifier, 113, 0xff51, 0);
        QCoreApplication::sendEvent(view, &leftDown);
        QKeyEvent leftUp(QEvent::KeyRelease, Qt::Key_Left, Qt::ControlModifier, 113, 0xff51, 0);
        QCoreApplication::sendEvent(view, &leftUp);
        QCOMPARE(keyEvents(tile.takeInput()), QStringLiteral("+a2/1d +a2/1dr +25/14b -25/14b"));

        QFocusEvent focusOut(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
        QCoreApplication::sendEvent(view, &focusOut);
        QCOMPARE(keyEvents(tile.takeInput()), QStringLiteral("-a2/1d"));
        QCoreApplication::sendEvent(view, &focusOut);
        QVERIFY(tile.input.isEmpty());

        // Without native codes a key can only be typed as text.
        QTest::keyClick(view, Qt::Key_A, Qt::NoModifier);
        QTest::keyClick(view, Qt::Key_Shift, Qt::NoModifier);
        QCOMPARE(keyEvents(tile.takeInput()), QStringLiteral("text:a"));
    }

    void mouseButtonHeldAtFocusLossIsReleased()
    {
        TestTile tile(makeRemote(QStringLiteral("web-09")), QSize(1280, 720), 32);
        tile.resize(900, 500);
        tile.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tile));
        RdpSurface* view = surface(tile);
        QImage frame(640, 480, QImage::Format_RGB32);
        frame.fill(Qt::gray);
        QVERIFY(deliverFrame(*tile.session(), frame));
        tile.connectSession();

        const QPoint point = RdpSurface::imageRect(view->size(), frame.size()).center();
        QTest::mousePress(view, Qt::LeftButton, {}, point);
        const QList<InputEvent> pressed = tile.takeInput();
        QCOMPARE(pressed.size(), 1);
        QCOMPARE(pressed.at(0).b, 1);

        QFocusEvent focusOut(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
        QCoreApplication::sendEvent(view, &focusOut);
        const QList<InputEvent> released = tile.takeInput();
        QCOMPARE(released.size(), 1);
        QCOMPARE(released.at(0).kind, int(InputEvent::MouseButton));
        QCOMPARE(released.at(0).a, int(Qt::LeftButton));
        QCOMPARE(released.at(0).b, 0);
        QCOMPARE(QPoint(released.at(0).c, released.at(0).d), QPoint(pressed.at(0).c, pressed.at(0).d));
        QVERIFY(QWidget::mouseGrabber() != view);
    }

    void ctrlDoubleClickRequestsFocus()
    {
        TestTile tile(makeRemote(QStringLiteral("web-10")), QSize(1280, 720), 32);
        tile.resize(900, 500);
        tile.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tile));
        RdpSurface* view = surface(tile);
        QImage frame(640, 480, QImage::Format_RGB32);
        frame.fill(Qt::gray);
        QVERIFY(deliverFrame(*tile.session(), frame));
        tile.connectSession();
        QSignalSpy focus(&tile, &RdpTile::focusRequested);
        const QPointF point = RdpSurface::imageRect(view->size(), frame.size()).center();
        const auto doubleClick = [&point](QWidget* target, Qt::KeyboardModifiers modifiers) {
            QMouseEvent event(QEvent::MouseButtonDblClick, point, target->mapToGlobal(point), Qt::LeftButton,
                              Qt::LeftButton, modifiers);
            QCoreApplication::sendEvent(target, &event);
        };

        doubleClick(view, Qt::ControlModifier);
        QCOMPARE(focus.size(), 1);
        QCOMPARE(focus.at(0).at(0).value<RdpTile*>(), &tile);
        QVERIFY(tile.input.isEmpty());

        // A plain double-click reaches the remote side as another press.
        doubleClick(view, Qt::NoModifier);
        QCOMPARE(focus.size(), 1);
        const QList<InputEvent> sent = tile.takeInput();
        QCOMPARE(sent.size(), 1);
        QCOMPARE(sent.at(0).kind, int(InputEvent::MouseButton));
        QCOMPARE(sent.at(0).b, 1);

        tile.setZoomAllowed(false);
        doubleClick(view, Qt::ControlModifier);
        QCOMPARE(focus.size(), 1);

        // The header and frame of the tile itself.
        tile.setZoomAllowed(true);
        doubleClick(&tile, Qt::ControlModifier);
        QCOMPARE(focus.size(), 2);
    }

    void fileDropRules()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder")));
        const QString folder = dir.filePath(QStringLiteral("folder"));
        const QString file = dir.filePath(QStringLiteral("notes.txt"));
        {
            QFile out(file);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write("x");
        }
        const QList<QUrl> urls{QUrl::fromLocalFile(folder + QLatin1Char('/')), QUrl::fromLocalFile(file),
                               QUrl::fromLocalFile(file), QUrl(QStringLiteral("https://example.com/a"))};

        // Only the system control can carry files.
        {
            TestTile tile(makeRemote(QStringLiteral("web-11")), QSize(1280, 720), 32);
            QSignalSpy rejected(&tile, &RdpTile::localFilesRejected);
            tile.connectSession();
            dropFiles(surface(tile), urls);
            QCOMPARE(rejected.size(), 1);
            QCOMPARE(rejected.at(0).at(1).toString(),
                     QStringLiteral("文件拖拽仅支持系统 RDP 客户端的画面。"));
        }

        FakeSystem fake;
        TestTile tile(makeRemote(QStringLiteral("erp")), QSize(1280, 720), 32, nullptr, RdpEngine::System,
                      false, fake.factory());
        QSignalSpy queued(&tile, &RdpTile::localFilesQueued);
        QSignalSpy rejected(&tile, &RdpTile::localFilesRejected);

        dropFiles(&tile, urls);
        QCOMPARE(rejected.size(), 1);
        QCOMPARE(rejected.at(0).at(1).toString(), QStringLiteral("请先连接该远程主机，再拖入文件。"));

        tile.connectSession();
        fake.control->fire(QStringLiteral("OnConnected"));
        dropFiles(systemView(tile), urls);
        QCOMPARE(queued.size(), 1);
        QCOMPARE(queued.at(0).at(0).toString(), tile.remote().id);
        QCOMPARE(queued.at(0).at(1).toString(), tile.remote().name);
        QCOMPARE(queued.at(0).at(2).toInt(), 2);
        QCOMPARE(RdpTile::localFilePaths(nullptr), QStringList());

        // Files gone by the time of the drop cannot be put on the clipboard.
        dropFiles(&tile, {QUrl::fromLocalFile(dir.filePath(QStringLiteral("missing.txt")))});
        QCOMPARE(rejected.size(), 2);
        QCOMPARE(rejected.at(1).at(1).toString(),
                 QStringLiteral("无法准备文件。请确认文件仍然存在且远程会话允许剪贴板重定向。"));
        QCOMPARE(queued.size(), 1);
    }

    void certificatePaths()
    {
        TestTile tile(makeRemote(QStringLiteral("web-12")), QSize(1280, 720), 32);
        QSignalSpy confirmation(&tile, &RdpTile::certificateConfirmationRequired);
        QSignalSpy trusted(&tile, &RdpTile::certificateFingerprintTrusted);

        // Nothing pending: nothing to trust.
        tile.trustPendingCertificate();
        QCOMPARE(trusted.size(), 0);

        tile.connectSession();
        emit tile.session()->certificateRejected(QStringLiteral("192.0.2.10"), QStringLiteral("CN=web-12"),
                                                 QStringLiteral("CN=Corp CA"), QStringLiteral("ab:cd:ef"));
        QCOMPARE(confirmation.size(), 1);
        QCOMPARE(confirmation.at(0).at(0).value<RdpTile*>(), &tile);
        QCOMPARE(confirmation.at(0).at(1).toString(),
                 QStringLiteral("主机：192.0.2.10\n主题：CN=web-12\n签发者：CN=Corp CA\n新指纹：ab:cd:ef"));

        tile.trustPendingCertificate();
        QCOMPARE(trusted.size(), 1);
        QCOMPARE(trusted.at(0).at(0).toString(), tile.remote().id);
        QCOMPARE(trusted.at(0).at(1).toString(), QStringLiteral("ab:cd:ef"));
        QCOMPARE(tile.remote().rdp_certificate_fingerprint, QStringLiteral("ab:cd:ef"));
        QCOMPARE(tile.stops, 1);
        QTRY_COMPARE(tile.starts.size(), 2);
        QVERIFY(tile.isActive());

        tile.trustPendingCertificate();
        QCOMPARE(trusted.size(), 1);

        emit tile.session()->certificateTrusted(tile.remote().id, QStringLiteral("12:34"));
        QCOMPARE(trusted.size(), 2);
        QCOMPARE(trusted.at(1).at(1).toString(), QStringLiteral("12:34"));
        QCOMPARE(tile.remote().rdp_certificate_fingerprint, QStringLiteral("12:34"));
    }

    void systemCertificatePaths()
    {
        const QString recorded = QStringLiteral("0a:0b");
        const QString presented = QStringLiteral("0c:0d");
        FakeSystem fake;
        fake.pinning = true;
        Remote remote = makeRemote(QStringLiteral("web-13"));
        remote.rdp_certificate_fingerprint = recorded;
        TestTile tile(remote, QSize(1280, 720), 32, nullptr, RdpEngine::System, false, fake.factory());
        QSignalSpy confirmation(&tile, &RdpTile::certificateConfirmationRequired);
        QSignalSpy trusted(&tile, &RdpTile::certificateFingerprintTrusted);
        QSignalSpy failed(&tile, &RdpTile::connectionFailed);

        // A certificate other than the recorded one: refused, and the user is asked as for the embedded
        // engine's.
        tile.connectSession();
        QVERIFY(fake.probe());
        fake.probe()->answer(RdpCertificateProbe::Outcome::Certificate, presented);
        QCOMPARE(fake.connectCalls(), 0);
        QCOMPARE(header(tile), QStringLiteral("连接失败|color:#ff7d86|连接"));
        QCOMPARE(failed.size(), 1);
        QVERIFY(surface(tile)->text().contains(QStringLiteral("服务器证书与记录的指纹不符")));
        QCOMPARE(confirmation.size(), 1);
        QCOMPARE(confirmation.at(0).at(1).toString(),
                 QStringLiteral("主机：192.0.2.10\n主题：CN = web-01\n签发者：CN = web-01\n新指纹：0c:0d"));
        QVERIFY(trusted.isEmpty());

        // Trusting it stores it and connects again, now pinned to it.
        tile.trustPendingCertificate();
        QCOMPARE(trusted.size(), 1);
        QCOMPARE(trusted.at(0).at(0).toString(), tile.remote().id);
        QCOMPARE(trusted.at(0).at(1).toString(), presented);
        QTRY_COMPARE(fake.probes.size(), 2);
        fake.probe()->answer(RdpCertificateProbe::Outcome::Certificate, presented);
        QCOMPARE(fake.connectCalls(), 1);
        fake.control->fire(QStringLiteral("OnConnected"));
        QCOMPARE(header(tile), QStringLiteral("已连接|color:#35c58b|断开"));
        QCOMPARE(trusted.size(), 1);

        // A host without a record trusts the first certificate, which reaches the tile's record.
        FakeSystem fresh;
        fresh.pinning = true;
        TestTile first(makeRemote(QStringLiteral("web-14")), QSize(1280, 720), 32, nullptr, RdpEngine::System,
                       false, fresh.factory());
        QSignalSpy firstTrusted(&first, &RdpTile::certificateFingerprintTrusted);
        first.connectSession();
        fresh.probe()->answer(RdpCertificateProbe::Outcome::Certificate, presented);
        QCOMPARE(firstTrusted.size(), 1);
        QCOMPARE(firstTrusted.at(0).at(0).toString(), QStringLiteral("id-web-14"));
        QCOMPARE(firstTrusted.at(0).at(1).toString(), presented);
        QCOMPARE(first.remote().rdp_certificate_fingerprint, presented);
        QCOMPARE(fresh.connectCalls(), 1);
    }
};

QTEST_MAIN(TestRdpTile)
#include "test_rdp_tile.moc"
