#pragma once

#include "rdp/rdp_control.h"

#include <QByteArray>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>
#include <QWidget>

#include <memory>

// The remote desktop control on X11: the system client xfreerdp drawing into a native child window of
// ours. Properties and sub-object settings become xfreerdp options, "Connect()" starts the client,
// its log and exit code become the control's events, and keys reach it through XTest.
class XFreeRdpControl : public IRdpControl
{
    Q_OBJECT

public:
    static constexpr int kDefaultConnectTimeoutSeconds = 30;
    static constexpr int kTerminateGraceMs = 1000;

    // Result codes of the key interface (HRESULT values).
    static constexpr qint32 kResultFail = static_cast<qint32>(0x80004005U);
    static constexpr qint32 kResultNotImplemented = static_cast<qint32>(0x80004001U);
    static constexpr qint32 kResultInvalidArgument = static_cast<qint32>(0x80070057U);
    static constexpr qint32 kResultUnexpected = static_cast<qint32>(0x8000FFFFU);

    explicit XFreeRdpControl(QWidget* parentWidget = nullptr);
    ~XFreeRdpControl() override;

    QWidget* widget() override { return m_widget; }
    bool setControl(const QString& classId) override;
    bool hasControl() const override { return m_hasControl; }
    QString controlErrorText() const override { return m_controlError; }
    bool setProperty(const QString& name, const QVariant& value) override;
    QVariant property(const QString& name) const override;
    QVariant dynamicCall(const QString& method) override;
    std::unique_ptr<IRdpControlObject> querySubObject(const QString& name) override;
    IRdpKeySender* queryKeySender() override;
    void forgetPassword() override { wipePassword(); }
    bool holdsPassword() const override { return !m_password.isEmpty(); }
    quint32 lastErrorCode() const override { return m_lastError; }
    RdpFailure lastFailure() const override { return m_lastFailure; }

    // The client program: a name looked up in PATH or a path. Takes effect at the next setControl.
    void setProgram(const QString& program) { m_program = program; }
    // How long "Connect()" may take before the client is stopped; xfreerdp waits on a silent server.
    void setConnectTimeout(int seconds) override
    {
        m_connectTimeoutSeconds = seconds > 0 ? seconds : kDefaultConnectTimeoutSeconds;
    }
    // Process id of the running client; 0 when none runs.
    qint64 processId() const;
    // The client checks the server only against the certificate fingerprint it is handed.
    bool pinsServerCertificate() const override { return true; }

    // xfreerdp's option that accepts exactly the certificate with this SHA-256 fingerprint (in any
    // letter case, with or without ':') and denies every other one; empty when it is no such fingerprint.
    static QString certificatePinOption(const QString& fingerprint);
    void setRedirectedFolders(const QStringList& folders) override;
    // xfreerdp's arguments for these settings (canonical names as stored by setProperty).
    static QStringList clientArguments(const QVariantMap& settings, bool withPassword, quint64 parentWindow);
    // "/drive:name,path" for each folder that exists, named after it in ASCII letters and digits (up to
    // 8; "driveN" when none are left or the name is taken).
    static QStringList driveOptions(const QStringList& folders);

private:
    friend class XFreeRdpSettings;
    friend class XFreeRdpKeySender;
    friend class XFreeRdpControlTestAccess;

    enum class State { Idle, Connecting, Connected };

    bool storeSetting(const QString& name, const QVariant& value, bool advanced);
    QStringList clientArguments(quint64 parentWindow) const;
    int startClient();
    void stopClient();
    void readClientOutput();
    void handleClientLine(const QByteArray& line);
    void onClientFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void onConnectTimeout();
    void fitEmbeddedWindow();
    void wipePassword();
    qint32 sendKeyEvents(int count, const qint16* keyUp, const qint32* keyData);

    QPointer<QWidget> m_widget;
#if defined(Q_OS_WIN)
    QString m_program = QStringLiteral("wfreerdp"); // shipped beside the program
#else
    QString m_program = QStringLiteral("xfreerdp");
#endif
    QString m_resolvedProgram;
    QString m_lineBufferTool; // stdbuf: the client's log must arrive line by line
    bool m_hasControl = false;
    QString m_controlError;

    QVariantMap m_settings;
    QByteArray m_password;

    QProcess* m_process = nullptr;
    QByteArray m_output;
    State m_state = State::Idle;
    bool m_stopping = false;
    quint64 m_container = 0;  // the window the running client draws in
    quint64 m_generation = 0; // counts started clients, so a late event of an earlier one is dropped
    quint32 m_lastError = 0;
    RdpFailure m_lastFailure = RdpFailure::NoFailure;
    // FreeRDP's last error code as the client logged it: more precise than its exit code.
    quint32 m_loggedError = 0;
    bool m_timedOut = false;
    int m_connectTimeoutSeconds = kDefaultConnectTimeoutSeconds;
    QTimer m_connectTimer;
    QTimer m_fitTimer;
    int m_fitAttempts = 0;

    std::unique_ptr<IRdpKeySender> m_keySender;
};
