#include "rdp/system_rdp_session.h"
#include "rdp/xfreerdp_control.h"
#include "support/fake_certificate_probe.h"
#include "support/fake_rdp_control.h"

#include <QApplication>
#include <QClipboard>
#include <QMimeData>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

// The arguments a control would start xfreerdp with.
class XFreeRdpControlTestAccess
{
public:
    static QStringList arguments(const XFreeRdpControl& control) { return control.clientArguments(77); }
    // As after setControl, which needs an X11 display.
    static void takeControl(XFreeRdpControl& control) { control.m_hasControl = true; }
};

namespace {

using Log = FakeRdpControlLog;

constexpr qint32 kCtrl = 0x001D0001;
constexpr qint32 kAlt = 0x00380001;
constexpr qint32 kDeleteExtended = 0x01530001;
constexpr qint32 kV = 0x002F0001;

Remote sampleRemote()
{
    Remote remote;
    remote.name = QStringLiteral("web-01");
    remote.host = QStringLiteral("  10.0.0.5 ");
    remote.port = 3390;
    remote.username = QStringLiteral(" CORP\\admin ");
    remote.password = QStringLiteral("s3cret!");
    return remote;
}

// A session over a fake control, with the log of the control and spies on every signal.
struct Fixture
{
    explicit Fixture(std::unique_ptr<FakeRdpControl> fake = std::make_unique<FakeRdpControl>())
        : control(fake.get()), log(fake->log()), session(&parent, std::move(fake)),
          connected(&session, &SystemRdpSession::connected),
          disconnected(&session, &SystemRdpSession::disconnected),
          errors(&session, &SystemRdpSession::errorOccurred),
          interactionErrors(&session, &SystemRdpSession::interactionErrorOccurred)
    {
    }

    // Brings the session into the connected state the way the control does.
    void connectSession()
    {
        QVERIFY(session.connectTo(sampleRemote(), QSize(1280, 720), 32));
        control->fire(QStringLiteral("OnConnected"));
        QCOMPARE(connected.size(), 1);
        log->properties.clear();
        log->methods.clear();
    }

    QWidget parent;
    FakeRdpControl* control;
    std::shared_ptr<Log> log;
    SystemRdpSession session;
    QSignalSpy connected;
    QSignalSpy disconnected;
    QSignalSpy errors;
    QSignalSpy interactionErrors;
};

QVariant writtenValue(const Log& log, const QString& name)
{
    for (const Log::PropertyWrite& write : log.properties) {
        if (write.name == name) {
            return write.value;
        }
    }
    return {};
}

QString lastMessage(const QSignalSpy& spy)
{
    return spy.isEmpty() ? QString() : spy.last().at(0).toString();
}

const QString kServerFingerprint = QStringLiteral(
    "3a:7f:00:c1:9e:22:4b:6d:80:11:ff:05:aa:bc:de:f0:12:34:56:78:9a:bc:de:f0:0f:1e:2d:3c:4b:5a:69:78");
const QString kOtherFingerprint = QStringLiteral(
    "3a:7f:00:c1:9e:22:4b:6d:80:11:ff:05:aa:bc:de:f0:12:34:56:78:9a:bc:de:f0:0f:1e:2d:3c:4b:5a:69:79");
const QString kMismatch = QStringLiteral("服务器证书与记录的指纹不符，已拒绝连接（可能存在中间人攻击）。");

// A session over a control that pins the certificate, with the probes it made.
struct PinningFixture : Fixture
{
    PinningFixture()
        : Fixture(pinningControl()), rejected(&session, &SystemRdpSession::certificateRejected),
          trusted(&session, &SystemRdpSession::certificateTrusted)
    {
        session.setCertificateProbeFactory([this](QObject* owner) {
            auto* probe = new FakeCertificateProbe(owner);
            probes.append(probe);
            return probe;
        });
    }

    static std::unique_ptr<FakeRdpControl> pinningControl()
    {
        auto fake = std::make_unique<FakeRdpControl>();
        fake->pinsCertificate = true;
        return fake;
    }

    FakeCertificateProbe* probe() const { return probes.isEmpty() ? nullptr : probes.last().data(); }

    QList<QPointer<FakeCertificateProbe>> probes;
    QSignalSpy rejected;
    QSignalSpy trusted;
};

Remote recordedRemote(const QString& fingerprint)
{
    Remote remote = sampleRemote();
    remote.id = QStringLiteral("remote-7");
    remote.rdp_certificate_fingerprint = fingerprint;
    return remote;
}

QStringList argumentsFor(const QVariantMap& settings, bool withPassword)
{
    return XFreeRdpControl::clientArguments(settings, withPassword, 77);
}

// The settings a session writes for `config`, each taken by a real xfreerdp control (which must know
// it), and the xfreerdp arguments they come to.
void clientArgumentsFor(const AppConfig& config, QStringList* arguments)
{
    Fixture f;
    f.session.setOptions(RdpSessionOptions::fromConfig(config));
    QVERIFY(f.session.connectTo(sampleRemote(), QSize(1280, 720), 32));
    XFreeRdpControl control;
    XFreeRdpControlTestAccess::takeControl(control);
    for (const Log::PropertyWrite& property : std::as_const(f.log->properties)) {
        if (property.object.isEmpty()) {
            QVERIFY2(control.setProperty(property.name, property.value), qPrintable(property.name));
        } else {
            const std::unique_ptr<IRdpControlObject> object = control.querySubObject(property.object);
            QVERIFY2(object && object->setProperty(property.name, property.value), qPrintable(property.name));
        }
    }
    control.setRedirectedFolders(f.control->redirectedFolders);
    *arguments = XFreeRdpControlTestAccess::arguments(control);
}

QStringList certificateArguments(const QStringList& arguments)
{
    QStringList found;
    for (const QString& argument : arguments) {
        if (argument.startsWith(QLatin1String("/cert"))) {
            found << argument;
        }
    }
    return found;
}

} // namespace

class TestSystemRdpSession : public QObject
{
    Q_OBJECT

private slots:
    void constructorHostsTheControlInTheParent();
    void missingControlReportsWhy();
    void defaultControlNeedsX11();
    void controlIsCreatedOnceAndEventsArriveOnce();
    void connectWritesTheSettingsTableInOrder();
    void emptyPasswordIsNotWritten();
    void desktopSizeAndColourDepthAreBounded_data();
    void desktopSizeAndColourDepthAreBounded();
    void onlyAdvancedSettings2IsUsedWhenOnlyItExists();
    void noAdvancedSettingsFailsBeforeConnecting();
    void invalidAddressIsRejected_data();
    void invalidAddressIsRejected();
    void connectOnActiveSessionChangesNothing();
    void negativeConnectResultReportsTheErrorCode();
    void connectAndLoginEventsYieldOneConnected();
    void eventNamesIgnoreCaseAndParameterLists();
    void disconnectBeforeConnectingIsAFailure();
    void disconnectAfterConnectingIsReported();
    void fatalAndLogonErrorsCarryTheErrorCode();
    void disconnectSessionReportsOnlyWhatWasUp();
    void destructorEndsTheConnection();
    void scanCodesFollowWindows_data();
    void scanCodesFollowWindows();
    void ctrlAltDeletePressesInOrderAndReleasesReversed();
    void sendKeysRefusals();
    void keySendingFailuresKeepTheConnection();
    void pasteTextUsesTheClipboardAndCtrlV();
    void pasteFilesWithOnlyMissingFilesLeavesTheClipboard();
    void pasteFilesPutsUrlsAndPastesLater();

    // Certificates, for a control that pins them.
    void storedFingerprintIsCheckedAndPinned();
    void firstCertificateIsTrustedAndPinned();
    void mismatchRefusesWithoutPassword();
    void standardSecurityIsRefusedOnlyForARecordedHost();
    void failedProbeRefuses();
    void disconnectWhileProbingAbandonsTheProbe();
    void xfreerdpArgumentsPinTheCertificate();
    void settingsReachTheClient_data();
    void settingsReachTheClient();
    void pinOptionTakesOnlySha256Fingerprints_data();
    void pinOptionTakesOnlySha256Fingerprints();
};

void TestSystemRdpSession::constructorHostsTheControlInTheParent()
{
    Fixture f;
    QCOMPARE(f.log->setControlCalls, 1);
    QCOMPARE(f.log->classId, QStringLiteral("{1df7c823-b2d4-4b54-975a-f2ac5d7cf8b8}"));
    QCOMPARE(f.session.widget(), f.control->widget());
    QCOMPARE(f.session.widget()->parentWidget(), &f.parent);
    QCOMPARE(f.session.widget()->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(f.session.widget()->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(f.session.widget()->focusPolicy(), Qt::WheelFocus);
    QVERIFY(!f.session.isActive());
}

void TestSystemRdpSession::missingControlReportsWhy()
{
    {
        auto fake = std::make_unique<FakeRdpControl>();
        fake->controlAvailable = false;
        Fixture f(std::move(fake));
        QVERIFY(!f.session.connectTo(sampleRemote(), QSize(1024, 768), 32));
#if defined(Q_OS_WIN)
        QCOMPARE(lastMessage(f.errors),
                 QStringLiteral("此 Windows 系统未提供可用的微软远程桌面 ActiveX 控件"));
#else
        QCOMPARE(lastMessage(f.errors), QStringLiteral("系统 RDP 客户端不可用"));
#endif
        QVERIFY(f.log->properties.isEmpty());
        QVERIFY(f.log->methods.isEmpty());
    }
    {
        // A control that knows why it is missing says so instead.
        auto fake = std::make_unique<FakeRdpControl>();
        fake->controlAvailable = false;
        fake->controlError = QStringLiteral("当前桌面环境不是 X11，无法嵌入系统 RDP 客户端（xfreerdp）");
        Fixture f(std::move(fake));
        QVERIFY(!f.session.ensureControl());
        QCOMPARE(lastMessage(f.errors),
                 QStringLiteral("当前桌面环境不是 X11，无法嵌入系统 RDP 客户端（xfreerdp）"));
    }
}

void TestSystemRdpSession::defaultControlNeedsX11()
{
    // The tests run on the offscreen platform, where the client has no native window to draw into.
    if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
        QSKIP("this window system can embed the client");
    }
    QWidget parent;
    SystemRdpSession session(&parent);
    QSignalSpy errors(&session, &SystemRdpSession::errorOccurred);
    QVERIFY(session.widget());
    QCOMPARE(session.widget()->parentWidget(), &parent);
    QVERIFY(!session.connectTo(sampleRemote(), QSize(1024, 768), 32));
#if defined(Q_OS_WIN)
    QCOMPARE(lastMessage(errors), QStringLiteral("当前桌面环境无法嵌入系统 RDP 客户端（wfreerdp）"));
#else
    QCOMPARE(lastMessage(errors),
             QStringLiteral("当前桌面环境不是 X11，无法嵌入系统 RDP 客户端（xfreerdp）"));
#endif
    QVERIFY(!session.isActive());
}

void TestSystemRdpSession::controlIsCreatedOnceAndEventsArriveOnce()
{
    Fixture f;
    QVERIFY(f.session.ensureControl());
    QVERIFY(f.session.ensureControl());
    QVERIFY(f.session.connectTo(sampleRemote(), QSize(1024, 768), 32));
    QCOMPARE(f.log->setControlCalls, 1);
    f.control->fire(QStringLiteral("OnConnected"));
    f.control->fire(QStringLiteral("OnDisconnected"));
    QCOMPARE(f.connected.size(), 1);
    QCOMPARE(f.disconnected.size(), 1);
}

void TestSystemRdpSession::connectWritesTheSettingsTableInOrder()
{
    Fixture f;
    QVERIFY(f.session.connectTo(sampleRemote(), QSize(1600, 900), 24));

    const QString advanced = QStringLiteral("AdvancedSettings9");
    const QList<Log::PropertyWrite> expected{
        {QString(), QStringLiteral("Server"), QStringLiteral("10.0.0.5")},
        {QString(), QStringLiteral("UserName"), QStringLiteral("CORP\\admin")},
        {QString(), QStringLiteral("DesktopWidth"), 1600},
        {QString(), QStringLiteral("DesktopHeight"), 900},
        {QString(), QStringLiteral("ColorDepth"), 24},
        {advanced, QStringLiteral("RDPPort"), 3390},
        {advanced, QStringLiteral("SmartSizing"), true},
        {advanced, QStringLiteral("RedirectClipboard"), true},
        {advanced, QStringLiteral("RedirectPrinters"), true},
        {advanced, QStringLiteral("RedirectDrives"), false},
        {advanced, QStringLiteral("KeyboardHookMode"), 1},
        {advanced, QStringLiteral("EnableCredSspSupport"), true},
        {advanced, QStringLiteral("AuthenticationLevel"), 2},
        {advanced, QStringLiteral("NegotiateSecurityLayer"), true},
        {advanced, QStringLiteral("EnableAutoReconnect"), true},
        {advanced, QStringLiteral("MaxReconnectAttempts"), 5},
        {advanced, QStringLiteral("NetworkConnectionType"), 4u}, // broadband (high)
        {advanced, QStringLiteral("ClearTextPassword"), QStringLiteral("s3cret!")},
        {QStringLiteral("SecuredSettings2"), QStringLiteral("AudioRedirectionMode"), 0},
    };
    QCOMPARE(f.log->properties.size(), expected.size());
    for (qsizetype i = 0; i < expected.size(); ++i) {
        const Log::PropertyWrite& written = f.log->properties.at(i);
        QCOMPARE(written.object, expected.at(i).object);
        QCOMPARE(written.name, expected.at(i).name);
        QCOMPARE(written.value, expected.at(i).value);
        QCOMPARE(written.value.metaType(), expected.at(i).value.metaType());
    }
    QCOMPARE(f.log->subObjectQueries, (QStringList{advanced, QStringLiteral("SecuredSettings2")}));
    QCOMPARE(f.log->methods, QStringList{QStringLiteral("Connect()")});
    QVERIFY(f.session.isActive());
    QVERIFY(f.errors.isEmpty());
}

void TestSystemRdpSession::emptyPasswordIsNotWritten()
{
    Fixture f;
    Remote remote = sampleRemote();
    remote.password.clear();
    QVERIFY(f.session.connectTo(remote, QSize(1024, 768), 32));
    QVERIFY(!writtenValue(*f.log, QStringLiteral("ClearTextPassword")).isValid());
    QCOMPARE(f.log->properties.last().name, QStringLiteral("AudioRedirectionMode"));
    QVERIFY(!writtenValue(*f.log, QStringLiteral("NetworkConnectionType")).isNull());
}

void TestSystemRdpSession::desktopSizeAndColourDepthAreBounded_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("depth");
    QTest::addColumn<QSize>("sentSize");
    QTest::addColumn<int>("sentDepth");
    QTest::newRow("8 bit, tiny") << QSize(320, 200) << 8 << QSize(640, 480) << 15;
    QTest::newRow("48 bit") << QSize(1920, 1080) << 48 << QSize(1920, 1080) << 32;
    QTest::newRow("narrow but tall") << QSize(500, 900) << 16 << QSize(640, 900) << 16;
}

void TestSystemRdpSession::desktopSizeAndColourDepthAreBounded()
{
    QFETCH(QSize, size);
    QFETCH(int, depth);
    QFETCH(QSize, sentSize);
    QFETCH(int, sentDepth);
    Fixture f;
    QVERIFY(f.session.connectTo(sampleRemote(), size, depth));
    QCOMPARE(writtenValue(*f.log, QStringLiteral("DesktopWidth")).toInt(), sentSize.width());
    QCOMPARE(writtenValue(*f.log, QStringLiteral("DesktopHeight")).toInt(), sentSize.height());
    QCOMPARE(writtenValue(*f.log, QStringLiteral("ColorDepth")).toInt(), sentDepth);
}

void TestSystemRdpSession::onlyAdvancedSettings2IsUsedWhenOnlyItExists()
{
    auto fake = std::make_unique<FakeRdpControl>();
    fake->offeredSubObjects = {QStringLiteral("AdvancedSettings2")};
    Fixture f(std::move(fake));
    QVERIFY(f.session.connectTo(sampleRemote(), QSize(1024, 768), 32));

    QCOMPARE(f.log->subObjectQueries,
             (QStringList{QStringLiteral("AdvancedSettings9"), QStringLiteral("AdvancedSettings8"),
                          QStringLiteral("AdvancedSettings7"), QStringLiteral("AdvancedSettings6"),
                          QStringLiteral("AdvancedSettings5"), QStringLiteral("AdvancedSettings4"),
                          QStringLiteral("AdvancedSettings3"), QStringLiteral("AdvancedSettings2"),
                          QStringLiteral("SecuredSettings2")}));
    int advancedWrites = 0;
    for (const Log::PropertyWrite& written : f.log->properties) {
        if (!written.object.isEmpty()) {
            QCOMPARE(written.object, QStringLiteral("AdvancedSettings2"));
            ++advancedWrites;
        }
    }
    QCOMPARE(advancedWrites, 12); // none of the interface that brought the connection type
}

void TestSystemRdpSession::noAdvancedSettingsFailsBeforeConnecting()
{
    auto fake = std::make_unique<FakeRdpControl>();
    fake->offeredSubObjects.clear();
    Fixture f(std::move(fake));
    QVERIFY(!f.session.connectTo(sampleRemote(), QSize(1024, 768), 32));
#if defined(Q_OS_WIN)
    QCOMPARE(lastMessage(f.errors), QStringLiteral("无法读取微软远程桌面高级设置"));
#else
    QCOMPARE(lastMessage(f.errors), QStringLiteral("无法设置系统 RDP 客户端的连接参数"));
#endif
    QCOMPARE(f.log->subObjectQueries.size(), 9);
    QCOMPARE(f.log->subObjectQueries.last(), QStringLiteral("AdvancedSettings"));
    QVERIFY(f.log->methods.isEmpty());
    QVERIFY(!f.session.isActive());
}

void TestSystemRdpSession::invalidAddressIsRejected_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::newRow("blank host") << QStringLiteral("   ") << 3389;
    QTest::newRow("port 0") << QStringLiteral("10.0.0.5") << 0;
    QTest::newRow("port 65536") << QStringLiteral("10.0.0.5") << 65536;
}

void TestSystemRdpSession::invalidAddressIsRejected()
{
    QFETCH(QString, host);
    QFETCH(int, port);
    Fixture f;
    Remote remote = sampleRemote();
    remote.host = host;
    remote.port = port;
    QVERIFY(!f.session.connectTo(remote, QSize(1024, 768), 32));
    QCOMPARE(lastMessage(f.errors), QStringLiteral("主机地址或端口无效"));
    QVERIFY(f.log->properties.isEmpty());
    QVERIFY(f.log->methods.isEmpty());
}

void TestSystemRdpSession::connectOnActiveSessionChangesNothing()
{
    {
        // Connecting.
        Fixture f;
        QVERIFY(f.session.connectTo(sampleRemote(), QSize(1024, 768), 32));
        f.log->properties.clear();
        f.log->methods.clear();
        QVERIFY(f.session.connectTo(sampleRemote(), QSize(800, 600), 16));
        QVERIFY(f.log->properties.isEmpty());
        QVERIFY(f.log->methods.isEmpty());
    }
    {
        // Connected.
        Fixture f;
        f.connectSession();
        QVERIFY(f.session.connectTo(sampleRemote(), QSize(800, 600), 16));
        QVERIFY(f.log->properties.isEmpty());
        QVERIFY(f.log->methods.isEmpty());
    }
    {
        // The control still holds a connection of its own.
        auto fake = std::make_unique<FakeRdpControl>();
        fake->connectedProperty = 1;
        Fixture f(std::move(fake));
        QVERIFY(f.session.isActive());
        QVERIFY(f.session.connectTo(sampleRemote(), QSize(800, 600), 16));
        QVERIFY(f.log->properties.isEmpty());
        QVERIFY(f.log->methods.isEmpty());
    }
}

void TestSystemRdpSession::negativeConnectResultReportsTheErrorCode()
{
    auto fake = std::make_unique<FakeRdpControl>();
    fake->connectResult = -1;
    fake->errorCode = 0x57;
    Fixture f(std::move(fake));
    QVERIFY(!f.session.connectTo(sampleRemote(), QSize(1024, 768), 32));
    QCOMPARE(lastMessage(f.errors), QStringLiteral("原因不明（代码 87）"));
    QVERIFY(!f.session.isActive());

    // A non-negative result is a started connection.
    f.control->connectResult = 0;
    QVERIFY(f.session.connectTo(sampleRemote(), QSize(1024, 768), 32));
    QVERIFY(f.session.isActive());
}

void TestSystemRdpSession::connectAndLoginEventsYieldOneConnected()
{
    Fixture f;
    QVERIFY(f.session.connectTo(sampleRemote(), QSize(1024, 768), 32));
    f.control->fire(QStringLiteral("OnConnected"));
    f.control->fire(QStringLiteral("OnLoginComplete"));
    QCOMPARE(f.connected.size(), 1);
    QVERIFY(f.session.isActive());

    // The next connection reports again.
    f.control->fire(QStringLiteral("OnDisconnected"));
    QVERIFY(f.session.connectTo(sampleRemote(), QSize(1024, 768), 32));
    f.control->fire(QStringLiteral("OnLoginComplete"));
    f.control->fire(QStringLiteral("OnConnected"));
    QCOMPARE(f.connected.size(), 2);
}

void TestSystemRdpSession::eventNamesIgnoreCaseAndParameterLists()
{
    Fixture f;
    QVERIFY(f.session.connectTo(sampleRemote(), QSize(1024, 768), 32));
    f.control->fire(QStringLiteral("OnWarning(int)"), {1});
    QVERIFY(f.connected.isEmpty());
    f.control->fire(QStringLiteral("onconnected"));
    QCOMPARE(f.connected.size(), 1);
    f.control->fire(QStringLiteral(" ONDISCONNECTED (int discReason)"), {2});
    QCOMPARE(f.disconnected.size(), 1);

    QVERIFY(f.session.connectTo(sampleRemote(), QSize(1024, 768), 32));
    f.control->fire(QStringLiteral("OnLoginComplete()"));
    QCOMPARE(f.connected.size(), 2);
    f.control->errorCode = 3;
    f.control->fire(QStringLiteral("onfatalerror(int)"), {3});
    QCOMPARE(lastMessage(f.errors), QStringLiteral("原因不明（代码 3）"));
}

void TestSystemRdpSession::disconnectBeforeConnectingIsAFailure()
{
    Fixture f;
    QVERIFY(f.session.connectTo(sampleRemote(), QSize(1024, 768), 32));
    f.control->failure = RdpFailure::Refused;
    f.control->fire(QStringLiteral("OnDisconnected(int)"), {516});
    QCOMPARE(lastMessage(f.errors), QStringLiteral("连接被拒绝：端口未开放或远程桌面服务未运行"));
    QCOMPARE(f.errors.last().at(1).value<RdpFailure>(), RdpFailure::Refused);
    QVERIFY(f.disconnected.isEmpty());
    QVERIFY(f.connected.isEmpty());
    QVERIFY(!f.session.isActive());
}

void TestSystemRdpSession::disconnectAfterConnectingIsReported()
{
    Fixture f;
    f.connectSession();
    f.control->fire(QStringLiteral("OnDisconnected"));
    QCOMPARE(f.disconnected.size(), 1);
    QVERIFY(f.errors.isEmpty());
    QVERIFY(!f.session.isActive());

    // Once idle, a stray event changes nothing.
    f.control->fire(QStringLiteral("OnDisconnected"));
    QCOMPARE(f.disconnected.size(), 1);
    QVERIFY(f.errors.isEmpty());
}

void TestSystemRdpSession::fatalAndLogonErrorsCarryTheErrorCode()
{
    Fixture f;
    QVERIFY(f.session.connectTo(sampleRemote(), QSize(1024, 768), 32));
    f.control->errorCode = 154;
    f.control->failure = RdpFailure::WrongCredentials;
    f.control->fire(QStringLiteral("OnLogonError(int)"), {154});
    QCOMPARE(lastMessage(f.errors), QStringLiteral("用户名或密码错误"));
    // The flags stay: the connection attempt is still under way.
    QVERIFY(f.session.isActive());
    f.control->fire(QStringLiteral("OnConnected"));
    QCOMPARE(f.connected.size(), 1);

    f.control->errorCode = 0x80004005U;
    f.control->failure = RdpFailure::Other;
    f.control->fire(QStringLiteral("OnFatalError"), {4});
    QCOMPARE(lastMessage(f.errors), QStringLiteral("原因不明（代码 2147500037）"));
    QVERIFY(f.session.isActive());
    QVERIFY(f.disconnected.isEmpty());
    QCOMPARE(f.errors.size(), 2);
}

void TestSystemRdpSession::disconnectSessionReportsOnlyWhatWasUp()
{
    {
        Fixture f;
        f.connectSession();
        f.session.disconnectSession();
        QCOMPARE(f.log->methods, QStringList{QStringLiteral("Disconnect()")});
        QCOMPARE(f.disconnected.size(), 1);
        QVERIFY(!f.session.isActive());
        // The control's late event after a requested end stays silent.
        f.control->fire(QStringLiteral("OnDisconnected"));
        QCOMPARE(f.disconnected.size(), 1);
        QVERIFY(f.errors.isEmpty());
    }
    {
        Fixture f;
        QVERIFY(f.session.connectTo(sampleRemote(), QSize(1024, 768), 32));
        f.log->methods.clear();
        f.session.disconnectSession();
        QCOMPARE(f.log->methods, QStringList{QStringLiteral("Disconnect()")});
        QCOMPARE(f.disconnected.size(), 1);
        QVERIFY(f.errors.isEmpty());
    }
    {
        Fixture f;
        f.session.disconnectSession();
        QVERIFY(f.log->methods.isEmpty());
        QVERIFY(f.disconnected.isEmpty());
    }
    {
        // The control reports a connection the session never saw: end it, but report nothing.
        auto fake = std::make_unique<FakeRdpControl>();
        fake->connectedProperty = 1;
        Fixture f(std::move(fake));
        f.session.disconnectSession();
        QCOMPARE(f.log->methods, QStringList{QStringLiteral("Disconnect()")});
        QVERIFY(f.disconnected.isEmpty());
    }
}

void TestSystemRdpSession::destructorEndsTheConnection()
{
    QWidget parent;
    auto fake = std::make_unique<FakeRdpControl>();
    FakeRdpControl* control = fake.get();
    const std::shared_ptr<Log> log = fake->log();
    auto* session = new SystemRdpSession(&parent, std::move(fake));
    QSignalSpy disconnected(session, &SystemRdpSession::disconnected);
    QVERIFY(session->connectTo(sampleRemote(), QSize(1024, 768), 32));
    control->fire(QStringLiteral("OnConnected"));
    const QPointer<QWidget> widget = session->widget();

    delete session;
    QCOMPARE(log->methods.last(), QStringLiteral("Disconnect()"));
    QCOMPARE(disconnected.size(), 1);
    QVERIFY(widget.isNull());
    QVERIFY(parent.children().isEmpty());
}

void TestSystemRdpSession::scanCodesFollowWindows_data()
{
    QTest::addColumn<int>("virtualKey");
    QTest::addColumn<quint32>("scanCode");
    QTest::newRow("A") << 0x41 << 0x1EU;
    QTest::newRow("V") << 0x56 << 0x2FU;
    QTest::newRow("Shift") << 0x10 << 0x2AU;
    QTest::newRow("Ctrl") << 0x11 << 0x1DU;
    QTest::newRow("Alt") << 0x12 << 0x38U;
    QTest::newRow("right Ctrl") << 0xA3 << 0xE01DU;
    QTest::newRow("Return") << 0x0D << 0x1CU;
    QTest::newRow("Escape") << 0x1B << 0x01U;
    QTest::newRow("F4") << 0x73 << 0x3EU;
    QTest::newRow("Delete") << 0x2E << 0xE053U;
    QTest::newRow("Left") << 0x25 << 0xE04BU;
    QTest::newRow("Home") << 0x24 << 0xE047U;
    QTest::newRow("left Windows") << 0x5B << 0xE05BU;
    QTest::newRow("keypad divide") << 0x6F << 0xE035U;
    QTest::newRow("unassigned 0x07") << 0x07 << 0U;
    QTest::newRow("out of range") << 0x1FF << 0U;
}

void TestSystemRdpSession::scanCodesFollowWindows()
{
    QFETCH(int, virtualKey);
    QFETCH(quint32, scanCode);
    QCOMPARE(SystemRdpSession::scanCodeForVirtualKey(virtualKey), scanCode);
}

void TestSystemRdpSession::ctrlAltDeletePressesInOrderAndReleasesReversed()
{
    Fixture f;
    f.connectSession();
    QVERIFY(f.session.sendKeys({0x11, 0x12, 0x2E}));

    QCOMPARE(f.log->keyCalls.size(), 1);
    const QList<Log::KeyEntry>& entries = f.log->keyCalls.first();
    QCOMPARE(entries.size(), 6);
    const qint32 data[] = {kCtrl, kAlt, kDeleteExtended, kDeleteExtended, kAlt, kCtrl};
    const qint16 up[] = {0, 0, 0, -1, -1, -1};
    for (int i = 0; i < 6; ++i) {
        QCOMPARE(entries.at(i).keyData, data[i]);
        QCOMPARE(entries.at(i).keyUp, up[i]);
    }
    QVERIFY(f.interactionErrors.isEmpty());
}

void TestSystemRdpSession::sendKeysRefusals()
{
    {
        // Not connected, or nothing to send: silently refused.
        Fixture f;
        QVERIFY(!f.session.sendKeys({0x11, 0x56}));
        QVERIFY(f.session.connectTo(sampleRemote(), QSize(1024, 768), 32));
        QVERIFY(!f.session.sendKeys({0x11, 0x56}));
        f.control->fire(QStringLiteral("OnConnected"));
        QVERIFY(!f.session.sendKeys({}));
        QVERIFY(f.log->keyCalls.isEmpty());
        QVERIFY(f.interactionErrors.isEmpty());
    }
    {
        Fixture f;
        f.connectSession();
        QVERIFY(!f.session.sendKeys(QList<int>(11, 0x41)));
        QCOMPARE(lastMessage(f.interactionErrors), QStringLiteral("一次最多可发送 10 个组合按键"));
        QVERIFY(f.log->keyCalls.isEmpty());
        QVERIFY(f.session.sendKeys(QList<int>(10, 0x41)));
        QCOMPARE(f.log->keyCalls.size(), 1);
        QCOMPARE(f.log->keyCalls.first().size(), 20);
    }
    {
        auto fake = std::make_unique<FakeRdpControl>();
        fake->offersKeySender = false;
        Fixture f(std::move(fake));
        f.connectSession();
        QVERIFY(!f.session.sendKeys({0x11, 0x56}));
        QCOMPARE(lastMessage(f.interactionErrors), QStringLiteral("系统 RDP 客户端不支持远程按键"));
    }
    {
        Fixture f;
        f.connectSession();
        QVERIFY(!f.session.sendKeys({0x11, 0x07}));
        QCOMPARE(lastMessage(f.interactionErrors), QStringLiteral("无法把按键 0x07 转换为 Windows 扫描码"));
        QVERIFY(f.log->keyCalls.isEmpty());
    }
}

void TestSystemRdpSession::keySendingFailuresKeepTheConnection()
{
    auto fake = std::make_unique<FakeRdpControl>();
    fake->sendKeysResult = static_cast<qint32>(0x80004005U);
    Fixture f(std::move(fake));
    f.connectSession();
    QVERIFY(!f.session.sendKeys({0x5B, 0x52}));
    QCOMPARE(lastMessage(f.interactionErrors),
             QStringLiteral("系统 RDP 客户端发送远程按键失败（0x80004005）"));
    QCOMPARE(f.log->keyCalls.size(), 1);
    QVERIFY(f.session.isActive());
    QVERIFY(f.errors.isEmpty());
    QVERIFY(f.disconnected.isEmpty());

    // Still connected: the next combination goes out.
    f.control->sendKeysResult = 0;
    QVERIFY(f.session.sendKeys({0x5B, 0x52}));
}

void TestSystemRdpSession::pasteTextUsesTheClipboardAndCtrlV()
{
    Fixture f;
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->setText(QStringLiteral("before"));
    QVERIFY(!f.session.pasteText(QStringLiteral("hello")));
    QCOMPARE(clipboard->text(), QStringLiteral("before"));

    f.connectSession();
    QVERIFY(!f.session.pasteText(QString()));
    QVERIFY(f.log->keyCalls.isEmpty());
    QVERIFY(f.session.pasteText(QStringLiteral("多行\n文本")));
    QCOMPARE(clipboard->text(), QStringLiteral("多行\n文本"));
    QCOMPARE(f.log->keyCalls.size(), 1);
    const QList<Log::KeyEntry>& entries = f.log->keyCalls.first();
    QCOMPARE(entries.size(), 4);
    QCOMPARE(entries.at(0).keyData, kCtrl);
    QCOMPARE(entries.at(1).keyData, kV);
    QCOMPARE(entries.at(2).keyData, kV);
    QCOMPARE(entries.at(3).keyData, kCtrl);
}

void TestSystemRdpSession::pasteFilesWithOnlyMissingFilesLeavesTheClipboard()
{
    Fixture f;
    f.connectSession();
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->setText(QStringLiteral("keep me"));
    QVERIFY(
        !f.session.pasteFiles({QStringLiteral("/nonexistent/a.txt"), QStringLiteral("/nonexistent/b.txt")}));
    QVERIFY(!f.session.pasteFiles({}));
    QCOMPARE(clipboard->text(), QStringLiteral("keep me"));
    QVERIFY(!clipboard->mimeData()->hasUrls());
    QTest::qWait(SystemRdpSession::kPasteFilesDelayMs + 100);
    QVERIFY(f.log->keyCalls.isEmpty());
}

void TestSystemRdpSession::pasteFilesPutsUrlsAndPastesLater()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString existing = dir.filePath(QStringLiteral("报告.txt"));
    QFile file(existing);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    {
        Fixture f;
        QVERIFY(!f.session.pasteFiles({existing}));
        f.connectSession();
        QVERIFY(f.session.pasteFiles({existing, dir.filePath(QStringLiteral("missing.txt"))}));
        const QList<QUrl> urls = QGuiApplication::clipboard()->mimeData()->urls();
        QCOMPARE(urls, QList<QUrl>{QUrl::fromLocalFile(existing)});
        // The paste waits for the clipboard to reach the remote side.
        QVERIFY(f.log->keyCalls.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(f.log->keyCalls.size(), 1, 5000);
        QCOMPARE(f.log->keyCalls.first().size(), 4);
        QCOMPARE(f.log->keyCalls.first().at(1).keyData, kV);
    }
    {
        // A session that ends meanwhile pastes nothing.
        Fixture f;
        f.connectSession();
        QVERIFY(f.session.pasteFiles({existing}));
        f.control->fire(QStringLiteral("OnDisconnected"));
        QTest::qWait(SystemRdpSession::kPasteFilesDelayMs + 150);
        QVERIFY(f.log->keyCalls.isEmpty());
    }
}

void TestSystemRdpSession::storedFingerprintIsCheckedAndPinned()
{
    PinningFixture f;
    f.session.setCertificateProbeTimeout(4321);
    // The record's spelling differs from FreeRDP's; the comparison ignores case and separators.
    QString stored = kServerFingerprint.toUpper();
    stored.remove(QLatin1Char(':'));
    QVERIFY(f.session.connectTo(recordedRemote(stored), QSize(1280, 720), 32));

    // Nothing reaches the control, the password least of all, before the certificate is known.
    QVERIFY(f.probe());
    QCOMPARE(f.probe()->targets, QStringList{QStringLiteral("10.0.0.5:3390")});
    QCOMPARE(f.probe()->timeout(), 4321);
    QVERIFY(f.log->properties.isEmpty());
    QVERIFY(f.log->methods.isEmpty());
    QVERIFY(f.session.isActive());

    f.probe()->answer(RdpCertificateProbe::Outcome::Certificate, kServerFingerprint);
    QCOMPARE(writtenValue(*f.log, QStringLiteral("ServerCertificateFingerprint")).toString(),
             kServerFingerprint);
    QCOMPARE(writtenValue(*f.log, QStringLiteral("AuthenticationLevel")).toInt(), 2);
    QCOMPARE(writtenValue(*f.log, QStringLiteral("ClearTextPassword")).toString(), QStringLiteral("s3cret!"));
    QCOMPARE(writtenValue(*f.log, QStringLiteral("DesktopWidth")).toInt(), 1280);
    QCOMPARE(f.log->methods, QStringList{QStringLiteral("Connect()")});
    QVERIFY(f.trusted.isEmpty());
    QVERIFY(f.rejected.isEmpty());
    QVERIFY(f.errors.isEmpty());
    QVERIFY(f.session.isActive());
    // The probe is done with once it has answered.
    QTRY_VERIFY(f.probes.last().isNull());
}

void TestSystemRdpSession::firstCertificateIsTrustedAndPinned()
{
    PinningFixture f;
    QVERIFY(f.session.connectTo(recordedRemote(QString()), QSize(1024, 768), 32));
    QVERIFY(f.log->methods.isEmpty());
    f.probe()->answer(RdpCertificateProbe::Outcome::Certificate, kServerFingerprint);

    QCOMPARE(f.trusted.size(), 1);
    QCOMPARE(f.trusted.first().at(0).toString(), QStringLiteral("remote-7"));
    QCOMPARE(f.trusted.first().at(1).toString(), kServerFingerprint);
    QCOMPARE(writtenValue(*f.log, QStringLiteral("ServerCertificateFingerprint")).toString(),
             kServerFingerprint);
    QCOMPARE(f.log->methods, QStringList{QStringLiteral("Connect()")});
    QVERIFY(f.rejected.isEmpty());

    // Once up, the session behaves as any other.
    f.control->fire(QStringLiteral("OnConnected"));
    QCOMPARE(f.connected.size(), 1);
}

void TestSystemRdpSession::mismatchRefusesWithoutPassword()
{
    PinningFixture f;
    QVERIFY(f.session.connectTo(recordedRemote(kServerFingerprint), QSize(1024, 768), 32));
    f.probe()->answer(RdpCertificateProbe::Outcome::Certificate, kOtherFingerprint);

    QCOMPARE(f.errors.size(), 1);
    QCOMPARE(lastMessage(f.errors), kMismatch);
    QCOMPARE(f.rejected.size(), 1);
    const QList<QVariant> rejected = f.rejected.first();
    QCOMPARE(rejected.at(0).toString(), QStringLiteral("10.0.0.5"));
    QCOMPARE(rejected.at(1).toString(), QStringLiteral("CN = web-01"));
    QCOMPARE(rejected.at(3).toString(), kOtherFingerprint);
    QVERIFY(f.trusted.isEmpty());
    // The control was not even configured: no password, no connection.
    QVERIFY(f.log->properties.isEmpty());
    QVERIFY(f.log->methods.isEmpty());
    QVERIFY(!f.session.isActive());
    QVERIFY(f.disconnected.isEmpty());

    // A new attempt probes again.
    QVERIFY(f.session.connectTo(recordedRemote(kServerFingerprint), QSize(1024, 768), 32));
    QCOMPARE(f.probes.size(), 2);
    f.probe()->answer(RdpCertificateProbe::Outcome::Certificate, kServerFingerprint);
    QCOMPARE(f.log->methods, QStringList{QStringLiteral("Connect()")});
}

void TestSystemRdpSession::standardSecurityIsRefusedOnlyForARecordedHost()
{
    {
        // A host that has shown a certificate before does not silently lose TLS.
        PinningFixture f;
        QVERIFY(f.session.connectTo(recordedRemote(kServerFingerprint), QSize(1024, 768), 32));
        f.probe()->answer(RdpCertificateProbe::Outcome::StandardSecurity);
        QCOMPARE(lastMessage(f.errors),
                 QStringLiteral(
                     "服务器不再提供 TLS 证书，无法核对记录的指纹，已拒绝连接（可能存在中间人攻击）。"));
        QVERIFY(f.log->properties.isEmpty());
        QVERIFY(f.log->methods.isEmpty());
        QVERIFY(!f.session.isActive());
    }
    {
        // Any other host connects without a pin, still refusing certificates the client cannot verify.
        PinningFixture f;
        QVERIFY(f.session.connectTo(recordedRemote(QString()), QSize(1024, 768), 32));
        f.probe()->answer(RdpCertificateProbe::Outcome::StandardSecurity);
        QVERIFY(f.errors.isEmpty());
        QVERIFY(f.trusted.isEmpty());
        QVERIFY(!writtenValue(*f.log, QStringLiteral("ServerCertificateFingerprint")).isValid());
        QCOMPARE(writtenValue(*f.log, QStringLiteral("AuthenticationLevel")).toInt(), 2);
        QCOMPARE(f.log->methods, QStringList{QStringLiteral("Connect()")});
    }
}

void TestSystemRdpSession::failedProbeRefuses()
{
    PinningFixture f;
    QVERIFY(f.session.connectTo(recordedRemote(QString()), QSize(1024, 768), 32));
    f.probe()->answer(RdpCertificateProbe::Outcome::Failed);
    QCOMPARE(lastMessage(f.errors), QStringLiteral("无法取得服务器证书，已取消连接：连接被拒绝"));
    QVERIFY(f.trusted.isEmpty());
    QVERIFY(f.log->properties.isEmpty());
    QVERIFY(f.log->methods.isEmpty());
    QVERIFY(!f.session.isActive());
}

void TestSystemRdpSession::disconnectWhileProbingAbandonsTheProbe()
{
    PinningFixture f;
    QVERIFY(f.session.connectTo(recordedRemote(QString()), QSize(1024, 768), 32));
    QPointer<FakeCertificateProbe> probe = f.probe();
    f.session.disconnectSession();
    QCOMPARE(probe->aborts, 1);
    QCOMPARE(f.disconnected.size(), 1);
    QVERIFY(!f.session.isActive());
    QVERIFY(f.log->methods.isEmpty());

    // A late answer of the abandoned probe changes nothing.
    probe->answer(RdpCertificateProbe::Outcome::Certificate, kServerFingerprint);
    QVERIFY(f.trusted.isEmpty());
    QVERIFY(f.log->properties.isEmpty());
    QVERIFY(f.log->methods.isEmpty());
    QVERIFY(f.errors.isEmpty());
}

void TestSystemRdpSession::xfreerdpArgumentsPinTheCertificate()
{
    const QVariantMap base{{QStringLiteral("Server"), QStringLiteral("10.0.0.5")},
                           {QStringLiteral("AuthenticationLevel"), 2}};
    QVariantMap pinned = base;
    pinned.insert(QStringLiteral("ServerCertificateFingerprint"), kServerFingerprint);
    const QString pin = QStringLiteral("/cert:deny,fingerprint:sha256:") + kServerFingerprint;
    QCOMPARE(certificateArguments(argumentsFor(pinned, true)), QStringList{pin});
    QCOMPARE(certificateArguments(argumentsFor(pinned, false)), QStringList{pin});

    // A pin overrides level 0; without one, level 0 ignores the certificate only when no password is sent.
    QVariantMap levelZero = pinned;
    levelZero.insert(QStringLiteral("AuthenticationLevel"), 0);
    QCOMPARE(certificateArguments(argumentsFor(levelZero, true)), QStringList{pin});
    levelZero.remove(QStringLiteral("ServerCertificateFingerprint"));
    QCOMPARE(certificateArguments(argumentsFor(levelZero, true)), QStringList{QStringLiteral("/cert:deny")});
    QCOMPARE(certificateArguments(argumentsFor(levelZero, false)),
             QStringList{QStringLiteral("/cert:ignore")});
    QCOMPARE(certificateArguments(argumentsFor(base, true)), QStringList{QStringLiteral("/cert:deny")});

    // A password is never sent with no word on the certificate at all.
    const QVariantMap bare{{QStringLiteral("Server"), QStringLiteral("10.0.0.5")}};
    QCOMPARE(certificateArguments(argumentsFor(bare, true)), QStringList{QStringLiteral("/cert:deny")});
    QVERIFY(certificateArguments(argumentsFor(bare, false)).isEmpty());
    QVERIFY(argumentsFor(pinned, true).contains(QStringLiteral("/from-stdin:force")));
}

void TestSystemRdpSession::settingsReachTheClient_data()
{
    QTest::addColumn<int>("bandwidth");
    QTest::addColumn<bool>("reconnect");
    QTest::addColumn<int>("times");
    QTest::addColumn<bool>("shared"); // clipboard and printers
    QTest::addColumn<int>("audio");
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QStringList>("absent");
    QTest::newRow("defaults") << 2 << true << 5 << true << 0
                              << QStringList{"/network:broadband-high",
                                             "+auto-reconnect",
                                             "/auto-reconnect-max-retries:5",
                                             "+clipboard",
                                             "/printer",
                                             "/sound",
                                             "/audio-mode:0"}
                              << QStringList{"-clipboard"};
    QTest::newRow("modem, no reconnect, nothing shared, sound on the server")
        << 0 << false << 5 << false << 1 << QStringList{"/network:modem", "-clipboard", "/audio-mode:1"}
        << QStringList{"+auto-reconnect", "/auto-reconnect-max-retries:5", "+clipboard", "/printer",
                       "/sound"};
    QTest::newRow("low, one attempt, no sound")
        << 1 << true << 1 << true << 2
        << QStringList{"/network:broadband-low", "/auto-reconnect-max-retries:1", "/audio-mode:2"}
        << QStringList{"/sound"};
    QTest::newRow("lan, reconnects bounded")
        << 3 << true << 100000 << true << 0 << QStringList{"/network:lan", "/auto-reconnect-max-retries:100"}
        << QStringList{};
    QTest::newRow("no attempts is no reconnect")
        << 2 << true << 0 << true << 0 << QStringList{"/network:broadband-high"}
        << QStringList{"+auto-reconnect"};
}

// The [connection] and [share] settings as the session hands them to the control, and as the xfreerdp
// the control runs here gets them: the listed folders that exist as drives, named after themselves.
void TestSystemRdpSession::settingsReachTheClient()
{
    QFETCH(int, bandwidth);
    QFETCH(bool, reconnect);
    QFETCH(int, times);
    QFETCH(bool, shared);
    QFETCH(int, audio);
    QFETCH(QStringList, present);
    QFETCH(QStringList, absent);
    QTemporaryDir home;
    QVERIFY(QDir(home.path()).mkpath(QStringLiteral("Logs")) &&
            QDir(home.path()).mkpath(QStringLiteral("日志")) &&
            QDir(home.path()).mkpath(QStringLiteral("a,b")));
    AppConfig config;
    config.bandwidth = static_cast<BandwidthMode>(bandwidth);
    config.reconnect = reconnect;
    config.reconnect_times = times;
    config.clipboard = shared;
    config.printers = shared;
    config.audio = static_cast<AudioMode>(audio);
    config.drives = {home.filePath(QStringLiteral("Logs")), home.filePath(QStringLiteral("日志")),
                     home.filePath(QStringLiteral("missing")), home.filePath(QStringLiteral("a,b")),
                     QStringLiteral("relative/Logs")};
    QStringList arguments;
    clientArgumentsFor(config, &arguments);
    for (const QString& argument : present) {
        QVERIFY2(arguments.contains(argument), qPrintable(arguments.join(u' ')));
    }
    for (const QString& argument : absent) {
        QVERIFY2(!arguments.contains(argument), qPrintable(arguments.join(u' ')));
    }
    QCOMPARE(arguments.filter(QStringLiteral("/network:")).size(), 1);
    QCOMPARE(arguments.filter(QStringLiteral("/drive:")),
             (QStringList{QStringLiteral("/drive:Logs,") + home.filePath(QStringLiteral("Logs")),
                          QStringLiteral("/drive:drive2,") + home.filePath(QStringLiteral("日志"))}));
}

void TestSystemRdpSession::pinOptionTakesOnlySha256Fingerprints_data()
{
    QTest::addColumn<QString>("fingerprint");
    QTest::addColumn<QString>("option");
    const QString pin = QStringLiteral("/cert:deny,fingerprint:sha256:") + kServerFingerprint;
    QString bare = kServerFingerprint;
    bare.remove(QLatin1Char(':'));
    QTest::newRow("freerdp") << kServerFingerprint << pin;
    QTest::newRow("upper case") << kServerFingerprint.toUpper() << pin;
    QTest::newRow("no separators") << bare << pin;
    QTest::newRow("surrounding space") << (QStringLiteral("  ") + bare + QStringLiteral("\n")) << pin;
    QTest::newRow("sha1 length") << bare.left(40) << QString();
    QTest::newRow("not hex") << (bare.left(63) + QLatin1Char('g')) << QString();
    QTest::newRow("option injection") << (kServerFingerprint + QStringLiteral(",ignore")) << QString();
    QTest::newRow("empty") << QString() << QString();
}

void TestSystemRdpSession::pinOptionTakesOnlySha256Fingerprints()
{
    QFETCH(QString, fingerprint);
    QFETCH(QString, option);
    QCOMPARE(XFreeRdpControl::certificatePinOption(fingerprint), option);
}

QTEST_MAIN(TestSystemRdpSession)
#include "test_system_rdp_session.moc"
