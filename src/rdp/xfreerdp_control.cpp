#include "rdp/xfreerdp_control.h"

#include "logger.h"
#include "rdp/client_password_pipe.h"
#include "rdp/embedded_client_window.h"
#include "rdp/rdp_certificate_probe.h"
#include "rdp/rdp_session_options.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QPalette>
#include <QProcessEnvironment>
#include <QResizeEvent>
#include <QSet>
#include <QStandardPaths>

#include <sodium.h>

#include <algorithm>
#include <array>
#include <functional>
#include <vector>

namespace {

constexpr const char* kClassId = "1df7c823-b2d4-4b54-975a-f2ac5d7cf8b8";
constexpr int kStartTimeoutMs = 5000;
constexpr int kFitIntervalMs = 100;
constexpr int kFitAttempts = 50;
constexpr qsizetype kMaxLineLength = 64 * 1024;
constexpr qsizetype kSha256Size = 32;

// Stands in for a Windows error when no exit code exists: the client could not be run at all.
constexpr quint32 kErrorCannotStart = 127;
constexpr quint32 kErrorUnknownExit = 255; // XF_EXIT_UNKNOWN

// Names are matched without regard to case, as ActiveX does; the stored name is the canonical one.
constexpr std::array kControlProperties{"Server", "UserName", "DesktopWidth", "DesktopHeight", "ColorDepth"};
constexpr std::array kAdvancedProperties{"RDPPort",
                                         "SmartSizing",
                                         "RedirectClipboard",
                                         "RedirectPrinters",
                                         "RedirectDrives",
                                         "AudioRedirectionMode",
                                         "NetworkConnectionType",
                                         "KeyboardHookMode",
                                         "EnableCredSspSupport",
                                         "AuthenticationLevel",
                                         "NegotiateSecurityLayer",
                                         "EnableAutoReconnect",
                                         "MaxReconnectAttempts",
                                         "ClearTextPassword",
                                         "ServerCertificateFingerprint"};

template <typename Names> QString canonicalName(const Names& names, const QString& name)
{
    for (const char* candidate : names) {
        if (name.compare(QLatin1String(candidate), Qt::CaseInsensitive) == 0) {
            return QLatin1String(candidate);
        }
    }
    return {};
}

// Redraws nothing itself; keeps the embedded client window as large as the widget.
class EmbedHost : public QWidget
{
public:
    EmbedHost(QWidget* parent, std::function<void()> onResize)
        : QWidget(parent), m_onResize(std::move(onResize))
    {
    }

protected:
    void resizeEvent(QResizeEvent* event) override
    {
        QWidget::resizeEvent(event);
        if (m_onResize) {
            m_onResize();
        }
    }

private:
    std::function<void()> m_onResize;
};

#if !defined(Q_OS_WIN)
// What an exit code of xfreerdp (XF_EXIT_*) means for the control's events: an empty name for an
// ordinary end of the session.
QString errorEventForExitCode(int exitCode, bool wasConnected)
{
    switch (exitCode) {
    case 0:  // success
    case 1:  // disconnected
    case 2:  // logged off
    case 3:  // idle timeout
    case 4:  // logon timeout
    case 5:  // replaced by another connection
    case 11: // disconnected by the user
        return {};
    default:
        break;
    }
    // Denied, missing privileges or credentials, authentication and logon failures, and a transport
    // that the server closed during the logon (how a wrong password shows with NLA).
    const bool logonFailure = exitCode == 7 || exitCode == 9 || exitCode == 10 || exitCode == 132 ||
                              exitCode == 134 || exitCode == 135 || (exitCode >= 147 && exitCode <= 159);
    return (logonFailure && !wasConnected) ? QStringLiteral("OnLogonError(int)")
                                           : QStringLiteral("OnFatalError(int)");
}

#else
// The control's event for how FreeRDP's Windows client ended (it has no exit codes of its own): none for
// an ordinary end, a logon error for credentials or rights turned down before the session was up.
QString errorEventForFailure(RdpFailure failure, bool wasConnected)
{
    switch (failure) {
    case RdpFailure::NoFailure:
    case RdpFailure::ServerEnded:
    case RdpFailure::LoggedOff:
    case RdpFailure::IdleTimeout:
    case RdpFailure::Replaced:
    case RdpFailure::Cancelled:
        return {};
    default:
        break;
    }
    const bool logonFailure = RdpErrorText::aboutCredentials(failure) || failure == RdpFailure::ServerDenied;
    return (logonFailure && !wasConnected) ? QStringLiteral("OnLogonError(int)")
                                           : QStringLiteral("OnFatalError(int)");
}
#endif

} // namespace

// The advanced-settings sub-object: writes into the control's settings.
class XFreeRdpSettings final : public IRdpControlObject
{
public:
    explicit XFreeRdpSettings(XFreeRdpControl* control) : m_control(control) {}

    bool setProperty(const QString& name, const QVariant& value) override
    {
        return m_control && m_control->storeSetting(name, value, true);
    }

private:
    QPointer<XFreeRdpControl> m_control;
};

class XFreeRdpKeySender final : public IRdpKeySender
{
public:
    explicit XFreeRdpKeySender(XFreeRdpControl* control) : m_control(control) {}

    qint32 sendKeys(int count, const qint16* keyUp, const qint32* keyData) override
    {
        return m_control->sendKeyEvents(count, keyUp, keyData);
    }

private:
    XFreeRdpControl* m_control;
};

XFreeRdpControl::XFreeRdpControl(QWidget* parentWidget)
    : m_keySender(std::make_unique<XFreeRdpKeySender>(this))
{
    auto* host = new EmbedHost(parentWidget, [this] { fitEmbeddedWindow(); });
    // xfreerdp needs an X window of its own to reparent its window into.
    host->setAttribute(Qt::WA_NativeWindow);
    host->setAttribute(Qt::WA_DontCreateNativeAncestors);
    QPalette palette = host->palette();
    palette.setColor(QPalette::Window, Qt::black);
    host->setPalette(palette);
    host->setAutoFillBackground(true);
    m_widget = host;
    // A client whose parent window is gone draws nowhere: end it.
    connect(host, &QObject::destroyed, this, &XFreeRdpControl::stopClient);

    m_connectTimer.setSingleShot(true);
    connect(&m_connectTimer, &QTimer::timeout, this, &XFreeRdpControl::onConnectTimeout);
    m_fitTimer.setInterval(kFitIntervalMs);
    connect(&m_fitTimer, &QTimer::timeout, this, [this] {
        if (++m_fitAttempts >= kFitAttempts) {
            m_fitTimer.stop();
        }
        fitEmbeddedWindow();
    });
}

XFreeRdpControl::~XFreeRdpControl()
{
    // Queued events die with this object; the client must not outlive it.
    stopClient();
    wipePassword();
    delete m_widget.data();
}

bool XFreeRdpControl::setControl(const QString& classId)
{
    m_hasControl = false;
    m_controlError.clear();

    QString id = classId.trimmed();
    if (id.startsWith(QLatin1Char('{')) && id.endsWith(QLatin1Char('}'))) {
        id = id.mid(1, id.size() - 2);
    }
    if (id.compare(QLatin1String(kClassId), Qt::CaseInsensitive) != 0) {
        m_controlError = QStringLiteral("不支持的远程桌面控件 %1").arg(classId);
        return false;
    }
    m_controlError = EmbeddedClientWindow::unsupportedReason();
    if (!m_controlError.isEmpty()) {
        return false;
    }
    if (m_program.contains(QLatin1Char('/')) || m_program.contains(QLatin1Char('\\'))) {
        const QFileInfo info(m_program);
        m_resolvedProgram = info.isFile() && info.isExecutable() ? info.absoluteFilePath() : QString();
    } else {
        // The program's own folder first: the Windows build ships the client beside it.
        m_resolvedProgram =
            QStandardPaths::findExecutable(m_program, {QCoreApplication::applicationDirPath()});
        if (m_resolvedProgram.isEmpty()) {
            m_resolvedProgram = QStandardPaths::findExecutable(m_program);
        }
    }
    if (m_resolvedProgram.isEmpty()) {
#if defined(Q_OS_WIN)
        m_controlError = QStringLiteral("未找到系统 RDP 客户端 wfreerdp.exe，请重新安装 NIMBARA");
#else
        m_controlError = QStringLiteral("未找到系统 RDP 客户端 xfreerdp，请安装 freerdp2-x11");
#endif
        return false;
    }
#if !defined(Q_OS_WIN)
    // Without line buffering xfreerdp's log, and with it the news of the connection, arrives only at exit.
    m_lineBufferTool = QStandardPaths::findExecutable(QStringLiteral("stdbuf"));
    if (m_lineBufferTool.isEmpty()) {
        m_controlError = QStringLiteral("未找到 stdbuf（coreutils），无法读取系统 RDP 客户端的连接状态");
        return false;
    }
#endif
    m_hasControl = true;
    return true;
}

bool XFreeRdpControl::storeSetting(const QString& name, const QVariant& value, bool advanced)
{
    const QString canonical =
        advanced ? canonicalName(kAdvancedProperties, name) : canonicalName(kControlProperties, name);
    if (canonical.isEmpty()) {
        SPDLOG_WARN("xfreerdp 控件不支持属性 {}", name);
        return false;
    }
    if (canonical == QLatin1String("ClearTextPassword")) {
        wipePassword();
        m_password = value.toString().toUtf8();
        return true;
    }
    m_settings.insert(canonical, value);
    return true;
}

bool XFreeRdpControl::setProperty(const QString& name, const QVariant& value)
{
    return storeSetting(name, value, false);
}

QVariant XFreeRdpControl::property(const QString& name) const
{
    if (name.compare(QLatin1String("Connected"), Qt::CaseInsensitive) == 0) {
        // As the ActiveX control: 0 not connected, 1 connected, 2 connecting.
        switch (m_state) {
        case State::Connected:
            return 1;
        case State::Connecting:
            return 2;
        case State::Idle:
            return 0;
        }
    }
    const QString canonical = canonicalName(kControlProperties, name);
    return canonical.isEmpty() ? QVariant() : m_settings.value(canonical);
}

QVariant XFreeRdpControl::dynamicCall(const QString& method)
{
    QString name = method.trimmed();
    if (name.endsWith(QLatin1String("()"))) {
        name.chop(2);
    }
    if (name.compare(QLatin1String("Connect"), Qt::CaseInsensitive) == 0) {
        return startClient();
    }
    if (name.compare(QLatin1String("Disconnect"), Qt::CaseInsensitive) == 0) {
        stopClient();
        return {};
    }
    SPDLOG_WARN("xfreerdp 控件不支持方法 {}", method);
    return {};
}

std::unique_ptr<IRdpControlObject> XFreeRdpControl::querySubObject(const QString& name)
{
    if (!m_hasControl) {
        return nullptr;
    }
    // The secured settings (where the control keeps the sound mode) share the one list of settings.
    static const QStringList names{QStringLiteral("SecuredSettings2"),  QStringLiteral("AdvancedSettings"),
                                   QStringLiteral("AdvancedSettings2"), QStringLiteral("AdvancedSettings3"),
                                   QStringLiteral("AdvancedSettings4"), QStringLiteral("AdvancedSettings5"),
                                   QStringLiteral("AdvancedSettings6"), QStringLiteral("AdvancedSettings7"),
                                   QStringLiteral("AdvancedSettings8"), QStringLiteral("AdvancedSettings9")};
    if (!names.contains(name, Qt::CaseInsensitive)) {
        return nullptr;
    }
    return std::make_unique<XFreeRdpSettings>(this);
}

IRdpKeySender* XFreeRdpControl::queryKeySender()
{
    return m_hasControl ? m_keySender.get() : nullptr;
}

qint64 XFreeRdpControl::processId() const
{
    return m_process ? m_process->processId() : 0;
}

QString XFreeRdpControl::certificatePinOption(const QString& fingerprint)
{
    // FreeRDP compares the option's value with its own notation of the certificate's SHA-256 digest
    // (lower-case hex pairs joined by ':'), ignoring case only: any other spelling must be rewritten.
    const QString hex = RdpCertificateProbe::normalizeFingerprint(fingerprint);
    const QByteArray digest = QByteArray::fromHex(hex.toLatin1());
    if (digest.size() != kSha256Size || QString::fromLatin1(digest.toHex()) != hex) {
        return {};
    }
    return QStringLiteral("/cert:deny,fingerprint:sha256:") + RdpCertificateProbe::formatFingerprint(digest);
}

void XFreeRdpControl::setRedirectedFolders(const QStringList& folders)
{
    m_settings.insert(QStringLiteral("RedirectedFolders"), folders);
}

QStringList XFreeRdpControl::driveOptions(const QStringList& folders)
{
    QStringList options;
    for (const RdpSessionOptions::SharedDrive& drive : RdpSessionOptions::sharedDrives(folders)) {
        options << QStringLiteral("/drive:%1,%2").arg(drive.name, drive.folder);
    }
    return options;
}

QStringList XFreeRdpControl::clientArguments(quint64 parentWindow) const
{
    return clientArguments(m_settings, !m_password.isEmpty(), parentWindow);
}

QStringList XFreeRdpControl::clientArguments(const QVariantMap& settings, bool withPassword,
                                             quint64 parentWindow)
{
    const auto value = [&settings](const char* name) {
        return settings.value(QLatin1String(name));
    };
    const auto isSet = [&settings](const char* name) {
        return settings.contains(QLatin1String(name));
    };

    QStringList args{QStringLiteral("/parent-window:%1").arg(parentWindow)};
    QString server = value("Server").toString().trimmed();
    if (server.contains(QLatin1Char(':')) && !server.startsWith(QLatin1Char('['))) {
        server = QLatin1Char('[') + server + QLatin1Char(']'); // an IPv6 address
    }
    args << QStringLiteral("/v:") + server;
    if (isSet("RDPPort")) {
        args << QStringLiteral("/port:%1").arg(value("RDPPort").toInt());
    }
    if (isSet("DesktopWidth") && isSet("DesktopHeight")) {
        args << QStringLiteral("/size:%1x%2")
                    .arg(value("DesktopWidth").toInt())
                    .arg(value("DesktopHeight").toInt());
    }
    if (isSet("ColorDepth")) {
        args << QStringLiteral("/bpp:%1").arg(value("ColorDepth").toInt());
    }
    // xfreerdp splits DOMAIN\user itself.
    const QString user = value("UserName").toString();
    if (!user.isEmpty()) {
        args << QStringLiteral("/u:") + user;
    }
    if (value("SmartSizing").toBool()) {
        args << QStringLiteral("/smart-sizing");
    }
    if (isSet("RedirectClipboard")) {
        args << (value("RedirectClipboard").toBool() ? QStringLiteral("+clipboard")
                                                     : QStringLiteral("-clipboard"));
    }
    // A pinned certificate is accepted by its fingerprint; any other one xfreerdp cannot verify ends the
    // connection, since nobody could answer its question on standard input. Level 0 connects whatever the
    // certificate, but never with a password to give away: that is only for a session that sends none.
    const QString pin = certificatePinOption(value("ServerCertificateFingerprint").toString());
    if (!pin.isEmpty()) {
        args << pin;
    } else if (isSet("AuthenticationLevel") && value("AuthenticationLevel").toInt() == 0 && !withPassword) {
        args << QStringLiteral("/cert:ignore");
    } else if (isSet("AuthenticationLevel") || withPassword) {
        args << QStringLiteral("/cert:deny");
    }
    if (isSet("EnableCredSspSupport") && !value("EnableCredSspSupport").toBool()) {
        args << QStringLiteral("-sec-nla");
    }
    if (isSet("NegotiateSecurityLayer") && !value("NegotiateSecurityLayer").toBool()) {
        args << QStringLiteral("-nego");
    }
    if (value("RedirectPrinters").toBool()) {
        args << QStringLiteral("/printer");
    }
    if (isSet("AudioRedirectionMode")) {
        const int mode = std::clamp(value("AudioRedirectionMode").toInt(), 0, 2);
        if (mode == 0) {
            args << QStringLiteral("/sound"); // played here: the sound channel with the default backend
        }
        args << QStringLiteral("/audio-mode:%1").arg(mode);
    }
    if (value("RedirectDrives").toBool()) {
        args << driveOptions(value("RedirectedFolders").toStringList());
    }
    if (isSet("NetworkConnectionType")) {
        const QString network = RdpSessionOptions::networkName(value("NetworkConnectionType").toUInt());
        if (!network.isEmpty()) {
            args << QStringLiteral("/network:") + network;
        }
    }
    if (value("EnableAutoReconnect").toBool()) {
        args << QStringLiteral("+auto-reconnect");
        if (isSet("MaxReconnectAttempts")) {
            args << QStringLiteral("/auto-reconnect-max-retries:%1")
                        .arg(value("MaxReconnectAttempts").toInt());
        }
    }
    // Mode 1 sends Windows key combinations to the remote side: xfreerdp's keyboard grab.
    if (isSet("KeyboardHookMode") && value("KeyboardHookMode").toInt() != 1) {
        args << QStringLiteral("-grab-keyboard");
    }
    // The password goes through standard input, read once before connecting: never on the command line.
    if (withPassword) {
        args << QStringLiteral("/from-stdin:force");
    }
    args << QStringLiteral("/log-level:INFO");
    return args;
}

int XFreeRdpControl::startClient()
{
    if (m_process) {
        return 0;
    }
    if (!m_hasControl || !m_widget || !EmbeddedClientWindow::unsupportedReason().isEmpty()) {
        m_lastError = kErrorCannotStart;
        m_lastFailure = RdpFailure::ClientError;
        wipePassword();
        return -1;
    }
    const QString pin = m_settings.value(QStringLiteral("ServerCertificateFingerprint")).toString();
    if (m_settings.value(QStringLiteral("Server")).toString().trimmed().isEmpty() ||
        (!pin.isEmpty() && certificatePinOption(pin).isEmpty())) {
        m_lastError = 87; // ERROR_INVALID_PARAMETER
        m_lastFailure = RdpFailure::ClientError;
        wipePassword();
        return -1;
    }

    // The password reaches the client through a pipe filled before it starts: never the command line.
    ClientPasswordPipe passwordPipe;
    if (!m_password.isEmpty() && !passwordPipe.fill(m_password)) {
        m_lastError = passwordPipe.error();
        wipePassword();
        SPDLOG_ERROR("xfreerdp 密码管道创建失败");
        return -1;
    }
    m_container = static_cast<quint64>(m_widget->winId());
    const QStringList arguments = clientArguments(m_container);
    wipePassword();

    auto* process = new QProcess(this);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    EmbeddedClientWindow::prepareEnvironment(environment);
    process->setProcessEnvironment(environment);
    process->setProcessChannelMode(QProcess::MergedChannels);
    passwordPipe.attach(process);
    connect(process, &QProcess::readyReadStandardOutput, this, &XFreeRdpControl::readClientOutput);
    connect(process, &QProcess::finished, this, &XFreeRdpControl::onClientFinished);

    SPDLOG_INFO("启动 xfreerdp: {}", arguments.join(QLatin1Char(' ')));

    ++m_generation;
    m_process = process;
    m_state = State::Connecting;
    m_stopping = false;
    m_lastError = 0;
    m_lastFailure = RdpFailure::NoFailure;
    m_loggedError = 0;
    m_timedOut = false;
    m_output.clear();
#if defined(Q_OS_WIN)
    // The Windows build's client writes its log unbuffered.
    process->start(m_resolvedProgram, arguments);
#else
    process->start(m_lineBufferTool, QStringList{QStringLiteral("-oL"), m_resolvedProgram} + arguments);
#endif
    const bool started = process->waitForStarted(kStartTimeoutMs);
    passwordPipe.closeReadEnd();
    if (!started) {
        SPDLOG_ERROR("xfreerdp 无法启动: {}", process->errorString());
        process->disconnect(this);
        process->deleteLater();
        m_process = nullptr;
        m_state = State::Idle;
        m_lastError = kErrorCannotStart;
        m_lastFailure = RdpFailure::ClientError;
        return -1;
    }
    process->closeWriteChannel();
    m_connectTimer.start(m_connectTimeoutSeconds * 1000);
    return 0;
}

void XFreeRdpControl::stopClient()
{
    const QPointer<QProcess> process = m_process;
    if (!process) {
        return;
    }
    m_stopping = true;
    m_connectTimer.stop();
    if (process->state() == QProcess::NotRunning) {
        return;
    }
    // The container is remembered: this also runs while our widget is being destroyed.
    if (!EmbeddedClientWindow::requestClose(m_container)) {
        process->terminate();
    }
    if (!process->waitForFinished(kTerminateGraceMs) && process && process->state() != QProcess::NotRunning) {
        SPDLOG_WARN("xfreerdp 未响应终止信号，强制结束");
        process->kill();
        process->waitForFinished(kTerminateGraceMs);
    }
}

void XFreeRdpControl::onConnectTimeout()
{
    if (m_state != State::Connecting || !m_process) {
        return;
    }
    SPDLOG_WARN("xfreerdp {} 秒内未连接，已终止", m_connectTimeoutSeconds);
    m_timedOut = true;
    stopClient();
}

void XFreeRdpControl::readClientOutput()
{
    if (!m_process) {
        return;
    }
    m_output += m_process->readAllStandardOutput();
    qsizetype start = 0;
    for (qsizetype end = m_output.indexOf('\n'); end >= 0; end = m_output.indexOf('\n', start)) {
        handleClientLine(m_output.mid(start, end - start).trimmed());
        start = end + 1;
    }
    m_output.remove(0, start);
    if (m_output.size() > kMaxLineLength) {
        m_output.clear();
    }
}

void XFreeRdpControl::handleClientLine(const QByteArray& line)
{
    if (line.isEmpty()) {
        return;
    }
    // xfreerdp's post-connect step sets up its GDI and reports the framebuffer formats: the session is up.
    if (line.contains("[com.freerdp.gdi]") && line.contains("framebuffer format")) {
        if (m_state == State::Connecting && !m_stopping) {
            m_connectTimer.stop();
            m_state = State::Connected;
            SPDLOG_INFO("xfreerdp 已连接");
            m_fitAttempts = 0;
            m_fitTimer.start();
            emit controlEvent(QStringLiteral("OnConnected()"), {});
            emit controlEvent(QStringLiteral("OnLoginComplete()"), {});
        }
        return;
    }
    // FreeRDP names each error it records: "…freerdp_set_last_error_ex ERRCONNECT_… [0x0002000D]".
    if (const qsizetype at = line.indexOf("freerdp_set_last_error"); at >= 0) {
        const qsizetype open = line.lastIndexOf("[0x");
        bool ok = false;
        const quint32 code = open > at ? line.mid(open + 3, 8).toUInt(&ok, 16) : 0;
        if (ok && code != 0) {
            m_loggedError = code;
        }
    }
    // Backtraces after a signal are noise; errors of the connection are worth keeping.
    if (line.contains("[ERROR]") && !line.contains("com.freerdp.utils")) {
        SPDLOG_WARN("xfreerdp: {}", QString::fromUtf8(line.left(512)));
    }
}

void XFreeRdpControl::onClientFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    readClientOutput();
    const bool wasConnected = m_state == State::Connected;
    const bool requested = m_stopping;
    m_connectTimer.stop();
    m_fitTimer.stop();
    m_state = State::Idle;
    m_stopping = false;
    if (m_process) {
        m_process->deleteLater();
        m_process = nullptr;
    }

    QString errorEvent;
    if (exitStatus == QProcess::CrashExit) {
        m_lastError = requested ? 0 : kErrorUnknownExit;
        m_lastFailure = requested ? RdpFailure::Cancelled : RdpFailure::ClientError;
        if (!requested) {
            errorEvent = QStringLiteral("OnFatalError(int)");
        }
    } else {
        m_lastError = static_cast<quint32>(exitCode);
#if defined(Q_OS_WIN)
        m_lastFailure = RdpErrorText::fromWindowsClientExitCode(m_lastError, wasConnected);
#else
        m_lastFailure = RdpErrorText::fromClientExitCode(exitCode, wasConnected);
#endif
        // The exit code says only that the connection failed where FreeRDP recorded a better reason.
        const RdpFailure logged =
            m_loggedError != 0 ? RdpErrorText::fromFreeRdpError(m_loggedError) : RdpFailure::Other;
        if (m_lastFailure == RdpFailure::ConnectionLost && !wasConnected && logged != RdpFailure::Other &&
            logged != RdpFailure::Cancelled) {
            m_lastFailure = logged;
        }
        if (!requested) {
#if defined(Q_OS_WIN)
            errorEvent = errorEventForFailure(m_lastFailure, wasConnected);
#else
            errorEvent = errorEventForExitCode(exitCode, wasConnected);
#endif
        }
    }
    if (requested && !wasConnected) {
        m_lastFailure = m_timedOut ? RdpFailure::TimedOut : RdpFailure::Cancelled;
    }
    SPDLOG_INFO("xfreerdp 已退出 (退出码 {}{})", m_lastError, requested ? ", 已请求结束" : "");

    const QVariantList arguments{m_lastError};
    const auto deliver = [this, errorEvent, arguments] {
        if (!errorEvent.isEmpty()) {
            emit controlEvent(errorEvent, arguments);
        }
        emit controlEvent(QStringLiteral("OnDisconnected(int)"), arguments);
    };
    if (!requested) {
        deliver();
        return;
    }
    // A requested end is reported after "Disconnect()" has returned, as the ActiveX control does, and
    // not at all once another connection has started.
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation, deliver] {
            if (generation == m_generation && !m_process) {
                deliver();
            }
        },
        Qt::QueuedConnection);
}

void XFreeRdpControl::fitEmbeddedWindow()
{
    if (!m_widget || m_state != State::Connected) {
        return;
    }
    const qreal ratio = m_widget->devicePixelRatioF();
    if (EmbeddedClientWindow::fit(static_cast<quint64>(m_widget->winId()),
                                  qMax(1, qRound(m_widget->width() * ratio)),
                                  qMax(1, qRound(m_widget->height() * ratio)))) {
        m_fitTimer.stop();
    }
}

void XFreeRdpControl::wipePassword()
{
    if (!m_password.isEmpty()) {
        sodium_memzero(m_password.data(), static_cast<size_t>(m_password.size()));
    }
    m_password.clear();
}

qint32 XFreeRdpControl::sendKeyEvents(int count, const qint16* keyUp, const qint32* keyData)
{
    if (m_state != State::Connected || !m_widget) {
        return kResultUnexpected;
    }
    if (count <= 0 || !keyUp || !keyData) {
        return kResultInvalidArgument;
    }
    std::vector<EmbeddedClientWindow::Key> keys;
    keys.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        const auto data = static_cast<quint32>(keyData[i]);
        keys.push_back({(data >> 16) & 0xFFU, (data & 0x01000000U) != 0, keyUp[i] != 0});
    }
    switch (EmbeddedClientWindow::sendKeys(static_cast<quint64>(m_widget->winId()), keys)) {
    case EmbeddedClientWindow::KeyResult::Sent:
        return 0;
    case EmbeddedClientWindow::KeyResult::UnknownKey:
        return kResultInvalidArgument;
    case EmbeddedClientWindow::KeyResult::NotSupported:
        return kResultNotImplemented;
    case EmbeddedClientWindow::KeyResult::Failed:
        break;
    }
    return kResultFail;
}
