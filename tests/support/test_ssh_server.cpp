#include "support/test_ssh_server.h"

#include "support/test_environment.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QSet>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTest>

#include <csignal>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kStartTimeoutMs = 15000;
constexpr int kToolTimeoutMs = 15000;
const char kSshd[] = "/usr/sbin/sshd";
// Mounts the copies over the system files inside the new namespace only, then becomes sshd.
const char kNamespaceScript[] =
    "mount --bind \"$1\" /etc/passwd && mount --bind \"$2\" /etc/shadow && exec \"$3\" -D -e -f \"$4\"";

bool runTool(const QString& program, const QStringList& arguments, const QByteArray& input,
             QByteArray* output, QString* error)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForStarted(kToolTimeoutMs)) {
        *error = program + QStringLiteral(" did not start: ") + process.errorString();
        return false;
    }
    if (!input.isEmpty()) {
        process.write(input);
    }
    process.closeWriteChannel();
    if (!process.waitForFinished(kToolTimeoutMs) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        *error =
            program + QStringLiteral(" failed: ") + QString::fromLocal8Bit(process.readAllStandardError());
        process.kill();
        process.waitForFinished(1000);
        return false;
    }
    if (output) {
        *output = process.readAllStandardOutput();
    }
    return true;
}

bool writeText(const QString& path, const QByteArray& content, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size()) {
        *error = QStringLiteral("cannot write ") + path;
        return false;
    }
    return true;
}

QByteArray quoted(const QString& path)
{
    return '"' + QFile::encodeName(path) + '"';
}

QByteArray shellQuoted(const QString& text)
{
    QByteArray bytes = text.toUtf8();
    bytes.replace('\'', "'\\''");
    return '\'' + bytes + '\'';
}

} // namespace

TestSshServer::TestSshServer() : m_dir(QStringLiteral("/tmp/nimbara-sshd-XXXXXX"))
{
    // Under /tmp and world-traversable: sessions run as the unprivileged test user, whose home lies here.
    if (m_dir.isValid()) {
        ::chmod(QFile::encodeName(m_dir.path()).constData(), 0755);
    }
}

TestSshServer::~TestSshServer()
{
    stop();
}

QString TestSshServer::unavailableReason()
{
    static const QString reason = [] {
        if (::geteuid() != 0) {
            return QStringLiteral("the test sshd needs root (a private mount namespace for its test user)");
        }
        if (!QFileInfo(QString::fromLatin1(kSshd)).isExecutable()) {
            return QStringLiteral("openssh-server is not installed (no /usr/sbin/sshd)");
        }
        for (const char* tool : {"ssh", "ssh-keygen", "unshare", "mount", "openssl"}) {
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) {
                return QStringLiteral("%1 is not installed").arg(QString::fromLatin1(tool));
            }
        }
        QProcess probe;
        probe.start(QStringLiteral("unshare"), {QStringLiteral("-m"), QStringLiteral("true")});
        if (!probe.waitForFinished(kToolTimeoutMs) || probe.exitCode() != 0) {
            return QStringLiteral("no private mount namespace here: ") +
                   QString::fromLocal8Bit(probe.readAllStandardError()).trimmed();
        }
        return QString();
    }();
    return reason;
}

QString TestSshServer::path(const QString& name) const
{
    return m_dir.filePath(name);
}

QString TestSshServer::homePath() const
{
    return path(QStringLiteral("home"));
}

QString TestSshServer::clientKeyPath() const
{
    return path(QStringLiteral("client_ed25519"));
}

QString TestSshServer::knownHostsPath() const
{
    return path(QStringLiteral("known_hosts"));
}

QByteArray TestSshServer::hostPublicKey() const
{
    QFile file(path(QStringLiteral("host_ed25519.pub")));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QList<QByteArray> fields = file.readAll().trimmed().split(' ');
    return fields.size() >= 2 ? fields[0] + ' ' + fields[1] : QByteArray();
}

bool TestSshServer::makeHostKey(QString* error)
{
    QFile::remove(path(QStringLiteral("host_ed25519")));
    QFile::remove(path(QStringLiteral("host_ed25519.pub")));
    return runTool(QStringLiteral("ssh-keygen"),
                   {QStringLiteral("-q"), QStringLiteral("-t"), QStringLiteral("ed25519"),
                    QStringLiteral("-N"), QString(), QStringLiteral("-C"),
                    QStringLiteral("nimbara-test-host"), QStringLiteral("-f"),
                    path(QStringLiteral("host_ed25519"))},
                   {}, nullptr, error);
}

bool TestSshServer::prepareFiles(QString* error)
{
    if (!m_dir.isValid()) {
        *error = QStringLiteral("no temporary directory");
        return false;
    }
    if (!QDir().mkpath(QStringLiteral("/run/sshd"))) {
        *error = QStringLiteral("cannot create /run/sshd");
        return false;
    }
    if (!makeHostKey(error) ||
        !runTool(QStringLiteral("ssh-keygen"),
                 {QStringLiteral("-q"), QStringLiteral("-t"), QStringLiteral("ed25519"), QStringLiteral("-N"),
                  QString(), QStringLiteral("-C"), QStringLiteral("nimbara-test-client"),
                  QStringLiteral("-f"), clientKeyPath()},
                 {}, nullptr, error)) {
        return false;
    }
    if (!QFile::copy(clientKeyPath() + QStringLiteral(".pub"), path(QStringLiteral("authorized_keys")))) {
        *error = QStringLiteral("cannot write authorized_keys");
        return false;
    }

    // The system's accounts plus the test user under a uid nobody has.
    QByteArray passwd;
    QByteArray shadow;
    {
        QFile passwdFile(QStringLiteral("/etc/passwd"));
        QFile shadowFile(QStringLiteral("/etc/shadow"));
        if (!passwdFile.open(QIODevice::ReadOnly) || !shadowFile.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read /etc/passwd or /etc/shadow");
            return false;
        }
        passwd = passwdFile.readAll();
        shadow = shadowFile.readAll();
    }
    QSet<uint> uids;
    bool havePrivsepUser = false;
    for (const QByteArray& line : passwd.split('\n')) {
        const QList<QByteArray> fields = line.split(':');
        if (fields.size() > 2) {
            uids.insert(fields[2].toUInt());
            havePrivsepUser = havePrivsepUser || fields[0] == "sshd";
        }
    }
    uint uid = 61000;
    while (uids.contains(uid) || uids.contains(uid + 1)) {
        uid += 2;
    }
    QByteArray hash;
    if (!runTool(QStringLiteral("openssl"),
                 {QStringLiteral("passwd"), QStringLiteral("-6"), QStringLiteral("-stdin")},
                 m_options.password.toUtf8() + '\n', &hash, error)) {
        return false;
    }
    hash = hash.trimmed();
    if (!passwd.endsWith('\n')) {
        passwd.append('\n');
    }
    if (!shadow.endsWith('\n')) {
        shadow.append('\n');
    }
    passwd += user().toLatin1() + ":x:" + QByteArray::number(uid) + ':' + QByteArray::number(uid) +
              ":NIMBARA test:" + QFile::encodeName(homePath()) + ":/bin/sh\n";
    shadow += user().toLatin1() + ':' + hash + ":19000:0:99999:7:::\n";
    if (!havePrivsepUser) {
        passwd += "sshd:x:" + QByteArray::number(uid + 1) + ":65534::/run/sshd:/usr/sbin/nologin\n";
    }
    if (!writeText(path(QStringLiteral("passwd")), passwd, error) ||
        !writeText(path(QStringLiteral("shadow")), shadow, error)) {
        return false;
    }
    ::chmod(QFile::encodeName(path(QStringLiteral("shadow"))).constData(), 0600);

    if (!QDir().mkpath(homePath()) || ::chown(QFile::encodeName(homePath()).constData(),
                                              static_cast<uid_t>(uid), static_cast<gid_t>(uid)) != 0) {
        *error = QStringLiteral("cannot prepare the test user's home");
        return false;
    }

    // Client side: no system or user configuration, this server's own known hosts.
    const QByteArray common = "UserKnownHostsFile " + quoted(knownHostsPath()) +
                              "\nGlobalKnownHostsFile /dev/null\nUpdateHostKeys no\nIdentityAgent none\n";
    return writeText(path(QStringLiteral("client_password.conf")),
                     common + "PubkeyAuthentication no\nIdentitiesOnly yes\n", error) &&
           writeText(path(QStringLiteral("client_key.conf")),
                     common + "IdentitiesOnly yes\nIdentityFile " + quoted(clientKeyPath()) + '\n', error);
}

bool TestSshServer::writeConfig(QString* error)
{
    QByteArray config;
    config += "Port " + QByteArray::number(m_port) + '\n';
    config += "ListenAddress 127.0.0.1\n";
    config += "HostKey " + quoted(path(QStringLiteral("host_ed25519"))) + '\n';
    config += "AuthorizedKeysFile " + quoted(path(QStringLiteral("authorized_keys"))) + '\n';
    config += "PidFile none\n"
              "UsePAM no\n"
              "PasswordAuthentication yes\n"
              "KbdInteractiveAuthentication no\n"
              "PubkeyAuthentication yes\n"
              "StrictModes no\n"
              "PermitRootLogin no\n"
              "AllowUsers nimbaratest\n"
              "MaxStartups 200\n"
              "MaxSessions 200\n"
              "LoginGraceTime 60\n"
              "UseDNS no\n"
              "PrintMotd no\n"
              "PrintLastLog no\n"
              "LogLevel VERBOSE\n";
    if (!m_options.forceCommand.isEmpty()) {
        config += "ForceCommand " + m_options.forceCommand.toUtf8() + '\n';
    }
    return writeText(path(QStringLiteral("sshd_config")), config, error);
}

bool TestSshServer::launch(QString* error)
{
    if (!writeConfig(error)) {
        return false;
    }
    const QString logPath = path(QStringLiteral("sshd.log"));
    const qint64 logStart = QFileInfo(logPath).exists() ? QFileInfo(logPath).size() : 0;
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setStandardOutputFile(logPath, QIODevice::Append);
    m_process.setStandardInputFile(QProcess::nullDevice());
    // A test killed on a timeout must not leave its sshd listening.
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_process.start(QStringLiteral("unshare"),
                    {QStringLiteral("-m"), QStringLiteral("--propagation"), QStringLiteral("private"),
                     QStringLiteral("/bin/sh"), QStringLiteral("-c"), QString::fromLatin1(kNamespaceScript),
                     QStringLiteral("sh"), path(QStringLiteral("passwd")), path(QStringLiteral("shadow")),
                     QString::fromLatin1(kSshd), path(QStringLiteral("sshd_config"))});
    if (!m_process.waitForStarted(kStartTimeoutMs)) {
        *error = QStringLiteral("sshd did not start: ") + m_process.errorString();
        return false;
    }
    const QByteArray ready = "Server listening on 127.0.0.1 port " + QByteArray::number(m_port);
    const QDeadlineTimer deadline(kStartTimeoutMs);
    while (!deadline.hasExpired()) {
        const QByteArray output = log().mid(logStart);
        if (output.contains(ready)) {
            return true;
        }
        if (m_process.state() != QProcess::Running) {
            *error = QStringLiteral("sshd ended: ") + QString::fromLocal8Bit(output);
            return false;
        }
        QTest::qWait(20);
    }
    *error = QStringLiteral("sshd does not listen: ") + QString::fromLocal8Bit(log().mid(logStart));
    stop();
    return false;
}

bool TestSshServer::start(QString* error)
{
    return start(Options(), error);
}

bool TestSshServer::start(const Options& options, QString* error)
{
    const QString reason = unavailableReason();
    if (!reason.isEmpty()) {
        *error = reason;
        return false;
    }
    stop();
    m_options = options;
    if (!m_prepared) {
        if (!prepareFiles(error)) {
            return false;
        }
        m_prepared = true;
    }
    // Another program may take the chosen port before sshd binds it; then try another.
    for (int attempt = 0; attempt < 3; ++attempt) {
        m_port = freeLoopbackPort();
        if (launch(error)) {
            return true;
        }
        if (!error->contains(QLatin1String("Address already in use"))) {
            return false;
        }
    }
    return false;
}

void TestSshServer::stop()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
}

bool TestSshServer::restartWithNewHostKey(QString* error)
{
    if (!m_prepared || m_port == 0) {
        *error = QStringLiteral("the server was never started");
        return false;
    }
    stop();
    return makeHostKey(error) && launch(error);
}

QStringList TestSshServer::clientOptions(ClientAuth auth) const
{
    return {QStringLiteral("-F"), path(auth == ClientAuth::Key ? QStringLiteral("client_key.conf")
                                                               : QStringLiteral("client_password.conf"))};
}

bool TestSshServer::installSshWrapper(const QString& directory, ClientAuth auth, QString* error) const
{
    const QString ssh = QStandardPaths::findExecutable(QStringLiteral("ssh"));
    if (ssh.isEmpty()) {
        *error = QStringLiteral("ssh is not installed");
        return false;
    }
    QByteArray script = "#!/bin/sh\nexec " + shellQuoted(ssh);
    for (const QString& option : clientOptions(auth)) {
        script += ' ' + shellQuoted(option);
    }
    script += " \"$@\"\n";
    const QString wrapper = QDir(directory).filePath(QStringLiteral("ssh"));
    if (!QDir().mkpath(directory) || !writeText(wrapper, script, error)) {
        return false;
    }
    ::chmod(QFile::encodeName(wrapper).constData(), 0755);
    return true;
}

Remote TestSshServer::remote(bool withPassword) const
{
    Remote remote;
    remote.id = QStringLiteral("test-ssh-%1").arg(m_port);
    remote.name = QStringLiteral("test sshd %1").arg(m_port);
    remote.host = host();
    remote.port = m_port;
    remote.username = user();
    remote.password = withPassword ? password() : QString();
    remote.protocol = QStringLiteral("ssh");
    return remote;
}

QByteArray TestSshServer::log() const
{
    QFile file(path(QStringLiteral("sshd.log")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool SilentTcpHost::start(QString* error)
{
    QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
        // Kept open (children of the server) and never written to.
        while (QTcpSocket* socket = m_server.nextPendingConnection()) {
            Q_UNUSED(socket);
            ++m_accepted;
        }
    });
    if (!m_server.listen(QHostAddress::LocalHost, 0)) {
        *error = m_server.errorString();
        return false;
    }
    return true;
}

void SilentTcpHost::stop()
{
    m_server.close();
    qDeleteAll(m_server.findChildren<QTcpSocket*>());
}
