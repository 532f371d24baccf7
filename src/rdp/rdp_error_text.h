#pragma once

#include <QAbstractSocket>
#include <QObject>
#include <QString>

#include <functional>

// Why an RDP connection failed or ended, as both engines report it to the user.
namespace RdpFailures {
Q_NAMESPACE

enum class RdpFailure : int {
    NoFailure = 0,  // the session ended normally (X11 defines None)
    Cancelled,      // the user (or the program) ended the attempt
    Refused,        // nothing listens on the port
    Unreachable,    // no route to the host, or it does not answer
    NameNotFound,   // the host name does not resolve
    TimedOut,       // the configured time for connecting ran out
    ConnectionLost, // the server or the network closed the connection
    Security,       // TLS, NLA or security-layer negotiation failed
    CertificateRejected,
    WrongCredentials,
    LogonAborted, // the server hung up while it checked the credentials (NLA)
    MissingCredentials,
    AccountLocked,
    AccountDisabled,
    AccountExpired,
    PasswordExpired,
    PasswordMustChange,
    AccessDenied, // the account may not log on remotely
    ServerDenied, // the server refused this connection
    ServerEnded,  // the server (an administrator) ended the session
    LoggedOff,
    IdleTimeout,
    Replaced, // another connection took the session over
    LicenseError,
    ClientError, // the client program could not run or failed by itself
    Other,
};
Q_ENUM_NS(RdpFailure)

} // namespace RdpFailures

using RdpFailures::RdpFailure;

// The mapping from FreeRDP's error codes, the server's disconnect reasons and the system client's exit
// codes to short Chinese reasons, shared by the embedded engine and the system client.
class RdpErrorText
{
public:
    // freerdp_get_last_error of a connection attempt that failed.
    static RdpFailure fromFreeRdpError(quint32 code);
    // freerdp_error_info (the server's Set Error Info PDU) of a session that was up and ended.
    static RdpFailure fromErrorInfo(quint32 errorInfo);
    // The exit code of the system client (xfreerdp 2), for a session that was or was not up yet.
    static RdpFailure fromClientExitCode(int exitCode, bool wasConnected);
    // The exit code of FreeRDP's Windows client (wfreerdp 2): its last error, a FreeRDP error code.
    static RdpFailure fromWindowsClientExitCode(quint32 exitCode, bool wasConnected);

    // A TCP connection attempt that failed with `error`.
    static RdpFailure fromSocketError(QAbstractSocket::SocketError error);
    // Why host:port cannot be reached: opens a TCP connection, blocking for at most `budgetMs` or until
    // `cancelled` says so. Refused, unreachable or an unknown name; ConnectionLost when the port
    // answers (the server closed the connection later) or nothing can be said.
    static RdpFailure diagnoseConnection(const QString& host, quint16 port, int budgetMs,
                                         const std::function<bool()>& cancelled = {});

    // A short reason; `timeoutSeconds` is the configured connect time-out, `code` the engine's own
    // code, shown only where no better word exists.
    static QString reason(RdpFailure failure, int timeoutSeconds = 0, quint32 code = 0);
    // What the user can do about it; empty when there is nothing useful to say.
    static QString advice(RdpFailure failure);
    // Why a connection whose password was wiped at the program's lock does not start.
    static QString lockedReason() { return QStringLiteral("程序已锁定，解锁后再重新连接"); }

    static bool isFailure(RdpFailure failure)
    {
        return failure != RdpFailure::NoFailure && failure != RdpFailure::Cancelled;
    }
    static bool aboutCredentials(RdpFailure failure);
    // The security negotiation itself failed: a compatibility mode or the other engine may still manage.
    static bool aboutSecurity(RdpFailure failure) { return failure == RdpFailure::Security; }
    // The transport could not be opened, and only a look at the port can say why.
    static bool needsDiagnosis(RdpFailure failure) { return failure == RdpFailure::ConnectionLost; }
};
