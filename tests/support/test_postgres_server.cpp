#include "support/test_postgres_server.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QVersionNumber>

#include <algorithm>
#include <csignal>
#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

// Bounds for processes to end or the server to come up, not pauses: a loaded machine may need them.
constexpr int kToolTimeoutMs = 120000;
constexpr int kStartTimeoutMs = 30000;
constexpr int kStopTimeoutMs = 30000;
constexpr int kKillTimeoutMs = 5000;
const char kReady[] = "database system is ready to accept connections";

// The newest /usr/lib/postgresql/<version>/bin with initdb and postgres, else their folder on PATH.
QString binDirectory()
{
    static const QString directory = [] {
        const QDir root(QStringLiteral("/usr/lib/postgresql"));
        QStringList versions = root.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        std::sort(versions.begin(), versions.end(), [](const QString& a, const QString& b) {
            return QVersionNumber::fromString(a) > QVersionNumber::fromString(b);
        });
        for (const QString& version : versions) {
            const QDir bin(root.filePath(version + QStringLiteral("/bin")));
            if (QFileInfo(bin.filePath(QStringLiteral("initdb"))).isExecutable() &&
                QFileInfo(bin.filePath(QStringLiteral("postgres"))).isExecutable()) {
                return bin.path();
            }
        }
        const QString initdb = QStandardPaths::findExecutable(QStringLiteral("initdb"));
        if (!initdb.isEmpty()) {
            const QDir bin = QFileInfo(initdb).dir();
            if (QFileInfo(bin.filePath(QStringLiteral("postgres"))).isExecutable()) {
                return bin.path();
            }
        }
        return QString();
    }();
    return directory;
}

QString tool(const QString& name)
{
    return QDir(binDirectory()).filePath(name);
}

bool runningAsRoot()
{
    return ::geteuid() == 0;
}

// Under root the server runs as nobody; false when there is no such user.
bool serverIds(uid_t* uid, gid_t* gid)
{
    if (!runningAsRoot()) {
        *uid = ::geteuid();
        *gid = ::getegid();
        return true;
    }
    const passwd* entry = ::getpwnam("nobody");
    if (!entry) {
        return false;
    }
    *uid = entry->pw_uid;
    *gid = entry->pw_gid;
    return true;
}

// The command line prefix that runs a server program as that user; empty when not root.
// setpriv restores the parent-death signal, which the change of user clears.
QStringList serverLaunchPrefix()
{
    uid_t uid = 0;
    gid_t gid = 0;
    if (!runningAsRoot() || !serverIds(&uid, &gid)) {
        return {};
    }
    return {QStringLiteral("setpriv"), QStringLiteral("--reuid=%1").arg(uid),
            QStringLiteral("--regid=%1").arg(gid), QStringLiteral("--clear-groups"),
            QStringLiteral("--pdeathsig=INT")};
}

// Hands a directory tree to the server's user (nothing to do when not root).
bool giveToServerUser(const QString& path)
{
    uid_t uid = 0;
    gid_t gid = 0;
    if (!runningAsRoot()) {
        return true;
    }
    if (!serverIds(&uid, &gid)) {
        return false;
    }
    bool ok = ::lchown(QFile::encodeName(path).constData(), uid, gid) == 0;
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        ok = ::lchown(QFile::encodeName(it.next()).constData(), uid, gid) == 0 && ok;
    }
    return ok;
}

// English messages (the readiness line is matched) and no PG* settings of whoever runs the tests.
QProcessEnvironment toolEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString& key : environment.keys()) {
        if (key.startsWith(QLatin1String("PG"))) {
            environment.remove(key);
        }
    }
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    environment.insert(QStringLiteral("PGCONNECT_TIMEOUT"), QStringLiteral("10"));
    return environment;
}

// Runs a program to its end; false with its output in `error` when it fails.
bool runTool(QStringList command, const QString& workingDirectory, QByteArray* output, QString* error)
{
    QProcess process;
    process.setProcessEnvironment(toolEnvironment());
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    if (!workingDirectory.isEmpty()) {
        process.setWorkingDirectory(workingDirectory);
    }
    const QString program = command.takeFirst();
    process.start(program, command);
    const QString what = QFileInfo(program).fileName();
    if (!process.waitForStarted(kToolTimeoutMs)) {
        *error = what + QStringLiteral(" did not start: ") + process.errorString();
        return false;
    }
    if (!process.waitForFinished(kToolTimeoutMs)) {
        process.kill();
        process.waitForFinished(kKillTimeoutMs);
        *error = what + QStringLiteral(" did not finish: ") + QString::fromLocal8Bit(process.readAll());
        return false;
    }
    const QByteArray printed = process.readAll();
    if (output) {
        *output += printed;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        *error = what + QStringLiteral(" failed: ") + QString::fromLocal8Bit(printed).trimmed();
        return false;
    }
    return true;
}

quint16 freeLoopbackPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

} // namespace

// Under /tmp, which every user may pass through, and short: the socket path has a length limit.
TestPostgresServer::TestPostgresServer() : m_dir(QStringLiteral("/tmp/nimbara-pg-XXXXXX"))
{
    QObject::connect(&m_process, &QProcess::readyRead, &m_process, [this] { m_log += m_process.readAll(); });
}

TestPostgresServer::~TestPostgresServer()
{
    stop();
}

QString TestPostgresServer::unavailableReason()
{
    static const QString reason = [] {
        if (binDirectory().isEmpty()) {
            return QStringLiteral("PostgreSQL is not installed (Debian package postgresql): no initdb and "
                                  "postgres in /usr/lib/postgresql/*/bin or on PATH");
        }
        if (!QFileInfo(tool(QStringLiteral("createdb"))).isExecutable()) {
            return QStringLiteral("createdb is missing from ") + binDirectory();
        }
        if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL"))) {
            return QStringLiteral("the Qt PostgreSQL driver is missing (Debian package libqt6sql6-psql)");
        }
        uid_t uid = 0;
        gid_t gid = 0;
        if (runningAsRoot()) {
            if (QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty()) {
                return QStringLiteral(
                    "PostgreSQL refuses to run as root and setpriv (util-linux) is missing");
            }
            if (!serverIds(&uid, &gid)) {
                return QStringLiteral(
                    "PostgreSQL refuses to run as root and there is no user nobody to run as");
            }
        } else if (!::getpwuid(::geteuid())) {
            return QStringLiteral("initdb needs a passwd entry for the current user id %1").arg(::geteuid());
        }
        // The server's user must be able to run the binaries (every folder on the way lets it through).
        QString error;
        if (!runTool(serverLaunchPrefix() +
                         QStringList{tool(QStringLiteral("postgres")), QStringLiteral("--version")},
                     QDir::rootPath(), nullptr, &error)) {
            return QStringLiteral("cannot run postgres as the server's user: ") + error;
        }
        return QString();
    }();
    return reason;
}

QString TestPostgresServer::path(const QString& name) const
{
    return m_dir.filePath(name);
}

QString TestPostgresServer::dataDirectory() const
{
    return path(QStringLiteral("data"));
}

bool TestPostgresServer::initialize(QString* error)
{
    if (!m_dir.isValid()) {
        *error = QStringLiteral("no temporary directory: ") + m_dir.errorString();
        return false;
    }
    if (!QDir().mkpath(path(QStringLiteral("socket"))) || !giveToServerUser(m_dir.path())) {
        *error = QStringLiteral("cannot prepare ") + m_dir.path() + QStringLiteral(" for the server's user");
        return false;
    }
    return runTool(serverLaunchPrefix() + QStringList{tool(QStringLiteral("initdb")), QStringLiteral("-D"),
                                                      dataDirectory(), QStringLiteral("-U"), user(),
                                                      QStringLiteral("--auth=trust"), QStringLiteral("-E"),
                                                      QStringLiteral("UTF8"), QStringLiteral("--locale=C"),
                                                      QStringLiteral("--no-sync")},
                   m_dir.path(), &m_log, error);
}

bool TestPostgresServer::launch(QString* error)
{
    const qsizetype logStart = m_log.size();
    QStringList command = serverLaunchPrefix();
    // fsync and full-page writes guard against a machine crash; a throwaway cluster needs neither.
    command += {tool(QStringLiteral("postgres")),
                QStringLiteral("-D"),
                dataDirectory(),
                QStringLiteral("-h"),
                host(),
                QStringLiteral("-p"),
                QString::number(m_port),
                QStringLiteral("-k"),
                path(QStringLiteral("socket")),
                QStringLiteral("-F"),
                QStringLiteral("-c"),
                QStringLiteral("full_page_writes=off")};
    m_process.setProcessEnvironment(toolEnvironment());
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setStandardInputFile(QProcess::nullDevice());
    m_process.setWorkingDirectory(m_dir.path());
    // A test that dies must not leave its server running (fast shutdown).
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGINT); });
    const QString program = command.takeFirst();
    m_process.start(program, command);
    if (!m_process.waitForStarted(kStartTimeoutMs)) {
        *error = QStringLiteral("postgres did not start: ") + m_process.errorString();
        return false;
    }
    const QDeadlineTimer deadline(kStartTimeoutMs);
    while (true) {
        m_log += m_process.readAll();
        const QByteArray output = m_log.mid(logStart);
        if (output.contains(kReady)) {
            return true;
        }
        if (m_process.state() == QProcess::NotRunning) {
            *error = QStringLiteral("postgres ended: ") + QString::fromLocal8Bit(output);
            return false;
        }
        if (deadline.hasExpired()) {
            *error = QStringLiteral("postgres is not ready: ") + QString::fromLocal8Bit(output);
            stop();
            return false;
        }
        // Returns on new output, on the server's end, or at the deadline.
        m_process.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
    }
}

bool TestPostgresServer::start(QString* error)
{
    const QString reason = unavailableReason();
    if (!reason.isEmpty()) {
        *error = reason;
        return false;
    }
    if (isRunning()) {
        return true;
    }
    if (!m_initialized) {
        if (!initialize(error)) {
            return false;
        }
        m_initialized = true;
    }
    // Another program may take the chosen port before the server binds it; then try another.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt > 0 || m_port == 0) {
            m_port = freeLoopbackPort();
        }
        if (launch(error)) {
            return true;
        }
        if (!error->contains(QLatin1String("Address already in use"))) {
            return false;
        }
    }
    return false;
}

void TestPostgresServer::stop()
{
    if (m_process.state() == QProcess::NotRunning) {
        return;
    }
    const auto pid = static_cast<pid_t>(m_process.processId());
    // SIGINT is PostgreSQL's fast shutdown; SIGQUIT its immediate one, for a server that hangs.
    ::kill(pid, SIGINT);
    if (!m_process.waitForFinished(kStopTimeoutMs)) {
        ::kill(pid, SIGQUIT);
        if (!m_process.waitForFinished(kKillTimeoutMs)) {
            m_process.kill();
            m_process.waitForFinished(kKillTimeoutMs);
        }
    }
    m_log += m_process.readAll();
}

bool TestPostgresServer::setPaused(bool paused)
{
    if (!isRunning()) {
        return false;
    }
    const auto postmaster = static_cast<pid_t>(m_process.processId());
    QList<pid_t> pids{postmaster};
    // The postmaster's children from /proc/<pid>/stat: "pid (name) state ppid ...".
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly)) {
            continue;
        }
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(1).toLongLong() == postmaster) {
            pids.append(static_cast<pid_t>(entry.toLongLong()));
        }
    }
    bool ok = true;
    for (const pid_t pid : pids) {
        ok = ::kill(pid, paused ? SIGSTOP : SIGCONT) == 0 && ok;
    }
    return ok;
}

QString TestPostgresServer::connectionString(const QString& database) const
{
    return QStringLiteral("host=%1 port=%2 dbname=%3 user=%4").arg(host()).arg(m_port).arg(database, user());
}

bool TestPostgresServer::createDatabase(const QString& name, QString* error)
{
    static const QRegularExpression validName(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]{0,62}$"));
    if (!validName.match(name).hasMatch()) {
        *error = QStringLiteral("unusable database name: ") + name;
        return false;
    }
    if (!isRunning()) {
        *error = QStringLiteral("the server is not running");
        return false;
    }
    // As a client over TCP, like the programs under test.
    return runTool({tool(QStringLiteral("createdb")), QStringLiteral("-h"), host(), QStringLiteral("-p"),
                    QString::number(m_port), QStringLiteral("-U"), user(), QStringLiteral("-w"), name},
                   QString(), nullptr, error);
}

QSqlDatabase TestPostgresServer::addDatabase(const QString& connectionName, const QString& database) const
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connectionName);
    db.setHostName(host());
    db.setPort(m_port);
    db.setDatabaseName(database);
    db.setUserName(user());
    db.setConnectOptions(QStringLiteral("connect_timeout=10"));
    return db;
}

QByteArray TestPostgresServer::log()
{
    m_log += m_process.readAll();
    return m_log;
}
