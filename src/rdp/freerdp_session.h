#pragma once

#include "platform/clock.h"
#include "rdp/freerdp_channels.h"
#include "rdp/freerdp_input.h"
#include "rdp/rdp_error_text.h"
#include "rdp/rdp_session_options.h"
#include "storage/remote.h"

#include <QImage>
#include <QObject>
#include <QRegion>
#include <QSize>
#include <QString>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class FreeRdpClipboard;
class FreeRdpSession;
class QThread;
struct rdp_freerdp;

// Everything the worker thread touches. It is shared with the worker so that a worker that cannot be
// stopped in time (a name lookup that will not return, say) can be left behind without dangling.
struct FreeRdpSessionState
{
    FreeRdpSessionState();
    ~FreeRdpSessionState();
    FreeRdpSessionState(const FreeRdpSessionState&) = delete;
    FreeRdpSessionState& operator=(const FreeRdpSessionState&) = delete;

    // Its password is a copy of its own, wiped by the worker once FreeRDP's settings hold it.
    Remote remote;
    QSize desktopSize{1280, 720};
    bool ignoreCertificate = false;
    bool legacySecurity = false;
    qint32 colorDepth = 32;
    quint32 connectionType = 0; // CONNECTION_TYPE_*
    // Attempts to connect a dropped session again (0: none), and the pause before each; a test
    // shortens the pause.
    int reconnectAttempts = 0;
    std::atomic<std::uint32_t> reconnectPauseMs{0};
    // The add-ins to load, put into FreeRDP's settings once per start; the channels the session drives
    // itself.
    FreeRdpChannels::Selection channelSelection;
    bool channelsConfigured = false;
    FreeRdpChannels channels;

    std::atomic<rdp_freerdp*> instance{nullptr};
    std::atomic<bool> connected{false};
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> connectTimedOut{false};
    std::atomic<bool> certificateRejected{false};
    // The worker is to wipe the password in FreeRDP's settings (which only it may touch).
    std::atomic<bool> wipeRequested{false};
    // A plaintext password is in the state or in FreeRDP's settings.
    std::atomic<bool> passwordHeld{false};
    // The time-out of the current attempt, for the text that reports it.
    int connectTimeoutSeconds = 0;

    std::mutex inputMutex;
    std::deque<InputEvent> inputQueue;
    // Set when there is input to send or the worker is to stop; the worker waits on it with FreeRDP's
    // handles, so an idle session does not wake up on its own.
    void* wakeEvent = nullptr;
    // How long an idle worker waits before it looks for data that nothing signalled. A test lengthens
    // it to show that input and a stop wake the worker without it.
    std::atomic<std::uint32_t> idleWaitMs;

    // Held by the worker while FreeRDP paints into its frame buffer (from BeginPaint to EndPaint) and
    // by the GUI thread while it copies painted areas out of it.
    std::mutex frameMutex;
    // The whole frame as painted so far: FreeRDP's own buffer, not a copy; null when there is none.
    QImage frameSource;
    // Painted since the last delivery.
    QRegion frameDirty;
    bool framePending = false;
    // Worker only: frameMutex is held for a paint in progress.
    bool painting = false;

    // Held by the worker around freerdp_connect and by the GUI thread while it aborts that call, so
    // the instance cannot be torn down under an abort.
    std::mutex connectMutex;
    bool connecting = false;
    bool abortIssued = false;
    // The worker's thread id (Linux): its socket is shut down only while it waits in a read, never while
    // FreeRDP may be tearing the transport down.
    std::atomic<long> workerThreadId{0};

    // The session the worker reports to; null once the session is gone. Guarded by the process-wide
    // link lock of the implementation.
    FreeRdpSession* owner = nullptr;
};

// One RDP connection through FreeRDP on a worker thread of its own: renders the remote desktop with
// FreeRDP's software GDI, hands throttled copies of the frame to the GUI thread and forwards input.
class FreeRdpSession : public QObject
{
    Q_OBJECT
public:
    static constexpr int kDefaultConnectTimeoutSeconds = 30;
    static constexpr int kMaxQueuedEvents = 2048;
    static constexpr int kMaxTextUnits = 256;
    static constexpr int kFrameIntervalMs = 50;
    // A frame due while the worker paints is taken this much later rather than waiting for the paint.
    static constexpr int kFrameRetryMs = 4;

    explicit FreeRdpSession(QObject* parent = nullptr);
    ~FreeRdpSession() override;

    bool start(const Remote& remote, QSize desktopSize, bool ignoreCertificate, bool legacySecurity,
               int colorDepth);
    // Ends the connection or the attempt to make one. Returns within a second in every state; a worker
    // that is still busy then finishes on its own, and disconnected follows when it has.
    void stop();

    // Applied at the next start.
    void setOptions(const RdpSessionOptions& options) { m_options = options; }
    const RdpSessionOptions& options() const { return m_options; }

    // Seconds a connection attempt may take before it ends with an error; values below 1 mean the default.
    void setConnectTimeout(int seconds);
    int connectTimeout() const { return m_connectTimeoutSeconds; }

    void sendMouseMove(int x, int y);
    void sendMouseButton(int button, bool pressed, int x, int y);
    void sendWheel(int delta, int x, int y);
    void sendKey(int virtualKey, int scanCode, bool pressed, bool autoRepeat);
    void sendText(const QString& text);

    bool isRunning() const { return m_running.load(); }

    // The clipboard channel's local side; null when [share] clipboard is off or no GUI runs.
    FreeRdpClipboard* clipboard() const { return m_clipboard; }
    // Shares the clipboard while the session is the one the user works in (focused or zoomed).
    void setClipboardActive(bool active);
    // Asks the server for a desktop of this size through display control; false when it offers none (the
    // caller then connects again at the new size).
    bool requestDesktopSize(QSize size);
    bool hasDisplayControl() const { return m_state->channels.hasDisplayControl(); }

    // For a channel's callbacks on the worker: runs `call` with the session on the GUI thread, unless the
    // session is gone by then.
    static void postToSession(FreeRdpSessionState& state, std::function<void(FreeRdpSession*)> call);

    // Has the worker wipe every copy of the password it holds, without ending the session; it does so
    // at once when it waits for the server, or as soon as a connection attempt under way returns.
    void wipePassword();
    bool holdsPassword() const { return m_state->passwordHeld.load(); }

    // The remote desktop as painted so far, readable only while frameReady is emitted (null otherwise):
    // it is FreeRDP's own buffer, which the worker cannot paint into meanwhile. copy() what must be kept.
    const QImage& frame() const;
    // The size of the frame last handed over; empty before the first.
    QSize frameSize() const { return m_frameSize; }
    // The next delivery covers the whole frame (a receiver changed its size and must redo its picture).
    void requestFullFrame();
    // The time source of the delivery limit; a test sets one it moves by hand.
    void setClock(const IClock* clock) { m_clock = clock; }

signals:
    void connected();
    void disconnected();
    // The frame changed within `changed` (all of it for the first frame and after a size change); read
    // it with frame() while this signal runs. Emitted on the first change at once, then at most once
    // per kFrameIntervalMs, so receivers must be connected directly.
    void frameReady(const QRegion& changed);
    void certificateRejected(const QString& host, const QString& subject, const QString& issuer,
                             const QString& fingerprint);
    void certificateTrusted(const QString& remoteId, const QString& fingerprint);
    // A connection attempt failed: a ready-to-show reason, FreeRDP's error code and what it means. A
    // stop while connecting is no failure and reports nothing but disconnected.
    void errorOccurred(const QString& message, quint32 code, RdpFailure failure = RdpFailure::Other);
    // A session that was up was ended by the server or the network (not by stop): the reason and the
    // server's disconnect code (freerdp_error_info). After a network loss this comes only once the
    // reconnect attempts the settings allow have all failed.
    void remoteEnded(const QString& reason, quint32 code);
    // The connection dropped and attempt `attempt` of `attempts` to connect again is about to begin.
    void reconnecting(int attempt, int attempts);
    // Up again after a drop: frames and input go on as before.
    void reconnected();
    // The server offers display control: requestDesktopSize can work from now on.
    void displayControlReady();
    // A copy between the clipboards failed; a ready-to-show reason.
    void clipboardFailed(const QString& message);

private:
    struct Engine;
    friend struct Engine;
    friend class FreeRdpSessionTestAccess;

    void queueInput(InputEvent event);
    bool finishWorker();
    void abortConnectAttempt(bool shutdownSocket);
    void onConnectTimeout();
    void onWorkerFinished(QThread* thread);
    void scheduleFrameDelivery();
    void deliverFrame();
    void onQuiet();

    // A test: `dirty` (all of it when invalid) of the frame `image` has been painted; schedules its
    // delivery. The image is referenced, not copied: the areas gathered until the delivery are taken
    // from the latest one.
    void storeFrame(const QImage& image, const QRect& dirty);
    // Worker thread (or a test): 2 accepts for this connection only, 0 rejects.
    quint32 checkCertificate(const QString& host, const QString& subject, const QString& issuer,
                             const QString& fingerprint);

    static QString normalizeFingerprint(const QString& fingerprint);

    std::shared_ptr<FreeRdpSessionState> m_state;
    QThread* m_worker = nullptr;
    std::atomic<bool> m_running{false};
    int m_connectTimeoutSeconds = kDefaultConnectTimeoutSeconds;
    RdpSessionOptions m_options;
    FreeRdpClipboard* m_clipboard = nullptr;
    bool m_clipboardActive = false;
    QTimer m_connectTimer;
    QTimer m_abortTimer;
    int m_abortRetries = 0;

    // Deliveries: the first change goes out at once, later ones no sooner than kFrameIntervalMs after
    // the one before, measured on the clock (Qt's coarse timers may be several per cent off).
    QTimer m_frameTimer;
    const IClock* m_clock;
    std::optional<qint64> m_lastDeliveryMs;
    const QImage* m_reading = nullptr;
    QSize m_frameSize;
    bool m_wholeFrameWanted = false;
    // Runs out once a session has stopped changing, so memory freed while it changed goes back.
    QTimer m_quietTimer;
};
