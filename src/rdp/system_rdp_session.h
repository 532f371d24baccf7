#pragma once

#include "rdp/rdp_certificate_probe.h"
#include "rdp/rdp_control.h"
#include "rdp/rdp_session_options.h"
#include "storage/remote.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QWidget>

#include <functional>
#include <memory>

// One RDP connection through the system's remote desktop control: the control draws the remote desktop
// into its own window, carries the clipboard (and with it pasted files) and takes key combinations.
class SystemRdpSession : public QObject
{
    Q_OBJECT

public:
    static constexpr const char* kControlClassId = "{1df7c823-b2d4-4b54-975a-f2ac5d7cf8b8}";
    static constexpr int kMaxKeys = 10;
    static constexpr int kPasteFilesDelayMs = 450;

    // Makes the probe that finds the server's certificate for a control that pins it.
    using CertificateProbeFactory = std::function<RdpCertificateProbe*(QObject* parent)>;

    // Without a control the platform's own one is created.
    explicit SystemRdpSession(QWidget* parent, std::unique_ptr<IRdpControl> control = {});
    ~SystemRdpSession() override;

    // Null restores the real probe. Takes effect at the next connectTo.
    void setCertificateProbeFactory(CertificateProbeFactory factory) { m_probeFactory = std::move(factory); }
    void setCertificateProbeTimeout(int milliseconds) { m_probeTimeoutMs = milliseconds; }
    // Seconds a connection attempt may take, the certificate check included.
    void setConnectTimeout(int seconds);
    // Applied at the next connectTo.
    void setOptions(const RdpSessionOptions& options) { m_options = options; }

    QWidget* widget() const { return m_widget; }

    bool ensureControl();
    bool connectTo(const Remote& remote, QSize desktopSize, int colorDepth);
    void disconnectSession();
    bool isActive() const;
    // Wipes the password of the attempt under way and the control's copy; a running session goes on.
    // An attempt still checking the certificate would go on without a password: it ends instead.
    void wipePassword();
    bool holdsPassword() const { return !m_pending.password.isEmpty() || m_control->holdsPassword(); }

    // Windows virtual-key codes, pressed in list order and released in reverse order.
    bool sendKeys(const QList<int>& virtualKeys);
    bool pasteText(const QString& text);
    bool pasteFiles(const QStringList& paths);

    // MapVirtualKeyW(vk, MAPVK_VK_TO_VSC_EX): the scan code with 0xE0 in the high byte for extended
    // keys; 0 when the key has none.
    static quint32 scanCodeForVirtualKey(int virtualKey);

signals:
    void connected();
    void disconnected();
    // A ready-to-show reason and what it means.
    void errorOccurred(const QString& message, RdpFailure failure = RdpFailure::Other);
    void interactionErrorOccurred(const QString& message);
    // As the embedded engine: a certificate that does not match the host's record was refused, and a
    // host without a record trusts the certificate it showed first (to be stored with the host).
    void certificateRejected(const QString& host, const QString& subject, const QString& issuer,
                             const QString& fingerprint);
    void certificateTrusted(const QString& remoteId, const QString& fingerprint);

private slots:
    void onControlEvent(const QString& name, const QVariantList& arguments);

private:
    bool controlReportsConnected() const;
    // The text of the control's last failure: its reason, or its code where the control names none.
    QString failureText() const;
    void reportError(const QString& message, RdpFailure failure);
    // The control's last failure, read with what the certificate probe learnt about the server.
    RdpFailure controlFailure() const;
    void onCertificateProbed(const RdpCertificateProbe::Result& result);
    bool startControl(const Remote& remote, const QString& pinnedFingerprint);
    void refuse(const QString& message, RdpFailure failure);
    void stopProbe();

    std::unique_ptr<IRdpControl> m_control;
    QPointer<QWidget> m_widget;
    bool m_connecting = false;
    bool m_connected = false;
    // An error has been reported for the attempt under way.
    bool m_errorReported = false;
    int m_connectTimeoutSeconds = 0;
    RdpSessionOptions m_options;
    // The server of the attempt under way checks credentials with NLA before the session starts.
    bool m_serverRequiresNla = false;

    CertificateProbeFactory m_probeFactory;
    int m_probeTimeoutMs = RdpCertificateProbe::kDefaultTimeoutMs;
    QPointer<RdpCertificateProbe> m_probe;
    // The connection waiting for the probe's answer; its password is dropped once the answer is in.
    Remote m_pending;
    QSize m_pendingSize;
    int m_pendingColorDepth = 32;
};
