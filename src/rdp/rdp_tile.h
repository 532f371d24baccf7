#pragma once

#include "rdp/freerdp_session.h"
#include "rdp/rdp_engine.h"
#include "rdp/rdp_error_text.h"
#include "rdp/rdp_input_forwarder.h"
#include "rdp/rdp_session_options.h"
#include "storage/remote.h"

#include <QFrame>
#include <QImage>
#include <QList>
#include <QPoint>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <optional>

class QLabel;
class QMimeData;
class QPushButton;
class QVBoxLayout;
class RdpDesktopFitter;
class RdpSurface;
class SystemRdpSession;

// One remote host's RDP session: a header (name, status, one action button) above the frames of the
// embedded FreeRDP engine or the system control's window. Chooses and switches the engine, retries old
// servers in compatibility mode and forwards input to the remote desktop.
class RdpTile : public QFrame
{
    Q_OBJECT
public:
    // Makes the system session when it is first needed; null means the platform's own control.
    using SystemSessionFactory = std::function<SystemRdpSession*(QWidget* parent)>;
    // Opens a host's stored password again; nothing while the program is locked.
    using PasswordSource = std::function<std::optional<QString>(const QString& hostId)>;

    RdpTile(const Remote& remote, QSize desktopSize, int colorDepth, QWidget* parent = nullptr,
            RdpEngine engine = RdpEngine::FreeRdp, bool autoMixed = false,
            SystemSessionFactory systemSessionFactory = {});
    ~RdpTile() override;

    void connectSession();
    void disconnectSession();
    bool isActive() const;
    void setEngine(RdpEngine engine, bool reconnect);
    void sendPresetShortcut(int index);
    void sendKeyCombination(const QList<int>& virtualKeys);
    void sendText(const QString& text);
    void trustPendingCertificate();
    void setZoomAllowed(bool allowed) { m_zoomAllowed = allowed; }
    // The remote desktop follows the tile's size (zoomed, or alone in its window) instead of keeping
    // the wall's.
    void setFollowsView(bool follows);
    RdpDesktopFitter* desktopFitter() const { return m_fitter; }
    // Seconds a connection attempt may take, with either engine.
    void setConnectTimeout(int seconds);
    // The [connection] settings of the tile's sessions (either engine), applied at the next connect.
    void setSessionOptions(const RdpSessionOptions& options);
    void setPasswordSource(PasswordSource source) { m_passwordSource = std::move(source); }
    // Wipes every copy of the password this tile and its sessions hold; a running session keeps
    // running. The next connection (a retry as well) takes the password from the source again.
    void wipePassword();
    // The tile or one of its sessions still holds the password in plain text.
    bool holdsPassword() const;

    // Tiles keep the remote desktop's aspect ratio: the height that lets the picture fill `width`.
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

    const Remote& remote() const { return m_remote; }
    RdpEngine engine() const { return m_engine; }

    // Windows virtual keys of preset shortcut index; empty for an unknown index.
    static QList<int> presetShortcutKeys(int index);
    // The remote point under widget point p of a widget showing a frame of frameSize scaled to fit;
    // empty on the letterbox bars or without a frame.
    static std::optional<QPoint> mapToRemote(QPoint p, QSize widgetSize, QSize frameSize);
    // Name and remark name a Windows version whose TLS FreeRDP cannot negotiate by default.
    static bool looksLikeLegacyWindows(const Remote& remote);
    // Absolute paths of the local files the drag carries, without empty and duplicate ones.
    static QStringList localFilePaths(const QMimeData* mime);

signals:
    void certificateConfirmationRequired(RdpTile* tile, const QString& details);
    void legacyCompatibilityDetected(const QString& remoteId);
    void certificateFingerprintTrusted(const QString& remoteId, const QString& fingerprint);
    void connectionFailed(const QString& remoteId, const QString& message);
    void focusRequested(RdpTile* tile);
    void localFilesQueued(const QString& remoteId, const QString& remoteName, int count);
    void localFilesRejected(const QString& remoteId, const QString& message);
    void interactionFailed(const QString& remoteId, const QString& remoteName, const QString& message);
    void systemFallbackActivated(const QString& remoteId, const QString& remoteName, const QString& reason);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

    // Every call into the FreeRDP session goes through these, so that the policy can be watched
    // without a server.
    virtual bool startFreeRdp(const Remote& target, QSize desktopSize, bool ignoreCertificate,
                              bool legacySecurity, int colorDepth);
    virtual void stopFreeRdp();
    virtual bool freeRdpRunning() const;
    virtual void sendFreeRdpInput(const InputEvent& event);

private:
    void ensureSystemSession();
    void switchToSystem(const QString& reason);
    void onActionClicked();
    void setStatus(const QString& text, const char* color);
    void setButton(const QString& text);
    void setConnectedStatus();
    void showSurfaceText(const QString& text);
    void showFrame();
    bool hasPicture() const;
    void clearSurfaceText();
    void showSurface(bool surfaceVisible);
    void reportFailure(const QString& message);
    // After a wipe: the password again from the source; false (and the tile says why) without it.
    bool reopenPassword();

    void onFreeRdpConnected();
    void onFreeRdpDisconnected();
    void onFreeRdpFrame(const QRegion& changed);
    void onFreeRdpError(const QString& message, quint32 code, RdpFailure failure);
    void onFreeRdpRemoteEnded(const QString& reason);
    void onFreeRdpReconnecting(int attempt, int attempts);
    void onFreeRdpReconnected();
    // Status and picture for a session that has ended: cancelled, ended by the remote side or disconnected.
    void showEnded(const QString& connectText);
    void onCertificateRejected(const QString& host, const QString& subject, const QString& issuer,
                               const QString& fingerprint);
    void onCertificateTrusted(const QString& remoteId, const QString& fingerprint);
    void onSystemConnected();
    void onSystemDisconnected();
    void onSystemError(const QString& message, RdpFailure failure);
    void onSystemInteractionError(const QString& message);

    bool handleZoomRequest(QEvent* event);
    void fitDesktop(QSize size);
    bool handleDrag(QDropEvent* event);
    void handleDrop(QDropEvent* event);

    Remote m_remote;
    PasswordSource m_passwordSource;
    bool m_passwordWiped = false;
    FreeRdpSession* m_freeRdp = nullptr;
    SystemRdpSession* m_system = nullptr;
    SystemSessionFactory m_systemSessionFactory;
    RdpEngine m_engine = RdpEngine::FreeRdp;

    QVBoxLayout* m_layout = nullptr;
    QLabel* m_nameLabel = nullptr;
    QLabel* m_statusLabel = nullptr;
    QPushButton* m_actionButton = nullptr;
    RdpSurface* m_surface = nullptr;

    QSize m_desktopSize;
    RdpDesktopFitter* m_fitter = nullptr;
    // A size asked for while the server may still offer display control, and how long it may take.
    QSize m_pendingFit;
    QTimer m_fitGrace;
    bool m_fitReconnect = false;
    int m_colorDepth = 32;
    RdpInputForwarder m_input;
    int m_connectTimeoutSeconds = 0;
    RdpSessionOptions m_sessionOptions;

    bool m_legacyMode = false;
    bool m_compatRetryPending = false;
    bool m_compatRetryOffered = false;
    bool m_systemSwitchPending = false;
    QString m_systemSwitchReason;
    bool m_failureReported = false;
    // The session is (or was, until its end is handled) up, not just connecting.
    bool m_sessionUp = false;
    // The attempt under way was ended on request: it ends as cancelled, not failed.
    bool m_cancelRequested = false;
    // Why the server or the network ended the session that was up.
    QString m_endReason;
    bool m_zoomAllowed = true;
    bool m_autoMixed = false;
    QString m_pendingFingerprint;
};
