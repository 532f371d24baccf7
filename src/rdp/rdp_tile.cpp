#include "rdp/rdp_tile.h"

#include "logger.h"
#include "network/acceleration_manager.h"
#include "platform/secure_memory.h"
#include "rdp/key_translator.h"
#include "rdp/rdp_desktop_fitter.h"
#include "rdp/rdp_surface.h"
#include "rdp/system_rdp_session.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

namespace {

constexpr const char* kColorBusy = "#ffbd59";
constexpr const char* kColorFailed = "#ff7d86";
constexpr const char* kColorConnected = "#35c58b";
constexpr const char* kColorEnded = "#9aa7ba";
constexpr const char* kColorEngine = "#4d8dff";

const QSize kMinDesktopSize(640, 480);
const QSize kMinViewSize(300, 170);
// How long after connecting a server may take to offer display control before a resize connects again.
constexpr int kDisplayControlGraceMs = 3000;

QString hex8(quint32 value)
{
    return QString::number(value, 16).toUpper().rightJustified(8, QLatin1Char('0'));
}

bool hasLocalFileUrl(const QMimeData* mime)
{
    if (!mime || !mime->hasUrls()) {
        return false;
    }
    const QList<QUrl> urls = mime->urls();
    return std::any_of(urls.begin(), urls.end(), [](const QUrl& url) { return url.isLocalFile(); });
}

} // namespace

RdpTile::RdpTile(const Remote& remote, QSize desktopSize, int colorDepth, QWidget* parent, RdpEngine engine,
                 bool autoMixed, SystemSessionFactory systemSessionFactory)
    : QFrame(parent), m_remote(remote), m_systemSessionFactory(std::move(systemSessionFactory)),
      m_engine(engine), m_desktopSize(desktopSize.expandedTo(kMinDesktopSize)), m_colorDepth(colorDepth),
      m_input(nullptr, {}, {}), m_autoMixed(autoMixed)
{
    setFrameShape(QFrame::StyledPanel);
    setMinimumSize(220, 160);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setAcceptDrops(true);
    setToolTip(QStringLiteral("Ctrl+双击画面可单独放大；普通双击会发送给远程电脑。"));

    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(6, 6, 6, 6);
    m_layout->setSpacing(4);

    auto* header = new QHBoxLayout;
    header->setSpacing(6);
    m_nameLabel = new QLabel(m_remote.name, this);
    m_nameLabel->setObjectName(QStringLiteral("nameLabel"));
    m_nameLabel->setStyleSheet(QStringLiteral("font-weight:600"));
    m_statusLabel = new QLabel(this);
    m_statusLabel->setObjectName(QStringLiteral("statusLabel"));
    m_actionButton = new QPushButton(this);
    m_actionButton->setObjectName(QStringLiteral("actionButton"));
    m_actionButton->setMaximumWidth(72);
    header->addWidget(m_nameLabel, 1);
    header->addWidget(m_statusLabel);
    header->addWidget(m_actionButton);
    m_layout->addLayout(header);

    m_surface = new RdpSurface(this);
    m_surface->setText(QStringLiteral("等待连接\n连接后点击画面即可操作"));
    m_surface->setAlignment(Qt::AlignCenter);
    m_surface->setWordWrap(true);
    m_surface->setToolTip(QStringLiteral("点击或双击可操作远程电脑；Ctrl+双击可单独放大。"));
    m_surface->setStyleSheet(QStringLiteral("background:#090f18;color:#8190a8;border-radius:6px"));
    m_surface->setMinimumSize(kMinViewSize);
    m_surface->setFocusPolicy(Qt::WheelFocus);
    m_surface->setMouseTracking(true);
    m_surface->setAttribute(Qt::WA_InputMethodEnabled);
    m_surface->setAcceptDrops(true);
    m_surface->installEventFilter(this);
    m_layout->addWidget(m_surface, 1);
    m_fitter = new RdpDesktopFitter(m_surface, this);
    m_fitter->setCurrentSize(m_desktopSize);
    connect(m_fitter, &RdpDesktopFitter::sizeWanted, this, &RdpTile::fitDesktop);
    m_fitGrace.setSingleShot(true);
    m_fitGrace.setInterval(kDisplayControlGraceMs);
    connect(&m_fitGrace, &QTimer::timeout, this, [this] {
        if (m_pendingFit.isValid()) {
            fitDesktop(std::exchange(m_pendingFit, QSize()));
        }
    });
    m_input = RdpInputForwarder(
        m_surface, [this] { return m_surface->frameSize(); },
        [this](const InputEvent& event) { sendFreeRdpInput(event); });

    setStatus(QStringLiteral("未连接"), nullptr);
    setButton(QStringLiteral("连接"));
    connect(m_actionButton, &QPushButton::clicked, this, &RdpTile::onActionClicked);

    if (m_engine == RdpEngine::FreeRdp) {
        m_freeRdp = new FreeRdpSession(this);
        connect(m_freeRdp, &FreeRdpSession::connected, this, &RdpTile::onFreeRdpConnected);
        connect(m_freeRdp, &FreeRdpSession::disconnected, this, &RdpTile::onFreeRdpDisconnected);
        connect(m_freeRdp, &FreeRdpSession::frameReady, this, &RdpTile::onFreeRdpFrame);
        connect(m_surface, &RdpSurface::wholeFrameNeeded, m_freeRdp, &FreeRdpSession::requestFullFrame);
        connect(m_freeRdp, &FreeRdpSession::certificateRejected, this, &RdpTile::onCertificateRejected);
        connect(m_freeRdp, &FreeRdpSession::certificateTrusted, this, &RdpTile::onCertificateTrusted);
        connect(m_freeRdp, &FreeRdpSession::errorOccurred, this, &RdpTile::onFreeRdpError);
        connect(m_freeRdp, &FreeRdpSession::remoteEnded, this, &RdpTile::onFreeRdpRemoteEnded);
        connect(m_freeRdp, &FreeRdpSession::reconnecting, this, &RdpTile::onFreeRdpReconnecting);
        connect(m_freeRdp, &FreeRdpSession::reconnected, this, &RdpTile::onFreeRdpReconnected);
        connect(m_freeRdp, &FreeRdpSession::clipboardFailed, this, [this](const QString& message) {
            emit interactionFailed(m_remote.id, m_remote.name, message);
        });
        connect(m_freeRdp, &FreeRdpSession::displayControlReady, this, [this] {
            if (m_pendingFit.isValid()) {
                fitDesktop(std::exchange(m_pendingFit, QSize()));
            }
        });
    } else {
        ensureSystemSession();
    }
}

RdpTile::~RdpTile()
{
    // The sessions report their end while they stop; nothing here may react to that any more.
    m_surface->removeEventFilter(this);
    if (m_freeRdp) {
        m_freeRdp->disconnect(this);
    }
    if (m_system) {
        m_system->disconnect(this);
        if (QWidget* view = m_system->widget()) {
            view->removeEventFilter(this);
        }
    }
    disconnectSession();
}

// ---- Connection ------------------------------------------------------------------------------------

void RdpTile::connectSession()
{
    if (isActive() || !reopenPassword()) {
        return;
    }
    m_failureReported = false;
    m_cancelRequested = false;
    m_sessionUp = false;
    m_endReason.clear();
    setStatus(QStringLiteral("连接中"), kColorBusy);
    setButton(QStringLiteral("取消"));
    if (hasPicture()) {
        showSurfaceText(QStringLiteral("正在连接…"));
    }

    const Remote target = AccelerationManager::instance()->route(m_remote);
    bool started = false;
    if (m_engine == RdpEngine::FreeRdp) {
        const bool legacy = m_remote.legacy_rdp_security || m_legacyMode;
        SPDLOG_INFO("RDP 画面开始连接 (FreeRDP{}): {}", legacy ? QStringLiteral(", 兼容模式") : QString(),
                    m_remote.name);
        // The certificate is checked: pinned to the stored fingerprint, trusted and stored on first
        // contact, and a changed one goes to the user instead of being accepted unseen.
        started = m_freeRdp && startFreeRdp(target, m_desktopSize, false, legacy, m_colorDepth);
    } else {
        SPDLOG_INFO("RDP 画面开始连接 (系统 RDP): {}", m_remote.name);
        ensureSystemSession();
        showSurface(false);
        started = m_system->connectTo(target, m_desktopSize, m_colorDepth);
    }
    if (!started) {
        SPDLOG_WARN("RDP 连接无法启动: {}", m_remote.name);
        setStatus(QStringLiteral("无法启动"), kColorFailed);
        setButton(QStringLiteral("连接"));
    }
}

bool RdpTile::reopenPassword()
{
    if (!m_passwordWiped) {
        return true;
    }
    std::optional<QString> password = m_passwordSource ? m_passwordSource(m_remote.id) : std::nullopt;
    if (!password) {
        // Never an attempt with an empty password: the server would only count a failed logon.
        SPDLOG_INFO("程序已锁定，不重新连接: {}", m_remote.name);
        m_compatRetryPending = false;
        m_systemSwitchPending = false;
        setStatus(QStringLiteral("已锁定"), kColorFailed);
        m_statusLabel->setToolTip(RdpErrorText::lockedReason());
        setButton(QStringLiteral("连接"));
        showSurfaceText(RdpErrorText::lockedReason());
        return false;
    }
    m_remote.password = std::move(*password);
    m_passwordWiped = false;
    return true;
}

void RdpTile::wipePassword()
{
    SecureMemory::wipe(m_remote.password);
    m_passwordWiped = true;
    if (m_freeRdp) {
        m_freeRdp->wipePassword();
    }
    if (m_system) {
        m_system->wipePassword();
    }
}

bool RdpTile::holdsPassword() const
{
    return !m_remote.password.isEmpty() || (m_freeRdp && m_freeRdp->holdsPassword()) ||
           (m_system && m_system->holdsPassword());
}

void RdpTile::disconnectSession()
{
    if (isActive() && !m_sessionUp) {
        m_cancelRequested = true;
    }
    m_compatRetryPending = false;
    m_systemSwitchPending = false;
    m_systemSwitchReason.clear();
    m_input.forget();
    if (m_system) {
        m_system->disconnectSession();
    }
    if (m_freeRdp) {
        stopFreeRdp();
    }
}

bool RdpTile::isActive() const
{
    if (m_engine == RdpEngine::FreeRdp) {
        return m_freeRdp && freeRdpRunning();
    }
    return m_system && m_system->isActive();
}

void RdpTile::onActionClicked()
{
    if (isActive()) {
        disconnectSession();
        return;
    }
    if (m_compatRetryOffered) {
        m_legacyMode = true;
        m_compatRetryOffered = false;
    }
    connectSession();
}

void RdpTile::setConnectTimeout(int seconds)
{
    m_connectTimeoutSeconds = seconds;
    if (m_freeRdp) {
        m_freeRdp->setConnectTimeout(seconds);
    }
    if (m_system) {
        m_system->setConnectTimeout(seconds);
    }
}

void RdpTile::setSessionOptions(const RdpSessionOptions& options)
{
    m_sessionOptions = options;
    if (m_freeRdp) {
        m_freeRdp->setOptions(options);
    }
    if (m_system) {
        m_system->setOptions(options);
    }
}

int RdpTile::heightForWidth(int width) const
{
    // Everything around the picture: frame, margins, header and the spacing below it.
    const QMargins margins = m_layout->contentsMargins() + contentsMargins();
    const int header = m_layout->itemAt(0)->sizeHint().height() + m_layout->spacing();
    const int pictureWidth = std::max(1, width - margins.left() - margins.right());
    const int pictureHeight =
        static_cast<int>(qint64(pictureWidth) * m_desktopSize.height() / m_desktopSize.width());
    return std::max(pictureHeight, m_surface->minimumHeight()) + header + margins.top() + margins.bottom();
}

void RdpTile::setEngine(RdpEngine engine, bool reconnect)
{
    if (engine == m_engine || (engine == RdpEngine::FreeRdp && !m_freeRdp)) {
        return;
    }
    m_systemSwitchPending = false;
    m_systemSwitchReason.clear();
    disconnectSession();
    m_engine = engine;
    if (m_engine == RdpEngine::FreeRdp) {
        showSurface(true);
        if (!hasPicture()) {
            showSurfaceText(QStringLiteral("等待 FreeRDP 连接…"));
        } else {
            showFrame();
        }
        setStatus(QStringLiteral("FreeRDP"), kColorEngine);
    } else {
        ensureSystemSession();
        showSurface(false);
        setStatus(QStringLiteral("系统 RDP"), kColorEngine);
    }
    if (reconnect) {
        QTimer::singleShot(0, this, &RdpTile::connectSession);
    }
}

bool RdpTile::looksLikeLegacyWindows(const Remote& remote)
{
    const QString text = remote.name + QLatin1Char(' ') + remote.remark;
    for (const char* marker : {"2008", "2003", "Windows 7", "Windows-7"}) {
        if (text.contains(QLatin1String(marker), Qt::CaseInsensitive)) {
            return true;
        }
    }
    return false;
}

// ---- FreeRDP session events ------------------------------------------------------------------------

void RdpTile::onFreeRdpConnected()
{
    if (m_engine != RdpEngine::FreeRdp) {
        return;
    }
    m_failureReported = false;
    m_sessionUp = true;
    m_statusLabel->setToolTip(QString());
    setConnectedStatus();
    setButton(QStringLiteral("断开"));
    SPDLOG_INFO("RDP 画面已连接 (FreeRDP): {}", m_remote.name);
    m_fitGrace.start();
    if (m_fitter->isEnabled()) {
        m_fitter->settle();
    }
    if (m_legacyMode && !m_remote.legacy_rdp_security) {
        m_remote.legacy_rdp_security = true;
        SPDLOG_INFO("兼容模式连接成功，记住该主机的兼容设置: {}", m_remote.name);
        emit legacyCompatibilityDetected(m_remote.id);
    }
}

void RdpTile::onFreeRdpError(const QString& message, quint32 code, RdpFailure failure)
{
    if (m_engine != RdpEngine::FreeRdp) {
        return;
    }
    SPDLOG_WARN("FreeRDP 连接错误: {} (0x{:08X}) {}", m_remote.name, code, message);

    const bool securityProblem = RdpErrorText::aboutSecurity(failure);
    if (!m_remote.legacy_rdp_security && !m_legacyMode && securityProblem) {
        if (looksLikeLegacyWindows(m_remote)) {
            // The retry waits for the session's end, which always follows its error.
            m_compatRetryPending = true;
            setStatus(QStringLiteral("检测到旧系统"), kColorBusy);
            m_statusLabel->setToolTip(message);
            showSurfaceText(QStringLiteral("检测到旧版 Windows TLS\n正在自动切换兼容模式重试…"));
            return;
        }
        m_compatRetryOffered = true;
    }

    if (m_autoMixed && securityProblem) {
        m_compatRetryOffered = false;
        m_systemSwitchPending = true;
        m_systemSwitchReason = message;
        setStatus(QStringLiteral("自动切换"), kColorBusy);
        m_statusLabel->setToolTip(message);
        showSurfaceText(QStringLiteral("FreeRDP 兼容性协商失败\n正在自动切换到系统 RDP 客户端…"));
        setButton(QStringLiteral("取消"));
        return;
    }

    setStatus(QStringLiteral("失败 0x%1").arg(hex8(code)), kColorFailed);
    m_statusLabel->setToolTip(message);
    const QString advice =
        m_compatRetryOffered
            ? QStringLiteral("检测到 TLS 兼容问题，可点击“兼容重试”。\n"
                             "兼容模式会降低该主机的 TLS 安全级别，成功后将只为此主机记住设置。")
            : RdpErrorText::advice(failure);
    showSurfaceText(advice.isEmpty() ? QStringLiteral("连接失败\n%1").arg(message)
                                     : QStringLiteral("连接失败\n%1\n\n%2").arg(message, advice));
    reportFailure(message);
}

void RdpTile::onFreeRdpReconnecting(int attempt, int attempts)
{
    if (m_engine != RdpEngine::FreeRdp) {
        return;
    }
    // Keys held down went with the connection.
    m_input.forget();
    setStatus(QStringLiteral("正在重新连接（第 %1/%2 次）").arg(attempt).arg(attempts), kColorBusy);
    m_statusLabel->setToolTip(QStringLiteral("网络连接已中断，正在自动重新连接"));
}

void RdpTile::onFreeRdpReconnected()
{
    if (m_engine != RdpEngine::FreeRdp) {
        return;
    }
    SPDLOG_INFO("RDP 画面已重新连接 (FreeRDP): {}", m_remote.name);
    m_statusLabel->setToolTip(QString());
    setConnectedStatus();
}

void RdpTile::onFreeRdpRemoteEnded(const QString& reason)
{
    if (m_engine == RdpEngine::FreeRdp) {
        m_endReason = reason;
    }
}

void RdpTile::onFreeRdpDisconnected()
{
    // Input held at the end went nowhere; nothing is left to release on the remote side.
    m_input.forget();

    if (m_systemSwitchPending) {
        const QString reason = m_systemSwitchReason;
        m_systemSwitchPending = false;
        m_systemSwitchReason.clear();
        m_sessionUp = false;
        switchToSystem(reason);
        return;
    }
    if (m_engine != RdpEngine::FreeRdp) {
        return;
    }
    if (std::exchange(m_fitReconnect, false)) {
        m_sessionUp = false;
        connectSession();
        return;
    }
    if (m_compatRetryPending) {
        m_compatRetryPending = false;
        m_legacyMode = true;
        SPDLOG_INFO("旧版 Windows 主机，以兼容模式重试: {}", m_remote.name);
        setStatus(QStringLiteral("兼容重试"), kColorBusy);
        setButton(QStringLiteral("取消"));
        QTimer::singleShot(0, this, &RdpTile::connectSession);
        return;
    }
    showEnded(m_compatRetryOffered ? QStringLiteral("兼容重试") : QStringLiteral("连接"));
}

void RdpTile::showEnded(const QString& connectText)
{
    const bool cancelled = m_cancelRequested && !m_sessionUp;
    m_cancelRequested = false;
    m_sessionUp = false;
    setStatus(cancelled ? QStringLiteral("已取消") : QStringLiteral("已断开"), kColorEnded);
    setButton(connectText);
    // A failure keeps its own text; otherwise the picture says why it is no longer live.
    if (m_failureReported) {
        return;
    }
    if (cancelled) {
        showSurfaceText(RdpErrorText::reason(RdpFailure::Cancelled));
    } else if (!m_endReason.isEmpty()) {
        m_statusLabel->setToolTip(m_endReason);
        showSurfaceText(QStringLiteral("会话已结束\n%1").arg(m_endReason));
    } else if (hasPicture()) {
        showSurfaceText(QStringLiteral("已断开连接"));
    }
}

void RdpTile::onFreeRdpFrame(const QRegion& changed)
{
    m_surface->showFrame(m_freeRdp->frame(), changed);
    m_surface->setDimmed(false);
    clearSurfaceText();
}

void RdpTile::onCertificateRejected(const QString& /*host*/, const QString& subject, const QString& issuer,
                                    const QString& fingerprint)
{
    m_pendingFingerprint = fingerprint;
    SPDLOG_WARN("RDP 证书未被信任，等待用户确认: {}", m_remote.name);
    // The session saw the address it connected to, a loopback tunnel while accelerated; the user is
    // asked about the host itself.
    emit certificateConfirmationRequired(this,
                                         QStringLiteral("主机：%1\n主题：%2\n签发者：%3\n新指纹：%4")
                                             .arg(m_remote.host.trimmed(), subject, issuer, fingerprint));
}

void RdpTile::onCertificateTrusted(const QString& remoteId, const QString& fingerprint)
{
    m_remote.rdp_certificate_fingerprint = fingerprint;
    emit certificateFingerprintTrusted(remoteId, fingerprint);
}

void RdpTile::trustPendingCertificate()
{
    if (m_pendingFingerprint.isEmpty()) {
        return;
    }
    const QString fingerprint = m_pendingFingerprint;
    m_pendingFingerprint.clear();
    m_remote.rdp_certificate_fingerprint = fingerprint;
    SPDLOG_INFO("用户信任了 RDP 证书，重新连接: {}", m_remote.name);
    emit certificateFingerprintTrusted(m_remote.id, fingerprint);
    disconnectSession();
    QTimer::singleShot(0, this, &RdpTile::connectSession);
}

// ---- System control --------------------------------------------------------------------------------

void RdpTile::ensureSystemSession()
{
    if (m_system) {
        return;
    }
    m_system = m_systemSessionFactory ? m_systemSessionFactory(this) : new SystemRdpSession(this);
    if (!m_system->parent()) {
        m_system->setParent(this);
    }
    if (m_connectTimeoutSeconds > 0) {
        m_system->setConnectTimeout(m_connectTimeoutSeconds);
    }
    m_system->setOptions(m_sessionOptions);
    if (QWidget* view = m_system->widget()) {
        view->setMinimumSize(kMinViewSize);
        view->setToolTip(QStringLiteral(
            "点击操作远程电脑；Ctrl+双击单独放大；拖入本机文件可粘贴到远程当前文件夹或桌面。"));
        view->setAcceptDrops(true);
        view->installEventFilter(this);
        m_layout->addWidget(view, 1);
    }
    showSurface(m_engine != RdpEngine::System);
    connect(m_system, &SystemRdpSession::connected, this, &RdpTile::onSystemConnected);
    connect(m_system, &SystemRdpSession::disconnected, this, &RdpTile::onSystemDisconnected);
    connect(m_system, &SystemRdpSession::errorOccurred, this, &RdpTile::onSystemError);
    connect(m_system, &SystemRdpSession::interactionErrorOccurred, this, &RdpTile::onSystemInteractionError);
    connect(m_system, &SystemRdpSession::certificateRejected, this, &RdpTile::onCertificateRejected);
    connect(m_system, &SystemRdpSession::certificateTrusted, this, &RdpTile::onCertificateTrusted);
}

void RdpTile::switchToSystem(const QString& reason)
{
    if (m_engine == RdpEngine::System) {
        return;
    }
    SPDLOG_WARN("FreeRDP 协商失败，自动切换到系统 RDP: {} ({})", m_remote.name, reason);
    m_engine = RdpEngine::System;
    ensureSystemSession();
    showSurface(false);
    setStatus(QStringLiteral("系统 RDP"), kColorEngine);
    emit systemFallbackActivated(m_remote.id, m_remote.name, reason);
    QTimer::singleShot(0, this, &RdpTile::connectSession);
}

void RdpTile::onSystemConnected()
{
    if (m_engine != RdpEngine::System) {
        return;
    }
    m_failureReported = false;
    m_sessionUp = true;
    m_statusLabel->setToolTip(QString());
    showSurface(false);
    setConnectedStatus();
    setButton(QStringLiteral("断开"));
}

void RdpTile::onSystemDisconnected()
{
    showEnded(QStringLiteral("连接"));
}

void RdpTile::onSystemError(const QString& message, RdpFailure failure)
{
    if (m_engine != RdpEngine::System) {
        return;
    }
    SPDLOG_WARN("系统 RDP 连接失败: {} ({})", m_remote.name, message);
    setStatus(QStringLiteral("连接失败"), kColorFailed);
    m_statusLabel->setToolTip(message);
    showSurface(true);
    const QString advice = RdpErrorText::advice(failure);
    showSurfaceText(advice.isEmpty()
                        ? QStringLiteral("系统 RDP 客户端连接失败\n%1").arg(message)
                        : QStringLiteral("系统 RDP 客户端连接失败\n%1\n\n%2").arg(message, advice));
    setButton(QStringLiteral("连接"));
    reportFailure(message);
}

void RdpTile::onSystemInteractionError(const QString& message)
{
    if (m_engine != RdpEngine::System) {
        return;
    }
    emit interactionFailed(m_remote.id, m_remote.name, message);
}

// ---- Display ---------------------------------------------------------------------------------------

void RdpTile::setStatus(const QString& text, const char* color)
{
    m_statusLabel->setText(text);
    m_statusLabel->setStyleSheet(color ? QStringLiteral("color:%1").arg(QLatin1String(color)) : QString());
}

void RdpTile::setButton(const QString& text)
{
    m_actionButton->setText(text);
}

void RdpTile::setConnectedStatus()
{
    const AccelerationManager* acceleration = AccelerationManager::instance();
    const bool direct = acceleration->isEnabled() && acceleration->directRemoteIds().contains(m_remote.id);
    setStatus(direct ? QStringLiteral("直连") : QStringLiteral("已连接"), kColorConnected);
}

void RdpTile::showSurfaceText(const QString& text)
{
    // Over the last picture, faded: it is no longer live.
    m_surface->setDimmed(hasPicture());
    m_surface->setText(text);
}

void RdpTile::showFrame()
{
    m_surface->setDimmed(false);
    clearSurfaceText();
}

bool RdpTile::hasPicture() const
{
    return !m_surface->picture().isNull();
}

void RdpTile::clearSurfaceText()
{
    if (!m_surface->text().isEmpty()) {
        m_surface->setText(QString());
    }
}

void RdpTile::showSurface(bool surfaceVisible)
{
    QWidget* view = m_system ? m_system->widget() : nullptr;
    if (view) {
        view->setVisible(!surfaceVisible);
    }
    m_surface->setVisible(surfaceVisible);
}

void RdpTile::resizeEvent(QResizeEvent* event)
{
    QFrame::resizeEvent(event);
    // A text over the faded frame stays until the next frame.
    if (hasPicture() && !m_surface->isDimmed()) {
        showFrame();
    }
}

void RdpTile::reportFailure(const QString& message)
{
    if (m_failureReported) {
        return;
    }
    m_failureReported = true;
    emit connectionFailed(m_remote.id, message);
}

// ---- Input -----------------------------------------------------------------------------------------

QList<int> RdpTile::presetShortcutKeys(int index)
{
    switch (index) {
    case 0:
        return {116}; // F5
    case 1:
        return {91, 82}; // Win+R
    case 2:
        return {91, 69}; // Win+E
    case 3:
        return {17, 18, 46}; // Ctrl+Alt+Delete
    case 4:
        return {27}; // Esc
    case 5:
        return {91, 76}; // Win+L
    case 6:
        return {18, 115}; // Alt+F4
    case 7:
        return {13}; // Enter
    default:
        return {};
    }
}

void RdpTile::sendPresetShortcut(int index)
{
    const QList<int> keys = presetShortcutKeys(index);
    if (!keys.isEmpty()) {
        sendKeyCombination(keys);
    }
}

void RdpTile::sendKeyCombination(const QList<int>& virtualKeys)
{
    if (!isActive() || virtualKeys.isEmpty()) {
        return;
    }
    if (m_engine == RdpEngine::System) {
        m_system->sendKeys(virtualKeys);
        return;
    }
    // Scan code 0: the session derives it from the virtual key, as for every combination.
    for (const int key : virtualKeys) {
        sendFreeRdpInput({InputEvent::Key, key, 0, 1, 0, {}});
    }
    for (auto it = virtualKeys.crbegin(); it != virtualKeys.crend(); ++it) {
        sendFreeRdpInput({InputEvent::Key, *it, 0, 0, 0, {}});
    }
}

void RdpTile::sendText(const QString& text)
{
    if (!isActive() || text.isEmpty()) {
        return;
    }
    if (m_engine == RdpEngine::System) {
        m_system->pasteText(text);
        return;
    }
    sendFreeRdpInput({InputEvent::Text, 0, 0, 0, 0, text});
}

std::optional<QPoint> RdpTile::mapToRemote(QPoint p, QSize widgetSize, QSize frameSize)
{
    const QRect target = RdpSurface::imageRect(widgetSize, frameSize);
    if (target.isEmpty()) {
        return std::nullopt;
    }
    const int dx = p.x() - target.x();
    const int dy = p.y() - target.y();
    if (dx < 0 || dy < 0 || dx >= target.width() || dy >= target.height()) {
        return std::nullopt;
    }
    const auto scale = [](int offset, int frameLength, int scaledLength) {
        const qint64 value = static_cast<qint64>(frameLength) * offset / scaledLength;
        return static_cast<int>(std::clamp<qint64>(value, 0, frameLength - 1));
    };
    return QPoint(scale(dx, frameSize.width(), target.width()),
                  scale(dy, frameSize.height(), target.height()));
}

bool RdpTile::eventFilter(QObject* watched, QEvent* event)
{
    const bool onSurface = watched == m_surface;
    const bool onSystemView = m_system && watched == m_system->widget();
    if (!onSurface && !onSystemView) {
        return QFrame::eventFilter(watched, event);
    }
    if (handleZoomRequest(event)) {
        return true;
    }
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove:
        return handleDrag(static_cast<QDropEvent*>(event));
    case QEvent::Drop:
        handleDrop(static_cast<QDropEvent*>(event));
        return true;
    default:
        break;
    }
    if (onSurface && m_freeRdp && (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut)) {
        // The clipboard goes with the session the user works in, never with every tile at once.
        m_freeRdp->setClipboardActive(event->type() == QEvent::FocusIn);
    }
    if (onSurface && m_engine == RdpEngine::FreeRdp && m_freeRdp && freeRdpRunning()) {
        return m_input.handle(event);
    }
    return QFrame::eventFilter(watched, event);
}

void RdpTile::setFollowsView(bool follows)
{
    m_fitter->setEnabled(follows && m_engine == RdpEngine::FreeRdp);
}

void RdpTile::fitDesktop(QSize size)
{
    if (m_engine != RdpEngine::FreeRdp || !m_sessionUp || !m_freeRdp || m_fitReconnect) {
        return;
    }
    if (m_freeRdp->requestDesktopSize(size)) {
        SPDLOG_INFO("远程桌面尺寸随窗口调整为 {}x{}: {}", size.width(), size.height(), m_remote.name);
        m_desktopSize = size;
        m_fitter->setCurrentSize(size);
        return;
    }
    if (m_fitGrace.isActive()) {
        m_pendingFit = size; // the server may still offer display control
        return;
    }
    // A server without display control gets a new connection at the new size, unless that is the size
    // it has (a view below the smallest desktop).
    if (size.expandedTo(kMinDesktopSize) == m_desktopSize) {
        return;
    }
    SPDLOG_INFO("远程桌面不支持动态调整尺寸，以 {}x{} 重新连接: {}", size.width(), size.height(),
                m_remote.name);
    m_desktopSize = size.expandedTo(kMinDesktopSize);
    m_fitter->setCurrentSize(m_desktopSize);
    m_fitReconnect = true;
    disconnectSession();
}

bool RdpTile::handleZoomRequest(QEvent* event)
{
    if (event->type() != QEvent::MouseButtonDblClick || !m_zoomAllowed) {
        return false;
    }
    const auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() != Qt::LeftButton || !(mouse->modifiers() & Qt::ControlModifier)) {
        return false;
    }
    emit focusRequested(this);
    return true;
}

void RdpTile::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (handleZoomRequest(event)) {
        event->accept();
        return;
    }
    QFrame::mouseDoubleClickEvent(event);
}

// ---- File drop -------------------------------------------------------------------------------------

QStringList RdpTile::localFilePaths(const QMimeData* mime)
{
    QStringList paths;
    if (!mime) {
        return paths;
    }
    const QList<QUrl> urls = mime->urls();
    for (const QUrl& url : urls) {
        if (!url.isLocalFile()) {
            continue;
        }
        const QString local = url.toLocalFile();
        if (local.isEmpty()) {
            continue;
        }
        const QString path = QDir::cleanPath(QFileInfo(local).absoluteFilePath());
        if (!path.isEmpty() && !paths.contains(path)) {
            paths.append(path);
        }
    }
    return paths;
}

bool RdpTile::handleDrag(QDropEvent* event)
{
    if (!hasLocalFileUrl(event->mimeData())) {
        event->ignore();
        return false;
    }
    event->acceptProposedAction();
    return true;
}

void RdpTile::dragEnterEvent(QDragEnterEvent* event)
{
    handleDrag(event);
}

void RdpTile::dragMoveEvent(QDragMoveEvent* event)
{
    handleDrag(event);
}

void RdpTile::dropEvent(QDropEvent* event)
{
    handleDrop(event);
}

void RdpTile::handleDrop(QDropEvent* event)
{
    if (!hasLocalFileUrl(event->mimeData())) {
        event->ignore();
        return;
    }
    if (m_engine != RdpEngine::System || !m_system) {
        emit localFilesRejected(m_remote.id, QStringLiteral("文件拖拽仅支持系统 RDP 客户端的画面。"));
        event->ignore();
        return;
    }
    if (!isActive()) {
        emit localFilesRejected(m_remote.id, QStringLiteral("请先连接该远程主机，再拖入文件。"));
        event->ignore();
        return;
    }
    const QStringList paths = localFilePaths(event->mimeData());
    if (!paths.isEmpty() && m_system->pasteFiles(paths)) {
        emit localFilesQueued(m_remote.id, m_remote.name, static_cast<int>(paths.size()));
        event->acceptProposedAction();
        return;
    }
    SPDLOG_WARN("拖入的本地文件无法粘贴到远程: {}", m_remote.name);
    emit localFilesRejected(m_remote.id,
                            QStringLiteral("无法准备文件。请确认文件仍然存在且远程会话允许剪贴板重定向。"));
    event->ignore();
}

// ---- FreeRDP calls ---------------------------------------------------------------------------------

bool RdpTile::startFreeRdp(const Remote& target, QSize desktopSize, bool ignoreCertificate,
                           bool legacySecurity, int colorDepth)
{
    return m_freeRdp->start(target, desktopSize, ignoreCertificate, legacySecurity, colorDepth);
}

void RdpTile::stopFreeRdp()
{
    m_freeRdp->stop();
}

bool RdpTile::freeRdpRunning() const
{
    return m_freeRdp->isRunning();
}

void RdpTile::sendFreeRdpInput(const InputEvent& event)
{
    switch (event.kind) {
    case InputEvent::MouseMove:
        m_freeRdp->sendMouseMove(event.a, event.b);
        break;
    case InputEvent::MouseButton:
        m_freeRdp->sendMouseButton(event.a, event.b != 0, event.c, event.d);
        break;
    case InputEvent::Wheel:
        m_freeRdp->sendWheel(event.a, event.b, event.c);
        break;
    case InputEvent::Key:
        m_freeRdp->sendKey(event.a, event.b, event.c != 0, event.d != 0);
        break;
    case InputEvent::Text:
        m_freeRdp->sendText(event.text);
        break;
    default:
        break;
    }
}
