#include "rdp/freerdp_session.h"

#include "logger.h"
#include "rdp/freerdp_compat.h"
#include "rdp/key_translator.h"

#include <freerdp/gdi/gdi.h>
#include <freerdp/settings.h>
#include <winpr/synch.h>

#include <openssl/provider.h>
#include <sodium.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QMetaObject>
#include <QThread>

#include <algorithm>
#include <cstring>
#include <shared_mutex>

#if !defined(_WIN32)
#include <sys/socket.h>
#endif

namespace {

constexpr int kMinDesktopWidth = 640;
constexpr int kMinDesktopHeight = 480;
constexpr int kMaxCoordinate = 65535;
constexpr int kMaxWheelDelta = 511;
constexpr DWORD kMaxEventHandles = 64;
constexpr DWORD kEventWaitMs = 50;
// stop() and the destructor give the worker this long in all; the rest of the second is left for them.
constexpr qint64 kStopWaitMs = 800;
// How often a connect that is still blocked after an abort gets its socket shut down again, and how
// many times: a connect that is still inside FreeRDP after that waits for a name lookup, which only
// the abort event (already set) can end.
constexpr int kAbortRetryMs = 50;
constexpr int kMaxAbortRetries = 20;
constexpr int kMaxConnectTimeoutSeconds = 24 * 60 * 60;

constexpr DWORD kAcceptForThisSession = 2;
constexpr DWORD kReject = 0;

const QString kConnectFailed = QStringLiteral("FreeRDP连接失败");

// Keeps sessions alive while a worker thread calls into them. A session that has to leave a worker
// behind takes it exclusively to cut the worker off; every other holder only shares it.
std::shared_mutex& linkMutex()
{
    static std::shared_mutex mutex;
    return mutex;
}

// FreeRDP's context with one extra slot: the session that owns the connection.
struct SessionContext
{
    rdpContext context;
    FreeRdpSession* session;
};

FreeRdpSession*& sessionSlot(rdpContext* context)
{
    return reinterpret_cast<SessionContext*>(context)->session;
}

void initializeOpenSsl()
{
    static std::once_flag once;
    std::call_once(once, [] {
#if defined(Q_OS_WIN)
        // The providers are shipped beside the program on Windows.
        if (qEnvironmentVariableIsEmpty("OPENSSL_MODULES")) {
            qputenv("OPENSSL_MODULES",
                    QDir::toNativeSeparators(QCoreApplication::applicationDirPath()).toLocal8Bit());
        }
#endif
        // Old servers still need algorithms that OpenSSL 3 keeps in its legacy provider. Loading a
        // provider explicitly disables the implicit default one, so both are loaded. The handles live
        // as long as the process; a missing provider only costs those servers.
        OSSL_PROVIDER_load(nullptr, "default");
        OSSL_PROVIDER_load(nullptr, "legacy");
    });
}

// FreeRDP 2 leaves its socket blocking while it waits for the server's answers to the connection
// sequence and looks at the abort event only while the TCP connection is being opened, so a server that
// accepts and then stays silent keeps freerdp_connect in a read forever. Shutting the socket down makes
// that read fail at once. The socket is reached through the transport's event handle, whose descriptor
// is the socket itself.
void shutdownTransportSockets(rdpContext* context)
{
#if !defined(_WIN32)
    HANDLE handles[kMaxEventHandles] = {};
    const DWORD count = freerdp_get_event_handles(context, handles, kMaxEventHandles);
    for (DWORD i = 0; i < count && i < kMaxEventHandles; ++i) {
        const int fd = GetEventFileDescriptor(handles[i]);
        if (fd < 0) {
            continue;
        }
        int type = 0;
        socklen_t length = sizeof(type);
        if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_STREAM) {
            shutdown(fd, SHUT_RDWR);
        }
    }
#else
    (void)context;
#endif
}

void wipe(QByteArray& secret)
{
    if (!secret.isEmpty()) {
        sodium_memzero(secret.data(), static_cast<size_t>(secret.size()));
    }
    secret.clear();
}

// FreeRDP frees its copy of the password without clearing it.
void wipeSettingsPassword(rdpSettings* settings)
{
    if (!settings) {
        return;
    }
    if (const char* password = freerdp_settings_get_string(settings, FreeRDP_Password)) {
        sodium_memzero(const_cast<char*>(password), std::strlen(password));
    }
}

int clampCoordinate(int value)
{
    return std::clamp(value, 0, kMaxCoordinate);
}

} // namespace

// Everything that runs on the worker thread: the connection procedure and FreeRDP's callbacks.
struct FreeRdpSession::Engine
{
    // UTF-8 copies for FreeRDP; the password copy is wiped when they go.
    struct Credentials
    {
        explicit Credentials(const Remote& remote);
        ~Credentials() { wipe(password); }
        Credentials(const Credentials&) = delete;
        Credentials& operator=(const Credentials&) = delete;

        QByteArray host;
        QByteArray user;
        QByteArray domain;
        QByteArray password;
    };

    static void run(std::shared_ptr<FreeRdpSessionState> statePointer);

    static BOOL contextNew(freerdp*, rdpContext*) { return TRUE; }
    static void contextFree(freerdp*, rdpContext*) {}
    static BOOL preConnect(freerdp* instance);
    static BOOL postConnect(freerdp* instance);
    static void postDisconnect(freerdp* instance);
    static BOOL beginPaint(rdpContext* context);
    static BOOL endPaint(rdpContext* context);
    static BOOL desktopResize(rdpContext* context);
    static DWORD verifyCertificate(freerdp* instance, const char* host, UINT16 port, const char* commonName,
                                   const char* subject, const char* issuer, const char* fingerprint);

    static bool applySettings(rdpSettings* settings, const FreeRdpSessionState& state,
                              const Credentials& credentials);
    static void runEventLoop(FreeRdpSessionState& state, rdpContext* context);
    static void sendInput(rdpContext* context, const std::deque<InputEvent>& events);
    static void reportConnectFailure(FreeRdpSessionState& state, rdpContext* context);

    // Hands a call to the session on the GUI thread, unless the session is gone.
    template <typename Function> static void post(FreeRdpSessionState& state, Function function)
    {
        std::shared_lock lock(linkMutex());
        if (FreeRdpSession* owner = state.owner) {
            QMetaObject::invokeMethod(
                owner, [owner, function = std::move(function)]() { function(owner); }, Qt::QueuedConnection);
        }
    }

    static void postError(FreeRdpSessionState& state, const QString& message, quint32 code)
    {
        post(state, [message, code](FreeRdpSession* session) { emit session->errorOccurred(message, code); });
    }
};

void FreeRdpSession::Engine::run(std::shared_ptr<FreeRdpSessionState> statePointer)
{
    FreeRdpSessionState& state = *statePointer;

    freerdp* instance = freerdp_new();
    if (!instance) {
        SPDLOG_ERROR("FreeRDP 实例创建失败: {}", state.remote.name);
        postError(state, QStringLiteral("FreeRDP初始化失败"), 0);
        return;
    }

    instance->ContextSize = sizeof(SessionContext);
    instance->ContextNew = &contextNew;
    instance->ContextFree = &contextFree;
    instance->PreConnect = &preConnect;
    instance->PostConnect = &postConnect;
    instance->PostDisconnect = &postDisconnect;
    instance->VerifyCertificateEx =
        &freerdp_compat::CertificateCallback<pVerifyCertificateEx>::call<&Engine::verifyCertificate>;
    instance->VerifyChangedCertificateEx =
        &freerdp_compat::CertificateCallback<pVerifyChangedCertificateEx>::call<&Engine::verifyCertificate>;

    if (!freerdp_context_new(instance)) {
        freerdp_free(instance);
        SPDLOG_ERROR("FreeRDP 上下文创建失败: {}", state.remote.name);
        postError(state, QStringLiteral("FreeRDP上下文创建失败"), 0);
        return;
    }

    rdpContext* context = instance->context;
    {
        // Slot and instance appear together, so a session that cuts the link sees both or neither.
        std::shared_lock lock(linkMutex());
        sessionSlot(context) = state.owner;
        state.instance.store(instance);
    }

    bool ok = false;
    {
        const Credentials creds(state.remote);
        ok = applySettings(context->settings, state, creds);
    }

    if (ok) {
        {
            std::lock_guard lock(state.connectMutex);
            state.connecting = true;
            state.abortIssued = false;
        }
        ok = freerdp_connect(instance);
        {
            std::lock_guard lock(state.connectMutex);
            state.connecting = false;
        }
    }

    if (!ok) {
        reportConnectFailure(state, context);
    } else {
        state.connected.store(true);
        SPDLOG_INFO("FreeRDP 已连接: {} ({}:{})", state.remote.name, state.remote.host, state.remote.port);
        post(state, [](FreeRdpSession* session) {
            session->m_connectTimer.stop();
            emit session->connected();
        });
        runEventLoop(state, context);
        freerdp_disconnect(instance);
    }

    if (context->gdi) {
        gdi_free(instance);
    }
    wipeSettingsPassword(context->settings);
    {
        std::shared_lock lock(linkMutex());
        state.instance.store(nullptr);
    }
    state.connected.store(false);
    freerdp_context_free(instance);
    freerdp_free(instance);
}

FreeRdpSession::Engine::Credentials::Credentials(const Remote& remote)
{
    // domain\user names a domain account; a backslash at either end is part of the user name.
    QString name = remote.username.trimmed();
    QString domainName;
    const qsizetype separator = name.indexOf(QLatin1Char('\\'));
    if (separator >= 1 && separator + 1 < name.size()) {
        domainName = name.left(separator);
        name = name.mid(separator + 1);
    }
    host = remote.host.trimmed().toUtf8();
    user = name.toUtf8();
    domain = domainName.toUtf8();
    password = remote.password.toUtf8();
}

bool FreeRdpSession::Engine::applySettings(rdpSettings* settings, const FreeRdpSessionState& state,
                                           const Credentials& creds)
{
    if (!settings) {
        return false;
    }
    const bool legacy = state.legacySecurity;
    bool ok =
        freerdp_settings_set_string(settings, FreeRDP_ServerHostname, creds.host.constData()) &&
        freerdp_settings_set_uint32(settings, FreeRDP_ServerPort, static_cast<UINT32>(state.remote.port)) &&
        freerdp_settings_set_uint32(settings, FreeRDP_DesktopWidth,
                                    static_cast<UINT32>(state.desktopSize.width())) &&
        freerdp_settings_set_uint32(settings, FreeRDP_DesktopHeight,
                                    static_cast<UINT32>(state.desktopSize.height())) &&
        freerdp_settings_set_uint32(settings, FreeRDP_ColorDepth, static_cast<UINT32>(state.colorDepth)) &&
        freerdp_settings_set_bool(settings, FreeRDP_NegotiateSecurityLayer, TRUE) &&
        freerdp_settings_set_bool(settings, FreeRDP_NlaSecurity, legacy ? FALSE : TRUE) &&
        freerdp_settings_set_bool(settings, FreeRDP_TlsSecurity, TRUE) &&
        freerdp_settings_set_bool(settings, FreeRDP_RdpSecurity, TRUE) &&
        freerdp_settings_set_bool(settings, FreeRDP_DisableWallpaper, TRUE) &&
        freerdp_settings_set_bool(settings, FreeRDP_DisableFullWindowDrag, TRUE) &&
        freerdp_settings_set_bool(settings, FreeRDP_DisableMenuAnims, TRUE) &&
        freerdp_settings_set_bool(settings, FreeRDP_DisableThemes, TRUE) &&
        freerdp_settings_set_bool(settings, FreeRDP_AllowFontSmoothing, FALSE) &&
        freerdp_settings_set_bool(settings, FreeRDP_AllowDesktopComposition, FALSE) &&
        freerdp_settings_set_uint32(settings, FreeRDP_TlsSecLevel, legacy ? 0 : 1) &&
        freerdp_settings_set_bool(settings, FreeRDP_IgnoreCertificate,
                                  state.ignoreCertificate ? TRUE : FALSE) &&
        freerdp_settings_set_bool(settings, FreeRDP_AutoLogonEnabled,
                                  creds.password.isEmpty() ? FALSE : TRUE);
    if (ok && !creds.user.isEmpty()) {
        ok = freerdp_settings_set_string(settings, FreeRDP_Username, creds.user.constData());
    }
    if (ok && !creds.domain.isEmpty()) {
        ok = freerdp_settings_set_string(settings, FreeRDP_Domain, creds.domain.constData());
    }
    if (ok && !creds.password.isEmpty()) {
        ok = freerdp_settings_set_string(settings, FreeRDP_Password, creds.password.constData());
    }
    // The client info PDU carries the performance flags, not the individual switches.
    (void)freerdp_performance_flags_make(settings);
    if (!ok) {
        SPDLOG_ERROR("FreeRDP 连接参数设置失败: {}", state.remote.name);
    }
    return ok;
}

void FreeRdpSession::Engine::reportConnectFailure(FreeRdpSessionState& state, rdpContext* context)
{
    quint32 code = freerdp_get_last_error(context);
    if (state.connectTimedOut.load()) {
        // The attempt was ended by the connect timeout; FreeRDP itself only saw an abort.
        code = FREERDP_ERROR_CONNECT_FAILED;
    }
    QString detail;
    if (code != 0) {
        detail = QString::fromUtf8(freerdp_get_last_error_string(code)).trimmed();
    }
    const QString message =
        detail.isEmpty() ? kConnectFailed : QStringLiteral("%1：%2").arg(kConnectFailed, detail);

    if (state.stopRequested.load()) {
        SPDLOG_INFO("FreeRDP 连接已取消: {} ({}:{})", state.remote.name, state.remote.host,
                    state.remote.port);
    } else if (state.connectTimedOut.load()) {
        SPDLOG_WARN("FreeRDP 连接超时: {} ({}:{})", state.remote.name, state.remote.host, state.remote.port);
    } else {
        SPDLOG_ERROR("FreeRDP 连接失败: {} ({}:{}) {} [0x{:08X}]", state.remote.name, state.remote.host,
                     state.remote.port, detail, code);
    }
    postError(state, message, code);
}

void FreeRdpSession::Engine::runEventLoop(FreeRdpSessionState& state, rdpContext* context)
{
    HANDLE handles[kMaxEventHandles] = {};
    while (!state.stopRequested.load() && !freerdp_compat::shallDisconnect(context)) {
        std::deque<InputEvent> events;
        {
            std::lock_guard lock(state.inputMutex);
            events.swap(state.inputQueue);
        }
        sendInput(context, events);

        const DWORD count = freerdp_get_event_handles(context, handles, kMaxEventHandles);
        if (count == 0) {
            SPDLOG_WARN("FreeRDP 事件句柄获取失败: {}", state.remote.name);
            break;
        }
        // A time-out also goes on to the check: FreeRDP 2's TLS layer may already hold decrypted data
        // that no handle signals any more, and a quiet server would leave it there.
        const DWORD status = WaitForMultipleObjects(count, handles, FALSE, kEventWaitMs);
        if (status == WAIT_FAILED) {
            SPDLOG_WARN("FreeRDP 事件等待失败: {}", state.remote.name);
            break;
        }
        if (!freerdp_check_event_handles(context)) {
            SPDLOG_INFO("FreeRDP 连接已断开: {}", state.remote.name);
            break;
        }
    }
}

void FreeRdpSession::Engine::sendInput(rdpContext* context, const std::deque<InputEvent>& events)
{
    rdpInput* input = context->input;
    if (!input) {
        return;
    }
    for (const InputEvent& event : events) {
        switch (event.kind) {
        case InputEvent::MouseMove:
            freerdp_input_send_mouse_event(input, PTR_FLAGS_MOVE, static_cast<UINT16>(event.a),
                                           static_cast<UINT16>(event.b));
            break;
        case InputEvent::MouseButton: {
            UINT16 flags = 0;
            switch (event.a) {
            case 1:
                flags = PTR_FLAGS_BUTTON1;
                break;
            case 2:
                flags = PTR_FLAGS_BUTTON2;
                break;
            case 4:
                flags = PTR_FLAGS_BUTTON3;
                break;
            default:
                break;
            }
            if (flags == 0) {
                break;
            }
            if (event.b != 0) {
                flags |= PTR_FLAGS_DOWN;
            }
            freerdp_input_send_mouse_event(input, flags, static_cast<UINT16>(event.c),
                                           static_cast<UINT16>(event.d));
            break;
        }
        case InputEvent::Wheel:
            for (const quint16 flags : wheelPointerFlags(event.a)) {
                freerdp_input_send_mouse_event(input, flags, static_cast<UINT16>(event.b),
                                               static_cast<UINT16>(event.c));
            }
            break;
        case InputEvent::Key: {
            const quint32 code = rdpScanCode(event.a, event.b);
            if (code != 0) {
                freerdp_compat::sendKeyboardEvent(input, event.c != 0 ? TRUE : FALSE,
                                                  event.d != 0 ? TRUE : FALSE, code);
            }
            break;
        }
        case InputEvent::Text:
            for (const QChar unit : event.text) {
                freerdp_input_send_unicode_keyboard_event(input, 0, unit.unicode());
                freerdp_input_send_unicode_keyboard_event(input, KBD_FLAGS_RELEASE, unit.unicode());
            }
            break;
        default:
            break;
        }
    }
}

BOOL FreeRdpSession::Engine::preConnect(freerdp* instance)
{
    rdpContext* context = instance->context;
    if (!context || !context->settings) {
        return FALSE;
    }
    // freerdp_connect clears the abort event on entry; a stop or time-out that came just before that
    // must still end the attempt.
    std::shared_lock lock(linkMutex());
    const FreeRdpSession* session = sessionSlot(context);
    if (!session) {
        return FALSE;
    }
    const FreeRdpSessionState& state = *session->m_state;
    return state.stopRequested.load() || state.connectTimedOut.load() ? FALSE : TRUE;
}

BOOL FreeRdpSession::Engine::postConnect(freerdp* instance)
{
    rdpContext* context = instance->context;
    // BGRX32 is a little-endian 0xXXRRGGBB pixel: the memory layout of QImage::Format_RGB32.
    if (!gdi_init(instance, PIXEL_FORMAT_BGRX32)) {
        SPDLOG_ERROR("FreeRDP GDI 初始化失败");
        return FALSE;
    }
    rdpUpdate* update = context->update;
    update->BeginPaint = &beginPaint;
    update->EndPaint = &endPaint;
    update->DesktopResize = &desktopResize;
    return TRUE;
}

void FreeRdpSession::Engine::postDisconnect(freerdp* instance)
{
    if (instance->context && instance->context->gdi) {
        gdi_free(instance);
    }
}

BOOL FreeRdpSession::Engine::beginPaint(rdpContext* context)
{
    rdpGdi* gdi = context->gdi;
    if (!gdi || !gdi->primary || !gdi->primary->hdc || !gdi->primary->hdc->hwnd) {
        return FALSE;
    }
    HGDI_WND hwnd = gdi->primary->hdc->hwnd;
    if (hwnd->invalid) {
        hwnd->invalid->null = TRUE;
    }
    hwnd->ninvalid = 0;
    return TRUE;
}

BOOL FreeRdpSession::Engine::endPaint(rdpContext* context)
{
    rdpGdi* gdi = context->gdi;
    if (!gdi || !gdi->primary_buffer || gdi->width <= 0 || gdi->height <= 0 ||
        gdi->stride < 4U * static_cast<UINT32>(gdi->width)) {
        return TRUE;
    }
    const HGDI_WND hwnd = gdi->primary && gdi->primary->hdc ? gdi->primary->hdc->hwnd : nullptr;
    if (!hwnd || !hwnd->invalid || hwnd->invalid->null) {
        return TRUE;
    }

    QRect dirty;
    if (hwnd->ninvalid > 0 && hwnd->cinvalid) {
        for (INT32 i = 0; i < hwnd->ninvalid; ++i) {
            const GDI_RGN& rect = hwnd->cinvalid[i];
            dirty |= QRect(rect.x, rect.y, rect.w, rect.h);
        }
    } else {
        dirty = QRect(hwnd->invalid->x, hwnd->invalid->y, hwnd->invalid->w, hwnd->invalid->h);
    }

    // The server's size, which need not be the one asked for.
    const QImage image(gdi->primary_buffer, gdi->width, gdi->height, static_cast<qsizetype>(gdi->stride),
                       QImage::Format_RGB32);
    std::shared_lock lock(linkMutex());
    if (FreeRdpSession* session = sessionSlot(context)) {
        session->storeFrame(image, dirty);
    }
    return TRUE;
}

BOOL FreeRdpSession::Engine::desktopResize(rdpContext* context)
{
    rdpSettings* settings = context->settings;
    if (!context->gdi || !settings) {
        return FALSE;
    }
    return gdi_resize(context->gdi, freerdp_settings_get_uint32(settings, FreeRDP_DesktopWidth),
                      freerdp_settings_get_uint32(settings, FreeRDP_DesktopHeight));
}

DWORD FreeRdpSession::Engine::verifyCertificate(freerdp* instance, const char* host, UINT16 /*port*/,
                                                const char* /*commonName*/, const char* subject,
                                                const char* issuer, const char* fingerprint)
{
    if (!instance || !instance->context) {
        return kReject;
    }
    std::shared_lock lock(linkMutex());
    FreeRdpSession* session = sessionSlot(instance->context);
    if (!session) {
        return kReject;
    }
    return session->checkCertificate(QString::fromUtf8(host), QString::fromUtf8(subject),
                                     QString::fromUtf8(issuer), QString::fromUtf8(fingerprint));
}

FreeRdpSession::FreeRdpSession(QObject* parent)
    : QObject(parent), m_state(std::make_shared<FreeRdpSessionState>())
{
    m_state->owner = this;
    initializeOpenSsl();

    m_connectTimer.setSingleShot(true);
    connect(&m_connectTimer, &QTimer::timeout, this, &FreeRdpSession::onConnectTimeout);
    m_abortTimer.setInterval(kAbortRetryMs);
    connect(&m_abortTimer, &QTimer::timeout, this, [this] {
        abortConnectAttempt(true);
        if (++m_abortRetries >= kMaxAbortRetries) {
            m_abortTimer.stop();
        }
    });
}

FreeRdpSession::~FreeRdpSession()
{
    const bool finished = finishWorker();
    if (!finished) {
        SPDLOG_WARN("FreeRDP 工作线程未能及时结束，会话已与其分离: {}", m_state->remote.name);
    }
    // Cut the worker off: it keeps the shared state, but reports to no one and calls into no session.
    std::unique_lock lock(linkMutex());
    m_state->owner = nullptr;
    if (rdp_freerdp* instance = m_state->instance.load(); instance && instance->context) {
        sessionSlot(instance->context) = nullptr;
    }
}

bool FreeRdpSession::start(const Remote& remote, QSize desktopSize, bool ignoreCertificate,
                           bool legacySecurity, int colorDepth)
{
    if (m_running.exchange(true)) {
        return false;
    }
    if (remote.host.trimmed().isEmpty() || remote.port < 1 || remote.port > 65535) {
        m_running.store(false);
        return false;
    }

    FreeRdpSessionState& state = *m_state;
    state.remote = remote;
    state.desktopSize = desktopSize.expandedTo(QSize(kMinDesktopWidth, kMinDesktopHeight));
    state.ignoreCertificate = ignoreCertificate;
    state.legacySecurity = legacySecurity;
    state.colorDepth = (colorDepth == 16 || colorDepth == 24 || colorDepth == 32) ? colorDepth : 32;
    state.connected.store(false);
    {
        std::lock_guard lock(state.inputMutex);
        state.inputQueue.clear();
    }
    {
        std::lock_guard lock(state.frameMutex);
        state.frame = QImage();
        state.framePending = false;
    }
    state.stopRequested.store(false);
    state.connectTimedOut.store(false);

    SPDLOG_INFO("FreeRDP 开始连接: {} ({}:{}, {}x{}, {} 位色{})", remote.name, remote.host, remote.port,
                state.desktopSize.width(), state.desktopSize.height(), state.colorDepth,
                legacySecurity ? QStringLiteral(", 兼容安全模式") : QString());

    QThread* thread =
        QThread::create([statePointer = m_state]() mutable { Engine::run(std::move(statePointer)); });
    m_worker = thread;
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    connect(thread, &QThread::finished, this, [this, thread] { onWorkerFinished(thread); });
    m_connectTimer.start(m_connectTimeoutSeconds * 1000);
    thread->start(QThread::InheritPriority);
    return true;
}

void FreeRdpSession::stop()
{
    if (!m_worker) {
        return;
    }
    SPDLOG_INFO("FreeRDP 会话停止: {}", m_state->remote.name);
    if (!finishWorker()) {
        SPDLOG_WARN("FreeRDP 工作线程未能及时结束: {}", m_state->remote.name);
    }
}

void FreeRdpSession::setConnectTimeout(int seconds)
{
    m_connectTimeoutSeconds =
        seconds < 1 ? kDefaultConnectTimeoutSeconds : std::min(seconds, kMaxConnectTimeoutSeconds);
}

bool FreeRdpSession::finishWorker()
{
    QThread* worker = m_worker;
    if (!worker) {
        return true;
    }
    m_state->stopRequested.store(true);
    if (QThread::currentThread() == worker) {
        return false;
    }

    abortConnectAttempt(false);
    // The abort alone ends most attempts; the socket is shut down only for one that is still blocked
    // after a moment, so that a connect which is just replacing its transport is not touched.
    const QDeadlineTimer deadline(kStopWaitMs);
    while (!worker->wait(QDeadlineTimer(std::min<qint64>(kAbortRetryMs, deadline.remainingTime())))) {
        if (deadline.hasExpired()) {
            return false;
        }
        abortConnectAttempt(true);
    }
    return true;
}

void FreeRdpSession::abortConnectAttempt(bool shutdownSocket)
{
    FreeRdpSessionState& state = *m_state;
    std::lock_guard lock(state.connectMutex);
    if (!state.connecting || state.connected.load()) {
        return;
    }
    rdp_freerdp* instance = state.instance.load();
    if (!instance || !instance->context) {
        return;
    }
    if (!state.abortIssued) {
        state.abortIssued = true;
        freerdp_compat::abortConnect(instance->context);
    }
    if (shutdownSocket) {
        shutdownTransportSockets(instance->context);
    }
}

void FreeRdpSession::onConnectTimeout()
{
    if (!m_worker || m_state->connected.load()) {
        return;
    }
    SPDLOG_WARN("FreeRDP 连接超过 {} 秒，结束连接: {}", m_connectTimeoutSeconds, m_state->remote.name);
    m_state->connectTimedOut.store(true);
    abortConnectAttempt(false);
    m_abortRetries = 0;
    m_abortTimer.start();
}

void FreeRdpSession::onWorkerFinished(QThread* thread)
{
    if (thread != m_worker) {
        return;
    }
    m_worker = nullptr;
    m_connectTimer.stop();
    m_abortTimer.stop();
    m_running.store(false);
    SPDLOG_INFO("FreeRDP 会话已结束: {}", m_state->remote.name);
    emit disconnected();
}

void FreeRdpSession::queueInput(InputEvent event)
{
    if (!m_running.load()) {
        return;
    }
    FreeRdpSessionState& state = *m_state;
    std::lock_guard lock(state.inputMutex);
    std::deque<InputEvent>& queue = state.inputQueue;
    if (event.kind == InputEvent::MouseMove) {
        if (!queue.empty() && queue.back().kind == InputEvent::MouseMove) {
            queue.back().a = event.a;
            queue.back().b = event.b;
            return;
        }
        if (queue.size() >= static_cast<size_t>(kMaxQueuedEvents)) {
            return;
        }
    }
    queue.push_back(std::move(event));
}

void FreeRdpSession::sendMouseMove(int x, int y)
{
    queueInput({InputEvent::MouseMove, clampCoordinate(x), clampCoordinate(y), 0, 0, {}});
}

void FreeRdpSession::sendMouseButton(int button, bool pressed, int x, int y)
{
    queueInput(
        {InputEvent::MouseButton, button, pressed ? 1 : 0, clampCoordinate(x), clampCoordinate(y), {}});
}

void FreeRdpSession::sendWheel(int delta, int x, int y)
{
    if (delta == 0) {
        return;
    }
    queueInput({InputEvent::Wheel,
                std::clamp(delta, -kMaxWheelDelta, kMaxWheelDelta),
                clampCoordinate(x),
                clampCoordinate(y),
                0,
                {}});
}

void FreeRdpSession::sendKey(int virtualKey, int scanCode, bool pressed, bool autoRepeat)
{
    queueInput({InputEvent::Key, virtualKey, scanCode, pressed ? 1 : 0, autoRepeat ? 1 : 0, {}});
}

void FreeRdpSession::sendText(const QString& text)
{
    if (text.isEmpty()) {
        return;
    }
    queueInput({InputEvent::Text, 0, 0, 0, 0, text.left(kMaxTextUnits)});
}

void FreeRdpSession::storeFrame(const QImage& image, const QRect& dirtyArea)
{
    FreeRdpSessionState& state = *m_state;
    bool schedule = false;
    {
        std::lock_guard lock(state.frameMutex);
        const QRect bounds = image.rect();
        const QRect dirty = dirtyArea.isValid() ? dirtyArea.intersected(bounds) : bounds;
        if (dirty.isEmpty()) {
            return;
        }
        QImage& frame = state.frame;
        if (frame.size() == image.size() && frame.format() == QImage::Format_RGB32) {
            const qsizetype offset = qsizetype(dirty.left()) * 4;
            const size_t bytes = size_t(dirty.width()) * 4;
            for (int y = dirty.top(); y <= dirty.bottom(); ++y) {
                std::memcpy(frame.scanLine(y) + offset, image.constScanLine(y) + offset, bytes);
            }
        } else {
            frame = image.copy();
        }
        if (!state.framePending) {
            state.framePending = true;
            schedule = true;
        }
    }
    if (schedule) {
        QMetaObject::invokeMethod(this, &FreeRdpSession::scheduleFrameDelivery, Qt::QueuedConnection);
    }
}

void FreeRdpSession::scheduleFrameDelivery()
{
    QTimer::singleShot(kFrameIntervalMs, Qt::PreciseTimer, this, &FreeRdpSession::deliverFrame);
}

void FreeRdpSession::deliverFrame()
{
    QImage copy;
    {
        std::lock_guard lock(m_state->frameMutex);
        copy = m_state->frame.copy();
        m_state->framePending = false;
    }
    if (!copy.isNull()) {
        emit frameReady(copy);
    }
}

quint32 FreeRdpSession::checkCertificate(const QString& host, const QString& subject, const QString& issuer,
                                         const QString& fingerprint)
{
    const FreeRdpSessionState& state = *m_state;
    if (state.ignoreCertificate) {
        return kAcceptForThisSession;
    }

    const QString presented = normalizeFingerprint(fingerprint);
    const QString stored = normalizeFingerprint(state.remote.rdp_certificate_fingerprint);
    if (!presented.isEmpty()) {
        if (stored.isEmpty()) {
            SPDLOG_INFO("首次连接，记录服务器证书指纹: {} ({})", state.remote.name, host);
            const QString remoteId = state.remote.id;
            QMetaObject::invokeMethod(
                this, [this, remoteId, fingerprint] { emit certificateTrusted(remoteId, fingerprint); },
                Qt::QueuedConnection);
            return kAcceptForThisSession;
        }
        if (presented == stored) {
            return kAcceptForThisSession;
        }
    }

    SPDLOG_WARN("服务器证书与记录不符，已拒绝: {} ({}) 指纹 {}", state.remote.name, host, fingerprint);
    QMetaObject::invokeMethod(
        this,
        [this, host, subject, issuer, fingerprint] {
            emit certificateRejected(host, subject, issuer, fingerprint);
        },
        Qt::QueuedConnection);
    return kReject;
}

QString FreeRdpSession::normalizeFingerprint(const QString& fingerprint)
{
    QString normalized = fingerprint;
    normalized.remove(QLatin1Char(':'));
    return normalized.trimmed().toCaseFolded();
}

quint32 FreeRdpSession::rdpScanCode(int virtualKey, int scanCode)
{
    // winpr answers unmapped keys with scan code 0 (extended or not); only a real code counts.
    const auto lookup = [](DWORD vk) -> DWORD {
        const DWORD code = GetVirtualScanCodeFromVirtualKeyCode(vk, freerdp_compat::kKeyboardTypeIbmEnhanced);
        return (code & 0xFF) != 0 ? code : 0;
    };
    DWORD code = 0;
    if (virtualKey != 0) {
        // Combinations send the side-neutral modifiers, which the tables know only by side.
        const auto vk = static_cast<DWORD>(KeyTranslator::sidedVirtualKey(virtualKey & 0xFF));
        code = lookup(vk);
        if (code == 0) {
            // Extended keys (arrows, navigation block, right-hand modifiers) are found only when asked for.
            code = lookup(vk | KBDEXT);
        }
    }
    if (code == 0) {
        code = static_cast<DWORD>(scanCode);
    }
    if (code == 0) {
        return 0;
    }
    // A non-zero high byte is an E0/E1 prefix (or winpr's KBDEXT): the RDP extended flag.
    return (code & 0xFF) | ((code & 0xFF00) != 0 ? KBDEXT : 0);
}

QList<quint16> FreeRdpSession::wheelPointerFlags(int delta)
{
    // The rotation is a 9-bit two's-complement field (-256..255); larger turns go out as several events.
    QList<quint16> flags;
    int remaining = std::clamp(delta, -kMaxWheelDelta, kMaxWheelDelta);
    while (remaining != 0) {
        const int step = std::clamp(remaining, -256, 255);
        remaining -= step;
        quint16 value = PTR_FLAGS_WHEEL | (static_cast<quint16>(step) & WheelRotationMask);
        if (step < 0) {
            value |= PTR_FLAGS_WHEEL_NEGATIVE;
        }
        flags.append(value);
    }
    return flags;
}
