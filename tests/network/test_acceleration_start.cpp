#include "network/acceleration_manager.h"
#include "support/acceleration_test_bed.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>

// Starting acceleration against a real acceleration service and relay nodes on 127.0.0.1: the node
// list, the token exchange, the probes, late replies and the token renewal.
class TestAccelerationStart : public QObject
{
    Q_OBJECT

    static QString text(const char* utf8) { return QString::fromUtf8(utf8); }

    // Starts `bed`; false (with the test failed) when a peer cannot run.
    static bool startBed(AccelerationTestBed& bed)
    {
        QString error;
        const bool started = bed.start(&error);
        if (!started)
            QTest::qFail(qPrintable(error), __FILE__, __LINE__);
        return started;
    }

    // Runs checkAvailability to its end; the message of availabilityFailed, or empty on readyToEnable.
    static QString runStart(AccelerationManager& manager)
    {
        QSignalSpy ready(&manager, &AccelerationManager::readyToEnable);
        QSignalSpy failed(&manager, &AccelerationManager::availabilityFailed);
        manager.checkAvailability();
        if (!QTest::qWaitFor([&] { return !ready.isEmpty() || !failed.isEmpty(); }, 30000))
            return QStringLiteral("<no answer>");
        return failed.isEmpty() ? QString() : failed.first().first().toString();
    }

    static QJsonObject node(const QString& id, const QString& name, const QJsonValue& host,
                            const QJsonValue& port)
    {
        QJsonObject object{
            {QStringLiteral("id"), id}, {QStringLiteral("name"), name}, {QStringLiteral("host"), host}};
        if (!port.isUndefined())
            object.insert(QStringLiteral("port"), port);
        return object;
    }

private slots:
    void initTestCase()
    {
        const QString reason = TestCertificateAuthority::unavailableReason();
        if (!reason.isEmpty())
            QSKIP(qPrintable(reason));
    }

    void withoutPortalSessionNothingStarts()
    {
        AccelerationManager manager;
        QSignalSpy failed(&manager, &AccelerationManager::availabilityFailed);
        QSignalSpy status(&manager, &AccelerationManager::statusChanged);
        manager.checkAvailability();
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.first().first().toString(), text("请先登录Vantrel账号，再启动远程加速。"));
        QVERIFY(status.isEmpty());
        QVERIFY(!manager.isBusy());

        manager.setPartnerSession("cookie", "jwt");
        manager.clearPartnerSession();
        manager.checkAvailability();
        QCOMPARE(failed.size(), 2);
        QCOMPARE(failed.last().first().toString(), text("请先登录Vantrel账号，再启动远程加速。"));
    }

    void startOffersTheBestNodeAndEnables()
    {
        AccelerationTestBed bed;
        if (!startBed(bed))
            return;
        AccelerationManager& manager = bed.manager();
        QSignalSpy status(&manager, &AccelerationManager::statusChanged);
        QSignalSpy ready(&manager, &AccelerationManager::readyToEnable);
        QSignalSpy enabled(&manager, &AccelerationManager::enabledChanged);

        manager.checkAvailability();
        QVERIFY(manager.isBusy());
        QCOMPARE(status.first().first().toString(), text("正在读取加速节点…"));
        // Ignored while a start runs.
        manager.checkAvailability();
        QVERIFY(QTest::qWaitFor([&] { return !ready.isEmpty(); }, 30000));
        QCOMPARE(bed.service().nodeListRequests(), 1);
        QCOMPARE(bed.service().tokenRequests(), 1);
        QCOMPARE(bed.service().lastHeader("User-Agent"), QByteArray("NIMBARA-Vantrel-Acceleration/1"));
        QCOMPARE(status.last().first().toString(), text("正在检测加速节点延迟…"));
        QVERIFY(!manager.isBusy());
        QVERIFY(!manager.isEnabled());

        const QList<AccelerationNode> nodes = manager.nodes();
        QCOMPARE(nodes.size(), 3);
        for (int i = 0; i < bed.relayCount(); ++i)
            QCOMPARE(bed.relay(i).probes(), 1);
        for (qsizetype i = 1; i < nodes.size(); ++i)
            QVERIFY(nodes.at(i - 1).latencyMs <= nodes.at(i).latencyMs);
        QCOMPARE(ready.first().at(0).toString(), nodes.first().name);
        QCOMPARE(ready.first().at(1).toInt(), nodes.first().latencyMs);

        manager.enableAcceleration();
        QVERIFY(manager.isEnabled());
        QCOMPARE(enabled.size(), 1);
        QCOMPARE(enabled.first().first().toBool(), true);
        QCOMPARE(
            status.last().first().toString(),
            text("远程加速已开启：%1 · 节点延迟 %2 ms").arg(nodes.first().name).arg(nodes.first().latencyMs));
        // Ignored while on.
        manager.checkAvailability();
        QCOMPARE(bed.service().nodeListRequests(), 1);

        manager.disableAcceleration();
        QVERIFY(!manager.isEnabled());
        QCOMPARE(enabled.last().first().toBool(), false);
        QCOMPARE(status.last().first().toString(), text("远程加速已关闭"));
        QVERIFY(manager.nodes().isEmpty());
        // Without a token nothing switches on.
        manager.enableAcceleration();
        QVERIFY(!manager.isEnabled());
    }

    void declinedOfferLeavesTheNodeNameToLaterReceivers()
    {
        AccelerationTestBed bed(1);
        if (!startBed(bed))
            return;
        AccelerationManager& manager = bed.manager();
        // The first receiver declines the offer, as the window's "No" does, which clears the nodes.
        QObject::connect(&manager, &AccelerationManager::readyToEnable, &manager,
                         [&manager] { manager.disableAcceleration(); });
        QSignalSpy ready(&manager, &AccelerationManager::readyToEnable);
        manager.checkAvailability();
        QVERIFY(QTest::qWaitFor([&] { return !ready.isEmpty(); }, 30000));
        QCOMPARE(ready.first().at(0).toString(), QStringLiteral("香港 1"));
        QVERIFY(ready.first().at(1).toInt() >= 0);
        QVERIFY(manager.nodes().isEmpty());
        QVERIFY(!manager.isEnabled());
    }

    void nodeListRules()
    {
        AccelerationTestBed bed(1);
        if (!startBed(bed))
            return;
        AccelerationManager& manager = bed.manager();
        const QString relayHost = QStringLiteral("127.0.0.1");
        const int relayPort = bed.relay(0).port();
        const QString unusable = text("加速节点配置不可用，请稍后再试。");

        // 25 valid nodes: the first 20 are kept.
        QJsonArray many;
        for (int i = 1; i <= 25; ++i)
            many.append(
                node(QStringLiteral("n%1").arg(i), QStringLiteral("节点 %1").arg(i), relayHost, relayPort));
        bed.service().setNodes(many);
        QCOMPARE(runStart(manager), QString());
        QCOMPARE(manager.nodes().size(), 20);
        QStringList ids;
        for (const AccelerationNode& n : manager.nodes())
            ids.append(n.id);
        ids.sort();
        QStringList expected;
        for (int i = 1; i <= 20; ++i)
            expected.append(QStringLiteral("n%1").arg(i));
        expected.sort();
        QCOMPARE(ids, expected);
        manager.disableAcceleration();

        // Bad hosts, ports and ids are dropped; the host is trimmed, an empty name becomes the id.
        const QJsonArray mixed{
            node(QStringLiteral("underscore"), QStringLiteral("a"), QStringLiteral("relay_1.example"),
                 relayPort),
            node(QStringLiteral("space"), QStringLiteral("b"), QStringLiteral("relay 1.example"), relayPort),
            node(QStringLiteral("port0"), QStringLiteral("c"), relayHost, 0),
            node(QStringLiteral("port-high"), QStringLiteral("d"), relayHost, 65536),
            node(QStringLiteral("port-text"), QStringLiteral("e"), relayHost, QStringLiteral("443")),
            node(QStringLiteral("port-beyond-int"), QStringLiteral("e"), relayHost, 2211111111.0),
            node(QStringLiteral("port-below-int"), QStringLiteral("e"), relayHost, -2211111111.0),
            node(QStringLiteral("port-huge"), QStringLiteral("e"), relayHost, 1e300),
            node(QStringLiteral("port-fraction"), QStringLiteral("e"), relayHost, 443.5),
            node(QString(), QStringLiteral("no id"), relayHost, relayPort),
            node(QStringLiteral("no-host"), QStringLiteral("f"), QString(), relayPort),
            node(QStringLiteral("good"), QString(), QStringLiteral("  127.0.0.1 "), relayPort),
        };
        bed.service().setNodes(mixed);
        QCOMPARE(runStart(manager), QString());
        QCOMPARE(manager.nodes().size(), 1);
        QCOMPARE(manager.nodes().first().id, QStringLiteral("good"));
        QCOMPARE(manager.nodes().first().name, QStringLiteral("good"));
        QCOMPARE(manager.nodes().first().host, relayHost);
        QCOMPARE(int(manager.nodes().first().port), relayPort);
        manager.disableAcceleration();

        // Refused documents never reach the token exchange.
        const int tokenRequests = bed.service().tokenRequests();
        bed.service().setNodes(
            QJsonArray{node(QStringLiteral("a"), QStringLiteral("a"), relayHost, relayPort)}, 2);
        QCOMPARE(runStart(manager), unusable);
        QVERIFY(!manager.isBusy());
        bed.service().setNodes(QJsonArray{node(QStringLiteral("bad"), QStringLiteral("b"), relayHost, 0)});
        QCOMPARE(runStart(manager), unusable);
        bed.service().setNodeListReply(QByteArray("not json"));
        QCOMPARE(runStart(manager), unusable);
        // 65536 bytes are read; one more and the document does not count.
        const QByteArray document =
            QJsonDocument(
                QJsonObject{
                    {QStringLiteral("version"), 1},
                    {QStringLiteral("nodes"),
                     QJsonArray{node(QStringLiteral("a"), QStringLiteral("a"), relayHost, relayPort)}},
                })
                .toJson(QJsonDocument::Compact);
        bed.service().setNodeListReply(document, 404);
        QCOMPARE(runStart(manager), unusable);
        QCOMPARE(bed.service().tokenRequests(), tokenRequests);

        bed.service().setNodeListReply(document + QByteArray(65536 - document.size(), ' '));
        QCOMPARE(runStart(manager), QString());
        manager.disableAcceleration();
        bed.service().setNodeListReply(document + QByteArray(65537 - document.size(), ' '));
        QCOMPARE(runStart(manager), unusable);
        // Port defaults to 443: a node without one is taken (and then unreachable here).
        bed.service().setNodes(QJsonArray{
            node(QStringLiteral("default-port"), QStringLiteral("x"), relayHost, QJsonValue::Undefined)});
        QCOMPARE(runStart(manager), text("加速功能失败：所有香港节点均不可用。"));
    }

    void tokenLengthLimit()
    {
        AccelerationTestBed bed(1);
        if (!startBed(bed))
            return;
        AccelerationManager& manager = bed.manager();

        const QByteArray longest(512, 't');
        bed.service().setToken(longest);
        bed.setRelayToken(longest);
        QCOMPARE(runStart(manager), QString());
        QCOMPARE(bed.relay(0).probes(), 1);
        manager.disableAcceleration();

        bed.service().setToken(longest + 't');
        bed.setRelayToken(longest + 't');
        QCOMPARE(runStart(manager), text("Vantrel用户加速权限验证失败，请检查登录状态和节点服务。"));
        QCOMPARE(bed.relay(0).probes(), 1);
        QVERIFY(!manager.isBusy());

        // A session the service does not know and an empty token are refused the same way.
        bed.service().setToken(QByteArray());
        QCOMPARE(runStart(manager), text("Vantrel用户加速权限验证失败，请检查登录状态和节点服务。"));
        bed.service().setToken(AccelerationTestBed::kToken);
        manager.setPartnerSession("other-cookie", AccelerationTestBed::kJwt);
        QCOMPARE(runStart(manager), text("Vantrel用户加速权限验证失败，请检查登录状态和节点服务。"));
        QCOMPARE(bed.relay(0).probes(), 1);
    }

    void probesNeedStatus204()
    {
        AccelerationTestBed bed(3);
        if (!startBed(bed))
            return;
        AccelerationManager& manager = bed.manager();
        // 200 instead of 204, and a probe with a token the node does not know: unreachable.
        bed.relay(0).setProbeStatus(200);
        bed.relay(2).setToken("another-token");
        QCOMPARE(runStart(manager), QString());
        QCOMPARE(manager.nodes().size(), 1);
        QCOMPARE(manager.nodes().first().id, QStringLiteral("hk2"));
        manager.disableAcceleration();

        bed.relay(1).setProbeStatus(500);
        QCOMPARE(runStart(manager), text("加速功能失败：所有香港节点均不可用。"));
        QVERIFY(manager.nodes().isEmpty());
        QVERIFY(!manager.isBusy());
        // The token went with the nodes.
        manager.enableAcceleration();
        QVERIFY(!manager.isEnabled());
    }

    // The service and the nodes are trusted through the system's roots plus the configured CA only.
    void serviceAndNodesMustBeTrusted()
    {
        AccelerationTestBed bed(1);
        if (!startBed(bed))
            return;
        AccelerationManager untrusting;
        QVERIFY(untrusting.setServiceEndpoint(QUrl(bed.service().baseUrl())));
        untrusting.setPartnerSession(AccelerationTestBed::kCookie, AccelerationTestBed::kJwt);
        QCOMPARE(runStart(untrusting), text("加速节点配置不可用，请稍后再试。"));
        QCOMPARE(bed.service().nodeListRequests(), 0);

        TestRelayNode stranger(bed.ca(), false);
        QString error;
        QVERIFY2(stranger.start(&error), qPrintable(error));
        stranger.setToken(AccelerationTestBed::kToken);
        bed.service().setNodes(
            QJsonArray{stranger.nodeEntry(QStringLiteral("stranger"), QStringLiteral("陌生节点")),
                       bed.relay(0).nodeEntry(QStringLiteral("trusted"), QStringLiteral("香港"))});
        QCOMPARE(runStart(bed.manager()), QString());
        QCOMPARE(bed.manager().nodes().size(), 1);
        QCOMPARE(bed.manager().nodes().first().id, QStringLiteral("trusted"));
        QCOMPARE(stranger.probes(), 0);
        QVERIFY(stranger.failedHandshakes() >= 1);
    }

    // A reply that arrives after a stop belongs to an earlier run and changes nothing.
    void lateRepliesOfAnEarlierRunAreIgnored()
    {
        AccelerationTestBed bed(2);
        if (!startBed(bed))
            return;
        AccelerationManager& manager = bed.manager();
        auto* network = manager.findChild<QNetworkAccessManager*>();
        QVERIFY(network);
        QSignalSpy finished(network, &QNetworkAccessManager::finished);
        QSignalSpy ready(&manager, &AccelerationManager::readyToEnable);
        QSignalSpy failed(&manager, &AccelerationManager::availabilityFailed);
        QSignalSpy status(&manager, &AccelerationManager::statusChanged);

        // The node list arrives after disableAcceleration: a document that would fail the start.
        bed.service().setNodes(QJsonArray{}, 2);
        bed.service().holdReplies(true);
        manager.checkAvailability();
        QVERIFY(QTest::qWaitFor([&] { return bed.service().nodeListRequests() == 1; }, 30000));
        manager.disableAcceleration();
        QVERIFY(!manager.isBusy());
        const qsizetype statusBefore = status.size();
        bed.service().releaseHeldReplies();
        QVERIFY(QTest::qWaitFor([&] { return finished.size() == 1; }, 30000));
        QVERIFY(failed.isEmpty());
        QCOMPARE(status.size(), statusBefore);
        QCOMPARE(bed.service().tokenRequests(), 0);

        // The token arrives after the stop: no probes follow.
        bed.publishRelays();
        manager.checkAvailability();
        QVERIFY(QTest::qWaitFor([&] { return bed.service().nodeListRequests() == 2; }, 30000));
        bed.service().releaseHeldReplies();
        QVERIFY(QTest::qWaitFor([&] { return bed.service().tokenRequests() == 1; }, 30000));
        manager.disableAcceleration();
        bed.service().releaseHeldReplies();
        QVERIFY(QTest::qWaitFor([&] { return finished.size() == 3; }, 30000));
        QVERIFY(ready.isEmpty());
        QVERIFY(failed.isEmpty());
        QCOMPARE(bed.relay(0).probes() + bed.relay(1).probes(), 0);

        // A new run is not disturbed by them.
        bed.service().holdReplies(false);
        QCOMPARE(runStart(manager), QString());
        QCOMPARE(manager.nodes().size(), 2);
    }

    void tokenIsRenewedWhileOnAndItsLossSwitchesOff()
    {
        AccelerationTestBed bed(2);
        if (!startBed(bed))
            return;
        AccelerationManager& manager = bed.manager();
        manager.setReauthIntervalMs(50);
        QString error;
        QVERIFY2(bed.enable(&error), qPrintable(error));
        const int issued = bed.service().tokensIssued();
        QVERIFY(QTest::qWaitFor([&] { return bed.service().tokensIssued() >= issued + 3; }, 30000));
        QVERIFY(manager.isEnabled());
        // Renewals do not probe again.
        QCOMPARE(bed.relay(0).probes(), 1);

        QSignalSpy failed(&manager, &AccelerationManager::availabilityFailed);
        QSignalSpy enabled(&manager, &AccelerationManager::enabledChanged);
        bed.service().setToken(AccelerationTestBed::kToken, 503);
        QVERIFY(QTest::qWaitFor([&] { return !failed.isEmpty(); }, 30000));
        QCOMPARE(failed.first().first().toString(),
                 text("Vantrel用户加速权限验证失败，请检查登录状态和节点服务。"));
        QVERIFY(!manager.isEnabled());
        QCOMPARE(enabled.size(), 1);
        QCOMPARE(enabled.first().first().toBool(), false);
        QVERIFY(manager.nodes().isEmpty());
        // Renewals still on their way when it switched off change nothing; a later start works.
        bed.service().setToken(AccelerationTestBed::kToken);
        QCOMPARE(runStart(manager), QString());
        QVERIFY(!manager.isEnabled());
        QCOMPARE(failed.size(), 1);
    }

    void newPortalSessionSwitchesOff()
    {
        AccelerationTestBed bed(1);
        if (!startBed(bed))
            return;
        QString error;
        QVERIFY2(bed.enable(&error), qPrintable(error));
        QSignalSpy enabled(&bed.manager(), &AccelerationManager::enabledChanged);
        bed.manager().setPartnerSession("new-cookie", "new-jwt");
        QVERIFY(!bed.manager().isEnabled());
        QCOMPARE(enabled.size(), 1);
        QVERIFY(bed.manager().nodes().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestAccelerationStart)
#include "test_acceleration_start.moc"
