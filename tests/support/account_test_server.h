#pragma once

#include "support/test_certificate_authority.h"

#include <QByteArray>
#include <QProcess>
#include <QSslConfiguration>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

#include <memory>

// The real account server (nimbara-account-server) on a free loopback port with its own directory:
// configuration, SQLite database (or a PostgreSQL database given by the test), update directory, log
// file, and a private CA with a certificate for 127.0.0.1 made by the openssl program.
//
//     AccountTestServer server;
//     QString error;
//     QVERIFY2(server.start(&error), qPrintable(error));
//     QNetworkAccessManager network;  // requests use server.clientConfiguration()
//     ... server.url("/api/v1/auth/login") ...
//     server.admin({"team", "add-member", "--owner", a, "--member", b});
//
// After the first start the port stays the same across restarts, so clients keep their address.
class AccountTestServer
{
public:
    struct Options
    {
        bool tls = true;
        // libpq key=value string; empty: SQLite in the server's directory.
        QString postgresql;
        // SQLite file to use instead of the server's own (a second server on the first one's file).
        QString sqlitePath;
        // [server] public_url, the base of the download links the server announces; empty: none.
        QString publicUrl;
        // [storage] timeout_seconds; 0: the server's default.
        int databaseTimeoutSeconds = 0;
        // [server] trust_forwarded_for: the last X-Forwarded-For entry is the client's address.
        bool trustForwardedFor = false;
        // [server] allow_registration.
        bool allowRegistration = true;
        // TOML appended to the configuration (say "[limits]\nsign_in_failures_per_email = 2\n").
        // Registrations are not limited unless it sets [limits] registrations_per_address.
        QString extraConfig;
    };

    struct CommandResult
    {
        int exitCode = -1;
        QByteArray out;
        QByteArray err;
    };

    AccountTestServer();
    ~AccountTestServer();
    AccountTestServer(const AccountTestServer&) = delete;
    AccountTestServer& operator=(const AccountTestServer&) = delete;

    static QString programPath();
    // Why the server cannot run here; empty when it can.
    static QString unavailableReason();

    bool start(QString* error);
    bool start(const Options& options, QString* error);
    // Ends the process with SIGTERM and waits for it.
    void stop();
    // SIGKILL: nothing gets a chance to finish.
    void kill();
    bool restart(QString* error);
    bool isRunning() const { return m_process && m_process->state() == QProcess::Running; }
    qint64 processId() const { return m_process ? m_process->processId() : 0; }

    quint16 port() const { return m_port; }
    QString baseUrl() const;
    QUrl url(const QString& path) const { return QUrl(baseUrl() + path); }
    // Trusts the server's CA (and the system's), nothing else changed.
    QSslConfiguration clientConfiguration() const;
    QString caCertificatePath() const { return m_ca ? m_ca->caCertificatePath() : QString(); }

    QString directory() const { return m_directory.path(); }
    QString configPath() const { return m_directory.filePath(QStringLiteral("server.toml")); }
    QString databasePath() const { return m_directory.filePath(QStringLiteral("data/accounts.db")); }
    QString updateDirectory() const { return m_directory.filePath(QStringLiteral("updates")); }
    QString logPath() const { return m_directory.filePath(QStringLiteral("server.log")); }
    QByteArray log() const;

    // Runs an administration command with --config added; `input` goes to its standard input.
    CommandResult admin(const QStringList& arguments, const QByteArray& input = {}) const;
    // The same, started and left running (several at once); finishAdmin() waits for its end.
    std::unique_ptr<QProcess> startAdmin(const QStringList& arguments, const QByteArray& input = {}) const;
    static CommandResult finishAdmin(QProcess* process);
    bool addUser(const QString& email, const QString& name, const QString& password, QString* error) const;

    // Runs one statement on the server's database (SQLite file or PostgreSQL) from outside the server,
    // as an operator or a clock would change it; returns the first column of the first row if any.
    bool execSql(const QString& sql, const QVariantList& values, QVariant* firstValue, QString* error) const;

private:
    bool writeConfig(QString* error);
    bool launch(QString* error);

    QTemporaryDir m_directory;
    std::unique_ptr<TestCertificateAuthority> m_ca;
    std::unique_ptr<QProcess> m_process;
    Options m_options;
    quint16 m_port = 0;
};
