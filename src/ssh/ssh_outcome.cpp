#include "ssh/ssh_outcome.h"

#include <QList>
#include <QRegularExpression>

#include <array>
#include <utility>

namespace {

// Checked in this order: a changed host key is reported with more lines that mention other things.
const std::array<std::pair<SshOutcome::Kind, const char*>, 6> kMessages = {{
    {SshOutcome::Kind::HostKeyChanged,
     R"(REMOTE HOST IDENTIFICATION HAS CHANGED|Host key verification failed|Host key for \S+ has changed)"},
    {SshOutcome::Kind::AuthenticationFailed,
     R"(Permission denied \([a-z,-]+\)|Too many authentication failures|Authentication failed)"},
    {SshOutcome::Kind::NameNotResolved, R"(Could not resolve hostname)"},
    {SshOutcome::Kind::ConnectionRefused, R"(Connection refused)"},
    {SshOutcome::Kind::TimedOut, R"(timed out|Timeout, server \S+ not responding)"},
    {SshOutcome::Kind::ConnectionFailed,
     R"(No route to host|Network is unreachable|Connection reset|Connection closed by|)"
     R"(kex_exchange_identification|Broken pipe)"},
}};

} // namespace

SshOutcome::Kind SshOutcome::classify(QProcess::ExitStatus status, int exitCode,
                                      const QByteArray& errorOutput)
{
    if (status != QProcess::NormalExit) {
        return Kind::Crashed;
    }
    if (exitCode == 0) {
        return Kind::Success;
    }
    if (exitCode != 255) {
        return Kind::CommandFailed;
    }
    static const QList<std::pair<Kind, QRegularExpression>> expressions = [] {
        QList<std::pair<Kind, QRegularExpression>> list;
        for (const auto& [kind, pattern] : kMessages) {
            list.append({kind, QRegularExpression(QString::fromLatin1(pattern))});
        }
        return list;
    }();
    const QString text = QString::fromUtf8(errorOutput);
    for (const auto& [kind, expression] : expressions) {
        if (expression.match(text).hasMatch()) {
            return kind;
        }
    }
    return Kind::Unknown255;
}

QString SshOutcome::describe(Kind kind, const QString& name, int exitCode, bool withPassword)
{
    switch (kind) {
    case Kind::Success:
        return QStringLiteral("[%1] 完成").arg(name);
    case Kind::CommandFailed:
        return QStringLiteral("[%1] 命令退出码 %2").arg(name).arg(exitCode);
    case Kind::AuthenticationFailed:
        return withPassword
                   ? QStringLiteral("[%1] 认证失败（用户名或密码错误）").arg(name)
                   : QStringLiteral("[%1] 认证失败（未保存密码，服务器未接受 SSH 密钥或 ssh-agent 身份）")
                         .arg(name);
    case Kind::ConnectionRefused:
        return QStringLiteral("[%1] 连接被拒绝（该端口没有 SSH 服务）").arg(name);
    case Kind::TimedOut:
        return QStringLiteral("[%1] 连接超时").arg(name);
    case Kind::HostKeyChanged:
        return QStringLiteral("[%1] 主机密钥已改变，已拒绝连接（请核实服务器后更新 known_hosts）").arg(name);
    case Kind::NameNotResolved:
        return QStringLiteral("[%1] 无法解析主机名").arg(name);
    case Kind::ConnectionFailed:
        return QStringLiteral("[%1] 无法连接（网络不可达或连接被中断）").arg(name);
    case Kind::Unknown255:
        return QStringLiteral("[%1] SSH 连接失败或命令退出码 255").arg(name);
    case Kind::Crashed:
        break;
    }
    return QStringLiteral("[%1] ssh 异常结束").arg(name);
}
