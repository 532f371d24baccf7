#include "rdp/freerdp_session.h"

#include "support/manual_clock.h"
#include "support/rdp_test_server.h"
#include "support/tcp_relay.h"
#include "support/test_environment.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <X11/keysym.h>
#include <freerdp/error.h>
#include <freerdp/freerdp.h>
#include <freerdp/settings.h>
#include <winpr/synch.h>

#include <cstdint>
#include <future>
#include <limits>
#include <map>
#include <memory>
#include <thread>
#include <vector>

// The session's internals that the queue, frame and certificate rules are observed through.
class FreeRdpSessionTestAccess
{
public:
    static FreeRdpSessionState& state(FreeRdpSession& session) { return *session.m_state; }
    static std::shared_ptr<FreeRdpSessionState> sharedState(FreeRdpSession& session)
    {
        return session.m_state;
    }

    static std::vector<InputEvent> queued(FreeRdpSession& session)
    {
        FreeRdpSessionState& s = state(session);
        std::lock_guard lock(s.inputMutex);
        return {s.inputQueue.begin(), s.inputQueue.end()};
    }

    // The worker has ended (or none was started).
    static bool workerFinished(FreeRdpSession& session)
    {
        return !session.m_worker || session.m_worker->isFinished();
    }

    static const QTimer& frameTimer(FreeRdpSession& session) { return session.m_frameTimer; }
    static const QTimer& connectTimer(FreeRdpSession& session) { return session.m_connectTimer; }

    static bool framePending(FreeRdpSession& session)
    {
        FreeRdpSessionState& s = state(session);
        std::lock_guard lock(s.frameMutex);
        return s.framePending;
    }

    static void storeFrame(FreeRdpSession& session, const QImage& image, const QRect& dirty)
    {
        session.storeFrame(image, dirty);
    }

    // What the frame timer does when it runs out.
    static void runOutFrameTimer(FreeRdpSession& session)
    {
        session.m_frameTimer.stop();
        session.deliverFrame();
    }

    static quint32 checkCertificate(FreeRdpSession& session, const QString& fingerprint)
    {
        return session.checkCertificate(QStringLiteral("srv.example"), QStringLiteral("CN=srv"),
                                        QStringLiteral("CN=issuer"), fingerprint);
    }

    static QString normalizeFingerprint(const QString& fingerprint)
    {
        return FreeRdpSession::normalizeFingerprint(fingerprint);
    }

    static quint32 rdpScanCode(int virtualKey, int scanCode)
    {
        return FreeRdpInput::rdpScanCode(virtualKey, scanCode);
    }

    static QList<quint16> wheelPointerFlags(int delta) { return FreeRdpInput::wheelPointerFlags(delta); }
};

using Access = FreeRdpSessionTestAccess;

namespace {

constexpr int kPeerTimeoutMs = 20000;
// A connect time-out that no test lives to see: an attempt that ends did not end by it.
constexpr int kEndlessConnectSeconds = 24 * 60 * 60;
const QString kNlaUser = QStringLiteral("tester");
const QString kNlaDomain = QStringLiteral("NIMBARA");
const QString kNlaPassword = QStringLiteral("S3cret-密码");

Remote makeRemote(quint16 port)
{
    Remote remote;
    remote.id = QStringLiteral("remote-7");
    remote.name = QStringLiteral("机房-07");
    remote.host = QStringLiteral("127.0.0.1");
    remote.port = port;
    return remote;
}

QImage solidImage(QSize size, QRgb color)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(color);
    return image;
}

bool closeTo(QRgb actual, QColor expected)
{
    return qAbs(qRed(actual) - expected.red()) <= 8 && qAbs(qGreen(actual) - expected.green()) <= 8 &&
           qAbs(qBlue(actual) - expected.blue()) <= 8;
}

// Records the order in which a session's signals arrive, next to spies for their arguments.
struct SessionWatch
{
    explicit SessionWatch(FreeRdpSession& session)
        : connected(&session, &FreeRdpSession::connected),
          disconnected(&session, &FreeRdpSession::disconnected),
          frames(&session, &FreeRdpSession::frameReady),
          rejected(&session, &FreeRdpSession::certificateRejected),
          trusted(&session, &FreeRdpSession::certificateTrusted),
          errors(&session, &FreeRdpSession::errorOccurred)
    {
        QObject::connect(&session, &FreeRdpSession::connected, &session, [this] { order << "connected"; });
        QObject::connect(&session, &FreeRdpSession::disconnected, &session,
                         [this] { order << "disconnected"; });
        QObject::connect(&session, &FreeRdpSession::errorOccurred, &session, [this] { order << "error"; });
        QObject::connect(&session, &FreeRdpSession::frameReady, &session,
                         [this, &session] { latest = session.frame().copy(); });
    }

    QString lastError() const { return errors.isEmpty() ? QString() : errors.last().at(0).toString(); }
    RdpFailure lastFailure() const
    {
        return errors.isEmpty() ? RdpFailure::NoFailure : errors.last().at(2).value<RdpFailure>();
    }

    QSignalSpy connected;
    QSignalSpy disconnected;
    QSignalSpy frames;
    QSignalSpy rejected;
    QSignalSpy trusted;
    QSignalSpy errors;
    QStringList order;
    // The frame as the last delivery showed it.
    QImage latest;
};

// Accepts TCP connections and never answers: a server that hangs in the connection sequence.
class SilentServer
{
public:
    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return m_server.serverPort(); }

    // True once a client has connected and sent its first request.
    bool requestReceived()
    {
        while (m_server.hasPendingConnections()) {
            m_clients.append(m_server.nextPendingConnection());
        }
        for (QTcpSocket* client : std::as_const(m_clients)) {
            if (client->bytesAvailable() > 0) {
                return true;
            }
        }
        return false;
    }

    // True once every client that connected has gone again.
    bool clientsClosed() const
    {
        for (QTcpSocket* client : m_clients) {
            if (client->state() != QAbstractSocket::UnconnectedState) {
                return false;
            }
        }
        return !m_clients.isEmpty();
    }

private:
    QTcpServer m_server;
    QList<QTcpSocket*> m_clients;
};

enum class ServerKind { Open, TlsOnly, RdpOnly, NlaOnly };

} // namespace

class TestFreeRdpSession : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_root;
    ScopedEnvironment m_env;
    TestXDisplay m_display;
    bool m_displayReady = false;
    QString m_displayError;
    std::map<ServerKind, std::unique_ptr<TestRdpServer>> m_servers;

    // The shared display, or a skip when this machine cannot run one.
    bool requireDisplay()
    {
        if (!m_displayReady) {
            qWarning("no X display for the RDP server: %s", qPrintable(m_displayError));
        }
        return m_displayReady;
    }

    TestRdpServer* server(ServerKind kind)
    {
        auto found = m_servers.find(kind);
        if (found != m_servers.end()) {
            return found->second.get();
        }
        auto server = std::make_unique<TestRdpServer>();
        QStringList arguments;
        switch (kind) {
        case ServerKind::Open:
            arguments << QStringLiteral("-auth");
            break;
        case ServerKind::TlsOnly:
            arguments << QStringLiteral("/sec:tls") << QStringLiteral("-auth");
            break;
        case ServerKind::RdpOnly:
            arguments << QStringLiteral("/sec:rdp") << QStringLiteral("-auth");
            break;
        case ServerKind::NlaOnly: {
            const QString samFile = server->homeFile(QStringLiteral("users.sam"));
            writeFile(samFile, samEntry(kNlaUser, kNlaDomain, kNlaPassword));
            arguments << QStringLiteral("/sec:nla") << QStringLiteral("-auth")
                      << QStringLiteral("/sam-file:%1").arg(samFile);
            break;
        }
        }
        QString error;
        if (!server->start(m_display.name(), arguments, &error)) {
            qWarning("RDP server did not start: %s", qPrintable(error));
            return nullptr;
        }
        TestRdpServer* raw = server.get();
        m_servers.emplace(kind, std::move(server));
        return raw;
    }

    // Starts a session against the server and waits until it is connected.
    static bool connectTo(FreeRdpSession& session, SessionWatch& watch, const Remote& remote,
                          bool ignoreCertificate = false, bool legacySecurity = false)
    {
        if (!session.start(remote, QSize(1280, 720), ignoreCertificate, legacySecurity, 32)) {
            return false;
        }
        (void)QTest::qWaitFor([&] { return !watch.connected.isEmpty() || !watch.disconnected.isEmpty(); },
                              kPeerTimeoutMs);
        return !watch.connected.isEmpty();
    }

    static void stopAndWait(FreeRdpSession& session, SessionWatch& watch)
    {
        const qsizetype before = watch.disconnected.size();
        session.stop();
        QTRY_VERIFY_WITH_TIMEOUT(watch.disconnected.size() > before, kPeerTimeoutMs);
        QVERIFY(!session.isRunning());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        isolateProcess(m_env, m_root.path());
        silenceFreeRdpLog(m_env);
        m_displayReady = m_display.start(&m_displayError);
    }

    void cleanupTestCase()
    {
        m_servers.clear();
        m_display.stop();
    }

    // --- start arguments ---

    void startRefusesBadArguments_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::newRow("empty host") << QString() << 3389;
        QTest::newRow("blank host") << QStringLiteral(" \t ") << 3389;
        QTest::newRow("port 0") << QStringLiteral("127.0.0.1") << 0;
        QTest::newRow("port 65536") << QStringLiteral("127.0.0.1") << 65536;
        QTest::newRow("negative port") << QStringLiteral("127.0.0.1") << -1;
    }

    void startRefusesBadArguments()
    {
        QFETCH(QString, host);
        QFETCH(int, port);
        FreeRdpSession session;
        SessionWatch watch(session);
        Remote remote = makeRemote(3389);
        remote.host = host;
        remote.port = port;

        QVERIFY(!session.start(remote, QSize(1024, 768), false, false, 32));
        QVERIFY(!session.isRunning());
        QCoreApplication::processEvents();
        QVERIFY(watch.order.isEmpty());
        QVERIFY(watch.errors.isEmpty());
    }

    void startRaisesSizeAndSettlesColourDepth_data()
    {
        QTest::addColumn<QSize>("requested");
        QTest::addColumn<int>("depth");
        QTest::addColumn<QSize>("expectedSize");
        QTest::addColumn<int>("expectedDepth");
        QTest::newRow("both too small, 8 bit") << QSize(320, 200) << 8 << QSize(640, 480) << 32;
        QTest::newRow("height too small, 15 bit") << QSize(1600, 300) << 15 << QSize(1600, 480) << 32;
        QTest::newRow("width too small, 16 bit") << QSize(100, 900) << 16 << QSize(640, 900) << 16;
        QTest::newRow("large, 24 bit") << QSize(1920, 1080) << 24 << QSize(1920, 1080) << 24;
        QTest::newRow("invalid size, 32 bit") << QSize() << 32 << QSize(640, 480) << 32;
    }

    void startRaisesSizeAndSettlesColourDepth()
    {
        QFETCH(QSize, requested);
        QFETCH(int, depth);
        QFETCH(QSize, expectedSize);
        QFETCH(int, expectedDepth);
        // Nothing listens on the port: the attempt fails at once and the session idles again.
        FreeRdpSession session;
        SessionWatch watch(session);
        QVERIFY(session.start(makeRemote(freeLoopbackPort()), requested, false, false, depth));
        QCOMPARE(Access::state(session).desktopSize, expectedSize);
        QCOMPARE(Access::state(session).colorDepth, expectedDepth);
        QTRY_COMPARE_WITH_TIMEOUT(watch.disconnected.size(), 1, kPeerTimeoutMs);
        QCOMPARE(watch.order, QStringList({"error", "disconnected"}));
        // Nothing listens on the port: FreeRDP's transport failure is found to be a refusal.
        QCOMPARE(watch.lastFailure(), RdpFailure::Refused);
        QCOMPARE(watch.lastError(), QStringLiteral("连接被拒绝：端口未开放或远程桌面服务未运行"));
        QCOMPARE(watch.errors.last().at(1).toUInt(), quint32(FREERDP_ERROR_CONNECT_TRANSPORT_FAILED));
        QVERIFY(!session.isRunning());
    }

    void connectTimeoutSetting()
    {
        FreeRdpSession session;
        QCOMPARE(session.connectTimeout(), 30);
        session.setConnectTimeout(12);
        QCOMPARE(session.connectTimeout(), 12);
        session.setConnectTimeout(0);
        QCOMPARE(session.connectTimeout(), 30);
    }

    // --- input queue ---

    void inputNeedsARunningSession()
    {
        FreeRdpSession session;
        session.sendMouseMove(1, 2);
        session.sendKey(0x41, 0x1E, true, false);
        session.sendText(QStringLiteral("abc"));
        QVERIFY(Access::queued(session).empty());
    }

    void inputQueueMergesCapsAndCuts()
    {
        // A silent server keeps the session connecting, so everything stays queued.
        SilentServer silent;
        QVERIFY(silent.listen());
        FreeRdpSession session;
        SessionWatch watch(session);
        QVERIFY(session.start(makeRemote(silent.port()), QSize(1024, 768), false, false, 32));
        QVERIFY(!session.start(makeRemote(silent.port()), QSize(1024, 768), false, false, 32));

        for (int i = 0; i < 5000; ++i) {
            session.sendMouseMove(i, i / 2);
        }
        session.sendMouseMove(-5, 70000);
        std::vector<InputEvent> queue = Access::queued(session);
        QCOMPARE(queue.size(), size_t(1));
        QCOMPARE(queue.front().kind, InputEvent::MouseMove);
        QCOMPARE(queue.front().a, 0);
        QCOMPARE(queue.front().b, 65535);

        for (int i = 0; i < 2047; ++i) {
            session.sendKey(0x41, 0x1E, i % 2 == 0, false);
        }
        QCOMPARE(Access::queued(session).size(), size_t(2048));
        session.sendMouseMove(10, 10); // dropped: the queue is full and its newest event is a key
        session.sendKey(0x42, 0x30, true, true);
        session.sendMouseButton(4, true, 70000, -1);
        queue = Access::queued(session);
        QCOMPARE(queue.size(), size_t(2050));
        QCOMPARE(queue[2048].kind, InputEvent::Key);
        QCOMPARE(queue[2048].a, 0x42);
        QCOMPARE(queue[2048].d, 1);
        QCOMPARE(queue[2049].kind, InputEvent::MouseButton);
        QCOMPARE(queue[2049].c, 65535);
        QCOMPARE(queue[2049].d, 0);
        session.sendMouseMove(3, 4); // merges into nothing (newest is a button) and is dropped
        QCOMPARE(Access::queued(session).size(), size_t(2050));

        session.sendWheel(0, 5, 5);
        session.sendWheel(1000, 5, 5);
        session.sendWheel(-1000, 5, 5);
        session.sendText(QString());
        session.sendText(QString(300, QLatin1Char('x')));
        queue = Access::queued(session);
        QCOMPARE(queue.size(), size_t(2053));
        QCOMPARE(queue[2050].kind, InputEvent::Wheel);
        QCOMPARE(queue[2050].a, 511);
        QCOMPARE(queue[2051].a, -511);
        QCOMPARE(queue[2052].kind, InputEvent::Text);
        QCOMPARE(queue[2052].text.size(), 256);

        session.stop();
        QTRY_VERIFY_WITH_TIMEOUT(!watch.disconnected.isEmpty(), kPeerTimeoutMs);
    }

    void inputEncoding()
    {
        // Windows virtual keys become set-1 scan codes, with the extended flag for E0 keys.
        QCOMPARE(Access::rdpScanCode(0x41, 0), quint32(0x1E));  // A
        QCOMPARE(Access::rdpScanCode(0x25, 0), quint32(0x14B)); // left arrow
        QCOMPARE(Access::rdpScanCode(0xA3, 0), quint32(0x11D)); // right control
        // Combinations send the generic modifiers: they press the left-hand keys.
        QCOMPARE(Access::rdpScanCode(0x10, 0), quint32(0x2A));    // shift
        QCOMPARE(Access::rdpScanCode(0x11, 0), quint32(0x1D));    // control
        QCOMPARE(Access::rdpScanCode(0x12, 0), quint32(0x38));    // alt
        QCOMPARE(Access::rdpScanCode(0x5B, 0), quint32(0x15B));   // left Windows key
        QCOMPARE(Access::rdpScanCode(0, 0x1E), quint32(0x1E));    // native code when no virtual key
        QCOMPARE(Access::rdpScanCode(0, 0xE048), quint32(0x148)); // E0-prefixed native code
        QCOMPARE(Access::rdpScanCode(0xFF, 0x2C), quint32(0x2C)); // unmapped virtual key
        QCOMPARE(Access::rdpScanCode(0, 0), quint32(0));

        // Wheel rotation: 9-bit two's complement with the negative flag, larger turns split.
        QCOMPARE(Access::wheelPointerFlags(120), QList<quint16>({0x0200 | 120}));
        QCOMPARE(Access::wheelPointerFlags(-120), QList<quint16>({0x0200 | 0x0100 | 0x88}));
        QCOMPARE(Access::wheelPointerFlags(511), QList<quint16>({0x02FF, 0x02FF, 0x0201}));
        QCOMPARE(Access::wheelPointerFlags(-511), QList<quint16>({0x0300, 0x0301}));
    }

    // --- frames ---

    void deliveryLimit_data()
    {
        // Paints at the given times (ms, on the session's clock); what goes out: a frame at once ('F'),
        // a frame timer started for the given rest of the interval ('T<ms>'), nothing ('-').
        QTest::addColumn<QList<int>>("paints");
        QTest::addColumn<QStringList>("outcomes");
        QTest::newRow("the first change at once") << QList<int>{0} << QStringList{"F"};
        QTest::newRow("the next within the interval waits for its rest")
            << QList<int>{0, 10} << QStringList{"F", "T40"};
        QTest::newRow("paints while one waits go out with it")
            << QList<int>{0, 10, 30, 45} << QStringList{"F", "T40", "-", "-"};
        QTest::newRow("after the interval at once again")
            << QList<int>{0, 50, 120} << QStringList{"F", "F", "F"};
        QTest::newRow("just inside the interval") << QList<int>{100, 149} << QStringList{"F", "T1"};
    }

    void deliveryLimit()
    {
        QFETCH(QList<int>, paints);
        QFETCH(QStringList, outcomes);
        ManualClock clock;
        FreeRdpSession session;
        session.setClock(&clock);
        QList<QRegion> delivered;
        connect(&session, &FreeRdpSession::frameReady, this, [&](const QRegion& changed) {
            QVERIFY(!session.frame().isNull());
            delivered.append(changed);
        });
        const QImage image = solidImage(QSize(64, 48), qRgb(255, 0, 0));
        const QTimer& frameTimer = Access::frameTimer(session);
        QRegion waiting;
        for (int i = 0; i < paints.size(); ++i) {
            clock.now = paints.at(i);
            const QRect dirty(i, i, 2, 2);
            const qsizetype before = delivered.size();
            Access::storeFrame(session, image, dirty);
            QCoreApplication::sendPostedEvents(&session, QEvent::MetaCall);
            const QString& outcome = outcomes.at(i);
            if (outcome == QLatin1String("F")) {
                QCOMPARE(delivered.size(), before + 1);
                QVERIFY(!frameTimer.isActive());
                // The first frame is all new; later ones carry what was painted.
                QCOMPARE(delivered.last(), i == 0 ? QRegion(image.rect()) : QRegion(dirty));
            } else {
                QCOMPARE(delivered.size(), before);
                QVERIFY(frameTimer.isActive());
                waiting += dirty;
                if (outcome != QLatin1String("-")) {
                    QCOMPARE(frameTimer.interval(), outcome.mid(1).toInt());
                }
            }
        }
        if (frameTimer.isActive()) {
            // The waiting paints go out together when the timer runs out.
            Access::runOutFrameTimer(session);
            QCOMPARE(delivered.last(), waiting);
            QVERIFY(!Access::framePending(session));
        }
        // Nothing can be read outside a delivery.
        QVERIFY(session.frame().isNull());
    }

    void deliveriesCarryTheChangedArea()
    {
        ManualClock clock;
        FreeRdpSession session;
        session.setClock(&clock);
        QList<QRegion> changes;
        QImage seen;
        connect(&session, &FreeRdpSession::frameReady, this, [&](const QRegion& changed) {
            changes.append(changed);
            seen = session.frame().copy();
        });
        const auto paint = [&](const QImage& image, const QRect& dirty) {
            clock.now += FreeRdpSession::kFrameIntervalMs;
            Access::storeFrame(session, image, dirty);
            QCoreApplication::sendPostedEvents(&session, QEvent::MetaCall);
        };
        QImage image = solidImage(QSize(64, 48), qRgb(255, 0, 0));
        paint(image, QRect(0, 0, 1, 1));
        QCOMPARE(changes, QList<QRegion>{QRegion(image.rect())});

        image.fill(qRgb(0, 255, 0));
        paint(image, QRect(10, 5, 20, 10));
        QCOMPARE(changes.last(), QRegion(QRect(10, 5, 20, 10)));
        QCOMPARE(seen.pixel(10, 5), qRgb(0, 255, 0));
        QCOMPARE(session.frameSize(), QSize(64, 48));

        // Outside the image nothing is stored and nothing scheduled.
        paint(image, QRect(100, 100, 5, 5));
        QCOMPARE(changes.size(), 2);
        QVERIFY(!Access::framePending(session));

        // A receiver of a new size asks for all of it again, without waiting for a paint in progress.
        clock.now += FreeRdpSession::kFrameIntervalMs;
        std::promise<void> locked;
        std::promise<void> release;
        std::thread painter([&] {
            std::lock_guard painting(Access::state(session).frameMutex);
            locked.set_value();
            release.get_future().wait();
        });
        locked.get_future().wait();
        session.requestFullFrame();
        QCOMPARE(changes.size(), 2);
        QVERIFY(Access::frameTimer(session).isActive());
        QCOMPARE(Access::frameTimer(session).interval(), FreeRdpSession::kFrameRetryMs);
        release.set_value();
        painter.join();
        Access::runOutFrameTimer(session);
        QCOMPARE(changes.last(), QRegion(image.rect()));
        QCOMPARE(changes.size(), 3);

        // A new size is all new, whatever the painted area.
        paint(solidImage(QSize(80, 60), qRgb(0, 0, 255)), QRect(0, 0, 1, 1));
        QCOMPARE(changes.last(), QRegion(QRect(0, 0, 80, 60)));
        QCOMPARE(seen.size(), QSize(80, 60));
        QCOMPARE(session.frameSize(), QSize(80, 60));
    }

    // --- certificates ---

    void certificateRules()
    {
        QCOMPARE(Access::normalizeFingerprint(QStringLiteral(" AB:cd:EF ")), QStringLiteral("abcdef"));

        FreeRdpSession session;
        SessionWatch watch(session);
        FreeRdpSessionState& state = Access::state(session);
        state.remote = makeRemote(3389);
        const QString presented = QStringLiteral("0a:1b:2c:3d");

        state.remote.rdp_certificate_fingerprint = QStringLiteral("0A:1B:2C:3D");
        QCOMPARE(Access::checkCertificate(session, QStringLiteral("0a1b2c3d")), quint32(2));
        state.remote.rdp_certificate_fingerprint = QStringLiteral("0a1b2c3d");
        QCOMPARE(Access::checkCertificate(session, QStringLiteral("0A:1B:2C:3D")), quint32(2));
        QCoreApplication::processEvents();
        QVERIFY(watch.rejected.isEmpty());
        QVERIFY(watch.trusted.isEmpty());

        state.remote.rdp_certificate_fingerprint = QStringLiteral("ff:ff");
        QCOMPARE(Access::checkCertificate(session, presented), quint32(0));
        QTRY_COMPARE(watch.rejected.size(), 1);
        QCOMPARE(watch.rejected.at(0), QVariantList({QStringLiteral("srv.example"), QStringLiteral("CN=srv"),
                                                     QStringLiteral("CN=issuer"), presented}));

        // An empty presented fingerprint is refused even on first contact.
        state.remote.rdp_certificate_fingerprint.clear();
        QCOMPARE(Access::checkCertificate(session, QStringLiteral(" : ")), quint32(0));
        QTRY_COMPARE(watch.rejected.size(), 2);

        QCOMPARE(Access::checkCertificate(session, presented), quint32(2));
        QTRY_COMPARE(watch.trusted.size(), 1);
        QCOMPARE(watch.trusted.at(0), QVariantList({QStringLiteral("remote-7"), presented}));

        state.ignoreCertificate = true;
        state.remote.rdp_certificate_fingerprint = QStringLiteral("ff:ff");
        QCOMPARE(Access::checkCertificate(session, QString()), quint32(2));
        QCoreApplication::processEvents();
        QCOMPARE(watch.rejected.size(), 2);
        QCOMPARE(watch.trusted.size(), 1);
        QVERIFY(watch.order.isEmpty());
    }

    // --- stopping and timing out against a server that never answers ---

    void stopEndsASilentConnect()
    {
        SilentServer silent;
        QVERIFY(silent.listen());
        FreeRdpSession session;
        SessionWatch watch(session);
        session.setConnectTimeout(kEndlessConnectSeconds);
        QVERIFY(session.start(makeRemote(silent.port()), QSize(1024, 768), false, false, 32));
        QTRY_VERIFY_WITH_TIMEOUT(silent.requestReceived(), kPeerTimeoutMs);

        // The attempt is ended, not waited out: its worker is gone by the time stop() returns.
        session.stop();
        QVERIFY(Access::workerFinished(session));

        QTRY_COMPARE_WITH_TIMEOUT(watch.disconnected.size(), 1, kPeerTimeoutMs);
        // Cancelled: no failure to report.
        QCOMPARE(watch.order, QStringList({"disconnected"}));
        QVERIFY(!session.isRunning());
        QTRY_VERIFY_WITH_TIMEOUT(silent.clientsClosed(), kPeerTimeoutMs);

        // The session can be used again afterwards.
        QVERIFY(session.start(makeRemote(silent.port()), QSize(1024, 768), false, false, 32));
        session.stop();
        QTRY_COMPARE_WITH_TIMEOUT(watch.disconnected.size(), 2, kPeerTimeoutMs);
    }

    void destructionEndsASilentConnect()
    {
        SilentServer silent;
        QVERIFY(silent.listen());
        auto* session = new FreeRdpSession;
        session->setConnectTimeout(kEndlessConnectSeconds);
        QVERIFY(session->start(makeRemote(silent.port()), QSize(1024, 768), false, false, 32));
        QTRY_VERIFY_WITH_TIMEOUT(silent.requestReceived(), kPeerTimeoutMs);
        const std::shared_ptr<FreeRdpSessionState> state = Access::sharedState(*session);

        // The attempt is ended within the destructor: the worker has finished and let go of the state.
        delete session;
        QCOMPARE(state.use_count(), 1L);
        QTRY_VERIFY_WITH_TIMEOUT(silent.clientsClosed(), kPeerTimeoutMs);
    }

    void destructionWhileIdleOrJustStarted()
    {
        {
            FreeRdpSession idle;
            QVERIFY(Access::workerFinished(idle));
        }
        std::shared_ptr<FreeRdpSessionState> state;
        {
            SilentServer silent;
            QVERIFY(silent.listen());
            FreeRdpSession session;
            session.setConnectTimeout(kEndlessConnectSeconds);
            QVERIFY(session.start(makeRemote(silent.port()), QSize(1024, 768), false, false, 32));
            state = Access::sharedState(session);
        }
        // Stopped wherever it had got to, the worker finished within the destructor.
        QCOMPARE(state.use_count(), 1L);
    }

    void aStuckWorkerIsLeftBehind()
    {
        if (!requireDisplay()) {
            QSKIP("no X display");
        }
        TestRdpServer* rdp = server(ServerKind::Open);
        QVERIFY(rdp);
        auto* session = new FreeRdpSession;
        SessionWatch watch(*session);
        QVERIFY(connectTo(*session, watch, makeRemote(rdp->port())));
        const std::shared_ptr<FreeRdpSessionState> state = Access::sharedState(*session);
        {
            // Holding the input lock stalls the worker at the top of its next pass: woken, it clears its
            // wake event and then waits for the lock.
            std::unique_lock stall(state->inputMutex);
            SetEvent(state->wakeEvent);
            QTRY_VERIFY_WITH_TIMEOUT(WaitForSingleObject(state->wakeEvent, 0) == WAIT_TIMEOUT,
                                     kPeerTimeoutMs);
            // Neither the stop nor the destructor waits for it: both return with the worker still stuck.
            session->stop();
            QVERIFY(!Access::workerFinished(*session));
            delete session;
            QVERIFY(state.use_count() > 1);
        }
        // Let go, the worker winds the connection down on its own and drops the shared state.
        QTRY_COMPARE_WITH_TIMEOUT(state.use_count(), 1L, kPeerTimeoutMs);
        QVERIFY(state->instance.load() == nullptr);
        QVERIFY(state->owner == nullptr);
        QCOMPARE(watch.order, QStringList({"connected"}));
    }

    void connectTimeoutEndsASilentConnect()
    {
        SilentServer silent;
        QVERIFY(silent.listen());
        FreeRdpSession session;
        SessionWatch watch(session);
        session.setConnectTimeout(1);
        QVERIFY(session.start(makeRemote(silent.port()), QSize(1024, 768), false, false, 32));
        // The attempt has its time-out in full: one second on a one-shot timer from the start.
        const QTimer& connectTimer = Access::connectTimer(session);
        QVERIFY(connectTimer.isActive());
        QVERIFY(connectTimer.isSingleShot());
        QCOMPARE(connectTimer.interval(), 1000);
        QTRY_COMPARE_WITH_TIMEOUT(watch.disconnected.size(), 1, kPeerTimeoutMs);
        QCOMPARE(watch.order, QStringList({"error", "disconnected"}));
        QCOMPARE(watch.lastError(), QStringLiteral("连接超时：1 秒内未能连上"));
        QCOMPARE(watch.lastFailure(), RdpFailure::TimedOut);
        QVERIFY(silent.requestReceived());
    }

    // --- against a real RDP server ---

    void deliversTheServerDesktop()
    {
        if (!requireDisplay()) {
            QSKIP("no X display");
        }
        TestRdpServer* rdp = server(ServerKind::Open);
        QVERIFY(rdp);
        QVERIFY(m_display.paint(QColor(255, 0, 0)));

        FreeRdpSession session;
        SessionWatch watch(session);
        QVERIFY(connectTo(session, watch, makeRemote(rdp->port())));

        // First contact: the certificate is taken and reported for the record.
        QTRY_COMPARE_WITH_TIMEOUT(watch.trusted.size(), 1, kPeerTimeoutMs);
        QCOMPARE(watch.trusted.at(0).at(0).toString(), QStringLiteral("remote-7"));
        QVERIFY(!watch.trusted.at(0).at(1).toString().isEmpty());

        // The server shares its own 1024 x 768 screen although 1280 x 720 was asked for.
        QTRY_VERIFY_WITH_TIMEOUT(!watch.frames.isEmpty() && closeTo(watch.latest.pixel(512, 384), Qt::red),
                                 kPeerTimeoutMs);
        const QImage frame = watch.latest;
        QCOMPARE(frame.size(), QSize(1024, 768));
        QCOMPARE(frame.format(), QImage::Format_RGB32);
        QVERIFY(closeTo(frame.pixel(0, 0), Qt::red));
        QVERIFY(closeTo(frame.pixel(1023, 767), Qt::red));

        QVERIFY(m_display.paint(QColor(0, 0, 255)));
        QTRY_VERIFY_WITH_TIMEOUT(closeTo(watch.latest.pixel(512, 384), Qt::blue), kPeerTimeoutMs);

        stopAndWait(session, watch);
        QCOMPARE(watch.order, QStringList({"connected", "disconnected"}));
        QVERIFY(watch.errors.isEmpty());
    }

    // The bandwidth profile decides what the client announces to the server: its connection type and the
    // performance flags the server strips the desktop by (FreeRDP's own choice for each type).
    void bandwidthProfileReachesTheConnection_data()
    {
        QTest::addColumn<int>("bandwidth");
        QTest::addColumn<quint32>("type");
        QTest::addColumn<quint32>("flagsSet");
        QTest::addColumn<quint32>("flagsClear");
        const quint32 stripped =
            PERF_DISABLE_WALLPAPER | PERF_DISABLE_FULLWINDOWDRAG | PERF_DISABLE_MENUANIMATIONS;
        const quint32 rich = PERF_ENABLE_FONT_SMOOTHING | PERF_ENABLE_DESKTOP_COMPOSITION;
        QTest::newRow("modem") << 0 << quint32(CONNECTION_TYPE_MODEM) << (stripped | PERF_DISABLE_THEMING)
                               << rich;
        QTest::newRow("high") << 2 << quint32(CONNECTION_TYPE_BROADBAND_HIGH) << stripped
                              << quint32(PERF_DISABLE_THEMING);
        QTest::newRow("lan") << 3 << quint32(CONNECTION_TYPE_LAN) << rich
                             << (stripped | PERF_DISABLE_THEMING);
    }

    void bandwidthProfileReachesTheConnection()
    {
        QFETCH(int, bandwidth);
        QFETCH(quint32, type);
        QFETCH(quint32, flagsSet);
        QFETCH(quint32, flagsClear);
        TestRdpServer* rdp = server(ServerKind::Open);
        QVERIFY(rdp);
        FreeRdpSession session;
        RdpSessionOptions options;
        options.bandwidth = static_cast<BandwidthMode>(bandwidth);
        session.setOptions(options);
        SessionWatch watch(session);
        QVERIFY(connectTo(session, watch, makeRemote(rdp->port())));
        rdp_freerdp* instance = Access::state(session).instance.load();
        QVERIFY(instance && instance->context && instance->context->settings);
        const rdpSettings* settings = instance->context->settings;
        QCOMPARE(freerdp_settings_get_uint32(settings, FreeRDP_ConnectionType), type);
        const quint32 flags = freerdp_settings_get_uint32(settings, FreeRDP_PerformanceFlags);
        QCOMPARE(flags & flagsSet, flagsSet);
        QCOMPARE(flags & flagsClear, 0u);
        stopAndWait(session, watch);
    }

    // A session whose network drops connects again by itself, as often as the settings allow, saying
    // which attempt it is at; frames flow again afterwards. Once every attempt failed it ends, saying so.
    void aDroppedNetworkReconnects()
    {
        if (!requireDisplay()) {
            QSKIP("no X display");
        }
        TestRdpServer* rdp = server(ServerKind::Open);
        QVERIFY(rdp);
        TcpRelay relay(rdp->port());
        QVERIFY(relay.listen());
        FreeRdpSession session;
        RdpSessionOptions options;
        options.reconnectTimes = 3;
        session.setOptions(options);
        SessionWatch watch(session);
        QSignalSpy reconnecting(&session, &FreeRdpSession::reconnecting);
        QSignalSpy reconnected(&session, &FreeRdpSession::reconnected);
        QSignalSpy ended(&session, &FreeRdpSession::remoteEnded);
        QVERIFY(connectTo(session, watch, makeRemote(relay.port())));
        Access::state(session).reconnectPauseMs.store(20); // seconds in the settings
        QVERIFY(m_display.paint(QColor(255, 0, 0)));
        QTRY_VERIFY_WITH_TIMEOUT(closeTo(watch.latest.pixel(512, 384), Qt::red), kPeerTimeoutMs);

        relay.cut();
        QTRY_COMPARE_WITH_TIMEOUT(reconnected.size(), 1, kPeerTimeoutMs);
        QCOMPARE(reconnecting.size(), 1);
        QCOMPARE(reconnecting.first(), (QVariantList{1, 3}));
        QVERIFY(session.isRunning());
        QVERIFY(ended.isEmpty() && watch.disconnected.isEmpty() && watch.errors.isEmpty());
        QVERIFY(m_display.paint(QColor(0, 0, 255)));
        QTRY_VERIFY_WITH_TIMEOUT(closeTo(watch.latest.pixel(512, 384), Qt::blue), kPeerTimeoutMs);

        relay.setRefusing(true);
        const int acceptedBefore = relay.accepted();
        relay.cut();
        QTRY_COMPARE_WITH_TIMEOUT(watch.disconnected.size(), 1, kPeerTimeoutMs);
        // Each attempt reached the relay (FreeRDP's negotiation may open more than one connection).
        QVERIFY(relay.accepted() - acceptedBefore >= 3);
        QCOMPARE(reconnecting.size(), 4);
        QCOMPARE(reconnecting.last(), (QVariantList{3, 3}));
        QCOMPARE(reconnected.size(), 1);
        QCOMPARE(ended.size(), 1);
        QCOMPARE(ended.first().at(0).toString(), QStringLiteral("网络连接已中断，重新连接 3 次均未成功"));
        QVERIFY(!session.isRunning());
    }

    void inputReachesTheServer()
    {
        if (!requireDisplay()) {
            QSKIP("no X display");
        }
        TestRdpServer* rdp = server(ServerKind::Open);
        QVERIFY(rdp);
        FreeRdpSession session;
        SessionWatch watch(session);
        // Input queued while connecting goes out once the connection is up.
        QVERIFY(session.start(makeRemote(rdp->port()), QSize(1024, 768), false, false, 32));
        session.sendMouseMove(321, 123);
        QTRY_VERIFY_WITH_TIMEOUT(!watch.connected.isEmpty(), kPeerTimeoutMs);
        QTRY_COMPARE_WITH_TIMEOUT(m_display.pointer(), QPoint(321, 123), kPeerTimeoutMs);
        m_display.takeInput();

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

        // Left, right and middle buttons are X buttons 1, 3 and 2; the wheel turns are 4 (up) and 5.
        session.sendMouseButton(1, true, 400, 300);
        session.sendMouseButton(1, false, 400, 300);
        session.sendMouseButton(2, true, 400, 300);
        session.sendMouseButton(2, false, 400, 300);
        session.sendMouseButton(4, true, 400, 300);
        session.sendMouseButton(4, false, 400, 300);
        session.sendWheel(120, 400, 300);
        session.sendWheel(-120, 400, 300);
        QVERIFY(waitFor(10));
        const QList<std::pair<Seen::Type, unsigned>> buttons = {
            {Seen::ButtonDown, 1}, {Seen::ButtonUp, 1}, {Seen::ButtonDown, 3}, {Seen::ButtonUp, 3},
            {Seen::ButtonDown, 2}, {Seen::ButtonUp, 2}, {Seen::ButtonDown, 4}, {Seen::ButtonUp, 4},
            {Seen::ButtonDown, 5}, {Seen::ButtonUp, 5}};
        for (qsizetype i = 0; i < buttons.size(); ++i) {
            QCOMPARE(seen.at(i).type, buttons.at(i).first);
            QCOMPARE(seen.at(i).detail, buttons.at(i).second);
        }
        seen.clear();

        // 'A' by virtual key, the left arrow (an extended key, not the keypad's 4), 'S' by scan code only.
        session.sendKey(0x41, 0, true, false);
        session.sendKey(0x41, 0, false, false);
        session.sendKey(0x25, 0, true, false);
        session.sendKey(0x25, 0, false, false);
        session.sendKey(0, 0x1F, true, false);
        session.sendKey(0, 0x1F, false, false);
        QVERIFY(waitFor(6));
        const QList<std::pair<Seen::Type, unsigned>> keys = {
            {Seen::KeyDown, m_display.keycode(XK_a)},    {Seen::KeyUp, m_display.keycode(XK_a)},
            {Seen::KeyDown, m_display.keycode(XK_Left)}, {Seen::KeyUp, m_display.keycode(XK_Left)},
            {Seen::KeyDown, m_display.keycode(XK_s)},    {Seen::KeyUp, m_display.keycode(XK_s)}};
        for (qsizetype i = 0; i < keys.size(); ++i) {
            QCOMPARE(seen.at(i).type, keys.at(i).first);
            QCOMPARE(seen.at(i).detail, keys.at(i).second);
        }

        stopAndWait(session, watch);
        QVERIFY(watch.errors.isEmpty());
    }

    void anIdleSessionTakesInputAndStopsAtOnce()
    {
        if (!requireDisplay()) {
            QSKIP("no X display");
        }
        TestRdpServer* rdp = server(ServerKind::Open);
        QVERIFY(rdp);
        // An idle worker sleeps until the server, input or a stop wakes it. Without its safety time-out
        // (it looks for unsignalled data every half second) only that wake-up can bring input and stops.
        for (int round = 0; round < 3; ++round) {
            FreeRdpSession session;
            SessionWatch watch(session);
            QVERIFY(connectTo(session, watch, makeRemote(rdp->port())));
            QTRY_VERIFY_WITH_TIMEOUT(!watch.frames.isEmpty(), kPeerTimeoutMs);
            Access::state(session).idleWaitMs.store(std::numeric_limits<std::uint32_t>::max()); // INFINITE
            for (int i = 0; i < 3; ++i) {
                const QPoint target(100 + 40 * round + 10 * i, 200 + i);
                session.sendMouseMove(target.x(), target.y());
                QVERIFY(QTest::qWaitFor([&] { return m_display.pointer() == target; }, kPeerTimeoutMs));
            }
            session.stop();
            QVERIFY(Access::workerFinished(session));
            QTRY_COMPARE_WITH_TIMEOUT(watch.disconnected.size(), 1, kPeerTimeoutMs);
        }
    }

    void serverRepaintsAreThrottled()
    {
        if (!requireDisplay()) {
            QSKIP("no X display");
        }
        TestRdpServer* rdp = server(ServerKind::Open);
        QVERIFY(rdp);
        FreeRdpSession session;
        SessionWatch watch(session);
        QVERIFY(connectTo(session, watch, makeRemote(rdp->port())));
        QTRY_VERIFY_WITH_TIMEOUT(!watch.frames.isEmpty(), kPeerTimeoutMs);

        // The times at which frames go out, as the session read them from its clock.
        struct : IClock
        {
            qint64 nowMs() const override { return last = steadyClock().nowMs(); }
            mutable qint64 last = 0;
        } clock;
        session.setClock(&clock);
        QList<qint64> times;
        connect(&session, &FreeRdpSession::frameReady, this, [&] { times.append(clock.last); });
        QTimer repaint;
        int turn = 0;
        connect(&repaint, &QTimer::timeout, this,
                [&] { m_display.paint(++turn % 2 ? QColor(0, 200, 0) : QColor(200, 0, 200)); });
        repaint.start(5);
        // Paints that never stop still bring frames, and never two within the frame interval.
        QTRY_VERIFY_WITH_TIMEOUT(times.size() >= 10, kPeerTimeoutMs);
        repaint.stop();
        for (qsizetype i = 1; i < times.size(); ++i) {
            QVERIFY2(times.at(i) - times.at(i - 1) >= FreeRdpSession::kFrameIntervalMs,
                     qPrintable(QString::number(times.at(i) - times.at(i - 1))));
        }
        stopAndWait(session, watch);
    }

    void securityNegotiation_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("legacy");
        QTest::addColumn<bool>("connects");
        QTest::addColumn<RdpFailure>("failure");
        const int tls = int(ServerKind::TlsOnly);
        const int rdp = int(ServerKind::RdpOnly);
        const int nla = int(ServerKind::NlaOnly);
        const QString domainUser = kNlaDomain + QLatin1Char('\\') + kNlaUser;
        const RdpFailure none = RdpFailure::NoFailure;
        // The test server turns down credentials by hanging up during NLA, without a reason.
        const RdpFailure rejected = RdpFailure::LogonAborted;
        QTest::newRow("tls") << tls << QString() << QString() << false << true << none;
        QTest::newRow("tls, legacy") << tls << QString() << QString() << true << true << none;
        QTest::newRow("rdp") << rdp << QString() << QString() << false << true << none;
        QTest::newRow("nla, domain\\user") << nla << domainUser << kNlaPassword << false << true << none;
        QTest::newRow("nla, padded domain\\user")
            << nla << QStringLiteral("  ") + domainUser + QStringLiteral(" ") << kNlaPassword << false << true
            << none;
        QTest::newRow("nla, user without domain")
            << nla << kNlaUser << kNlaPassword << false << false << rejected;
        QTest::newRow("nla, wrong password")
            << nla << domainUser << QStringLiteral("wrong") << false << false << rejected;
        // Without NLA the server that demands it cannot be negotiated with.
        QTest::newRow("nla, legacy") << nla << domainUser << kNlaPassword << true << false
                                     << RdpFailure::Security;
        QTest::newRow("nla, leading backslash")
            << nla << QStringLiteral("\\") + kNlaUser << kNlaPassword << false << false << rejected;
    }

    void securityNegotiation()
    {
        QFETCH(int, kind);
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(bool, legacy);
        QFETCH(bool, connects);
        QFETCH(RdpFailure, failure);
        if (!requireDisplay()) {
            QSKIP("no X display");
        }
        TestRdpServer* rdp = server(ServerKind(kind));
        QVERIFY(rdp);

        FreeRdpSession session;
        SessionWatch watch(session);
        Remote remote = makeRemote(rdp->port());
        remote.username = user;
        remote.password = password;
        const bool up = connectTo(session, watch, remote, false, legacy);
        QCOMPARE(up, connects);
        if (connects) {
            QTRY_VERIFY_WITH_TIMEOUT(!watch.frames.isEmpty(), kPeerTimeoutMs);
            stopAndWait(session, watch);
            QCOMPARE(watch.order, QStringList({"connected", "disconnected"}));
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(watch.disconnected.size(), 1, kPeerTimeoutMs);
            QCOMPARE(watch.order, QStringList({"error", "disconnected"}));
            QVERIFY(watch.errors.last().at(1).toUInt() != 0);
            QCOMPARE(watch.lastFailure(), failure);
            QCOMPARE(watch.lastError(), RdpErrorText::reason(failure));
        }
    }

    void aServerThatGoesAwayEndsTheSessionWithAReason()
    {
        if (!requireDisplay()) {
            QSKIP("no X display");
        }
        TestRdpServer own;
        QString error;
        QVERIFY2(own.start(m_display.name(), {QStringLiteral("-auth")}, &error), qPrintable(error));
        FreeRdpSession session;
        SessionWatch watch(session);
        QSignalSpy ended(&session, &FreeRdpSession::remoteEnded);
        QVERIFY(connectTo(session, watch, makeRemote(own.port())));
        QTRY_VERIFY_WITH_TIMEOUT(!watch.frames.isEmpty(), kPeerTimeoutMs);

        own.stop();
        QTRY_COMPARE_WITH_TIMEOUT(watch.disconnected.size(), 1, kPeerTimeoutMs);
        QCOMPARE(ended.size(), 1);
        QCOMPARE(ended.first().at(0).toString(), QStringLiteral("连接被服务器或网络中断"));
        QVERIFY(watch.errors.isEmpty());

        // A stop of our own is no end by the remote side.
        QVERIFY(connectTo(session, watch, makeRemote(server(ServerKind::Open)->port())));
        stopAndWait(session, watch);
        QCOMPARE(ended.size(), 1);
    }

    void storedFingerprintDecides()
    {
        if (!requireDisplay()) {
            QSKIP("no X display");
        }
        TestRdpServer* rdp = server(ServerKind::Open);
        QVERIFY(rdp);

        QString fingerprint;
        {
            FreeRdpSession session;
            SessionWatch watch(session);
            QVERIFY(connectTo(session, watch, makeRemote(rdp->port())));
            QTRY_COMPARE_WITH_TIMEOUT(watch.trusted.size(), 1, kPeerTimeoutMs);
            fingerprint = watch.trusted.at(0).at(1).toString();
            stopAndWait(session, watch);
        }
        QVERIFY(fingerprint.contains(QLatin1Char(':')));

        // Stored in another spelling: the same certificate, nothing to report.
        {
            Remote remote = makeRemote(rdp->port());
            remote.rdp_certificate_fingerprint = fingerprint.toUpper().remove(QLatin1Char(':'));
            FreeRdpSession session;
            SessionWatch watch(session);
            QVERIFY(connectTo(session, watch, remote));
            stopAndWait(session, watch);
            QVERIFY(watch.trusted.isEmpty());
            QVERIFY(watch.rejected.isEmpty());
        }

        // A different stored fingerprint refuses the server.
        Remote pinned = makeRemote(rdp->port());
        pinned.rdp_certificate_fingerprint =
            QString(fingerprint).replace(QRegularExpression(QStringLiteral("[0-9a-f]")), QStringLiteral("0"));
        {
            FreeRdpSession session;
            SessionWatch watch(session);
            QVERIFY(!connectTo(session, watch, pinned));
            QCOMPARE(watch.order, QStringList({"error", "disconnected"}));
            QCOMPARE(watch.lastFailure(), RdpFailure::CertificateRejected);
            QCOMPARE(watch.lastError(), QStringLiteral("服务器证书与记录的指纹不符，已拒绝连接"));
            QCOMPARE(watch.rejected.size(), 1);
            const QVariantList rejected = watch.rejected.at(0);
            QCOMPARE(rejected.at(0).toString(), QStringLiteral("127.0.0.1"));
            QVERIFY(!rejected.at(1).toString().isEmpty());
            QVERIFY(!rejected.at(2).toString().isEmpty());
            QCOMPARE(rejected.at(3).toString(), fingerprint);
            QVERIFY(watch.trusted.isEmpty());
        }

        // Unless certificates are ignored.
        {
            FreeRdpSession session;
            SessionWatch watch(session);
            QVERIFY(connectTo(session, watch, pinned, true));
            stopAndWait(session, watch);
            QVERIFY(watch.rejected.isEmpty());
        }
    }
};

QTEST_GUILESS_MAIN(TestFreeRdpSession)
#include "test_freerdp_session.moc"
