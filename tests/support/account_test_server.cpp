#include "support/account_test_server.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>

#include <csignal>

namespace {

constexpr int kStartTimeoutMs = 30000;
constexpr int kCommandTimeoutMs = 60000;

QString quoted(const QString& text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('"'), QLatin1String("\\\""));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

} // namespace

AccountTestServer::AccountTestServer() = default;

AccountTestServer::~AccountTestServer()
{
    stop();
}

QString AccountTestServer::programPath()
{
    return QStringLiteral(NIMBARA_BINARY_DIR "/nimbara-account-server");
}

QString AccountTestServer::unavailableReason()
{
    if (!QFileInfo(programPath()).isExecutable()) {
        return QStringLiteral("%1 is not built").arg(programPath());
    }
    return TestCertificateAuthority::unavailableReason();
}

bool AccountTestServer::start(QString* error)
{
    return start(Options(), error);
}

bool AccountTestServer::start(const Options& options, QString* error)
{
    if (!m_directory.isValid()) {
        *error = QStringLiteral("no temporary directory");
        return false;
    }
    m_options = options;
    if (options.tls && !m_ca) {
        m_ca = std::make_unique<TestCertificateAuthority>(m_directory.filePath(QStringLiteral("ca")));
        TestCertificateAuthority::Leaf leaf;
        if (!QDir().mkpath(m_ca->directory()) || !m_ca->create(error) ||
            !m_ca->issue(QStringLiteral("server"), &leaf, error)) {
            return false;
        }
        QFile::remove(m_directory.filePath(QStringLiteral("server.crt")));
        QFile::remove(m_directory.filePath(QStringLiteral("server.key")));
        if (!QFile::copy(leaf.certificatePath, m_directory.filePath(QStringLiteral("server.crt"))) ||
            !QFile::copy(leaf.keyPath, m_directory.filePath(QStringLiteral("server.key")))) {
            *error = QStringLiteral("cannot copy the server certificate");
            return false;
        }
    }
    return writeConfig(error) && launch(error);
}

bool AccountTestServer::writeConfig(QString* error)
{
    QString text = QStringLiteral("[server]\nlisten = \"127.0.0.1:%1\"\n").arg(m_port);
    if (m_options.tls) {
        text += QStringLiteral("certificate = \"server.crt\"\nprivate_key = \"server.key\"\n");
    }
    if (!m_options.publicUrl.isEmpty()) {
        text += QStringLiteral("public_url = %1\n").arg(quoted(m_options.publicUrl));
    }
    if (m_options.trustForwardedFor) {
        text += QStringLiteral("trust_forwarded_for = true\n");
    }
    if (!m_options.allowRegistration) {
        text += QStringLiteral("allow_registration = false\n");
    }
    text += QStringLiteral("\n[storage]\n");
    const QString sqlite =
        m_options.sqlitePath.isEmpty() ? QStringLiteral("data/accounts.db") : m_options.sqlitePath;
    text += m_options.postgresql.isEmpty()
                ? QStringLiteral("sqlite = %1\n").arg(quoted(sqlite))
                : QStringLiteral("postgresql = %1\n").arg(quoted(m_options.postgresql));
    if (m_options.databaseTimeoutSeconds > 0) {
        text += QStringLiteral("timeout_seconds = %1\n").arg(m_options.databaseTimeoutSeconds);
    }
    // Tests register many accounts from 127.0.0.1: no registration limit unless the test sets one.
    QString extra = m_options.extraConfig;
    if (!extra.contains(QLatin1String("registrations_per_address"))) {
        const QString unlimited = QStringLiteral("[limits]\nregistrations_per_address = 1000000\n");
        if (extra.contains(QLatin1String("[limits]\n"))) {
            extra.replace(QLatin1String("[limits]\n"), unlimited);
        } else {
            extra += QLatin1Char('\n') + unlimited;
        }
    }
    text += QStringLiteral("\n[update]\ndirectory = \"updates\"\n\n") + extra;
    QFile file(configPath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text.toUtf8()) < 0 ||
        !file.flush()) {
        *error = QStringLiteral("cannot write %1").arg(configPath());
        return false;
    }
    return true;
}

bool AccountTestServer::launch(QString* error)
{
    m_process = std::make_unique<QProcess>();
    m_process->setProgram(programPath());
    m_process->setArguments({QStringLiteral("serve"), QStringLiteral("--config"), configPath()});
    m_process->setStandardErrorFile(logPath(), QIODevice::Append);
    m_process->start();
    if (!m_process->waitForStarted(kStartTimeoutMs)) {
        *error = QStringLiteral("cannot start %1: %2").arg(programPath(), m_process->errorString());
        return false;
    }
    // The server prints one line on standard output once it listens.
    static const QRegularExpression listening(QStringLiteral("listening on https?://[^:]+:(\\d+)"));
    QByteArray output;
    const QDeadlineTimer deadline(kStartTimeoutMs);
    while (!deadline.hasExpired()) {
        output += m_process->readAllStandardOutput();
        const QRegularExpressionMatch match = listening.match(QString::fromUtf8(output));
        if (match.hasMatch()) {
            m_port = static_cast<quint16>(match.captured(1).toUInt());
            if (m_port != 0) {
                // Restarts keep the address the clients know.
                return writeConfig(error);
            }
        }
        if (m_process->state() != QProcess::Running) {
            break;
        }
        m_process->waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
    }
    *error = QStringLiteral("the account server did not start: %1").arg(QString::fromUtf8(log().right(2000)));
    kill();
    return false;
}

void AccountTestServer::stop()
{
    if (!m_process) {
        return;
    }
    if (m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(kStartTimeoutMs)) {
            m_process->kill();
            m_process->waitForFinished(kStartTimeoutMs);
        }
    }
    m_process.reset();
}

void AccountTestServer::kill()
{
    if (!m_process) {
        return;
    }
    if (m_process->state() != QProcess::NotRunning) {
        ::kill(static_cast<pid_t>(m_process->processId()), SIGKILL);
        m_process->waitForFinished(kStartTimeoutMs);
    }
    m_process.reset();
}

bool AccountTestServer::restart(QString* error)
{
    stop();
    return launch(error);
}

QString AccountTestServer::baseUrl() const
{
    return QStringLiteral("%1://127.0.0.1:%2")
        .arg(m_options.tls ? QStringLiteral("https") : QStringLiteral("http"))
        .arg(m_port);
}

QSslConfiguration AccountTestServer::clientConfiguration() const
{
    return m_ca ? m_ca->clientConfiguration() : QSslConfiguration::defaultConfiguration();
}

QByteArray AccountTestServer::log() const
{
    QFile file(logPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

AccountTestServer::CommandResult AccountTestServer::admin(const QStringList& arguments,
                                                          const QByteArray& input) const
{
    const std::unique_ptr<QProcess> process = startAdmin(arguments, input);
    return finishAdmin(process.get());
}

std::unique_ptr<QProcess> AccountTestServer::startAdmin(const QStringList& arguments,
                                                        const QByteArray& input) const
{
    auto process = std::make_unique<QProcess>();
    process->start(programPath(), arguments + QStringList{QStringLiteral("--config"), configPath()});
    if (process->waitForStarted(kCommandTimeoutMs)) {
        process->write(input);
        process->closeWriteChannel();
    }
    return process;
}

AccountTestServer::CommandResult AccountTestServer::finishAdmin(QProcess* process)
{
    CommandResult result;
    if (process->error() == QProcess::FailedToStart) {
        result.err = process->errorString().toUtf8();
        return result;
    }
    if (!process->waitForFinished(kCommandTimeoutMs) && process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished();
        result.err = "timed out";
        return result;
    }
    result.exitCode = process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
    result.out = process->readAllStandardOutput();
    result.err = process->readAllStandardError();
    return result;
}

bool AccountTestServer::addUser(const QString& email, const QString& name, const QString& password,
                                QString* error) const
{
    const CommandResult result = admin({QStringLiteral("user"), QStringLiteral("add"),
                                        QStringLiteral("--email"), email, QStringLiteral("--name"), name},
                                       password.toUtf8() + '\n');
    if (result.exitCode != 0) {
        *error = QString::fromUtf8(result.err);
        return false;
    }
    return true;
}

bool AccountTestServer::execSql(const QString& sql, const QVariantList& values, QVariant* firstValue,
                                QString* error) const
{
    const QString name = QStringLiteral("account-test-%1").arg(QUuid::createUuid().toString(QUuid::Id128));
    bool ok = false;
    {
        QSqlDatabase db;
        if (m_options.postgresql.isEmpty()) {
            db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            db.setDatabaseName(m_options.sqlitePath.isEmpty() ? databasePath() : m_options.sqlitePath);
            db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
        } else {
            db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
            db.setConnectOptions(m_options.postgresql);
        }
        if (!db.open()) {
            *error = db.lastError().text();
        } else {
            QSqlQuery query(db);
            if (values.isEmpty()) {
                ok = query.exec(sql); // not prepared: PostgreSQL prepares no schema changes
            } else {
                query.prepare(sql);
                for (qsizetype i = 0; i < values.size(); ++i) {
                    query.bindValue(static_cast<int>(i), values.at(i));
                }
                ok = query.exec();
            }
            if (!ok) {
                *error = query.lastError().text();
            } else if (firstValue) {
                *firstValue = query.next() ? query.value(0) : QVariant();
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}
