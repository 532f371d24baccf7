#include "rdp/rdp_error_text.h"

#include <QByteArray>
#include <QDeadlineTimer>

#include <freerdp/error.h>

#include <algorithm>
#include <cerrno>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

// The few socket calls of the connection diagnosis, on Winsock and on POSIX sockets.
#if defined(_WIN32)
using NativeSocket = SOCKET;
constexpr NativeSocket kNoSocket = INVALID_SOCKET;
constexpr int kConnectPending = WSAEWOULDBLOCK;
constexpr int kConnectRefused = WSAECONNREFUSED;

NativeSocket openNonBlockingSocket(int family)
{
    // Winsock is started once per process; the count it keeps makes a second start harmless.
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) {
        return kNoSocket;
    }
    const NativeSocket fd = ::socket(family, SOCK_STREAM, 0);
    u_long nonBlocking = 1;
    if (fd != kNoSocket && ioctlsocket(fd, FIONBIO, &nonBlocking) != 0) {
        closesocket(fd);
        return kNoSocket;
    }
    return fd;
}

int lastSocketError()
{
    return WSAGetLastError();
}

int waitWritable(NativeSocket fd, int timeoutMs)
{
    WSAPOLLFD watch{fd, POLLOUT, 0};
    return WSAPoll(&watch, 1, timeoutMs);
}

void closeSocket(NativeSocket fd)
{
    closesocket(fd);
}
#else
using NativeSocket = int;
constexpr NativeSocket kNoSocket = -1;
constexpr int kConnectPending = EINPROGRESS;
constexpr int kConnectRefused = ECONNREFUSED;

NativeSocket openNonBlockingSocket(int family)
{
    return ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

int lastSocketError()
{
    return errno;
}

int waitWritable(NativeSocket fd, int timeoutMs)
{
    pollfd watch{fd, POLLOUT, 0};
    return ::poll(&watch, 1, timeoutMs);
}

void closeSocket(NativeSocket fd)
{
    ::close(fd);
}
#endif

// xfreerdp 2's exit codes (XF_EXIT_*) that are not simply a server's disconnect reason.
enum ClientExitCode : int {
    kExitLicenseFirst = 16,
    kExitLicenseLast = 26,
    kExitRdpProtocol = 32,
    kExitParseArguments = 128,
    kExitMemory = 129,
    kExitConnFailed = 131,
    kExitAuthFailure = 132,
    kExitNegoFailure = 133,
    kExitLogonFailure = 134,
    kExitAccountLockedOut = 135,
    kExitPreConnectFailed = 136,
    kExitConnectUndefined = 137,
    kExitPostConnectFailed = 138,
    kExitDnsError = 139,
    kExitDnsNameNotFound = 140,
    kExitConnectFailed = 141,
    kExitMcsConnectInitialError = 142,
    kExitTlsConnectFailed = 143,
    kExitInsufficientPrivileges = 144,
    kExitConnectCancelled = 145,
    kExitTransportFailed = 147,
    kExitPasswordExpired = 148,
    kExitPasswordMustChange = 149,
    kExitAccountDisabled = 151,
    kExitPasswordCertainlyExpired = 152,
    kExitClientRevoked = 153,
    kExitWrongPassword = 154,
    kExitAccessDenied = 155,
    kExitAccountRestriction = 156,
    kExitAccountExpired = 157,
    kExitLogonTypeNotGranted = 158,
    kExitNoOrMissingCredentials = 159,
};

constexpr quint32 kErrorClassShift = 16;
constexpr int kDiagnosisSliceMs = 100;
constexpr quint32 kErrorTypeMask = 0xFFFF;

QString hex8(quint32 value)
{
    return QString::number(value, 16).toUpper().rightJustified(8, QLatin1Char('0'));
}

// A system client that ended with the server's disconnect reason: that reason for a session that was up;
// before that, only a refusal says more than that the connection ended.
RdpFailure serverReasonForClient(quint32 errorInfo, bool wasConnected)
{
    const RdpFailure failure = RdpErrorText::fromErrorInfo(errorInfo);
    if (wasConnected || failure == RdpFailure::ServerDenied || failure == RdpFailure::AccessDenied ||
        failure == RdpFailure::MissingCredentials) {
        return failure;
    }
    return RdpFailure::ConnectionLost;
}

} // namespace

RdpFailure RdpErrorText::fromFreeRdpError(quint32 code)
{
    switch (code) {
    case FREERDP_ERROR_SUCCESS:
        return RdpFailure::Other;
    case FREERDP_ERROR_DNS_ERROR:
    case FREERDP_ERROR_DNS_NAME_NOT_FOUND:
        return RdpFailure::NameNotFound;
    case FREERDP_ERROR_CONNECT_FAILED:
    case FREERDP_ERROR_CONNECT_TRANSPORT_FAILED:
    case FREERDP_ERROR_MCS_CONNECT_INITIAL_ERROR:
    case FREERDP_ERROR_CONNECT_UNDEFINED:
        return RdpFailure::ConnectionLost;
    case FREERDP_ERROR_TLS_CONNECT_FAILED:
    case FREERDP_ERROR_SECURITY_NEGO_CONNECT_FAILED:
        return RdpFailure::Security;
    case FREERDP_ERROR_AUTHENTICATION_FAILED:
    case FREERDP_ERROR_CONNECT_LOGON_FAILURE:
    case FREERDP_ERROR_CONNECT_WRONG_PASSWORD:
        return RdpFailure::WrongCredentials;
    case FREERDP_ERROR_CONNECT_NO_OR_MISSING_CREDENTIALS:
        return RdpFailure::MissingCredentials;
    case FREERDP_ERROR_CONNECT_ACCOUNT_LOCKED_OUT:
        return RdpFailure::AccountLocked;
    case FREERDP_ERROR_CONNECT_ACCOUNT_DISABLED:
        return RdpFailure::AccountDisabled;
    case FREERDP_ERROR_CONNECT_ACCOUNT_EXPIRED:
        return RdpFailure::AccountExpired;
    case FREERDP_ERROR_CONNECT_PASSWORD_EXPIRED:
    case FREERDP_ERROR_CONNECT_PASSWORD_CERTAINLY_EXPIRED:
        return RdpFailure::PasswordExpired;
    case FREERDP_ERROR_CONNECT_PASSWORD_MUST_CHANGE:
        return RdpFailure::PasswordMustChange;
    case FREERDP_ERROR_INSUFFICIENT_PRIVILEGES:
    case FREERDP_ERROR_CONNECT_ACCESS_DENIED:
    case FREERDP_ERROR_CONNECT_ACCOUNT_RESTRICTION:
    case FREERDP_ERROR_CONNECT_LOGON_TYPE_NOT_GRANTED:
    case FREERDP_ERROR_CONNECT_CLIENT_REVOKED:
        return RdpFailure::AccessDenied;
    case FREERDP_ERROR_CONNECT_CANCELLED:
        return RdpFailure::Cancelled;
    case FREERDP_ERROR_PRE_CONNECT_FAILED:
    case FREERDP_ERROR_POST_CONNECT_FAILED:
        return RdpFailure::ClientError;
    default:
        break;
    }
    // The server's own reason (Set Error Info) can also end an attempt: a denied connection, say.
    if ((code >> kErrorClassShift) == FREERDP_ERROR_ERRINFO_CLASS) {
        const RdpFailure failure = fromErrorInfo(code & kErrorTypeMask);
        return failure == RdpFailure::ServerEnded ? RdpFailure::Other : failure;
    }
    return RdpFailure::Other;
}

RdpFailure RdpErrorText::fromErrorInfo(quint32 errorInfo)
{
    switch (errorInfo) {
    case ERRINFO_SUCCESS:
    case ERRINFO_NONE:
        // The connection went without the server saying why.
        return RdpFailure::ConnectionLost;
    case ERRINFO_RPC_INITIATED_DISCONNECT:
    case ERRINFO_RPC_INITIATED_DISCONNECT_BY_USER:
    case ERRINFO_LOGON_TIMEOUT:
        return RdpFailure::ServerEnded;
    case ERRINFO_RPC_INITIATED_LOGOFF:
    case ERRINFO_LOGOFF_BY_USER:
        return RdpFailure::LoggedOff;
    case ERRINFO_IDLE_TIMEOUT:
        return RdpFailure::IdleTimeout;
    case ERRINFO_DISCONNECTED_BY_OTHER_CONNECTION:
        return RdpFailure::Replaced;
    case ERRINFO_SERVER_DENIED_CONNECTION:
        return RdpFailure::ServerDenied;
    case ERRINFO_SERVER_INSUFFICIENT_PRIVILEGES:
        return RdpFailure::AccessDenied;
    case ERRINFO_SERVER_FRESH_CREDENTIALS_REQUIRED:
        return RdpFailure::MissingCredentials;
    default:
        break;
    }
    if (errorInfo >= ERRINFO_LICENSE_INTERNAL && errorInfo <= ERRINFO_LICENSE_CANT_UPGRADE_LICENSE) {
        return RdpFailure::LicenseError;
    }
    return RdpFailure::ServerEnded;
}

RdpFailure RdpErrorText::fromWindowsClientExitCode(quint32 exitCode, bool wasConnected)
{
    if (exitCode == 0) {
        return RdpFailure::NoFailure;
    }
    if ((exitCode >> kErrorClassShift) == FREERDP_ERROR_ERRINFO_CLASS) {
        return serverReasonForClient(exitCode & kErrorTypeMask, wasConnected);
    }
    const RdpFailure failure = fromFreeRdpError(exitCode);
    return failure == RdpFailure::Other && wasConnected ? RdpFailure::ConnectionLost : failure;
}

RdpFailure RdpErrorText::fromClientExitCode(int exitCode, bool wasConnected)
{
    if (exitCode == 0) {
        return RdpFailure::NoFailure;
    }
    // 1..15 are the server's disconnect reasons (ERRINFO_*).
    if (exitCode > 0 && exitCode < kExitLicenseFirst) {
        return serverReasonForClient(static_cast<quint32>(exitCode), wasConnected);
    }
    if (exitCode >= kExitLicenseFirst && exitCode <= kExitLicenseLast) {
        return RdpFailure::LicenseError;
    }
    switch (exitCode) {
    case kExitRdpProtocol:
        return RdpFailure::ConnectionLost;
    case kExitParseArguments:
    case kExitMemory:
    case kExitPreConnectFailed:
    case kExitConnectUndefined:
    case kExitPostConnectFailed:
        return RdpFailure::ClientError;
    case kExitConnFailed:
    case kExitConnectFailed:
    case kExitMcsConnectInitialError:
    case kExitTransportFailed:
        return RdpFailure::ConnectionLost;
    case kExitAuthFailure:
    case kExitLogonFailure:
    case kExitWrongPassword:
        return RdpFailure::WrongCredentials;
    case kExitNegoFailure:
    case kExitTlsConnectFailed:
        return RdpFailure::Security;
    case kExitAccountLockedOut:
        return RdpFailure::AccountLocked;
    case kExitDnsError:
    case kExitDnsNameNotFound:
        return RdpFailure::NameNotFound;
    case kExitInsufficientPrivileges:
    case kExitClientRevoked:
    case kExitAccessDenied:
    case kExitAccountRestriction:
    case kExitLogonTypeNotGranted:
        return RdpFailure::AccessDenied;
    case kExitConnectCancelled:
        return RdpFailure::Cancelled;
    case kExitPasswordExpired:
    case kExitPasswordCertainlyExpired:
        return RdpFailure::PasswordExpired;
    case kExitPasswordMustChange:
        return RdpFailure::PasswordMustChange;
    case kExitAccountDisabled:
        return RdpFailure::AccountDisabled;
    case kExitAccountExpired:
        return RdpFailure::AccountExpired;
    case kExitNoOrMissingCredentials:
        return RdpFailure::MissingCredentials;
    default:
        return RdpFailure::Other;
    }
}

RdpFailure RdpErrorText::fromSocketError(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return RdpFailure::Refused;
    case QAbstractSocket::HostNotFoundError:
        return RdpFailure::NameNotFound;
    case QAbstractSocket::NetworkError:
    case QAbstractSocket::SocketTimeoutError:
        return RdpFailure::Unreachable;
    default:
        return RdpFailure::ConnectionLost;
    }
}

RdpFailure RdpErrorText::diagnoseConnection(const QString& host, quint16 port, int budgetMs,
                                            const std::function<bool()>& cancelled)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    const int lookup =
        getaddrinfo(host.toUtf8().constData(), QByteArray::number(port).constData(), &hints, &addresses);
    if (lookup != 0) {
        return lookup == EAI_NONAME ? RdpFailure::NameNotFound : RdpFailure::ConnectionLost;
    }
    const QDeadlineTimer deadline(budgetMs);
    RdpFailure result = RdpFailure::Unreachable;
    for (const addrinfo* address = addresses; address; address = address->ai_next) {
        const NativeSocket fd = openNonBlockingSocket(address->ai_family);
        if (fd == kNoSocket) {
            continue;
        }
        int error = ::connect(fd, address->ai_addr, static_cast<int>(address->ai_addrlen)) == 0
                        ? 0
                        : lastSocketError();
        // Waited for in slices, so that a stop does not wait for the whole budget.
        bool answered = error != kConnectPending;
        while (!answered && !deadline.hasExpired() && !(cancelled && cancelled())) {
            const int slice = static_cast<int>(std::min<qint64>(kDiagnosisSliceMs, deadline.remainingTime()));
            if (waitWritable(fd, slice) > 0) {
                socklen_t length = sizeof(error);
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
                    error = lastSocketError();
                }
                answered = true;
            }
        }
        closeSocket(fd);
        if (!answered) {
            // No refusal came back in time: the host does not answer.
            result = deadline.hasExpired() ? RdpFailure::Unreachable : RdpFailure::ConnectionLost;
            break;
        }
        if (error == 0) {
            result = RdpFailure::ConnectionLost; // the port answers: the server closed the connection later
            break;
        }
        if (error == kConnectRefused) {
            result = RdpFailure::Refused;
            break;
        }
        // Unreachable on this address; another one may still answer.
    }
    freeaddrinfo(addresses);
    return result;
}

QString RdpErrorText::reason(RdpFailure failure, int timeoutSeconds, quint32 code)
{
    switch (failure) {
    case RdpFailure::NoFailure:
        return {};
    case RdpFailure::Cancelled:
        return QStringLiteral("已取消连接");
    case RdpFailure::Refused:
        return QStringLiteral("连接被拒绝：端口未开放或远程桌面服务未运行");
    case RdpFailure::Unreachable:
        return QStringLiteral("无法访问主机：网络不通或主机未开机");
    case RdpFailure::NameNotFound:
        return QStringLiteral("找不到主机：主机名无法解析");
    case RdpFailure::TimedOut:
        return timeoutSeconds > 0 ? QStringLiteral("连接超时：%1 秒内未能连上").arg(timeoutSeconds)
                                  : QStringLiteral("连接超时");
    case RdpFailure::ConnectionLost:
        return QStringLiteral("连接被服务器或网络中断");
    case RdpFailure::Security:
        return QStringLiteral("TLS/安全协商失败：服务器的安全设置与客户端不兼容");
    case RdpFailure::CertificateRejected:
        return QStringLiteral("服务器证书与记录的指纹不符，已拒绝连接");
    case RdpFailure::WrongCredentials:
        return QStringLiteral("用户名或密码错误");
    case RdpFailure::LogonAborted:
        return QStringLiteral("服务器在验证登录凭据时断开了连接：用户名或密码可能有误");
    case RdpFailure::MissingCredentials:
        return QStringLiteral("服务器要求登录凭据，但未提供用户名或密码");
    case RdpFailure::AccountLocked:
        return QStringLiteral("账户已被锁定");
    case RdpFailure::AccountDisabled:
        return QStringLiteral("账户已被禁用");
    case RdpFailure::AccountExpired:
        return QStringLiteral("账户已过期");
    case RdpFailure::PasswordExpired:
        return QStringLiteral("密码已过期");
    case RdpFailure::PasswordMustChange:
        return QStringLiteral("必须先修改密码才能登录");
    case RdpFailure::AccessDenied:
        return QStringLiteral("该账户无权远程登录此主机");
    case RdpFailure::ServerDenied:
        return QStringLiteral("服务器拒绝了此次连接");
    case RdpFailure::ServerEnded:
        return QStringLiteral("服务器结束了会话");
    case RdpFailure::LoggedOff:
        return QStringLiteral("远程会话已注销");
    case RdpFailure::IdleTimeout:
        return QStringLiteral("会话空闲超时，已被服务器断开");
    case RdpFailure::Replaced:
        return QStringLiteral("该账户在别处登录，本会话已被接管");
    case RdpFailure::LicenseError:
        return QStringLiteral("远程桌面授权（许可证）出错");
    case RdpFailure::ClientError:
        return code != 0 ? QStringLiteral("RDP 客户端内部错误（代码 %1）").arg(code)
                         : QStringLiteral("RDP 客户端内部错误");
    case RdpFailure::Other:
        break;
    }
    return code != 0 ? QStringLiteral("连接失败（错误代码 0x%1）").arg(hex8(code))
                     : QStringLiteral("连接失败");
}

QString RdpErrorText::advice(RdpFailure failure)
{
    if (aboutCredentials(failure)) {
        return failure == RdpFailure::AccessDenied
                   ? QStringLiteral("请核对用户名，或请管理员授予远程登录权限。")
                   : QStringLiteral("请核对该主机保存的用户名和密码。");
    }
    switch (failure) {
    case RdpFailure::Refused:
        return QStringLiteral("请确认远程主机已开启远程桌面，并核对端口。");
    case RdpFailure::Unreachable:
    case RdpFailure::NameNotFound:
    case RdpFailure::TimedOut:
        return QStringLiteral("请核对主机地址、端口和网络。");
    default:
        return {};
    }
}

bool RdpErrorText::aboutCredentials(RdpFailure failure)
{
    switch (failure) {
    case RdpFailure::WrongCredentials:
    case RdpFailure::LogonAborted:
    case RdpFailure::MissingCredentials:
    case RdpFailure::AccountLocked:
    case RdpFailure::AccountDisabled:
    case RdpFailure::AccountExpired:
    case RdpFailure::PasswordExpired:
    case RdpFailure::PasswordMustChange:
    case RdpFailure::AccessDenied:
        return true;
    default:
        return false;
    }
}
