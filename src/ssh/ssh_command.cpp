#include "ssh/ssh_command.h"

#include "logger.h"
#include "network/acceleration_manager.h"
#include "platform/data_protection.h"
#include "platform/process_launcher.h"
#if defined(Q_OS_WIN)
#include "platform/windows/dpapi_data_protection.h"
#endif
#include "ssh/askpass_contract.h"
#include "ssh/terminal_launcher.h"
#include "storage/host_address.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <optional>

#include <sodium.h>

namespace {

void setError(QString* error, const QString& text)
{
    if (error) {
        *error = text;
    }
}

QString& askPassDirectoryOverride()
{
    static QString directory;
    return directory;
}

void insertAskPassContract(QProcessEnvironment& environment, const QString& helper,
                           const QString& protectedValue)
{
    environment.insert(QStringLiteral("SSH_ASKPASS"), QDir::toNativeSeparators(helper));
    environment.insert(QStringLiteral("SSH_ASKPASS_REQUIRE"), QStringLiteral("force"));
    // ssh wants some display before it runs an askpass program; a real one stays, because the
    // terminal window that ssh runs in needs it.
    if (environment.value(QStringLiteral("DISPLAY")).isEmpty()) {
        environment.insert(QStringLiteral("DISPLAY"), QStringLiteral("nimbara:0"));
    }
    environment.insert(QString::fromLatin1(askpass::kPasswordVariable), protectedValue);
}

constexpr int kDefaultSshPort = 22;

} // namespace

QStringList buildSshArguments(const Remote& remote, bool batchMode)
{
    return buildSshArgumentsForRoute(remote, AccelerationManager::instance()->route(remote), batchMode);
}

QStringList buildSshArgumentsForRoute(const Remote& remote, const Remote& routed, bool batchMode)
{
    QStringList arguments{QStringLiteral("-p"), QString::number(routed.port),
                          QStringLiteral("-o"), QStringLiteral("ConnectTimeout=12"),
                          QStringLiteral("-o"), QStringLiteral("ServerAliveInterval=30"),
                          QStringLiteral("-o"), QStringLiteral("StrictHostKeyChecking=accept-new")};
    // Through a tunnel ssh must still check and record the host key under the real host name. The alias
    // replaces host and port in known_hosts, so off port 22 it carries the port as a direct connection
    // records it ("[host]:port"): otherwise a key known from a direct connection would not be found and
    // any key would be accepted as new.
    if (routed.host != remote.host || routed.port != remote.port) {
        const QString host = remote.host.trimmed();
        const QString alias =
            remote.port == kDefaultSshPort ? host : QStringLiteral("[%1]:%2").arg(host).arg(remote.port);
        arguments << QStringLiteral("-o") << QStringLiteral("HostKeyAlias=") + alias;
    }
    if (batchMode) {
        arguments << QStringLiteral("-o") << QStringLiteral("BatchMode=yes");
    }
    const QString user = remote.username.trimmed();
    const QString host = routed.host.trimmed();
    arguments << (user.isEmpty() ? host : user + QLatin1Char('@') + host);
    return arguments;
}

QProcessEnvironment buildSshEnvironment(const Remote& remote, QString* error)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (remote.password.isEmpty()) {
        return environment;
    }
    const QString helper = prepareAskPassExecutable(error);
    if (helper.isEmpty()) {
        return {};
    }
    const QString protectedValue = protectForAskPass(remote.password, error);
    if (protectedValue.isEmpty()) {
        return {};
    }
    insertAskPassContract(environment, helper, protectedValue);
    return environment;
}

void setAskPassDirectory(const QString& directory)
{
    askPassDirectoryOverride() = directory;
}

QString askPassDirectory()
{
    const QString& directory = askPassDirectoryOverride();
    return directory.isEmpty() ? QCoreApplication::applicationDirPath() : directory;
}

QString prepareAskPassExecutable(QString* error)
{
    // Any path works for ssh here, so the helper runs from where it was installed.
    const QFileInfo helper(QDir(askPassDirectory()).filePath(QString::fromLatin1(askpass::kProgramFileName)));
    if (!helper.isFile() || !helper.isExecutable()) {
        setError(error,
                 QStringLiteral("缺少 SSH 自动登录组件：%1").arg(QString::fromLatin1(askpass::kProgramName)));
        return {};
    }
    return QDir::toNativeSeparators(helper.absoluteFilePath());
}

QString protectForAskPass(const QString& password, QString* error)
{
    if (error) {
        error->clear();
    }
    if (password.isEmpty()) {
        return {};
    }
    QByteArray utf8 = password.toUtf8();
    const QByteArray blob =
        createDataProtection()->protect(utf8, QString::fromLatin1(askpass::kBlobDescription));
    sodium_memzero(utf8.data(), static_cast<size_t>(utf8.size()));
    if (blob.isEmpty()) {
#if defined(Q_OS_WIN)
        setError(
            error,
            QStringLiteral("无法保护 SSH 密码（Windows 错误 %1）").arg(DpapiDataProtection::lastError()));
#else
        setError(error, QStringLiteral("无法保护 SSH 密码（用户数据保护不可用）"));
#endif
        return {};
    }
    return QString::fromLatin1(blob.toBase64());
}

QString quoteCommandArgument(const QString& text)
{
    // Single quotes keep everything literal in a POSIX shell; a quote itself ends the quoted part,
    // is written escaped, and a new quoted part begins.
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString quoteConsoleArgument(const QString& text)
{
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QLatin1String("\\\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString consoleSshCommandLine(const QString& cmd, const QString& ssh, const QStringList& arguments)
{
    // cmd /k takes the rest of the line as one command when it is wrapped in quotes of its own.
    QString line = quoteConsoleArgument(QDir::toNativeSeparators(cmd)) + QLatin1String(" /d /k \"") +
                   quoteConsoleArgument(QDir::toNativeSeparators(ssh));
    for (const QString& argument : arguments) {
        line += QLatin1Char(' ') + quoteConsoleArgument(argument);
    }
    return line + QLatin1Char('"');
}

bool isValidSshUsername(const QString& username)
{
    // A leading hyphen would make the destination read as an ssh option.
    static const QRegularExpression pattern(QStringLiteral("^(?!-)[A-Za-z0-9_.@\\\\-]*$"));
    return pattern.match(username.trimmed()).hasMatch();
}

QString sshWindowTitle(const Remote& remote)
{
    const QString name = remote.name.trimmed();
    const QString host = remote.host.trimmed();
    if (name.isEmpty() || name == host) {
        return QStringLiteral("SSH · %1").arg(host);
    }
    return QStringLiteral("SSH · %1 (%2)").arg(name, host);
}

bool openSshTerminal(const Remote& remote, QString* error)
{
    return openSshTerminal(remote, TerminalLauncher::system(), error);
}

bool openSshTerminal(const Remote& remote, TerminalLauncher& terminal, QString* error)
{
    if (error) {
        error->clear();
    }
    if (!isValidSshTarget(remote.host, remote.port) || !isValidSshUsername(remote.username)) {
        setError(error, QStringLiteral("SSH 主机、端口或用户名无效"));
        return false;
    }
    IProcessLauncher* processes = terminal.processLauncher();
    const QString ssh = processes->findExecutable(QStringLiteral("ssh"));
    if (ssh.isEmpty()) {
#if defined(Q_OS_WIN)
        setError(error,
                 QStringLiteral("未找到 Windows OpenSSH 客户端，请先在系统可选功能中安装 OpenSSH Client"));
#else
        setError(error, QStringLiteral("未找到 OpenSSH 客户端（ssh），请先安装 openssh-client"));
#endif
        return false;
    }
#if defined(Q_OS_WIN)
    // A console window of its own: cmd runs ssh and stays open after it.
    QString cmd = processes->findExecutable(QStringLiteral("cmd"));
    if (cmd.isEmpty()) {
        cmd = qEnvironmentVariable("ComSpec").trimmed();
    }
    if (cmd.isEmpty()) {
        setError(error, QStringLiteral("未找到 Windows 命令提示符，无法打开 SSH 终端"));
        return false;
    }
#else
    TerminalLauncher::Terminal window;
    if (!terminal.findTerminal(&window, error)) {
        return false;
    }
#endif

    QStringList arguments = buildSshArguments(remote, false);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!remote.password.isEmpty()) {
        const QString helper = prepareAskPassExecutable(error);
        if (helper.isEmpty()) {
            return false;
        }
        const QString protectedValue = protectForAskPass(remote.password, error);
        if (protectedValue.isEmpty()) {
            return false;
        }
        // One password attempt: a wrong stored password ends in an error instead of a retry loop.
        arguments.insert(arguments.size() - 1, QStringLiteral("-o"));
        arguments.insert(arguments.size() - 1, QStringLiteral("NumberOfPasswordPrompts=1"));
        insertAskPassContract(environment, helper, protectedValue);
    }

#if defined(Q_OS_WIN)
    // Without a password the console inherits this program's environment as it is.
    const std::optional<QProcessEnvironment> block =
        remote.password.isEmpty() ? std::nullopt : std::optional<QProcessEnvironment>(environment);
    unsigned long systemError = 0;
    const bool launched =
        processes->startInNewConsole(consoleSshCommandLine(cmd, ssh, arguments), block, &systemError);
    if (!launched && systemError != 0) {
        setError(error, QStringLiteral("无法打开 SSH 终端（Windows 错误 %1）").arg(systemError));
    }
    const QString shownIn = QStringLiteral("cmd.exe");
#else
    const QString title = sshWindowTitle(remote);
    const bool launched = terminal.launch(window, title, keepOpenSshCommand(title, ssh, arguments),
                                          environment, nullptr, error);
    const QString shownIn = QFileInfo(window.program).fileName();
#endif
    if (!launched) {
        if (error && error->isEmpty()) {
            *error = QStringLiteral("无法启动 SSH 终端");
        }
        SPDLOG_WARN("SSH 终端未能打开: {}:{}", remote.host.trimmed(), remote.port);
        return false;
    }
    SPDLOG_INFO("已打开 SSH 终端: {}:{} ({})", remote.host.trimmed(), remote.port, shownIn);
    return true;
}
