#include "rdp/system_rdp_session.h"
#include "rdp/xfreerdp_control.h"

#include "support/rdp_test_server.h"
#include "support/test_environment.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>

#include <csignal>
#include <memory>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kPeerTimeoutMs = 20000;
constexpr int kShiftVirtualKey = 0x10;
constexpr int kAVirtualKey = 0x41;
constexpr unsigned long kKeysymShiftL = 0xFFE1;
constexpr unsigned long kKeysymA = 0x0061;
const QColor kServerColour(255, 128, 0);
const QString kConnectFailed = QStringLiteral("微软系统 RDP 连接失败，请检查网络、端口和登录凭据");
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

// A window holding one system RDP session over an xfreerdp control that the test configures.
struct SessionWindow
{
    explicit SessionWindow(int connectTimeoutSeconds = XFreeRdpControl::kDefaultConnectTimeoutSeconds)
    {
        auto owned = std::make_unique<XFreeRdpControl>();
        control = owned.get();
        control->setConnectTimeout(connectTimeoutSeconds);
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
    const qint64 pid = w.control->processId();
    QVERIFY(pid > 0);

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

    // Disconnecting ends the client at once and reports the end exactly once.
    QElapsedTimer timer;
    timer.start();
    w.session->disconnectSession();
    QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(w.disconnected->size(), 1);
    QCOMPARE(w.control->processId(), 0);
    QVERIFY(!QDir(QStringLiteral("/proc/%1").arg(pid)).exists());
    QTest::qWait(200); // the control's own late "OnDisconnected" must stay silent
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

    SessionWindow w(2);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(w.session->connectTo(makeRemote(silent.serverPort(), QStringLiteral("tester"), QString()),
                                 QSize(1024, 768), 32));
    const qint64 pid = w.control->processId();
    QTRY_VERIFY_WITH_TIMEOUT(!accepted.isEmpty(), kPeerTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(w.errors->size(), 1, kPeerTimeoutMs);
    QCOMPARE(w.errors->first().at(0).toString(), kConnectFailed);
    QVERIFY2(timer.elapsed() >= 1900, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(w.connected->isEmpty());
    QVERIFY(w.disconnected->isEmpty());
    QVERIFY(!w.session->isActive());
    QCOMPARE(w.control->processId(), 0);
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
        QTRY_COMPARE_WITH_TIMEOUT(w.errors->size(), 2, kPeerTimeoutMs);
        QCOMPARE(w.control->lastErrorCode(), 147U); // XF_EXIT_CONNECT_TRANSPORT_FAILED: the server hung up
        QCOMPARE(w.errorTexts(), (QStringList{QStringLiteral("微软系统 RDP失败（Windows 错误 0x00000093）"),
                                              kConnectFailed}));
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
