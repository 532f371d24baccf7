#include "rdp/system_rdp_session.h"

#include "logger.h"
#include "platform/secure_memory.h"
#include "rdp/key_translator.h"
#include "rdp/xfreerdp_control.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMimeData>
#include <QTimer>
#include <QUrl>

#include <winpr/input.h>

#include <utility>
#include <vector>

namespace {

#if defined(WINPR_KBD_TYPE_IBM_ENHANCED)
constexpr DWORD kKeyboardTypeIbmEnhanced = WINPR_KBD_TYPE_IBM_ENHANCED;
#else
constexpr DWORD kKeyboardTypeIbmEnhanced = 4; // winpr 2 takes the plain number
#endif

constexpr int kVirtualKeyControl = 0x11;
constexpr int kVirtualKeyV = 0x56;

QString hex8(quint32 value)
{
    return QString::number(value, 16).toUpper().rightJustified(8, QLatin1Char('0'));
}

QString eventName(const QString& signalText)
{
    const qsizetype paren = signalText.indexOf(QLatin1Char('('));
    return (paren < 0 ? signalText : signalText.left(paren)).trimmed();
}

const QString kCertificateMismatchMessage =
    QStringLiteral("服务器证书与记录的指纹不符，已拒绝连接（可能存在中间人攻击）。");
const QString kTlsDowngradeMessage =
    QStringLiteral("服务器不再提供 TLS 证书，无法核对记录的指纹，已拒绝连接（可能存在中间人攻击）。");

bool sameName(const QString& name, const char* expected)
{
    return name.compare(QLatin1String(expected), Qt::CaseInsensitive) == 0;
}

} // namespace

SystemRdpSession::SystemRdpSession(QWidget* parent, std::unique_ptr<IRdpControl> control)
    : m_control(control ? std::move(control) : std::make_unique<XFreeRdpControl>(parent))
{
    m_widget = m_control->widget();
    if (m_widget) {
        if (m_widget->parentWidget() != parent) {
            m_widget->setParent(parent);
        }
        m_widget->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        m_widget->setFocusPolicy(Qt::WheelFocus);
    }
    ensureControl();
}

SystemRdpSession::~SystemRdpSession()
{
    disconnectSession();
    delete m_widget.data();
}

bool SystemRdpSession::ensureControl()
{
    if (m_control->hasControl()) {
        return true;
    }
    if (!m_control->setControl(QLatin1String(kControlClassId))) {
        QString message = m_control->controlErrorText();
        if (message.isEmpty()) {
#if defined(Q_OS_WIN)
            message = QStringLiteral("此 Windows 系统未提供可用的微软远程桌面 ActiveX 控件");
#else
            message = QStringLiteral("系统 RDP 客户端不可用");
#endif
        }
        SPDLOG_ERROR("系统 RDP 控件不可用: {}", message);
        emit errorOccurred(message, RdpFailure::ClientError);
        return false;
    }
    connect(m_control.get(), &IRdpControl::controlEvent, this, &SystemRdpSession::onControlEvent,
            Qt::UniqueConnection);
    return true;
}

bool SystemRdpSession::controlReportsConnected() const
{
    return m_control->property(QStringLiteral("Connected")).toLongLong() != 0;
}

bool SystemRdpSession::isActive() const
{
    if (!m_widget) {
        return false;
    }
    return m_connecting || m_connected || controlReportsConnected();
}

// Both systems run FreeRDP's own client, whose codes are FreeRDP's, not Windows': the reason is named.
QString SystemRdpSession::failureText() const
{
    const RdpFailure failure = controlFailure();
    if (failure == RdpFailure::Other) {
        const quint32 code = m_control->lastErrorCode();
        return code != 0 ? QStringLiteral("原因不明（代码 %1）").arg(code) : QStringLiteral("原因不明");
    }
    return RdpErrorText::reason(failure, m_connectTimeoutSeconds, m_control->lastErrorCode());
}

void SystemRdpSession::reportError(const QString& message, RdpFailure failure)
{
    m_errorReported = true;
    emit errorOccurred(message, failure);
}

RdpFailure SystemRdpSession::controlFailure() const
{
    const RdpFailure failure = m_control->lastFailure();
    // A server that checks credentials with NLA and hangs up before the session is up has turned them down.
    return failure == RdpFailure::ConnectionLost && m_serverRequiresNla && !m_connected
               ? RdpFailure::LogonAborted
               : failure;
}

void SystemRdpSession::setConnectTimeout(int seconds)
{
    m_connectTimeoutSeconds = seconds;
    if (seconds > 0) {
        m_probeTimeoutMs = seconds * 1000;
    }
    m_control->setConnectTimeout(seconds);
}

bool SystemRdpSession::connectTo(const Remote& remote, QSize desktopSize, int colorDepth)
{
    if (!m_widget || !ensureControl()) {
        return false;
    }
    if (isActive() || m_connecting) {
        return true;
    }
    const QString host = remote.host.trimmed();
    if (host.isEmpty() || remote.port < 1 || remote.port > 65535) {
        SPDLOG_WARN("系统 RDP 主机地址或端口无效: {} ({}:{})", remote.name, host, remote.port);
        emit errorOccurred(QStringLiteral("主机地址或端口无效"), RdpFailure::ClientError);
        return false;
    }
    m_errorReported = false;
    m_serverRequiresNla = false;
    m_pendingSize = desktopSize.expandedTo(QSize(640, 480));
    m_pendingColorDepth = qBound(15, colorDepth, 32);
    if (!m_control->pinsServerCertificate()) {
        return startControl(remote, QString());
    }

    // The control's client trusts only the certificate it is pinned to: learn which one the server
    // shows, and check it against the host's record, before the password goes anywhere.
    stopProbe();
    m_pending = remote;
    m_connecting = true;
    m_connected = false;
    RdpCertificateProbe* probe = m_probeFactory ? m_probeFactory(this) : new RdpCertificateProbe(this);
    m_probe = probe;
    probe->setTimeout(m_probeTimeoutMs);
    connect(probe, &RdpCertificateProbe::finished, this, &SystemRdpSession::onCertificateProbed);
    SPDLOG_INFO("系统 RDP 核对服务器证书: {} ({}:{})", remote.name, host, remote.port);
    probe->start(host, static_cast<quint16>(remote.port));
    return true;
}

void SystemRdpSession::onCertificateProbed(const RdpCertificateProbe::Result& result)
{
    stopProbe();
    const Remote remote = std::exchange(m_pending, Remote());
    if (!m_connecting) {
        return;
    }
    const QString host = remote.host.trimmed();
    const QString stored = RdpCertificateProbe::normalizeFingerprint(remote.rdp_certificate_fingerprint);
    switch (result.outcome) {
    case RdpCertificateProbe::Outcome::Failed:
        SPDLOG_WARN("系统 RDP 无法取得服务器证书: {} ({})", remote.name, result.error);
        // Where the port itself gave the answer, that is the reason; otherwise the probe's own words.
        if (result.failure == RdpFailure::ConnectionLost) {
            refuse(QStringLiteral("无法取得服务器证书，已取消连接：%1").arg(result.error), result.failure);
        } else {
            refuse(RdpErrorText::reason(result.failure, m_connectTimeoutSeconds), result.failure);
        }
        return;
    case RdpCertificateProbe::Outcome::StandardSecurity:
        // Standard RDP security has no certificate to pin (the embedded engine's legacy path checks
        // none either). A host on record with a certificate has spoken TLS before, though: a server that
        // now declines it is what a machine in the middle would look like, so that is refused. Any
        // other host connects unpinned; the client still denies a TLS certificate it cannot verify.
        if (!stored.isEmpty()) {
            SPDLOG_WARN("服务器不再提供 TLS，无法核对记录的证书，已拒绝: {} ({})", remote.name, host);
            refuse(kTlsDowngradeMessage, RdpFailure::CertificateRejected);
            return;
        }
        SPDLOG_WARN("服务器只支持标准 RDP 安全层，没有可核对的证书: {} ({})", remote.name, host);
        startControl(remote, QString());
        return;
    case RdpCertificateProbe::Outcome::Certificate:
        break;
    }

    m_serverRequiresNla = result.requiresNla;
    if (!stored.isEmpty() && RdpCertificateProbe::normalizeFingerprint(result.fingerprint) != stored) {
        SPDLOG_WARN("服务器证书与记录不符，已拒绝: {} ({}) 指纹 {}", remote.name, host, result.fingerprint);
        const QPointer<SystemRdpSession> self(this);
        emit certificateRejected(host, result.subject, result.issuer, result.fingerprint);
        if (self) {
            refuse(kCertificateMismatchMessage, RdpFailure::CertificateRejected);
        }
        return;
    }
    if (stored.isEmpty()) {
        SPDLOG_INFO("首次连接，记录服务器证书指纹: {} ({})", remote.name, host);
        const QPointer<SystemRdpSession> self(this);
        emit certificateTrusted(remote.id, result.fingerprint);
        if (!self || !m_connecting) {
            return;
        }
    }
    startControl(remote, result.fingerprint);
}

void SystemRdpSession::refuse(const QString& message, RdpFailure failure)
{
    m_connecting = false;
    reportError(message, failure);
}

void SystemRdpSession::stopProbe()
{
    if (!m_probe) {
        return;
    }
    RdpCertificateProbe* probe = m_probe;
    m_probe = nullptr;
    probe->disconnect(this);
    probe->abort();
    probe->deleteLater();
}

bool SystemRdpSession::startControl(const Remote& remote, const QString& pinnedFingerprint)
{
    const QString host = remote.host.trimmed();
    m_control->setProperty(QStringLiteral("Server"), host);
    m_control->setProperty(QStringLiteral("UserName"), remote.username.trimmed());
    m_control->setProperty(QStringLiteral("DesktopWidth"), m_pendingSize.width());
    m_control->setProperty(QStringLiteral("DesktopHeight"), m_pendingSize.height());
    m_control->setProperty(QStringLiteral("ColorDepth"), m_pendingColorDepth);

    // The newest advanced-settings interface the installed control offers.
    std::unique_ptr<IRdpControlObject> settings;
    int version = 9;
    for (const char* name : {"AdvancedSettings9", "AdvancedSettings8", "AdvancedSettings7",
                             "AdvancedSettings6", "AdvancedSettings5", "AdvancedSettings4",
                             "AdvancedSettings3", "AdvancedSettings2", "AdvancedSettings"}) {
        settings = m_control->querySubObject(QLatin1String(name));
        if (settings) {
            break;
        }
        --version;
    }
    if (!settings) {
        SPDLOG_ERROR("系统 RDP 高级设置不可用: {}", remote.name);
        m_connecting = false;
#if defined(Q_OS_WIN)
        reportError(QStringLiteral("无法读取微软远程桌面高级设置"), RdpFailure::ClientError);
#else
        reportError(QStringLiteral("无法设置系统 RDP 客户端的连接参数"), RdpFailure::ClientError);
#endif
        return false;
    }
    settings->setProperty(QStringLiteral("RDPPort"), remote.port);
    settings->setProperty(QStringLiteral("SmartSizing"), true);
    settings->setProperty(QStringLiteral("RedirectClipboard"), m_options.clipboard);
    settings->setProperty(QStringLiteral("RedirectPrinters"), m_options.printers);
    settings->setProperty(QStringLiteral("RedirectDrives"), !m_options.driveFolders.isEmpty());
    settings->setProperty(QStringLiteral("KeyboardHookMode"), 1);
    settings->setProperty(QStringLiteral("EnableCredSspSupport"), true);
    // The server must prove who it is: by the pinned certificate where the session found one.
    settings->setProperty(QStringLiteral("AuthenticationLevel"), 2);
    if (!pinnedFingerprint.isEmpty()) {
        settings->setProperty(QStringLiteral("ServerCertificateFingerprint"), pinnedFingerprint);
    }
    settings->setProperty(QStringLiteral("NegotiateSecurityLayer"), true);
    // The [connection] settings: the control retries a dropped connection itself, and announces the
    // bandwidth profile, from which the server's performance flags follow.
    settings->setProperty(QStringLiteral("EnableAutoReconnect"), m_options.reconnectAttempts() > 0);
    if (m_options.reconnectAttempts() > 0) {
        settings->setProperty(QStringLiteral("MaxReconnectAttempts"), m_options.reconnectAttempts());
    }
    if (version >= 7) { // the interface that brought the connection type
        settings->setProperty(QStringLiteral("NetworkConnectionType"), m_options.connectionType());
    }
    if (!remote.password.isEmpty()) {
        settings->setProperty(QStringLiteral("ClearTextPassword"), remote.password);
    }
    settings.reset();
    m_control->setRedirectedFolders(m_options.driveFolders);
    // Where the session's sound plays belongs to the secured settings.
    if (std::unique_ptr<IRdpControlObject> secured =
            m_control->querySubObject(QStringLiteral("SecuredSettings2"))) {
        secured->setProperty(QStringLiteral("AudioRedirectionMode"), m_options.audioRedirectionMode());
    }

    m_connecting = true;
    m_connected = false;
    SPDLOG_INFO("系统 RDP 开始连接: {} ({}:{})", remote.name, host, remote.port);
    const QVariant result = m_control->dynamicCall(QStringLiteral("Connect()"));
    bool isInt = false;
    const int code = result.isValid() ? result.toInt(&isInt) : 0;
    if (isInt && code < 0) {
        m_connecting = false;
        const QString message = failureText();
        SPDLOG_ERROR("系统 RDP 连接启动失败: {} ({})", remote.name, message);
        reportError(message, controlFailure());
        return false;
    }
    return true;
}

void SystemRdpSession::onControlEvent(const QString& name, const QVariantList& arguments)
{
    Q_UNUSED(arguments);
    const QString event = eventName(name);
    if (sameName(event, "OnConnected") || sameName(event, "OnLoginComplete")) {
        m_connecting = false;
        const bool wasConnected = m_connected;
        m_connected = true;
        if (!wasConnected) {
            SPDLOG_INFO("系统 RDP 已连接");
            emit connected();
        }
    } else if (sameName(event, "OnDisconnected")) {
        const bool wasConnecting = m_connecting;
        const bool wasConnected = m_connected;
        m_connecting = false;
        m_connected = false;
        if (wasConnecting) {
            SPDLOG_WARN("系统 RDP 连接失败 (错误码 {})", m_control->lastErrorCode());
            // The client's own error event has said why already.
            if (!m_errorReported) {
                reportError(failureText(), controlFailure());
            }
        } else if (wasConnected) {
            SPDLOG_INFO("系统 RDP 已断开");
            emit disconnected();
        }
    } else if (sameName(event, "OnFatalError") || sameName(event, "OnLogonError")) {
        const QString message = failureText();
        SPDLOG_ERROR("系统 RDP 报告错误: {} ({})", event, message);
        reportError(message, controlFailure());
    }
}

void SystemRdpSession::wipePassword()
{
    SecureMemory::wipe(m_pending.password);
    m_control->forgetPassword();
    if (m_probe && m_connecting) {
        stopProbe();
        m_pending = Remote();
        refuse(RdpErrorText::lockedReason(), RdpFailure::Cancelled);
    }
}

void SystemRdpSession::disconnectSession()
{
    // While the certificate is being probed the control has not been started.
    const bool probing = m_probe != nullptr;
    stopProbe();
    m_pending = Remote();
    const bool wasActive = m_connecting || m_connected;
    if (m_widget && ((wasActive && !probing) || controlReportsConnected())) {
        m_control->dynamicCall(QStringLiteral("Disconnect()"));
    }
    m_connecting = false;
    m_connected = false;
    if (wasActive) {
        SPDLOG_INFO("系统 RDP 会话已结束");
        emit disconnected();
    }
}

quint32 SystemRdpSession::scanCodeForVirtualKey(int virtualKey)
{
    if (virtualKey <= 0 || virtualKey > 0xFF) {
        return 0;
    }
    const auto vk = static_cast<DWORD>(KeyTranslator::sidedVirtualKey(virtualKey));
    // winpr looks extended keys up only when asked with KBDEXT; the plain table comes first so that
    // keys present in both (Return) keep their base scan code, as with Windows.
    DWORD scan = GetVirtualScanCodeFromVirtualKeyCode(vk, kKeyboardTypeIbmEnhanced);
    if (scan == 0) {
        scan = GetVirtualScanCodeFromVirtualKeyCode(vk | KBDEXT, kKeyboardTypeIbmEnhanced);
    }
    if (scan == 0) {
        return 0;
    }
    return (scan & KBDEXT) ? (0xE000U | (scan & 0xFFU)) : (scan & 0xFFU);
}

bool SystemRdpSession::sendKeys(const QList<int>& virtualKeys)
{
    if (!m_widget || !m_connected || virtualKeys.isEmpty()) {
        return false;
    }
    if (virtualKeys.size() > kMaxKeys) {
        emit interactionErrorOccurred(QStringLiteral("一次最多可发送 10 个组合按键"));
        return false;
    }
    IRdpKeySender* sender = m_control->queryKeySender();
    if (!sender) {
        emit interactionErrorOccurred(QStringLiteral("系统 RDP 客户端不支持远程按键"));
        return false;
    }

    const int count = static_cast<int>(virtualKeys.size());
    std::vector<qint32> keyData(static_cast<size_t>(2 * count));
    std::vector<qint16> keyUp(static_cast<size_t>(2 * count));
    for (int i = 0; i < count; ++i) {
        const int virtualKey = virtualKeys[i];
        const quint32 scan = scanCodeForVirtualKey(virtualKey);
        if (scan == 0) {
            emit interactionErrorOccurred(
                QStringLiteral("无法把按键 0x%1 转换为 Windows 扫描码")
                    .arg(QString::number(virtualKey, 16).toUpper().rightJustified(2, QLatin1Char('0'))));
            return false;
        }
        const quint32 prefix = (scan >> 8) & 0xFFU;
        quint32 data = ((scan & 0xFFU) << 16) | 1U;
        if (prefix == 0xE0 || prefix == 0xE1) {
            data |= 0x01000000U;
        }
        const auto press = static_cast<size_t>(i);
        const auto release = static_cast<size_t>(2 * count - 1 - i);
        keyData[press] = static_cast<qint32>(data);
        keyUp[press] = 0;
        keyData[release] = static_cast<qint32>(data);
        keyUp[release] = -1; // VARIANT_TRUE
    }

    m_widget->setFocus(Qt::OtherFocusReason);
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    const qint32 result = sender->sendKeys(2 * count, keyUp.data(), keyData.data());
    if (result < 0) {
        const QString message =
            QStringLiteral("系统 RDP 客户端发送远程按键失败（0x%1）").arg(hex8(static_cast<quint32>(result)));
        SPDLOG_WARN("系统 RDP 发送按键失败: {}", message);
        emit interactionErrorOccurred(message);
        return false;
    }
    return true;
}

bool SystemRdpSession::pasteText(const QString& text)
{
    if (text.isEmpty() || !m_connected) {
        return false;
    }
    QGuiApplication::clipboard()->setText(text);
    return sendKeys({kVirtualKeyControl, kVirtualKeyV});
}

bool SystemRdpSession::pasteFiles(const QStringList& paths)
{
    if (!m_widget || !m_connected || paths.isEmpty()) {
        return false;
    }
    QList<QUrl> urls;
    for (const QString& path : paths) {
        const QFileInfo info(path);
        if (info.exists()) {
            urls.append(QUrl::fromLocalFile(info.absoluteFilePath()));
        }
    }
    if (urls.isEmpty()) {
        return false;
    }
    auto* mime = new QMimeData;
    mime->setUrls(urls);
    QGuiApplication::clipboard()->setMimeData(mime);
    m_widget->setFocus(Qt::OtherFocusReason);
    SPDLOG_INFO("系统 RDP 粘贴 {} 个本地文件", urls.size());
    // The control needs a moment to announce the new clipboard to the remote side before the paste.
    QTimer::singleShot(kPasteFilesDelayMs, this, [this] {
        if (m_widget && m_connected) {
            m_widget->setFocus(Qt::OtherFocusReason);
            sendKeys({kVirtualKeyControl, kVirtualKeyV});
        }
    });
    return true;
}
