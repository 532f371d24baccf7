#include "network/acceleration_manager.h"
#include "rdp/freerdp_session.h"
#include "rdp/rdp_certificate_probe.h"
#include "rdp/rdp_tile.h"
#include "rdp/system_rdp_session.h"
#include "rdp/xfreerdp_control.h"

#include "support/acceleration_test_bed.h"
#include "support/log_capture.h"
#include "support/rdp_test_server.h"
#include "support/test_environment.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>

#include <csignal>
#include <memory>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

// The control's time-out as it runs.
class XFreeRdpControlTestAccess
{
public:
    static const QTimer& connectTimer(const XFreeRdpControl& control) { return control.m_connectTimer; }
};

namespace {

constexpr int kPeerTimeoutMs = 20000;
constexpr int kShiftVirtualKey = 0x10;
constexpr int kAVirtualKey = 0x41;
constexpr unsigned long kKeysymShiftL = 0xFFE1;
constexpr unsigned long kKeysymA = 0x0061;
const QColor kServerColour(255, 128, 0);
const QString kMismatch = QStringLiteral("服务器证书与记录的指纹不符，已拒绝连接（可能存在中间人攻击）。");
const QString kNlaUser = QStringLiteral("alice");
const QString kNlaPassword = QStringLiteral("Corr3ct-密码");

// The Xvfb that the program under test draws on; it must exist before the application object.
pid_t g_clientXvfb = 0;

QByteArray startClientDisplay()
{
    int fds[2];
    if (::pipe(fds) != 0) {
        return {};
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::dup2(fds[1], STDOUT_FILENO);
        const int devNull = ::open("/dev/null", O_WRONLY);
        ::dup2(devNull, STDERR_FILENO);
        ::close(fds[0]);
        ::execlp("Xvfb", "Xvfb", "-displayfd", "1", "-noreset", "-screen", "0", "1280x800x24", "-nolisten",
                 "tcp", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        return {};
    }
    g_clientXvfb = pid;
    // -displayfd writes the display number once the server accepts connections.
    QByteArray number;
    pollfd readable{fds[0], POLLIN, 0};
    while (!number.contains('\n') && ::poll(&readable, 1, 15000) > 0) {
        char buffer[32];
        const ssize_t got = ::read(fds[0], buffer, sizeof(buffer));
        if (got <= 0) {
            break;
        }
        number.append(buffer, static_cast<qsizetype>(got));
    }
    ::close(fds[0]);
    number = number.trimmed();
    return number.isEmpty() ? QByteArray() : ':' + number;
}

void stopClientDisplay()
{
    if (g_clientXvfb > 0) {
        ::kill(g_clientXvfb, SIGTERM);
        ::waitpid(g_clientXvfb, nullptr, 0);
        g_clientXvfb = 0;
    }
}

Remote makeRemote(quint16 port, const QString& user, const QString& password)
{
    Remote remote;
    remote.name = QStringLiteral("影子-01");
    remote.host = QStringLiteral("127.0.0.1");
    remote.port = port;
    remote.username = user;
    remote.password = password;
    return remote;
}

QStringList processArguments(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QStringList arguments;
    for (const QByteArray& part : file.readAll().split('\0')) {
        if (!part.isEmpty()) {
            arguments << QString::fromLocal8Bit(part);
        }
    }
    return arguments;
}

bool closeTo(const QColor& a, const QColor& b)
{
    return qAbs(a.red() - b.red()) <= 8 && qAbs(a.green() - b.green()) <= 8 && qAbs(a.blue() - b.blue()) <= 8;
}

// xwininfo's account of a window's children: name and geometry of each.
QString childWindows(WId window)
{
    QProcess xwininfo;
    xwininfo.start(QStringLiteral("xwininfo"), {QStringLiteral("-children"), QStringLiteral("-id"),
                                                QStringLiteral("0x%1").arg(window, 0, 16)});
    xwininfo.waitForFinished(5000);
    return QString::fromLocal8Bit(xwininfo.readAllStandardOutput());
}

// The colour the client display shows in the middle of the embedded window, children included.
QColor embeddedCentre(QWidget* widget)
{
    const QImage image = widget->screen()->grabWindow(widget->winId()).toImage();
    return image.isNull() ? QColor() : image.pixelColor(image.width() / 2, image.height() / 2);
}

// What the probe finds on host:port.
RdpCertificateProbe::Result probe(quint16 port, int timeoutMs = kPeerTimeoutMs)
{
    RdpCertificateProbe probe;
    probe.setTimeout(timeoutMs);
    QSignalSpy finished(&probe, &RdpCertificateProbe::finished);
    probe.start(QStringLiteral("127.0.0.1"), port);
    if (!finished.wait(timeoutMs + 5000) || finished.size() != 1) {
        return {};
    }
    return finished.first().at(0).value<RdpCertificateProbe::Result>();
}

// An executable in dir that notes in `marker` that it ran, then becomes xfreerdp.
QString markingClient(const QString& dir, const QString& marker)
{
    const QString path = dir + QStringLiteral("/marking-xfreerdp");
    QFile script(path);
    if (!script.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return {};
    }
    script.write("#!/bin/sh\ntouch '" + marker.toLocal8Bit() + "'\nexec xfreerdp \"$@\"\n");
    script.close();
    script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

// A window holding one system RDP session over an xfreerdp control that the test configures.
struct SessionWindow
{
    explicit SessionWindow(int connectTimeoutSeconds = XFreeRdpControl::kDefaultConnectTimeoutSeconds,
                           const QString& program = {})
    {
        auto owned = std::make_unique<XFreeRdpControl>();
        control = owned.get();
        control->setConnectTimeout(connectTimeoutSeconds);
        if (!program.isEmpty()) {
            control->setProgram(program);
        }
        session = std::make_unique<SystemRdpSession>(&window, std::move(owned));
        auto* layout = new QVBoxLayout(&window);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(session->widget());
        window.resize(800, 600);
        window.show();
        connected = std::make_unique<QSignalSpy>(session.get(), &SystemRdpSession::connected);
        disconnected = std::make_unique<QSignalSpy>(session.get(), &SystemRdpSession::disconnected);
        errors = std::make_unique<QSignalSpy>(session.get(), &SystemRdpSession::errorOccurred);
        interactionErrors =
            std::make_unique<QSignalSpy>(session.get(), &SystemRdpSession::interactionErrorOccurred);
        trusted = std::make_unique<QSignalSpy>(session.get(), &SystemRdpSession::certificateTrusted);
        rejected = std::make_unique<QSignalSpy>(session.get(), &SystemRdpSession::certificateRejected);
    }

    QStringList errorTexts() const
    {
        QStringList texts;
        for (const QList<QVariant>& arguments : *errors) {
            texts << arguments.at(0).toString();
        }
        return texts;
    }

    QWidget window;
    XFreeRdpControl* control = nullptr;
    std::unique_ptr<SystemRdpSession> session;
    std::unique_ptr<QSignalSpy> connected;
    std::unique_ptr<QSignalSpy> disconnected;
    std::unique_ptr<QSignalSpy> errors;
    std::unique_ptr<QSignalSpy> interactionErrors;
    std::unique_ptr<QSignalSpy> trusted;
    std::unique_ptr<QSignalSpy> rejected;
};

} // namespace

class TestXFreeRdpControl : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void embeddedClientShowsTheDesktopTakesKeysAndStops();
    void silentServerEndsByTheControlsTimeout();
    void nlaChecksThePasswordFromStandardInput();
    void missingClientIsNamed();
    void refusedPortIsNamed();

    // Certificates.
    void probeSeesTheCertificateTheEmbeddedEngineReports();
    void recordedFingerprintConnectsPinned();
    void wrongFingerprintIsRefusedBeforeTheClientStarts();
    void clientRefusesACertificateOtherThanThePinnedOne();
    void probeOfASilentServerEndsByItsTimeout();
    void probeOfAStandardSecurityServerFindsNoCertificate();
    void throughATunnelThePinIsTheRealHosts();

private:
    QTemporaryDir m_home;
    ScopedEnvironment m_environment;
    TestXDisplay m_serverDisplay;
    TestRdpServer m_server;
};

void TestXFreeRdpControl::initTestCase()
{
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
    QVERIFY(m_home.isValid());
    // xfreerdp keeps its configuration under the home directory.
    isolateProcess(m_environment, m_home.path());

    QString error;
    QVERIFY2(m_serverDisplay.start(&error), qPrintable(error));
    QVERIFY(m_serverDisplay.paint(kServerColour));
    QVERIFY2(m_server.start(m_serverDisplay.name(), {QStringLiteral("-auth")}, &error), qPrintable(error));
}

void TestXFreeRdpControl::cleanupTestCase()
{
    m_server.stop();
    m_serverDisplay.stop();
}

void TestXFreeRdpControl::embeddedClientShowsTheDesktopTakesKeysAndStops()
{
    const QString password = QStringLiteral("pw-never-on-the-command-line");
    SessionWindow w;
    QVERIFY(QTest::qWaitForWindowExposed(&w.window));
    QVERIFY(w.session->connectTo(makeRemote(m_server.port(), QStringLiteral("CORP\\tester"), password),
                                 QSize(800, 600), 32));
    // The client starts once the server's certificate is known.
    QTRY_VERIFY_WITH_TIMEOUT(w.control->processId() > 0, kPeerTimeoutMs);
    const qint64 pid = w.control->processId();

    // The password goes through standard input only. The launcher execs the client, so wait until the
    // process shows the client's own arguments.
    QTRY_VERIFY_WITH_TIMEOUT(processArguments(pid).contains(QStringLiteral("/from-stdin:force")),
                             kPeerTimeoutMs);
    const QStringList arguments = processArguments(pid);
    QVERIFY(!arguments.join(QLatin1Char(' ')).contains(password));
    QVERIFY(!readFile(QStringLiteral("/proc/%1/environ").arg(pid)).contains(password.toUtf8()));
    QVERIFY(arguments.contains(QStringLiteral("/from-stdin:force")));
    QVERIFY(arguments.contains(QStringLiteral("/u:CORP\\tester")));
    QVERIFY(arguments.contains(QStringLiteral("/parent-window:%1").arg(w.session->widget()->winId())));

    QTRY_COMPARE_WITH_TIMEOUT(w.connected->size(), 1, kPeerTimeoutMs);
    QVERIFY(w.session->isActive());
    QVERIFY2(w.errors->isEmpty(), qPrintable(w.errorTexts().join(QLatin1Char('\n'))));

    // A host without a record trusts the certificate it shows first, and the client is pinned to it.
    const QString fingerprint = probe(m_server.port()).fingerprint;
    QVERIFY(!fingerprint.isEmpty());
    QCOMPARE(w.trusted->size(), 1);
    QCOMPARE(w.trusted->first().at(1).toString(), fingerprint);
    QVERIFY(arguments.contains(QStringLiteral("/cert:deny,fingerprint:sha256:") + fingerprint));
    QVERIFY(!arguments.contains(QStringLiteral("/cert:ignore")));

    // The remote desktop is drawn by a window inside our widget, kept as large as the widget.
    const QString geometry =
        QStringLiteral("%1x%2+0+0").arg(w.session->widget()->width()).arg(w.session->widget()->height());
    QTRY_VERIFY_WITH_TIMEOUT(
        childWindows(w.session->widget()->winId()).contains(QStringLiteral("\"FreeRDP:")), kPeerTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(childWindows(w.session->widget()->winId()).contains(geometry), kPeerTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(closeTo(embeddedCentre(w.session->widget()), kServerColour), kPeerTimeoutMs);

    // A key combination reaches the server's display: pressed in order, released in reverse.
    m_serverDisplay.takeInput();
    QVERIFY(w.session->sendKeys({kShiftVirtualKey, kAVirtualKey}));
    QVERIFY(w.interactionErrors->isEmpty());
    const unsigned shift = m_serverDisplay.keycode(kKeysymShiftL);
    const unsigned a = m_serverDisplay.keycode(kKeysymA);
    QList<TestXDisplay::InputSeen> keys;
    const auto collect = [&] {
        for (const TestXDisplay::InputSeen& seen : m_serverDisplay.takeInput()) {
            const bool isKey =
                seen.type == TestXDisplay::InputSeen::KeyDown || seen.type == TestXDisplay::InputSeen::KeyUp;
            if (isKey && (seen.detail == shift || seen.detail == a)) {
                keys.append(seen);
            }
        }
        return keys.size();
    };
    QTRY_COMPARE_WITH_TIMEOUT(collect(), 4, kPeerTimeoutMs);
    QCOMPARE(keys.at(0).type, TestXDisplay::InputSeen::KeyDown);
    QCOMPARE(keys.at(0).detail, shift);
    QCOMPARE(keys.at(1).type, TestXDisplay::InputSeen::KeyDown);
    QCOMPARE(keys.at(1).detail, a);
    QCOMPARE(keys.at(2).type, TestXDisplay::InputSeen::KeyUp);
    QCOMPARE(keys.at(2).detail, a);
    QCOMPARE(keys.at(3).type, TestXDisplay::InputSeen::KeyUp);
    QCOMPARE(keys.at(3).detail, shift);

    // Disconnecting ends the client at once, on the terminate signal with no kill needed, and reports
    // the end exactly once.
    QSignalSpy controlEvents(w.control, &IRdpControl::controlEvent);
    {
        LogCapture log;
        w.session->disconnectSession();
        QVERIFY2(log.contains(QStringLiteral("xfreerdp 已退出")), qPrintable(log.text()));
        QVERIFY2(!log.contains(QStringLiteral("强制结束")), qPrintable(log.text()));
    }
    QCOMPARE(w.disconnected->size(), 1);
    QCOMPARE(w.control->processId(), 0);
    QVERIFY(!QDir(QStringLiteral("/proc/%1").arg(pid)).exists());
    // The control's own "OnDisconnected" comes after the call has returned and must stay silent.
    QTRY_VERIFY_WITH_TIMEOUT(!controlEvents.isEmpty(), kPeerTimeoutMs);
    QCOMPARE(controlEvents.last().at(0).toString(), QStringLiteral("OnDisconnected(int)"));
    QCOMPARE(w.disconnected->size(), 1);
    QVERIFY(w.errors->isEmpty());
    QVERIFY(!w.session->isActive());
}

void TestXFreeRdpControl::silentServerEndsByTheControlsTimeout()
{
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    QList<QTcpSocket*> accepted;
    connect(&silent, &QTcpServer::newConnection, &silent, [&] {
        while (QTcpSocket* socket = silent.nextPendingConnection()) {
            accepted.append(socket);
        }
    });

    // The control on its own: the session would not start it without having seen a certificate.
    QWidget window;
    XFreeRdpControl control(&window);
    control.setConnectTimeout(2);
    QVERIFY(control.setControl(QLatin1String(SystemRdpSession::kControlClassId)));
    control.setProperty(QStringLiteral("Server"), QStringLiteral("127.0.0.1"));
    control.querySubObject(QStringLiteral("AdvancedSettings9"))
        ->setProperty(QStringLiteral("RDPPort"), silent.serverPort());
    QSignalSpy events(&control, &IRdpControl::controlEvent);

    QCOMPARE(control.dynamicCall(QStringLiteral("Connect()")).toInt(), 0);
    const qint64 pid = control.processId();
    QVERIFY(pid > 0);
    // The client has its time-out in full: two seconds on a one-shot timer from its start.
    const QTimer& connectTimer = XFreeRdpControlTestAccess::connectTimer(control);
    QVERIFY(connectTimer.isActive());
    QVERIFY(connectTimer.isSingleShot());
    QCOMPARE(connectTimer.interval(), 2000);
    QTRY_VERIFY_WITH_TIMEOUT(!accepted.isEmpty(), kPeerTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(events.size(), 1, kPeerTimeoutMs);
    QCOMPARE(events.first().at(0).toString(), QStringLiteral("OnDisconnected(int)"));
    QCOMPARE(control.lastFailure(), RdpFailure::TimedOut);
    QCOMPARE(control.processId(), 0);
    QVERIFY(!QDir(QStringLiteral("/proc/%1").arg(pid)).exists());
}

void TestXFreeRdpControl::nlaChecksThePasswordFromStandardInput()
{
    TestRdpServer nlaServer;
    QFile sam(nlaServer.homeFile(QStringLiteral("sam")));
    QVERIFY(sam.open(QIODevice::WriteOnly));
    sam.write(samEntry(kNlaUser, QString(), kNlaPassword));
    sam.close();
    QString error;
    QVERIFY2(nlaServer.start(m_serverDisplay.name(),
                             {QStringLiteral("-auth"), QStringLiteral("/sec:nla"),
                              QStringLiteral("/sam-file:") + sam.fileName()},
                             &error),
             qPrintable(error));

    {
        // A wrong password: the logon error carries xfreerdp's exit code, then the attempt fails.
        SessionWindow w;
        QVERIFY(w.session->connectTo(makeRemote(nlaServer.port(), kNlaUser, QStringLiteral("wrong")),
                                     QSize(1024, 768), 32));
        QTRY_COMPARE_WITH_TIMEOUT(w.errors->size(), 1, kPeerTimeoutMs);
        QCOMPARE(w.control->lastErrorCode(), 147U); // XF_EXIT_CONNECT_TRANSPORT_FAILED: the server hung up
        // It did so during NLA, which the probe saw the server choose: the credentials were turned down.
        QCOMPARE(w.errorTexts(),
                 QStringList{QStringLiteral("服务器在验证登录凭据时断开了连接：用户名或密码可能有误")});
        QCOMPARE(w.errors->first().at(1).value<RdpFailure>(), RdpFailure::LogonAborted);
        QVERIFY(w.connected->isEmpty());
        QVERIFY(w.disconnected->isEmpty());
    }
    {
        // The right one, also written only to standard input, logs on.
        SessionWindow w;
        QVERIFY(
            w.session->connectTo(makeRemote(nlaServer.port(), kNlaUser, kNlaPassword), QSize(1024, 768), 32));
        QTRY_COMPARE_WITH_TIMEOUT(w.connected->size(), 1, kPeerTimeoutMs);
        QVERIFY2(w.errors->isEmpty(), qPrintable(w.errorTexts().join(QLatin1Char('\n'))));
        w.session->disconnectSession();
        QCOMPARE(w.disconnected->size(), 1);
    }
    nlaServer.stop();
}

void TestXFreeRdpControl::refusedPortIsNamed()
{
    SessionWindow w;
    QVERIFY(
        w.session->connectTo(makeRemote(freeLoopbackPort(), QStringLiteral("tester"), QStringLiteral("pw")),
                             QSize(1024, 768), 32));
    QTRY_COMPARE_WITH_TIMEOUT(w.errors->size(), 1, kPeerTimeoutMs);
    QCOMPARE(w.errorTexts(), QStringList{QStringLiteral("连接被拒绝：端口未开放或远程桌面服务未运行")});
    QCOMPARE(w.errors->first().at(1).value<RdpFailure>(), RdpFailure::Refused);
    QCOMPARE(w.control->processId(), 0);
}

void TestXFreeRdpControl::missingClientIsNamed()
{
    auto control = std::make_unique<XFreeRdpControl>();
    control->setProgram(m_home.filePath(QStringLiteral("no-such-xfreerdp")));
    QWidget parent;
    SystemRdpSession session(&parent, std::move(control));
    QSignalSpy errors(&session, &SystemRdpSession::errorOccurred);
    QVERIFY(!session.connectTo(makeRemote(3389, QStringLiteral("tester"), QString()), QSize(1024, 768), 32));
    QCOMPARE(errors.size(), 1);
    QCOMPARE(errors.first().at(0).toString(),
             QStringLiteral("未找到系统 RDP 客户端 xfreerdp，请安装 freerdp2-x11"));
}

void TestXFreeRdpControl::probeSeesTheCertificateTheEmbeddedEngineReports()
{
    // The embedded engine reports the certificate of a host without a record as trusted on first use.
    FreeRdpSession engine;
    QSignalSpy trusted(&engine, &FreeRdpSession::certificateTrusted);
    Remote remote = makeRemote(m_server.port(), QStringLiteral("tester"), QString());
    remote.id = QStringLiteral("shadow-01");
    QVERIFY(engine.start(remote, QSize(800, 600), false, false, 32));
    QTRY_COMPARE_WITH_TIMEOUT(trusted.size(), 1, kPeerTimeoutMs);
    QCOMPARE(trusted.first().at(0).toString(), QStringLiteral("shadow-01"));
    const QString engineFingerprint = trusted.first().at(1).toString();
    engine.stop();

    // The probe sees the same certificate and writes its fingerprint the same way, to the letter.
    const RdpCertificateProbe::Result seen = probe(m_server.port());
    QVERIFY2(seen.outcome == RdpCertificateProbe::Outcome::Certificate, qPrintable(seen.error));
    QCOMPARE(seen.fingerprint, engineFingerprint);
    QCOMPARE(seen.fingerprint.size(), 32 * 3 - 1);
    QVERIFY(!seen.subject.isEmpty());
}

void TestXFreeRdpControl::recordedFingerprintConnectsPinned()
{
    const QString fingerprint = probe(m_server.port()).fingerprint;
    QVERIFY(!fingerprint.isEmpty());
    const QString marker = m_home.filePath(QStringLiteral("recorded-client-ran"));
    SessionWindow w(XFreeRdpControl::kDefaultConnectTimeoutSeconds, markingClient(m_home.path(), marker));
    QVERIFY(QTest::qWaitForWindowExposed(&w.window));
    Remote remote = makeRemote(m_server.port(), QStringLiteral("tester"), QStringLiteral("pw-recorded"));
    // Records may spell the fingerprint differently from FreeRDP.
    remote.rdp_certificate_fingerprint = fingerprint.toUpper().remove(QLatin1Char(':'));
    QVERIFY(w.session->connectTo(remote, QSize(800, 600), 32));

    QTRY_COMPARE_WITH_TIMEOUT(w.connected->size(), 1, kPeerTimeoutMs);
    QVERIFY2(w.errors->isEmpty(), qPrintable(w.errorTexts().join(QLatin1Char('\n'))));
    QVERIFY(QFile::exists(marker));
    const QStringList arguments = processArguments(w.control->processId());
    QVERIFY(arguments.contains(QStringLiteral("/cert:deny,fingerprint:sha256:") + fingerprint));
    QVERIFY(!arguments.contains(QStringLiteral("/cert:ignore")));
    QTRY_VERIFY_WITH_TIMEOUT(closeTo(embeddedCentre(w.session->widget()), kServerColour), kPeerTimeoutMs);
    QVERIFY(w.trusted->isEmpty());
    QVERIFY(w.rejected->isEmpty());
    w.session->disconnectSession();
    QCOMPARE(w.disconnected->size(), 1);
}

void TestXFreeRdpControl::wrongFingerprintIsRefusedBeforeTheClientStarts()
{
    const QString fingerprint = probe(m_server.port()).fingerprint;
    QVERIFY(!fingerprint.isEmpty());
    QString wrong = fingerprint;
    wrong[0] = wrong.at(0) == QLatin1Char('0') ? QLatin1Char('1') : QLatin1Char('0');
    const QString marker = m_home.filePath(QStringLiteral("wrong-client-ran"));
    SessionWindow w(XFreeRdpControl::kDefaultConnectTimeoutSeconds, markingClient(m_home.path(), marker));
    QVERIFY(QTest::qWaitForWindowExposed(&w.window));
    Remote remote =
        makeRemote(m_server.port(), QStringLiteral("tester"), QStringLiteral("pw-never-handed-out"));
    remote.rdp_certificate_fingerprint = wrong;
    QVERIFY(w.session->connectTo(remote, QSize(800, 600), 32));

    QTRY_COMPARE_WITH_TIMEOUT(w.errors->size(), 1, kPeerTimeoutMs);
    QCOMPARE(w.errorTexts(), QStringList{kMismatch});
    QCOMPARE(w.rejected->size(), 1);
    QCOMPARE(w.rejected->first().at(0).toString(), QStringLiteral("127.0.0.1"));
    QCOMPARE(w.rejected->first().at(3).toString(), fingerprint);
    QVERIFY(w.trusted->isEmpty());
    QVERIFY(w.connected->isEmpty());
    QVERIFY(!w.session->isActive());
    // The client never ran, so the password went nowhere.
    QCOMPARE(w.control->processId(), 0);
    QVERIFY(!QFile::exists(marker));
}

void TestXFreeRdpControl::clientRefusesACertificateOtherThanThePinnedOne()
{
    // Should the server change its certificate between the probe and the client's own connection, the
    // client's pin still holds: the same control connects with the right pin and fails with a wrong one.
    const QString fingerprint = probe(m_server.port()).fingerprint;
    QVERIFY(!fingerprint.isEmpty());
    QString wrong = fingerprint;
    wrong[0] = wrong.at(0) == QLatin1Char('0') ? QLatin1Char('1') : QLatin1Char('0');

    for (const QString& pin : {fingerprint, wrong}) {
        QWidget window;
        window.resize(800, 600);
        XFreeRdpControl control(&window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(control.setControl(QLatin1String(SystemRdpSession::kControlClassId)));
        control.setProperty(QStringLiteral("Server"), QStringLiteral("127.0.0.1"));
        const auto settings = control.querySubObject(QStringLiteral("AdvancedSettings9"));
        settings->setProperty(QStringLiteral("RDPPort"), m_server.port());
        settings->setProperty(QStringLiteral("AuthenticationLevel"), 2);
        settings->setProperty(QStringLiteral("ServerCertificateFingerprint"), pin);
        settings->setProperty(QStringLiteral("ClearTextPassword"), QStringLiteral("pw-pinned"));
        QStringList events;
        connect(&control, &IRdpControl::controlEvent, &control,
                [&events](const QString& name) { events << name; });
        QCOMPARE(control.dynamicCall(QStringLiteral("Connect()")).toInt(), 0);

        if (pin == fingerprint) {
            QTRY_VERIFY_WITH_TIMEOUT(events.contains(QStringLiteral("OnConnected()")), kPeerTimeoutMs);
            control.dynamicCall(QStringLiteral("Disconnect()"));
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(events.contains(QStringLiteral("OnDisconnected(int)")), kPeerTimeoutMs);
            QVERIFY2(!events.contains(QStringLiteral("OnConnected()")),
                     qPrintable(events.join(QLatin1Char(' '))));
            QVERIFY(events.contains(QStringLiteral("OnFatalError(int)")) ||
                    events.contains(QStringLiteral("OnLogonError(int)")));
            QCOMPARE(control.processId(), 0);
        }
    }
}

void TestXFreeRdpControl::probeOfASilentServerEndsByItsTimeout()
{
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    QByteArray request;
    QList<QTcpSocket*> accepted;
    connect(&silent, &QTcpServer::newConnection, &silent, [&] {
        while (QTcpSocket* socket = silent.nextPendingConnection()) {
            accepted.append(socket);
            connect(socket, &QTcpSocket::readyRead, socket,
                    [&request, socket] { request += socket->readAll(); });
        }
    });

    SessionWindow w;
    w.session->setConnectTimeout(2);
    QVERIFY(
        w.session->connectTo(makeRemote(silent.serverPort(), QStringLiteral("tester"), QStringLiteral("pw")),
                             QSize(1024, 768), 32));
    QVERIFY(w.session->isActive());
    // The probe has the session's time-out in full: two seconds from its start.
    const RdpCertificateProbe* probe = w.session->findChild<RdpCertificateProbe*>();
    QVERIFY(probe && probe->isRunning());
    QCOMPARE(probe->timeout(), 2000);
    // The probe asks for TLS or CredSSP in an X.224 Connection Request, and nothing else.
    QTRY_COMPARE_WITH_TIMEOUT(request, QByteArray::fromHex("030000130ee000000000000100080003000000"),
                              kPeerTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(w.errors->size(), 1, kPeerTimeoutMs);
    QCOMPARE(w.errorTexts(), QStringList{QStringLiteral("连接超时：2 秒内未能连上")});
    QCOMPARE(w.errors->first().at(1).value<RdpFailure>(), RdpFailure::TimedOut);
    QVERIFY(!w.session->isActive());
    QCOMPARE(w.control->processId(), 0);
    QCOMPARE(accepted.size(), 1);
}

void TestXFreeRdpControl::probeOfAStandardSecurityServerFindsNoCertificate()
{
    TestRdpServer legacy;
    QString error;
    QVERIFY2(
        legacy.start(m_serverDisplay.name(), {QStringLiteral("-auth"), QStringLiteral("/sec:rdp")}, &error),
        qPrintable(error));
    const RdpCertificateProbe::Result seen = probe(legacy.port());
    QVERIFY2(seen.outcome == RdpCertificateProbe::Outcome::StandardSecurity, qPrintable(seen.error));
    QVERIFY(seen.fingerprint.isEmpty());

    {
        // A host on record with a certificate does not quietly fall back to standard RDP security.
        const QString marker = m_home.filePath(QStringLiteral("legacy-client-ran"));
        SessionWindow w(XFreeRdpControl::kDefaultConnectTimeoutSeconds, markingClient(m_home.path(), marker));
        Remote remote = makeRemote(legacy.port(), QStringLiteral("tester"), QStringLiteral("pw-legacy"));
        remote.rdp_certificate_fingerprint = probe(m_server.port()).fingerprint;
        QVERIFY(!remote.rdp_certificate_fingerprint.isEmpty());
        QVERIFY(w.session->connectTo(remote, QSize(800, 600), 32));
        QTRY_COMPARE_WITH_TIMEOUT(w.errors->size(), 1, kPeerTimeoutMs);
        QVERIFY(w.errorTexts().first().contains(QStringLiteral("可能存在中间人攻击")));
        QVERIFY(!QFile::exists(marker));
    }
    {
        // A host without one connects: there is nothing to pin, and nothing is recorded.
        SessionWindow w;
        QVERIFY(QTest::qWaitForWindowExposed(&w.window));
        QVERIFY(w.session->connectTo(makeRemote(legacy.port(), QStringLiteral("tester"), QString()),
                                     QSize(800, 600), 32));
        QTRY_COMPARE_WITH_TIMEOUT(w.connected->size(), 1, kPeerTimeoutMs);
        QVERIFY(w.trusted->isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(closeTo(embeddedCentre(w.session->widget()), kServerColour), kPeerTimeoutMs);
        w.session->disconnectSession();
    }
    legacy.stop();
}

// A tile on the system client routed through an acceleration tunnel: the probe and xfreerdp both go
// through it to 127.0.0.1, and the pin is still the real host's certificate. First contact records it
// for the host, the recorded one connects, a wrong one is refused before xfreerdp starts.
void TestXFreeRdpControl::throughATunnelThePinIsTheRealHosts()
{
    const QString fingerprint = probe(m_server.port()).fingerprint;
    QVERIFY(!fingerprint.isEmpty());
    AccelerationTestBed bed(2, AccelerationTestBed::Manager::Instance);
    QString error;
    QVERIFY2(bed.start(&error), qPrintable(error));
    QVERIFY2(bed.enable(&error), qPrintable(error));
    Remote remote = makeRemote(m_server.port(), QStringLiteral("tester"), QStringLiteral("pw-tunnel"));
    remote.id = QStringLiteral("tunnel-01");
    remote.host = QStringLiteral("localhost");
    const Remote routed = AccelerationManager::instance()->route(remote);
    QCOMPARE(routed.host, QStringLiteral("127.0.0.1"));

    const auto status = [](const RdpTile& tile) {
        return tile.findChild<QLabel*>(QStringLiteral("statusLabel"))->text();
    };
    // The running xfreerdp embedded in the tile, found by the window it was given.
    const auto clientArguments = [](const RdpTile& tile) {
        const auto* session = tile.findChild<SystemRdpSession*>();
        if (!session) {
            return QStringList();
        }
        const QString parent = QStringLiteral("/parent-window:%1").arg(session->widget()->winId());
        const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
        for (const QString& entry : entries) {
            bool number = false;
            const qint64 pid = entry.toLongLong(&number);
            const QStringList arguments = number ? processArguments(pid) : QStringList();
            if (arguments.contains(parent) && arguments.contains(QStringLiteral("/from-stdin:force"))) {
                return arguments;
            }
        }
        return QStringList();
    };
    const QString pin = QStringLiteral("/cert:deny,fingerprint:sha256:") + fingerprint;
    for (const bool recorded : {false, true}) {
        remote.rdp_certificate_fingerprint = recorded ? fingerprint : QString();
        RdpTile tile(remote, QSize(800, 600), 32, nullptr, RdpEngine::System);
        QSignalSpy trusted(&tile, &RdpTile::certificateFingerprintTrusted);
        QSignalSpy asked(&tile, &RdpTile::certificateConfirmationRequired);
        tile.resize(800, 600);
        tile.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tile));
        tile.connectSession();
        QTRY_COMPARE_WITH_TIMEOUT(status(tile), QStringLiteral("已连接"), kPeerTimeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(!clientArguments(tile).isEmpty(), kPeerTimeoutMs);
        const QStringList arguments = clientArguments(tile);
        QVERIFY2(arguments.contains(QStringLiteral("/v:127.0.0.1")), qPrintable(arguments.join(' ')));
        QVERIFY(arguments.contains(QStringLiteral("/port:%1").arg(routed.port)));
        QVERIFY(arguments.contains(pin));
        QCOMPARE(trusted.size(), recorded ? 0 : 1);
        if (!recorded) {
            QCOMPARE(trusted.first(), QList<QVariant>({remote.id, fingerprint}));
        }
        QCOMPARE(asked.size(), 0);
        tile.disconnectSession();
        QTRY_COMPARE_WITH_TIMEOUT(status(tile), QStringLiteral("已断开"), kPeerTimeoutMs);
    }

    remote.rdp_certificate_fingerprint = fingerprint;
    remote.rdp_certificate_fingerprint[0] =
        fingerprint.at(0) == QLatin1Char('0') ? QLatin1Char('1') : QLatin1Char('0');
    RdpTile tile(remote, QSize(800, 600), 32, nullptr, RdpEngine::System);
    QSignalSpy asked(&tile, &RdpTile::certificateConfirmationRequired);
    tile.resize(800, 600);
    tile.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tile));
    tile.connectSession();
    QTRY_COMPARE_WITH_TIMEOUT(asked.size(), 1, kPeerTimeoutMs);
    const QString details = asked.first().at(1).toString();
    QVERIFY2(details.startsWith(QStringLiteral("主机：localhost\n")), qPrintable(details));
    QVERIFY(details.endsWith(QStringLiteral("新指纹：") + fingerprint));
    QVERIFY(status(tile) != QStringLiteral("已连接"));
    QVERIFY(clientArguments(tile).isEmpty());

    // Every connection, the probes' and the clients', asked the relays for the real host.
    QList<QByteArray> lines;
    for (int i = 0; i < bed.relayCount(); ++i) {
        lines += bed.relay(i).connectLines();
    }
    const QByteArray line = "CONNECT localhost:" + QByteArray::number(m_server.port()) + " HTTP/1.1";
    QVERIFY(lines.size() >= 5);
    QCOMPARE(lines.count(line), lines.size());
    QVERIFY(AccelerationManager::instance()->directRemoteIds().isEmpty());
}

int main(int argc, char** argv)
{
    const QByteArray display = startClientDisplay();
    if (display.isEmpty()) {
        stopClientDisplay();
        qCritical("cannot start the client's Xvfb");
        return 1;
    }
    qputenv("DISPLAY", display);
    qputenv("QT_QPA_PLATFORM", "xcb");
    int status = 0;
    {
        QApplication app(argc, argv);
        TestXFreeRdpControl test;
        status = QTest::qExec(&test, argc, argv);
    }
    stopClientDisplay();
    return status;
}

#include "test_xfreerdp_control.moc"
