#include "rdp/freerdp_session.h"

#include "logger.h"
#include "platform/memory_release.h"
#include "platform/secure_memory.h"
#include "rdp/freerdp_clipboard.h"
#include "rdp/freerdp_compat.h"
#include "rdp/freerdp_reconnect.h"
#include "rdp/rdp_certificate_probe.h"

#include <freerdp/client/cmdline.h>
#include <freerdp/codecs.h>
#include <freerdp/event.h>
#include <freerdp/gdi/gdi.h>
#include <freerdp/settings.h>
#include <winpr/handle.h>
#include <winpr/synch.h>

#include <openssl/provider.h>
#include <sodium.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QMetaObject>
#include <QScopeGuard>
#include <QThread>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <shared_mutex>
#include <utility>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

constexpr int kMinDesktopWidth = 640;
constexpr int kMinDesktopHeight = 480;
constexpr int kMaxCoordinate = 65535;
constexpr DWORD kMaxEventHandles = 64;
// FreeRDP's handles signal every arrival and the wake event every request, so the wait only times out to
// look for data that TLS may have buffered without a signal; a rare look keeps idle sessions asleep.
constexpr DWORD kEventWaitMs = 500;
// A session that delivered no frame for this long has come to rest.
constexpr int kQuietMs = 1500;
// Beyond this many rectangles a painted area is kept as its bounding rectangle.
constexpr int kMaxDirtyRects = 32;
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

// NLA among the negotiated security protocols (MS-RDPBCGR RDP_NEG_RSP); FreeRDP 2 keeps the names private.
constexpr UINT32 kProtocolHybrid = 0x00000002;
constexpr UINT32 kProtocolHybridEx = 0x00000008;
// How long a failed transport may take to show whether its port refuses or does not answer.
constexpr int kDiagnosisMs = 3000;

// Keeps sessions alive while a worker thread calls into them. A session that has to leave a worker
// behind takes it exclusively to cut the worker off; every other holder only shares it.
std::shared_mutex& linkMutex()
{
    static std::shared_mutex mutex;
    return mutex;
}

// FreeRDP's context with two extra slots: the session that owns the connection, and the state the
// worker shares with it (alive as long as the worker runs, whether or not the session still is).
struct SessionContext
{
    rdpContext context;
    FreeRdpSession* session;
    FreeRdpSessionState* state;
};

FreeRdpSession*& sessionSlot(rdpContext* context)
{
    return reinterpret_cast<SessionContext*>(context)->session;
}

FreeRdpSessionState*& stateSlot(rdpContext* context)
{
    return reinterpret_cast<SessionContext*>(context)->state;
}

void addDirty(QRegion& region, const QRegion& area)
{
    region += area;
    if (region.rectCount() > kMaxDirtyRects) {
        region = region.boundingRect();
    }
}

// The session offers neither RemoteFX nor the graphics pipeline, so the decoders only those use are
// never called; RemoteFX and progressive keep a thread pool each, and all of them memory. FreeRDP
// checks every one of these for null before it resets or frees it.
void dropUnusedCodecs(rdpContext* context)
{
    rdpCodecs* codecs = context->codecs;
    if (!codecs) {
        return;
    }
    if (codecs->rfx) {
        rfx_context_free(std::exchange(codecs->rfx, nullptr));
    }
    if (codecs->progressive) {
        progressive_context_free(std::exchange(codecs->progressive, nullptr));
    }
    if (codecs->clear) {
        clear_context_free(std::exchange(codecs->clear, nullptr));
    }
    if (codecs->h264) {
        h264_context_free(std::exchange(codecs->h264, nullptr));
    }
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
    // freerdp_get_event_handles reads the transport's BIOs, which a connect that has just failed frees
    // before its return: called then, it reads freed memory. Only a worker that sits in a read or a
    // wait is certain to leave them alone (the caller checks that first).
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

// Whether thread `threadId` of this process is blocked in a read or a wait (not running FreeRDP's code),
// from the kernel's view of it.
bool threadWaitsInRead(long threadId)
{
#if defined(__linux__)
    if (threadId <= 0) {
        return false;
    }
    QFile file(QStringLiteral("/proc/self/task/%1/syscall").arg(threadId));
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    bool ok = false;
    const long number = QString::fromLatin1(file.readLine(64)).section(u' ', 0, 0).toLong(&ok);
    if (!ok) {
        return false; // "running", or unreadable
    }
    static const long waits[] = {
        SYS_read,
        SYS_recvfrom,
        SYS_recvmsg,
        SYS_ppoll,
        SYS_pselect6,
        SYS_epoll_pwait,
#if defined(SYS_poll)
        SYS_poll,
        SYS_select,
        SYS_epoll_wait,
#endif
    };
    return std::find(std::begin(waits), std::end(waits), number) != std::end(waits);
#else
    (void)threadId;
    return true;
#endif
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

// While connecting, WinPR's NTLM and FreeRDP copy the password (the signed copy of the CredSSP
// credentials, the Client Info PDU's UTF-16 password) and free the copies without clearing them, out of
// reach of this program. They were freed on this thread, so they wait in its malloc cache: taking the
// small blocks the cache and the fast bins hold, clearing and returning them overwrites them.
// (glibc's M_PERTURB would not: it leaves blocks that go to the per-thread cache untouched.) About a
// thousand small blocks, once per connection attempt.
void clearFreedSmallBlocks()
{
#if defined(__GLIBC__)
    constexpr size_t kSmallest = 24;
    constexpr size_t kLargest = 1032; // the largest request the per-thread cache serves
    constexpr size_t kStep = 16;
    constexpr size_t kPerSize = 16; // the cache holds 7 of a size; the rest come from the fast bins
    std::vector<void*> blocks;
    blocks.reserve(((kLargest - kSmallest) / kStep + 1) * kPerSize);
    for (size_t size = kSmallest; size <= kLargest; size += kStep) {
        for (size_t i = 0; i < kPerSize; ++i) {
            void* block = std::malloc(size);
            if (!block) {
                break;
            }
            sodium_memzero(block, malloc_usable_size(block));
            blocks.push_back(block);
        }
    }
    for (void* block : blocks) {
        std::free(block);
    }
#endif
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
        ~Credentials() { SecureMemory::wipe(password); }
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
    static void channelConnected(void* context, ChannelConnectedEventArgs* event);
    static void channelDisconnected(void* context, ChannelDisconnectedEventArgs* event);
    static void releaseFrameSource(FreeRdpSessionState& state);
    // Notes `dirty` of `image` for the next delivery; true when a delivery has to be scheduled.
    // frameMutex must be held.
    static bool gatherFrame(FreeRdpSessionState& state, const QImage& image, const QRegion& dirty);
    static DWORD verifyCertificate(freerdp* instance, const char* host, UINT16 port, const char* commonName,
                                   const char* subject, const char* issuer, const char* fingerprint);

    static bool applySettings(rdpSettings* settings, const FreeRdpSessionState& state,
                              const Credentials& credentials);
    static void runEventLoop(FreeRdpSessionState& state, rdpContext* context);
    static void reportConnectFailure(FreeRdpSessionState& state, rdpContext* context);
    static void reportRemoteEnd(FreeRdpSessionState& state, freerdp* instance);
    static FreeRdpReconnect::Outcome reconnect(FreeRdpSessionState& state, freerdp* instance);

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
        post(state, [message, code](FreeRdpSession* session) {
            emit session->errorOccurred(message, code, RdpFailure::ClientError);
        });
    }
};

void FreeRdpSession::Engine::run(std::shared_ptr<FreeRdpSessionState> statePointer)
{
    FreeRdpSessionState& state = *statePointer;
#if defined(__linux__)
    state.workerThreadId.store(static_cast<long>(::syscall(SYS_gettid)));
#endif
#if defined(_WIN32)
    // Every worker starts Winsock for itself and ends its share when it ends.
    WSADATA winsock;
    if (WSAStartup(MAKEWORD(2, 2), &winsock) != 0) {
        postError(state, QStringLiteral("Windows 网络初始化失败"), 0);
        return;
    }
    const auto winsockCleanup = qScopeGuard([] { WSACleanup(); });
#endif

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
        stateSlot(context) = &state;
        state.instance.store(instance);
    }

    bool ok = false;
    {
        const Credentials creds(state.remote);
        ok = applySettings(context->settings, state, creds);
    }
    SecureMemory::wipe(state.remote.password);

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
        clearFreedSmallBlocks();
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
        bool gaveUp = false;
        for (;;) {
            if (state.painting) {
                // A paint FreeRDP began and never ended.
                state.painting = false;
                state.frameMutex.unlock();
            }
            const FreeRdpReconnect::Outcome outcome = reconnect(state, instance);
            if (outcome != FreeRdpReconnect::Outcome::Reconnected) {
                gaveUp = outcome == FreeRdpReconnect::Outcome::GaveUp;
                break;
            }
            runEventLoop(state, context);
        }
        if (gaveUp) {
            const quint32 code = freerdp_get_last_error(context);
            const QString reason =
                QStringLiteral("网络连接已中断，重新连接 %1 次均未成功").arg(state.reconnectAttempts);
            SPDLOG_INFO("FreeRDP 重新连接均未成功: {} (最后错误 0x{:08X})", state.remote.name, code);
            post(state, [reason](FreeRdpSession* session) { emit session->remoteEnded(reason, 0); });
        } else {
            reportRemoteEnd(state, instance);
        }
        freerdp_disconnect(instance);
    }

    if (context->gdi) {
        releaseFrameSource(state);
        gdi_free(instance);
    }
    wipeSettingsPassword(context->settings);
    state.passwordHeld.store(false);
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
        // The bandwidth profile: wallpaper, themes, font smoothing, composition, window drag and menu
        // animations as FreeRDP's own clients set them for that connection type.
        freerdp_set_connection_type(settings, state.connectionType) &&
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
    const quint32 code = freerdp_get_last_error(context);
    const char* english = code != 0 ? freerdp_get_last_error_string(code) : nullptr;
    const QString detail = english ? QString::fromUtf8(english).trimmed() : QString();
    const Remote& remote = state.remote;
    if (state.stopRequested.load() && !state.connectTimedOut.load()) {
        // Ended on request: no failure to show.
        SPDLOG_INFO("FreeRDP 连接已取消: {} ({}:{})", remote.name, remote.host, remote.port);
        return;
    }

    RdpFailure failure = RdpErrorText::fromFreeRdpError(code);
    if (state.connectTimedOut.load()) {
        failure = RdpFailure::TimedOut;
    } else if (state.certificateRejected.load()) {
        failure = RdpFailure::CertificateRejected;
    } else if (failure == RdpFailure::Cancelled) {
        failure = RdpFailure::ConnectionLost; // aborted by nobody here: FreeRDP gave up by itself
    }
    if (RdpErrorText::needsDiagnosis(failure)) {
        // FreeRDP says only that the transport failed; the port itself tells refused from unreachable.
        failure =
            RdpErrorText::diagnoseConnection(remote.host.trimmed(), static_cast<quint16>(remote.port),
                                             kDiagnosisMs, [&state] { return state.stopRequested.load(); });
    }
    // The server chose NLA and hung up before the session was up: it did so while it checked the
    // credentials, which is how a server that gives no reason turns down a wrong password.
    const UINT32 selected = freerdp_settings_get_uint32(context->settings, FreeRDP_SelectedProtocol);
    if (failure == RdpFailure::ConnectionLost && (selected & (kProtocolHybrid | kProtocolHybridEx)) != 0) {
        failure = RdpFailure::LogonAborted;
    }
    const QString reason = RdpErrorText::reason(failure, state.connectTimeoutSeconds, code);
    SPDLOG_WARN("FreeRDP 连接失败: {} ({}:{}) {} [0x{:08X}] → {}", remote.name, remote.host, remote.port,
                detail, code, reason);
    post(state, [reason, code, failure](FreeRdpSession* session) {
        emit session->errorOccurred(reason, code, failure);
    });
}

FreeRdpReconnect::Outcome FreeRdpSession::Engine::reconnect(FreeRdpSessionState& state, freerdp* instance)
{
    FreeRdpReconnect::Hooks hooks;
    hooks.attempting = [&state](int attempt, int attempts) {
        SPDLOG_INFO("FreeRDP 连接中断，重新连接（第 {}/{} 次）: {}", attempt, attempts, state.remote.name);
        post(state,
             [attempt, attempts](FreeRdpSession* session) { emit session->reconnecting(attempt, attempts); });
    };
    hooks.wipePassword = [&state, instance] {
        wipeSettingsPassword(instance->context->settings);
        state.passwordHeld.store(false);
    };
    const FreeRdpReconnect::Outcome outcome = FreeRdpReconnect::run(state, instance, hooks);
    if (outcome == FreeRdpReconnect::Outcome::Reconnected) {
        // FreeRDP made its decoders anew for the new connection.
        dropUnusedCodecs(instance->context);
        {
            // What was typed while the session was down is not sent to it late.
            std::lock_guard lock(state.inputMutex);
            state.inputQueue.clear();
        }
        SPDLOG_INFO("FreeRDP 已重新连接: {}", state.remote.name);
        post(state, [](FreeRdpSession* session) { emit session->reconnected(); });
    }
    return outcome;
}

void FreeRdpSession::Engine::reportRemoteEnd(FreeRdpSessionState& state, freerdp* instance)
{
    if (state.stopRequested.load()) {
        return;
    }
    const quint32 info = freerdp_error_info(instance);
    const quint32 code = freerdp_get_last_error(instance->context);
    const QString reason = RdpErrorText::reason(RdpErrorText::fromErrorInfo(info), 0, info);
    SPDLOG_INFO("FreeRDP 会话被远端结束: {} (错误信息 0x{:08X}, 最后错误 0x{:08X}) {}", state.remote.name,
                info, code, reason);
    post(state, [reason, info](FreeRdpSession* session) { emit session->remoteEnded(reason, info); });
}

void FreeRdpSession::Engine::runEventLoop(FreeRdpSessionState& state, rdpContext* context)
{
    // The last answers of the connection sequence may have brought more with them (the first paint, say)
    // that FreeRDP 2's TLS layer already holds decrypted, where no handle signals it.
    if (!freerdp_check_event_handles(context)) {
        SPDLOG_INFO("FreeRDP 连接已断开: {}", state.remote.name);
        return;
    }
    HANDLE handles[kMaxEventHandles + 1] = {};
    for (;;) {
        // Reset before the stop flag and the queue are looked at: a stop or input that comes after
        // that sets it again.
        ResetEvent(state.wakeEvent);
        if (state.stopRequested.load() || freerdp_compat::shallDisconnect(context)) {
            break;
        }
        if (state.wipeRequested.exchange(false)) {
            wipeSettingsPassword(context->settings);
            state.passwordHeld.store(false);
        }
        std::deque<InputEvent> events;
        {
            std::lock_guard lock(state.inputMutex);
            events.swap(state.inputQueue);
        }
        FreeRdpInput::send(context->input, events);

        DWORD count = freerdp_get_event_handles(context, handles, kMaxEventHandles);
        if (count == 0) {
            SPDLOG_WARN("FreeRDP 事件句柄获取失败: {}", state.remote.name);
            break;
        }
        handles[count++] = state.wakeEvent;
        // A time-out also goes on to the check: FreeRDP 2's TLS layer may hold decrypted data that no
        // handle signals any more.
        const DWORD status = WaitForMultipleObjects(count, handles, FALSE, state.idleWaitMs.load());
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
    FreeRdpSessionState& state = *session->m_state;
    if (state.stopRequested.load() || state.connectTimedOut.load()) {
        return FALSE;
    }
    // Once per start the settings; before every connection (a reconnect is a new one) the add-ins.
    if (!state.channelsConfigured) {
        state.channelsConfigured = true;
        PubSub_SubscribeChannelConnected(context->pubSub, &channelConnected);
        PubSub_SubscribeChannelDisconnected(context->pubSub, &channelDisconnected);
        if (!FreeRdpChannels::configure(context, state.channelSelection)) {
            return FALSE;
        }
    }
    return FreeRdpChannels::load(context) ? TRUE : FALSE;
}

void FreeRdpSession::Engine::channelConnected(void* context, ChannelConnectedEventArgs* event)
{
    FreeRdpSessionState* state = stateSlot(static_cast<rdpContext*>(context));
    if (!state) {
        return;
    }
    if (_cliprdr_client_context* clipboard = state->channels.connected(event->name, event->pInterface)) {
        FreeRdpClipboard::hook(clipboard, state);
    }
}

void FreeRdpSession::Engine::channelDisconnected(void* context, ChannelDisconnectedEventArgs* event)
{
    FreeRdpSessionState* state = stateSlot(static_cast<rdpContext*>(context));
    if (!state) {
        return;
    }
    state->channels.disconnected(event->name, event->pInterface);
    post(*state, [](FreeRdpSession* session) {
        if (session->m_clipboard) {
            session->m_clipboard->onChannelClosed();
        }
    });
}

BOOL FreeRdpSession::Engine::postConnect(freerdp* instance)
{
    rdpContext* context = instance->context;
    // BGRX32 is a little-endian 0xXXRRGGBB pixel: the memory layout of QImage::Format_RGB32.
    if (!gdi_init(instance, PIXEL_FORMAT_BGRX32)) {
        SPDLOG_ERROR("FreeRDP GDI 初始化失败");
        return FALSE;
    }
    dropUnusedCodecs(context);
    rdpUpdate* update = context->update;
    update->BeginPaint = &beginPaint;
    update->EndPaint = &endPaint;
    update->DesktopResize = &desktopResize;
    return TRUE;
}

void FreeRdpSession::Engine::postDisconnect(freerdp* instance)
{
    if (instance->context && instance->context->gdi) {
        if (FreeRdpSessionState* state = stateSlot(instance->context)) {
            releaseFrameSource(*state);
        }
        gdi_free(instance);
    }
}

void FreeRdpSession::Engine::releaseFrameSource(FreeRdpSessionState& state)
{
    // The frame buffer is about to go: the GUI thread must not read it any more.
    const bool locked = !state.painting;
    if (locked) {
        state.frameMutex.lock();
    }
    state.frameSource = QImage();
    state.frameDirty = QRegion();
    if (locked) {
        state.frameMutex.unlock();
    }
}

BOOL FreeRdpSession::Engine::beginPaint(rdpContext* context)
{
    // FreeRDP draws into its frame buffer only between BeginPaint and EndPaint; the lock keeps the GUI
    // thread's copies out of that.
    if (FreeRdpSessionState* state = stateSlot(context); state && !state->painting) {
        state->frameMutex.lock();
        state->painting = true;
    }
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
    FreeRdpSessionState* state = stateSlot(context);
    if (!state || !state->painting) {
        return TRUE;
    }
    bool schedule = false;
    rdpGdi* gdi = context->gdi;
    const HGDI_WND hwnd = gdi && gdi->primary && gdi->primary->hdc ? gdi->primary->hdc->hwnd : nullptr;
    if (gdi && gdi->primary_buffer && gdi->width > 0 && gdi->height > 0 &&
        gdi->stride >= 4U * static_cast<UINT32>(gdi->width) && hwnd && hwnd->invalid &&
        !hwnd->invalid->null) {
        QRegion dirty;
        if (hwnd->ninvalid > 0 && hwnd->cinvalid) {
            for (INT32 i = 0; i < hwnd->ninvalid; ++i) {
                const GDI_RGN& rect = hwnd->cinvalid[i];
                addDirty(dirty, QRect(rect.x, rect.y, rect.w, rect.h));
            }
        } else {
            dirty = QRect(hwnd->invalid->x, hwnd->invalid->y, hwnd->invalid->w, hwnd->invalid->h);
        }
        // The frame buffer itself, at the server's size (which need not be the one asked for). A new
        // buffer counts as painted all over.
        QImage& source = state->frameSource;
        if (source.constBits() != gdi->primary_buffer || source.width() != gdi->width ||
            source.height() != gdi->height || source.bytesPerLine() != static_cast<qsizetype>(gdi->stride)) {
            source = QImage(gdi->primary_buffer, gdi->width, gdi->height, static_cast<qsizetype>(gdi->stride),
                            QImage::Format_RGB32);
            dirty = source.rect();
        }
        schedule = gatherFrame(*state, source, dirty);
    }
    state->painting = false;
    state->frameMutex.unlock();
    if (schedule) {
        post(*state, [](FreeRdpSession* session) { session->scheduleFrameDelivery(); });
    }
    return TRUE;
}

bool FreeRdpSession::Engine::gatherFrame(FreeRdpSessionState& state, const QImage& image,
                                         const QRegion& dirty)
{
    QRegion area = dirty & image.rect();
    if (area.isEmpty()) {
        return false;
    }
    if (state.frameSource.size() != image.size()) {
        area = image.rect();
    }
    if (state.frameSource.cacheKey() != image.cacheKey()) {
        state.frameSource =
            image.format() == QImage::Format_RGB32 ? image : image.convertToFormat(QImage::Format_RGB32);
    }
    addDirty(state.frameDirty, area);
    return !std::exchange(state.framePending, true);
}

BOOL FreeRdpSession::Engine::desktopResize(rdpContext* context)
{
    rdpSettings* settings = context->settings;
    FreeRdpSessionState* state = stateSlot(context);
    if (!context->gdi || !settings || !state) {
        return FALSE;
    }
    // gdi_resize replaces the frame buffer.
    const bool locked = !state->painting;
    if (locked) {
        state->frameMutex.lock();
    }
    state->frameSource = QImage();
    state->frameDirty = QRegion();
    const BOOL resized = gdi_resize(context->gdi, freerdp_settings_get_uint32(settings, FreeRDP_DesktopWidth),
                                    freerdp_settings_get_uint32(settings, FreeRDP_DesktopHeight));
    dropUnusedCodecs(context);
    if (locked) {
        state->frameMutex.unlock();
    }
    return resized;
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

FreeRdpSessionState::FreeRdpSessionState()
    : wakeEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)), idleWaitMs(kEventWaitMs)
{
}

FreeRdpSessionState::~FreeRdpSessionState()
{
    if (wakeEvent) {
        CloseHandle(wakeEvent);
    }
}

FreeRdpSession::FreeRdpSession(QObject* parent)
    : QObject(parent), m_state(std::make_shared<FreeRdpSessionState>()), m_clock(&steadyClock())
{
    m_state->owner = this;
    initializeOpenSsl();
    m_state->channels.setDisplayControlHandler([state = m_state.get()] {
        Engine::post(*state, [](FreeRdpSession* session) { emit session->displayControlReady(); });
    });
    // Until options are set, a dropped session is not connected again and nothing is shared.
    m_options.reconnect = false;
    m_options.clipboard = false;
    m_options.printers = false;
    m_options.audio = AudioMode::None;

    m_connectTimer.setSingleShot(true);
    connect(&m_connectTimer, &QTimer::timeout, this, &FreeRdpSession::onConnectTimeout);
    m_abortTimer.setInterval(kAbortRetryMs);
    connect(&m_abortTimer, &QTimer::timeout, this, [this] {
        abortConnectAttempt(true);
        if (++m_abortRetries >= kMaxAbortRetries) {
            m_abortTimer.stop();
        }
    });
    m_frameTimer.setSingleShot(true);
    m_frameTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_frameTimer, &QTimer::timeout, this, &FreeRdpSession::deliverFrame);
    m_quietTimer.setSingleShot(true);
    m_quietTimer.setInterval(kQuietMs);
    connect(&m_quietTimer, &QTimer::timeout, this, &FreeRdpSession::onQuiet);
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
    // A copy shared with the caller's could not be wiped in place by the worker.
    state.remote.password = QString(remote.password.constData(), remote.password.size());
    state.passwordHeld.store(!remote.password.isEmpty());
    state.wipeRequested.store(false);
    state.desktopSize = desktopSize.expandedTo(QSize(kMinDesktopWidth, kMinDesktopHeight));
    state.ignoreCertificate = ignoreCertificate;
    state.legacySecurity = legacySecurity;
    state.colorDepth = (colorDepth == 16 || colorDepth == 24 || colorDepth == 32) ? colorDepth : 32;
    state.connectionType = m_options.connectionType();
    state.reconnectAttempts = m_options.reconnectAttempts();
    state.reconnectPauseMs.store(static_cast<std::uint32_t>(m_options.reconnectIntervalSeconds) * 1000U);
    state.channelSelection = FreeRdpChannels::select(m_options);
    state.channelsConfigured = false;
    delete m_clipboard;
    m_clipboard = nullptr;
    // The local clipboard needs a GUI.
    if (m_options.clipboard && qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        m_clipboard = new FreeRdpClipboard(state.channels, this);
        m_clipboard->setFilesAllowed(m_options.clipboardFiles);
        connect(m_clipboard, &FreeRdpClipboard::failed, this, &FreeRdpSession::clipboardFailed);
        m_clipboard->setActive(m_clipboardActive);
    } else {
        state.channelSelection.clipboard = false;
    }
    state.connected.store(false);
    {
        std::lock_guard lock(state.inputMutex);
        state.inputQueue.clear();
    }
    {
        std::lock_guard lock(state.frameMutex);
        state.frameSource = QImage();
        state.frameDirty = QRegion();
        state.framePending = false;
    }
    m_frameTimer.stop();
    state.stopRequested.store(false);
    if (state.wakeEvent) {
        ResetEvent(state.wakeEvent);
    }
    state.connectTimedOut.store(false);
    state.certificateRejected.store(false);
    state.connectTimeoutSeconds = m_connectTimeoutSeconds;

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

void FreeRdpSession::wipePassword()
{
    if (!m_worker) {
        // No worker, so nothing else touches the state.
        SecureMemory::wipe(m_state->remote.password);
        m_state->passwordHeld.store(false);
        return;
    }
    m_state->wipeRequested.store(true);
    if (m_state->wakeEvent) {
        SetEvent(m_state->wakeEvent);
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
    if (m_state->wakeEvent) {
        SetEvent(m_state->wakeEvent);
    }
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
    if (shutdownSocket && threadWaitsInRead(state.workerThreadId.load())) {
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
    {
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
    if (state.wakeEvent) {
        SetEvent(state.wakeEvent);
    }
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
                std::clamp(delta, -FreeRdpInput::kMaxWheelDelta, FreeRdpInput::kMaxWheelDelta),
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

void FreeRdpSession::storeFrame(const QImage& image, const QRect& dirty)
{
    bool schedule = false;
    {
        std::lock_guard lock(m_state->frameMutex);
        schedule =
            Engine::gatherFrame(*m_state, image, dirty.isValid() ? QRegion(dirty) : QRegion(image.rect()));
    }
    if (schedule) {
        QMetaObject::invokeMethod(this, &FreeRdpSession::scheduleFrameDelivery, Qt::QueuedConnection);
    }
}

void FreeRdpSession::scheduleFrameDelivery()
{
    if (m_frameTimer.isActive()) {
        return;
    }
    const qint64 since = m_lastDeliveryMs ? m_clock->nowMs() - *m_lastDeliveryMs : kFrameIntervalMs;
    if (since >= kFrameIntervalMs || since < 0) {
        deliverFrame();
    } else {
        m_frameTimer.start(int(kFrameIntervalMs - since));
    }
}

void FreeRdpSession::deliverFrame()
{
    FreeRdpSessionState& state = *m_state;
    std::unique_lock lock(state.frameMutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        // The worker is painting; the GUI thread does not wait for it.
        m_frameTimer.start(kFrameRetryMs);
        return;
    }
    state.framePending = false;
    QRegion dirty = std::exchange(state.frameDirty, QRegion());
    const QImage& source = state.frameSource;
    if (std::exchange(m_wholeFrameWanted, false) && !source.isNull()) {
        dirty = source.rect();
    }
    if (source.isNull() || dirty.isEmpty()) {
        return;
    }
    if (source.size() != m_frameSize) {
        m_frameSize = source.size();
        dirty = source.rect();
    }
    m_lastDeliveryMs = m_clock->nowMs();
    m_quietTimer.start();
    // Receivers take what they need from the one frame buffer while the worker cannot paint into it:
    // no copy of the whole frame is made or kept on this side.
    m_reading = &source;
    emit frameReady(dirty);
    m_reading = nullptr;
}

const QImage& FreeRdpSession::frame() const
{
    static const QImage none;
    return m_reading ? *m_reading : none;
}

void FreeRdpSession::requestFullFrame()
{
    // Noted on this side, so that the GUI thread never waits for a paint in progress (a wall restored
    // from a zoomed tile asks this of every session at once).
    m_wholeFrameWanted = true;
    scheduleFrameDelivery();
}

void FreeRdpSession::onQuiet()
{
    // While it changed, the session's decoders and the picture's updates freed memory that the C library
    // keeps for reuse; at rest it goes back to the system.
    MemoryRelease::releaseFreedSoon();
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
    m_state->certificateRejected.store(true);
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
    return RdpCertificateProbe::normalizeFingerprint(fingerprint);
}

void FreeRdpSession::postToSession(FreeRdpSessionState& state, std::function<void(FreeRdpSession*)> call)
{
    Engine::post(state, std::move(call));
}

void FreeRdpSession::setClipboardActive(bool active)
{
    m_clipboardActive = active;
    if (m_clipboard) {
        m_clipboard->setActive(active);
    }
}

bool FreeRdpSession::requestDesktopSize(QSize size)
{
    return m_state->connected.load() && m_state->channels.requestDesktopSize(size);
}
